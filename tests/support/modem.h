// The modem simulator, dmreg-modem-sim, run by a test as a process of its own and steered through
// its standard input; and Wireshark's reading of the SMS PDUs a test made.
#ifndef TESTS_MODEM_H
#define TESTS_MODEM_H

#include <ostream>
#include <string>
#include <sys/types.h>
#include <vector>

namespace modem {

class Simulator {
public:
    // A modem at path, recording into path + ".record".
    explicit Simulator(const std::string& path);
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // A control line (see dmreg-modem-sim --help) and the simulator's answer to it.
    std::string control(const std::string& line);
    // What the simulator recorded: "cmd LINE", "pdu HEX", "esc".
    std::vector<std::string> record() const;

    const std::string device;

private:
    pid_t m_pid = -1;
    int m_in = -1;
    int m_out = -1;
};

// The server's reply as the modem stores it: an SMS-DELIVER of 8-bit data from the server's
// port 16998 to destPort, whole or as segment seq of total under reference, from a number ("+"
// for the international type) or a name ("name:Bank").
std::string reply(const std::string& data, int destPort = 16999, int reference = -1, int total = 0, int seq = 0,
                  const std::string& from = "+15550100200");

// Wireshark's fields of each SMS-SUBMIT PDU (hex with its service-centre address), "|" between
// them: TP-MTI, TP-UDHI, TP-DA, TP-DCS, TP-VPF, TP-VP, destination and originator port, the
// concatenation's reference, parts and part, the user data in hex. Empty when tshark is missing.
std::vector<std::string> decodedByWireshark(const std::vector<std::string>& pdus);

// A table of cases over the simulator: "case TITLE" opens one, each line after it is a step,
// "WORD REST"; lines that start with '#' and empty ones are skipped.
struct Case {
    std::string title;
    std::string where;  // FILE:LINE of its "case" line
    std::vector<std::pair<std::string, std::string>> steps;
};
std::vector<Case> cases(const std::string& path);
void PrintTo(const Case& c, std::ostream* out);

}  // namespace modem

#endif
