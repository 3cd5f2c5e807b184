// Captures what the process writes to standard error, line by line, through a pipe drained by
// a thread of its own, so that however much is written nothing blocks.
#ifndef TESTS_STDERR_CAPTURE_H
#define TESTS_STDERR_CAPTURE_H

#include <functional>
#include <string>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class StderrCapture {
public:
    // Each line (without its line feed) goes to onLine; by default the lines are kept.
    explicit StderrCapture(std::function<void(const std::string&)> onLine = nullptr);
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Restores standard error and answers the kept lines with their source line numbers
    // replaced by "#": "{5} DM_RegUtility.cpp:#, GetTree()\t...". A text that does not end in a
    // line feed gives a last line of its own.
    std::vector<std::string> finish();

private:
    void drain(int fd);

    std::function<void(const std::string&)> m_onLine;
    std::vector<std::string> m_lines;
    std::thread m_reader;
    int m_savedFd = -1;
    bool m_active = false;
};

// Replaces the source line number of a trace line by "#".
std::string normaliseTraceLine(const std::string& line);

}  // namespace testsupport

namespace testsupport {

// An expected trace line, as StderrCapture::finish() answers it.
inline std::string traceLine(int level, const std::string& file, const std::string& func, const std::string& message)
{
    return "{" + std::to_string(level) + "} " + file + ":#, " + func + "()\t" + message;
}

// An expected trace line of the layout without function name (tree library and telephony errors).
inline std::string platformLine(int level, const std::string& file, const std::string& message)
{
    return "{" + std::to_string(level) + "} " + file + ":#\t" + message;
}

}  // namespace testsupport

namespace testsupport {

// The lines of one function (the layout with function name), in their order.
inline std::vector<std::string> linesOf(const std::vector<std::string>& lines, const std::string& func)
{
    std::vector<std::string> own;
    const std::string mark = ", " + func + "()\t";
    for (const std::string& line : lines) {
        if (line.find(mark) != std::string::npos) {
            own.push_back(line);
        }
    }
    return own;
}

}  // namespace testsupport

#endif
