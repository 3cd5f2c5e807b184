// dmregd's settings, KEY = VALUE lines of its configuration file, each one checked; and what the
// device maker's device-management tree says before the registration runs: whether it configures
// the registration, and the server's number.
#ifndef SERVICE_SETTINGS_H
#define SERVICE_SETTINGS_H

#include <string>
#include <vector>

namespace service {

struct Settings {
    std::string modem = "/dev/dmreg-modem";    // the modem's AT port
    int baud = 115200;                         // one of the serial speeds
    bool rtscts = false;
    bool strictFraming = false;                // the modem follows V.250 framing
    std::string tree;                          // the maker's tree: tree.txt beside the configuration
    std::string besideConfiguration;           // that tree.txt
    std::vector<std::string> replyFrom;        // empty: the tree's ServerNumber
    int retries = 3;                           // tries after the first one
    long long retryIntervalMs = 3600 * 1000LL; // after a failed try, doubled at each further one
    long long replyWaitMs = 86400 * 1000LL;    // for the server's reply after a send
    long long listIntervalMs = 600 * 1000LL;   // between two listings of the modem's storage
};

constexpr size_t kLongestSettingLine = 4096;

// Reads the file; false with a message ("FILE:LINE: what: the line") for anything wrong: a line
// of another form, too long or holding a NUL byte, an unknown or repeated key, a value out of
// its range. A file that is missing is an error unless missingIsDefault: then every setting
// keeps its default.
bool readSettings(const std::string& path, Settings& settings, std::string& error, bool missingIsDefault = false);

// The registration subtree and the device's identity as a tree holds them.
struct TreeFacts {
    bool readable = false;
    bool enabled = false;
    std::string serverNumber;
    int operators = 0;             // operator codes of 5 digits or more in the MNC list
    static constexpr long long kNotSet = 1LL << 40;
    long long serverPort = kNotSet;  // as the tree holds them: a port only from 0 to 65535
    long long clientPort = kNotSet;
    std::vector<std::string> emptyIdentity;  // the device's nodes named in the SMS that hold nothing
};
TreeFacts readTreeFacts();  // through the tree library, on DMNATIVE_TREE
// What keeps the registration from running with these facts, "" when nothing does.
std::string notConfigured(const TreeFacts& facts);

}  // namespace service

#endif
