// What the process writes to standard error, line by line, through a pipe drained by a thread of
// its own, so that however much is written nothing blocks.
#ifndef TESTS_TRACE_H
#define TESTS_TRACE_H

#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace trace {

using Lines = std::vector<std::string>;

class Capture {
public:
    // Each line (without its line feed) goes to onLine; by default the lines are kept.
    explicit Capture(std::function<void(const std::string&)> onLine = nullptr);
    ~Capture() { finish(); }
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    // Restores standard error and answers the kept lines, their source line numbers replaced
    // by "#": "{5} DM_RegUtility.cpp:#, GetTree()\t...".
    Lines finish();

private:
    std::function<void(const std::string&)> m_onLine;
    Lines m_lines;
    std::thread m_reader;
    int m_savedFd = -1;
};

// A program of the project run with its standard error in a pipe, so that a test can wait for
// what it traces.
class Program {
public:
    // argv[0] is the program's path; environment holds "NAME=value" settings added for it
    // ("JOURNAL_STREAM=" names the program's standard error, as systemd does for the journal's).
    explicit Program(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});
    ~Program() { stop(); }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Reads the trace until text comes, after what the last wait found; false when it does not
    // come within 20 s.
    bool waitFor(const std::string& text);
    // The signal (to a program still running; 0 for none), then its exit status, -1 when a signal
    // ended it; the rest of its trace is read.
    int stop(int signal = SIGTERM);
    // Waits for the program to end by itself within 20 s (SIGKILL after that), and answers its exit
    // status as stop() does.
    int end() { return stop(0); }
    // Milliseconds the last stop() took from SIGTERM to the program's end.
    long long stopMs() const { return m_stopMs; }
    const std::string& seen() const { return m_seen; }
    bool running() const { return m_pid > 0; }
    pid_t pid() const { return m_pid; }
    // Stops reading the trace: the program's writes to standard error fail from now on.
    void closeTrace();

private:
    pid_t m_pid = -1;
    int m_trace = -1;
    std::string m_seen;
    size_t m_from = 0;
    long long m_stopMs = 0;
    bool readTrace(const std::string& text);
};

// Replaces the source line number of a trace line by "#".
std::string normalise(const std::string& line);

// Whether two traces are the same, with the first difference shown when they are not.
::testing::AssertionResult same(const Lines& got, const Lines& want);

}  // namespace trace

#endif
