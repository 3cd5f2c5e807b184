// dmregd's settings, KEY = VALUE lines of its configuration file, each one checked; and what the
// device-management tree says about the registration before it runs: whether the device has been
// configured for it, and the server's number.
#ifndef SERVICE_SETTINGS_H
#define SERVICE_SETTINGS_H

#include <string>
#include <vector>

namespace service {

struct Settings {
    std::string modem;                         // the modem's AT port
    int baud = 115200;                         // one of the serial speeds
    bool rtscts = false;
    bool strictFraming = false;                // the modem follows V.250 framing
    std::string tree = "/var/lib/dmreg/tree.txt";
    std::vector<std::string> replyFrom;        // empty: the tree's ServerNumber
    int retries = 3;                           // tries after the first one
    long long retryIntervalMs = 3600 * 1000LL; // after a failed try, doubled at each further one
    long long replyWaitMs = 86400 * 1000LL;    // for the server's reply after a send
    long long listIntervalMs = 600 * 1000LL;   // between two listings of the modem's storage
};

// Reads the file; false with a message ("FILE:LINE: what: the line") for anything wrong: a line
// of another form, an unknown or repeated key, a value out of its range, no modem.
bool readSettings(const std::string& path, Settings& settings, std::string& error);

// The registration subtree as the tree file holds it before the first run.
struct TreeFacts {
    bool readable = false;
    bool enabled = false;
    std::string serverNumber;
    int operators = 0;  // operator codes in the MNC list
};
TreeFacts readTreeFacts();  // through the tree library, on DMNATIVE_TREE
// Why the registration cannot run with these facts, "" when it can.
std::string notConfigured(const TreeFacts& facts);

}  // namespace service

#endif
