#include "at_channel.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace atmodem {
namespace {

constexpr int kAtTries = 3;
constexpr int kAtTryMs = 1000;
constexpr int kGraceMs = 500;  // for a final result after the line that completes a command

speed_t speedOf(int baud)
{
    static const struct {
        int baud;
        speed_t speed;
    } speeds[] = {{9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                  {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& s : speeds) {
        if (s.baud == baud) {
            return s.speed;
        }
    }
    return B0;
}

bool startsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

// OK, ERROR, +CME ERROR: n and +CMS ERROR: n end a command.
bool isFinal(const std::string& line, int32_t& result)
{
    if (line == "OK" || line == "ERROR") {
        result = line == "OK" ? kOk : kError;
        return true;
    }
    const bool cme = startsWith(line, "+CME ERROR:");
    if (!cme && !startsWith(line, "+CMS ERROR:")) {
        return false;
    }
    char* end = nullptr;
    const long n = strtol(line.c_str() + 11, &end, 10);
    result = *end == '\0' && end != line.c_str() + 11 && n >= 0 && n < 1000 ? (cme ? kCmeError : kCmsError) + static_cast<int32_t>(n) : kError;
    return true;
}

// Results a modem sends on its own, at any moment; the command in progress keeps those that
// name it (AT+CREG? is answered by +CREG:).
bool isUnsolicited(const std::string& line, const std::string& sent)
{
    static const char* const prefixes[] = {"+CMTI:", "+CMT:",  "+CDSI:", "+CDS:",  "+CBM:",    "+CREG:",  "+CGREG:",
                                           "+CEREG:", "+CUSD:", "+CIEV:", "+CRING:", "+CPIN:",  "RING",    "RDY",
                                           "^BOOT",  "^RSSI",  "^MODE",  "+PACSP", "SMS DONE", "PB DONE", "+QIND:"};
    for (const char* prefix : prefixes) {
        if (startsWith(line, prefix)) {
            const std::string name = std::string(prefix).substr(0, strcspn(prefix, ":"));
            return !(name[0] == '+' && startsWith(sent, ("AT" + name).c_str()));
        }
    }
    return false;
}

}  // namespace

long long nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

Channel& Channel::shared()
{
    static Channel channel([] {
        Config config;
        const char* device = getenv("ZAVTAPI_MODEM");
        const char* baud = getenv("ZAVTAPI_MODEM_BAUD");
        const char* rtscts = getenv("ZAVTAPI_MODEM_RTSCTS");
        config.device = device != nullptr ? device : "";
        char* end = nullptr;
        const long rate = baud != nullptr ? strtol(baud, &end, 10) : 115200;
        config.baud = baud == nullptr || (*end == '\0' && rate > 0 && rate < 100000000) ? static_cast<int>(rate) : 0;
        config.rtscts = rtscts != nullptr && strcmp(rtscts, "yes") == 0;
        return config;
    }());
    return channel;
}

void Channel::report(const std::string& message)
{
    if (message != m_lastReport) {  // a modem that stays away is told of once
        fprintf(stderr, "zavtapi-at: %s\n", message.c_str());
        m_lastReport = message;
    }
}

bool Channel::open()
{
    if (m_fd >= 0 || m_closedForGood) {
        return m_fd >= 0;
    }
    if (m_config.device.empty()) {
        report("no modem: ZAVTAPI_MODEM names no device");
        return false;
    }
    if (speedOf(m_config.baud) == B0) {
        report("ZAVTAPI_MODEM_BAUD " + std::to_string(m_config.baud) + " is no baud rate this channel knows");
        return false;
    }
    // Not blocking, so that neither a missing carrier nor a modem that holds CTS stops a call.
    m_fd = ::open(m_config.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    termios tty{};
    const char* failed = m_fd < 0                              ? "cannot be opened"
                         : ioctl(m_fd, TIOCEXCL) != 0          ? "cannot be had alone"
                         : flock(m_fd, LOCK_EX | LOCK_NB) != 0 ? "is used by another program"
                         : tcgetattr(m_fd, &tty) != 0          ? "is no serial device"
                                                               : nullptr;
    if (failed == nullptr) {
        cfmakeraw(&tty);
        tty.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
        tty.c_cflag |= CS8 | CREAD | CLOCAL | (m_config.rtscts ? CRTSCTS : 0);
        tty.c_cc[VMIN] = 1;
        tty.c_cc[VTIME] = 0;
        cfsetispeed(&tty, speedOf(m_config.baud));
        cfsetospeed(&tty, speedOf(m_config.baud));
        failed = tcsetattr(m_fd, TCSANOW, &tty) != 0 ? "cannot be set to raw 8N1" : nullptr;
    }
    if (failed != nullptr) {
        report(m_config.device + " " + failed + ": " + strerror(errno));
        closeDevice();
        return false;
    }
    tcflush(m_fd, TCIOFLUSH);
    m_pending.clear();
    m_pduNext = false;
    if (!setUp()) {
        closeDevice();
        return false;
    }
    ++m_generation;
    m_lastReport.clear();
    return true;
}

// AT until the modem answers, then the settings every call relies on: no echo, numeric errors,
// PDU mode, the GSM character set (a modem without it keeps its own).
bool Channel::setUp()
{
    bool answered = false;
    for (int i = 0; i < kAtTries && !answered && m_fd >= 0; ++i) {
        answered = exchange("AT", nullptr, kAtTryMs, kAtTryMs, nullptr).result != kNoAnswer;
    }
    const char* const settings[] = {"ATE0", "AT+CMEE=1", "AT+CMGF=0"};
    for (const char* setting : settings) {
        if (answered && exchange(setting, nullptr, kCommandMs, kCommandMs, nullptr).result != kOk) {
            report(std::string(setting) + " was not accepted: no PDU-mode SMS with this modem");
            return false;
        }
    }
    if (!answered) {
        report(m_config.device + ": the modem does not answer AT");
        return false;
    }
    exchange("AT+CSCS=\"GSM\"", nullptr, kCommandMs, kCommandMs, nullptr);
    return m_fd >= 0;
}

void Channel::release(bool closeForGood)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    closeDevice();
    m_closedForGood = m_closedForGood || closeForGood;
}

void Channel::closeDevice()
{
    if (m_fd >= 0) {
        ::close(m_fd);  // the lock and the exclusive use end with it
    }
    m_fd = -1;
}

void Channel::vanish(Answer& answer)
{
    report(m_config.device + " has gone away");
    closeDevice();
    answer.result = kVanished;
}

Channel::Read Channel::readSome(long long deadlineMs)
{
    for (;;) {
        const long long left = deadlineMs - nowMs();
        pollfd ready{m_fd, POLLIN, 0};
        const int n = poll(&ready, 1, left > 0 ? static_cast<int>(left) : 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n == 0) {
            return Read::Timeout;
        }
        char buffer[512];
        const ssize_t got = n > 0 && (ready.revents & POLLIN) != 0 ? ::read(m_fd, buffer, sizeof(buffer)) : -1;
        if (got > 0) {
            m_pending.append(buffer, static_cast<size_t>(got));
            return Read::Data;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            continue;
        }
        return Read::Vanished;  // end of file, EIO, ENXIO, a hang-up
    }
}

bool Channel::writeAll(const std::string& bytes, long long deadlineMs)
{
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::write(m_fd, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        pollfd ready{m_fd, POLLOUT, 0};
        const long long left = deadlineMs - nowMs();
        if ((n < 0 && errno != EAGAIN && errno != EINTR) || left <= 0 || poll(&ready, 1, static_cast<int>(left)) == 0 ||
            (ready.revents & (POLLERR | POLLHUP)) != 0) {
            return false;
        }
    }
    return true;
}

std::vector<Unsolicited> Channel::takeUnsolicited()
{
    std::lock_guard<std::mutex> lock(m_queueMutex);
    std::vector<Unsolicited> taken(m_unsolicited.begin(), m_unsolicited.end());
    m_unsolicited.clear();
    return taken;
}

unsigned Channel::generation()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_generation;
}

// Takes the whole lines received: the echo of what was sent is dropped, unsolicited results go
// to the queue, the rest belongs to the command. The prompt comes as ">" or "> ", on a line of its
// own or behind the echo, with or without a line end after it.
bool Channel::takeLines(const std::string& sent, Answer& answer, bool awaitingPrompt, const char* complete, bool& completed)
{
    for (size_t end; (end = m_pending.find_first_of("\r\n")) != std::string::npos || awaitingPrompt;) {
        std::string line = m_pending.substr(0, end);
        if (!sent.empty() && line.compare(0, sent.size(), sent) == 0) {
            line.erase(0, sent.size());  // an echo, and what may follow it on the same line
        }
        if (awaitingPrompt && (line == ">" || line == "> ")) {
            m_pending.erase(0, end == std::string::npos ? end : end + 1);
            return true;
        }
        if (end == std::string::npos) {
            return false;
        }
        m_pending.erase(0, end + 1);
        if (line.empty()) {
            continue;
        }
        std::lock_guard<std::mutex> lock(m_queueMutex);
        if (m_pduNext) {
            m_unsolicited.push_back({m_awaitingPdu, line});
            m_pduNext = false;
        } else if (isUnsolicited(line, sent)) {
            m_pduNext = startsWith(line, "+CMT:") || startsWith(line, "+CDS:");
            if (m_pduNext) {
                m_awaitingPdu = line;  // queued with its PDU, the next line
            } else {
                m_unsolicited.push_back({line, ""});
            }
        } else if (!sent.empty() && isFinal(line, answer.result)) {
            return true;
        } else if (!sent.empty()) {
            answer.lines.push_back(line);
            completed = completed || (complete != nullptr && startsWith(line, complete));
        }
    }
    return false;
}

Answer Channel::exchange(const std::string& line, const std::string* data, int firstMs, int resultMs, const char* complete)
{
    Answer answer;
    long long deadline = nowMs() + firstMs;
    if (!writeAll(line + "\r", deadline)) {
        vanish(answer);
        return answer;
    }
    bool awaitingPrompt = data != nullptr;
    bool completed = false;
    long long completedBy = 0;
    for (;;) {
        if (takeLines(line, answer, awaitingPrompt, complete, completed)) {
            if (!awaitingPrompt) {
                return answer;
            }
            awaitingPrompt = false;
            deadline = nowMs() + resultMs;
            if (!writeAll(*data + "\x1A", deadline)) {
                vanish(answer);
                return answer;
            }
            continue;
        }
        if (completed && completedBy == 0) {
            completedBy = nowMs() + kGraceMs;
        }
        const Read got = readSome(completedBy != 0 ? std::min(completedBy, deadline) : deadline);
        if (got == Read::Vanished) {
            vanish(answer);
            return answer;
        }
        if (got == Read::Timeout && completedBy != 0) {
            answer.result = kOk;  // the answer came, its final result did not
            return answer;
        }
        if (got == Read::Timeout) {
            if (awaitingPrompt && writeAll("\x1B", nowMs() + kGraceMs)) {  // abandons the command that waits for data
                Answer late;  // its final result, if it comes at once, is no other command's
                readSome(nowMs() + kGraceMs);
                takeLines("", late, false, nullptr, completed);
            }
            answer.result = kNoAnswer;
            return answer;
        }
    }
}

Answer Channel::command(const std::string& line, int timeoutMs, const char* complete)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!open()) {
        return Answer{kNotInitiated, {}};
    }
    return exchange(line, nullptr, timeoutMs, timeoutMs, complete);
}

Answer Channel::commandWithData(const std::string& line, const std::string& data, int promptMs, int resultMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!open()) {
        return Answer{kNotInitiated, {}};
    }
    return exchange(line, &data, promptMs, resultMs, nullptr);
}

bool Channel::idle(int ms)
{
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        fd = m_fd;
    }
    if (fd < 0) {
        return false;  // opening is the commands' business
    }
    pollfd ready{fd, POLLIN, 0};
    poll(&ready, 1, ms);  // without the channel: a command may go ahead meanwhile
    std::lock_guard<std::mutex> lock(m_mutex);
    Answer stray;
    bool completed = false;
    if (m_fd >= 0 && readSome(nowMs()) == Read::Vanished) {
        vanish(stray);
    }
    takeLines("", stray, false, nullptr, completed);  // a late final result is dropped with the rest
    return m_fd >= 0;
}

}  // namespace atmodem
