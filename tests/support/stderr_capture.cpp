#include "stderr_capture.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace testsupport {

std::string normaliseTraceLine(const std::string& line)
{
    // "{level} file:line, func()\t" or "{level} file:line\t"
    if (line.empty() || line[0] != '{') {
        return line;
    }
    const size_t space = line.find(' ');
    const size_t tab = line.find('\t');
    if (space == std::string::npos) {
        return line;
    }
    const size_t colon = line.find(':', space);
    if (colon == std::string::npos || (tab != std::string::npos && colon > tab)) {
        return line;
    }
    size_t end = colon + 1;
    while (end < line.size() && line[end] >= '0' && line[end] <= '9') {
        ++end;
    }
    if (end == colon + 1) {
        return line;
    }
    return line.substr(0, colon + 1) + "#" + line.substr(end);
}

StderrCapture::StderrCapture(std::function<void(const std::string&)> onLine) : m_onLine(std::move(onLine))
{
    int fds[2];
    if (pipe(fds) != 0) {
        perror("StderrCapture: pipe");
        return;
    }
    fflush(stderr);
    m_savedFd = dup(STDERR_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[1]);
    m_reader = std::thread(&StderrCapture::drain, this, fds[0]);
    m_active = true;
}

StderrCapture::~StderrCapture()
{
    finish();
}

void StderrCapture::drain(int fd)
{
    std::string pending;
    char buffer[65536];
    pending.reserve(2 * sizeof(buffer));  // no growth while capturing, for tests that watch the heap
    ssize_t got;
    while ((got = read(fd, buffer, sizeof(buffer))) > 0) {
        pending.append(buffer, static_cast<size_t>(got));
        size_t start = 0;
        size_t lf;
        while ((lf = pending.find('\n', start)) != std::string::npos) {
            const std::string line = pending.substr(start, lf - start);
            if (m_onLine) {
                m_onLine(line);
            } else {
                m_lines.push_back(normaliseTraceLine(line));
            }
            start = lf + 1;
        }
        pending.erase(0, start);
    }
    if (!pending.empty()) {
        if (m_onLine) {
            m_onLine(pending);
        } else {
            m_lines.push_back(normaliseTraceLine(pending));
        }
    }
    close(fd);
}

std::vector<std::string> StderrCapture::finish()
{
    if (m_active) {
        fflush(stderr);
        dup2(m_savedFd, STDERR_FILENO);  // closes the pipe's last writer
        close(m_savedFd);
        m_reader.join();
        m_active = false;
    }
    return m_lines;
}

}  // namespace testsupport
