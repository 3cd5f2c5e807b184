#include "trace_sink.h"

#include "files.h"

namespace service {

bool TraceSink::ofTheWait(const std::string& line)
{
    static const char* const parts[] = {"launchDmListener()\tENTER\t", "launchDmListener()\tLEAVE\t",
                                        "simPINisOpen()\tTAPI_SECURITY_GetPin1Status result",
                                        "------------PIN is not input correctly", "PIN is ON, check after 10 second",
                                        "[dmregd] sleep(10) shortened"};
    for (const char* part : parts) {
        if (line.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

int TraceSink::priorityOf(const std::string& line)
{
    if (line.compare(0, 3, "{2}") == 0 || line.compare(0, 3, "{3}") == 0 || line.compare(0, 9, "dmnative:") == 0 ||
        line.compare(0, 7, "dmregd:") == 0) {
        return kErr;
    }
    if (line.compare(0, 1, "{") == 0) {
        const size_t tab = line.find('\t');
        const bool frame = tab != std::string::npos && (line.compare(tab + 1, 6, "ENTER\t") == 0 || line.compare(tab + 1, 6, "LEAVE\t") == 0);
        return frame ? kDebug : kInfo;
    }
    return line.compare(0, 11, "zavtapi-at:") == 0 ? kWarning : kInfo;
}

std::vector<TraceSink::Line> TraceSink::take(const std::string& given, long long nowMs)
{
    std::vector<Line> out;
    const bool prefixed = given.size() > 3 && given[0] == '<' && given[1] >= '0' && given[1] <= '7' && given[2] == '>';
    const std::string line = escaped(prefixed ? given.substr(3) : given);
    const int priority = prefixed ? given[1] - '0' : priorityOf(line);
    const bool wait = ofTheWait(line);
    if (wait && m_waitSince < 0) {
        m_waitSince = nowMs;
    }
    if (wait && nowMs - m_waitSince >= kOpenMs) {
        // The line without its source line number: the same line whatever the build.
        std::string key = line;
        const size_t colon = key.find(':');
        if (colon != std::string::npos && colon < key.find('\t')) {
            key.erase(colon + 1, key.find_first_not_of("0123456789", colon + 1) - colon - 1);
        }
        const auto last = m_lastWritten.find(key);
        if (last != m_lastWritten.end() && nowMs - last->second < kEveryMs) {
            ++m_heldBack;
            return out;
        }
        m_lastWritten[key] = nowMs;
    }
    if (m_heldBack > 0) {
        out.push_back({kInfo, "[dmregd] " + std::to_string(m_heldBack) + " more lines of the PIN wait held back"});
        m_heldBack = 0;
    }
    if (!wait && line.compare(0, 1, "{") == 0) {  // the flow went on: a wait that comes later starts open again
        m_waitSince = -1;
        m_lastWritten.clear();
    }
    out.push_back({priority, line});
    return out;
}

}  // namespace service
