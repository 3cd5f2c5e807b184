// Where dmregd's standard error goes on its way to the journal: the library's trace lines, the
// AT telephony's and the tree library's, and the service's own, each unchanged but for two
// things. Every line gets its priority (the library's errors err, its ENTER and LEAVE lines
// debug, the rest info; the telephony's lines warning; the service's own as it gives them), and
// control characters that came from outside are escaped, so that no text from the air or a file
// forges a line. And the PIN wait: a PIN that is never entered makes the library write its
// wait's lines every 10 seconds, for ever; after the first minutes each of those lines goes on at
// most once an hour, and a line tells how many were held back. The library itself writes what
// its contract says: the filter is the service's own.
#ifndef SERVICE_TRACE_SINK_H
#define SERVICE_TRACE_SINK_H

#include <map>
#include <string>
#include <vector>

namespace service {

// syslog(3)'s priorities, as the journal takes them in a "<N>" before a line.
enum Priority { kErr = 3, kWarning = 4, kNotice = 5, kInfo = 6, kDebug = 7 };

class TraceSink {
public:
    static constexpr long long kOpenMs = 5LL * 60 * 1000;   // every wait line goes on for so long
    static constexpr long long kEveryMs = 60LL * 60 * 1000;  // then each one once in so long

    struct Line {
        int priority;
        std::string text;
        bool operator==(const Line& other) const { return priority == other.priority && text == other.text; }
    };
    // The lines to write for one line that came at nowMs (monotonic): none, the line, or a line
    // that tells of those held back before it. A line may start with its priority, "<N>".
    std::vector<Line> take(const std::string& line, long long nowMs);

    static int priorityOf(const std::string& line);

private:
    static bool ofTheWait(const std::string& line);

    long long m_waitSince = -1;
    std::map<std::string, long long> m_lastWritten;
    long long m_heldBack = 0;
};

}  // namespace service

#endif
