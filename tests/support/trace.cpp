#include "trace.h"

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace trace {

std::string normalise(const std::string& line)
{
    // "{level} file:line, func()\t" or "{level} file:line\t"
    const size_t colon = line.find(':');
    if (line.empty() || line[0] != '{' || colon == std::string::npos || colon > line.find('\t')) {
        return line;
    }
    size_t end = colon + 1;
    while (end < line.size() && line[end] >= '0' && line[end] <= '9') {
        ++end;
    }
    return end == colon + 1 ? line : line.substr(0, colon + 1) + "#" + line.substr(end);
}

Capture::Capture(std::function<void(const std::string&)> onLine) : m_onLine(std::move(onLine))
{
    int fds[2];
    if (pipe(fds) != 0) {
        perror("trace::Capture: pipe");
        return;
    }
    fflush(stderr);
    m_savedFd = dup(STDERR_FILENO);
    dup2(fds[1], STDERR_FILENO);
    close(fds[1]);
    m_reader = std::thread([this, fd = fds[0]] {
        std::string pending;
        pending.reserve(1 << 17);  // no growth while capturing, for tests that watch the heap
        char buffer[65536];
        ssize_t got;
        auto emit = [this](const std::string& line) { m_onLine ? m_onLine(line) : m_lines.push_back(normalise(line)); };
        while ((got = read(fd, buffer, sizeof(buffer))) > 0) {
            pending.append(buffer, static_cast<size_t>(got));
            size_t start = 0;
            for (size_t lf; (lf = pending.find('\n', start)) != std::string::npos; start = lf + 1) {
                emit(pending.substr(start, lf - start));
            }
            pending.erase(0, start);
        }
        if (!pending.empty()) {
            emit(pending);
        }
        close(fd);
    });
}

::testing::AssertionResult same(const Lines& got, const Lines& want)
{
    size_t i = 0;
    while (i < got.size() && i < want.size() && got[i] == want[i]) {
        ++i;
    }
    if (i == got.size() && i == want.size()) {
        return ::testing::AssertionSuccess();
    }
    auto show = [](const Lines& lines, size_t at) { return at < lines.size() ? "\"" + lines[at] + "\"" : "(no line)"; };
    return ::testing::AssertionFailure() << "traces differ at line " << i + 1 << " of " << got.size() << " written, "
                                         << want.size() << " expected\n  after: " << (i ? show(got, i - 1) : "(start)")
                                         << "\n  wrote: " << show(got, i) << "\n   want: " << show(want, i);
}

Lines Capture::finish()
{
    if (m_savedFd >= 0) {
        fflush(stderr);
        dup2(m_savedFd, STDERR_FILENO);  // closes the pipe's last writer
        close(m_savedFd);
        m_savedFd = -1;
        m_reader.join();
    }
    return m_lines;
}

Program::Program(const std::vector<std::string>& argv, const std::vector<std::string>& environment)
{
    int fds[2];
    if (pipe(fds) != 0) {
        perror("trace::Program: pipe");
        return;
    }
    m_pid = fork();
    if (m_pid == 0) {
        dup2(fds[1], STDERR_FILENO);
        for (const std::string& setting : environment) {
            const size_t eq = setting.find('=');
            std::string value = setting.substr(eq + 1);
            if (setting == "JOURNAL_STREAM=") {  // as systemd says that standard error is the journal's
                struct stat st {};
                fstat(STDERR_FILENO, &st);
                value = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
            }
            setenv(setting.substr(0, eq).c_str(), value.c_str(), 1);
        }
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(fds[1]);
    m_trace = fds[0];
}

// Reads the trace until text has come after what the last wait found (an empty text: until the
// trace ends), within 20 s of silence.
bool Program::readTrace(const std::string& text)
{
    char buffer[4096];
    for (int waits = 0; m_trace >= 0 && (text.empty() || m_seen.find(text, m_from) == std::string::npos) && waits < 200;) {
        pollfd ready{m_trace, POLLIN, 0};
        if (poll(&ready, 1, 100) <= 0) {
            ++waits;
            continue;
        }
        const ssize_t got = read(m_trace, buffer, sizeof(buffer));
        if (got <= 0) {
            break;  // the program has ended: nothing more comes
        }
        m_seen.append(buffer, static_cast<size_t>(got));
    }
    return !text.empty() && m_seen.find(text, m_from) != std::string::npos;
}

bool Program::waitFor(const std::string& text)
{
    const bool found = readTrace(text);
    m_from = found ? m_seen.find(text, m_from) + text.size() : m_from;
    return found;
}

void Program::closeTrace()
{
    close(m_trace);
    m_trace = -1;
}

int Program::stop(int signal)
{
    if (m_pid <= 0) {
        return -1;
    }
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);
    if (signal != 0) {
        kill(m_pid, signal);
    }
    // The trace ends when the program does; a program that does not end within the bound is killed.
    readTrace("");
    int status = -1;
    for (int waits = 0; waitpid(m_pid, &status, WNOHANG) == 0; ++waits) {  // its trace ends just before it does
        if (waits == 200) {
            kill(m_pid, SIGKILL);
        }
        poll(nullptr, 0, 10);
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    m_stopMs = (now.tv_sec - start.tv_sec) * 1000LL + (now.tv_nsec - start.tv_nsec) / 1000000;
    m_pid = -1;
    closeTrace();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace trace
