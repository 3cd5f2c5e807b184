// Where dmregd's standard error goes on its way to the journal: the library's trace lines, the
// AT telephony's and the service's own, each unchanged, but for the PIN wait. A PIN that is never
// entered makes the library write its wait's lines every 10 seconds, for ever; after the first
// minutes each of those lines goes on at most once an hour, and a line tells how many were held
// back. The library itself writes what its contract says: the filter is the service's own.
#ifndef SERVICE_TRACE_SINK_H
#define SERVICE_TRACE_SINK_H

#include <map>
#include <string>
#include <vector>

namespace service {

class TraceSink {
public:
    static constexpr long long kOpenMs = 5 * 60 * 1000;   // every wait line goes on for so long
    static constexpr long long kEveryMs = 60 * 60 * 1000;  // then each one once in so long

    // The lines to write for one line that came at nowMs (monotonic): none, the line, or a line
    // that tells of those held back before it.
    std::vector<std::string> take(const std::string& line, long long nowMs);

private:
    static bool ofTheWait(const std::string& line);

    long long m_waitSince = -1;
    std::map<std::string, long long> m_lastWritten;
    long long m_heldBack = 0;
};

}  // namespace service

#endif
