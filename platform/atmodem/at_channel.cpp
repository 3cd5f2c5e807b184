#include "at_channel.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace atmodem {
namespace {

constexpr int kAtTries = 3;
constexpr int kAtTryMs = 1000;
constexpr int kGraceMs = 500;   // for a final result after the line that completes a command
constexpr int kQuietMs = 200;   // silence that tells a resynchronisation that nothing more is late
constexpr int kDrainMs = 2000;  // the most a resynchronisation drains
constexpr int kPduModeTries = 10;    // an SMS service that comes late is waited for, as oFono does,
constexpr int kPduModeTryMs = 1000;  // ten times a second apart, or until the modem announces it

bool startsWith(const std::string& text, const char* start)
{
    return text.compare(0, strlen(start), start) == 0;
}

// The modem's SMS service is there now (Quectel, SIMCom, and their kin announce it).
bool smsAnnouncement(const std::string& line)
{
    return startsWith(line, "SMS DONE") || startsWith(line, "SMS Ready") || startsWith(line, "+QIND: SMS DONE") ||
           startsWith(line, "+QIND: \"SMS DONE\"");
}

// The modem started afresh in place, its port kept: what was set up is gone.
bool resetAnnouncement(const std::string& line)
{
    return line == "RDY" || startsWith(line, "+CFUN: 1") || startsWith(line, "+CPIN: READY");
}

// The commands of the SMS service, which need PDU mode.
bool smsCommand(const std::string& line)
{
    return startsWith(line, "AT+CMG") || startsWith(line, "AT+CPMS") || startsWith(line, "AT+CNMI");
}

struct Speed {
    int baud;
    speed_t speed;
};
const Speed kSpeeds[] = {{1200, B1200},     {2400, B2400},     {4800, B4800},     {9600, B9600},
                         {19200, B19200},   {38400, B38400},   {57600, B57600},   {115200, B115200},
                         {230400, B230400}, {460800, B460800}, {500000, B500000}, {576000, B576000},
                         {921600, B921600}, {1000000, B1000000}, {1500000, B1500000}, {2000000, B2000000},
                         {3000000, B3000000}, {4000000, B4000000}};

void signal(int eventFd)
{
    const uint64_t one = 1;
    while (write(eventFd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

void clear(int eventFd)
{
    uint64_t count = 0;
    while (read(eventFd, &count, sizeof(count)) < 0 && errno == EINTR) {
    }
}

}  // namespace

long long nowMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

unsigned termiosSpeed(int baud)
{
    for (const Speed& s : kSpeeds) {
        if (s.baud == baud) {
            return s.speed;
        }
    }
    return 0;
}

bool Expect::accepts(const std::string& line) const
{
    for (const std::string& prefix : prefixes) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return true;
        }
    }
    if (line.empty()) {
        return false;
    }
    // A tag is "+NAME:" or "^NAME:"; a line without one is bare.
    const size_t colon = line.find(':');
    const bool tagged = (line[0] == '+' || line[0] == '^') && colon != std::string::npos && line.find(' ') > colon;
    return bare && !tagged;
}

Channel::Channel(Config config)
    : m_config(std::move(config)),
      m_stopFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_queueFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      m_tokenizer(m_config.framing)
{
}

Channel::~Channel()
{
    closeDevice();
    close(m_stopFd);
    close(m_queueFd);
}

Channel& Channel::shared()
{
    static Channel channel([] {
        Config config;
        const char* device = getenv("ZAVTAPI_MODEM");
        const char* baud = getenv("ZAVTAPI_MODEM_BAUD");
        const char* rtscts = getenv("ZAVTAPI_MODEM_RTSCTS");
        const char* framing = getenv("ZAVTAPI_MODEM_FRAMING");
        config.device = device != nullptr ? device : "";
        char* end = nullptr;
        const long rate = baud != nullptr ? strtol(baud, &end, 10) : 115200;
        config.baud = baud == nullptr || (*end == '\0' && rate > 0 && rate < 100000000) ? static_cast<int>(rate) : 0;
        config.rtscts = rtscts != nullptr && strcmp(rtscts, "yes") == 0;
        config.framing = framing != nullptr && strcmp(framing, "strict") == 0 ? Framing::Strict : Framing::Permissive;
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
    if (m_fd >= 0 || m_stopped) {
        return m_fd >= 0;
    }
    const speed_t speed = termiosSpeed(m_config.baud);
    if (m_config.device.empty() || speed == 0) {
        report(speed == 0 ? "ZAVTAPI_MODEM_BAUD " + std::to_string(m_config.baud) + " is no baud rate this channel knows"
                          : "no modem: ZAVTAPI_MODEM names no device");
        m_failure = {Unusable::NotConfigured, 0};
        return false;
    }
    // Not blocking, so that neither a missing carrier nor a modem that holds CTS stops a call.
    m_fd = ::open(m_config.device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    termios tty{};
    const char* failed = nullptr;
    if (m_fd < 0) {
        failed = "cannot be opened";
        m_failure = {errno == EACCES || errno == EPERM ? Unusable::NoPermission
                     : errno == EBUSY                  ? Unusable::Busy  // another program has it alone (TIOCEXCL)
                                                       : Unusable::NoDevice,
                     errno};
    } else if (ioctl(m_fd, TIOCEXCL) != 0 || tcgetattr(m_fd, &tty) != 0) {
        failed = "is no serial device";
        m_failure = {Unusable::NotSerial, errno};
    } else if (flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
        failed = "is used by another program";
        m_failure = {Unusable::Busy, errno};
    }
    if (failed == nullptr) {
        cfmakeraw(&tty);
        // No software flow control, whatever an earlier user left: XON and XOFF are PDU bytes.
        tty.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
        tty.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
        tty.c_cflag |= CS8 | CREAD | CLOCAL | (m_config.rtscts ? CRTSCTS : 0);
        tty.c_cc[VMIN] = 1;
        tty.c_cc[VTIME] = 0;
        cfsetispeed(&tty, speed);
        cfsetospeed(&tty, speed);
        if (tcsetattr(m_fd, TCSANOW, &tty) != 0) {
            failed = "cannot be set to raw 8N1";
            m_failure = {Unusable::NotSerial, errno};
        }
    }
    if (failed != nullptr) {
        report(m_config.device + " " + failed + ": " + strerror(m_failure.error));
        closeDevice();
        return false;
    }
    tcflush(m_fd, TCIOFLUSH);
    m_tokenizer.reset();
    m_resync = false;
    m_timeouts = 0;
    m_echoOff = false;
    m_echoResets = 0;
    m_setUpAgain = false;
    m_smsWorked = false;
    m_failure = OpenFailure();  // a set-up that fails naming no fault: the device went away during it
    if (!setUp()) {
        closeDevice();
        return false;
    }
    ++m_generation;
    m_lastReport.clear();
    return true;
}

OpenFailure Channel::lastFailure()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_failure;
}

// ESC first, for a modem that an earlier program left waiting for a PDU; then AT until the modem
// answers, and the settings every call relies on: no echo, verbose result codes, numeric errors,
// PDU mode, the GSM character set (a modem without it keeps its own).
bool Channel::setUp()
{
    m_echoOff = false;
    Answer gone;
    if (!writeAll("\x1B", nowMs() + kAtTryMs)) {
        vanish(gone);
        return false;
    }
    drain(kQuietMs, kDrainMs);
    bool answered = false;
    for (int i = 0; i < kAtTries && !answered && m_fd >= 0 && !m_stopped; ++i) {
        m_resync = false;  // a modem still starting: no more than a second a try
        m_timeouts = 0;
        answered = exchange("AT", nullptr, {}, kAtTryMs, kAtTryMs).result == kOk;
    }
    if (!answered) {
        if (m_fd >= 0) {  // a device gone during the set-up is no silent modem
            report(m_config.device + ": the modem does not answer AT");
            m_failure = {Unusable::NoAnswer, 0};
        }
        return false;
    }
    if (exchange("ATE0V1", nullptr, {}, kCommandMs, kCommandMs).result != kOk) {
        exchange("ATE0", nullptr, {}, kCommandMs, kCommandMs);
    }
    m_echoOff = true;
    exchange("AT+CMEE=1", nullptr, {}, kCommandMs, kCommandMs);
    // An SMS service that is not there yet is waited for when an SMS command needs it.
    m_pduMode = exchange("AT+CMGF=0", nullptr, {}, kCommandMs, kCommandMs).result == kOk;
    exchange("AT+CSCS=\"GSM\"", nullptr, {}, kCommandMs, kCommandMs);
    m_setUpAgain = false;  // what came during the set-up is what it set up
    return m_fd >= 0;
}

// PDU mode, asked again while the SMS service comes up: false when it never came.
bool Channel::pduMode()
{
    for (int i = 0; !m_pduMode && i < kPduModeTries && m_fd >= 0 && !m_stopped; ++i) {
        m_pduMode = exchange("AT+CMGF=0", nullptr, {}, kCommandMs, kCommandMs).result == kOk;
        const long long until = nowMs() + kPduModeTryMs;
        std::vector<Token> tokens;
        Answer ignored;
        bool prompted = false;
        bool completed = false;
        for (Read got = Read::Data; !m_pduMode && !m_smsAnnounced && got == Read::Data && m_fd >= 0;) {
            got = readSome(until, tokens);
            route(tokens, nullptr, ignored, prompted, completed);
        }
        m_smsAnnounced = false;
    }
    if (!m_pduMode && m_fd >= 0) {
        report("AT+CMGF=0 was not accepted: the modem's SMS service is not there, or takes no PDU mode");
    }
    return m_pduMode;
}

// What a reset in place, or an SMS service that came, calls for: set up again, and told to the
// receiver by a new generation.
bool Channel::setUpAgainIfReset()
{
    if (!m_setUpAgain || m_fd < 0) {
        return m_fd >= 0;
    }
    m_setUpAgain = false;
    report(m_config.device + ": the modem started afresh: set up again");
    if (!setUp()) {
        closeDevice();
        return false;
    }
    ++m_generation;
    return true;
}

void Channel::noteUnsolicited(const std::string& line)
{
    m_smsAnnounced = m_smsAnnounced || smsAnnouncement(line);
    m_setUpAgain = m_setUpAgain || resetAnnouncement(line);
}

void Channel::release()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    closeDevice();
}

void Channel::stop()
{
    m_stopped = true;
    signal(m_stopFd);
}

void Channel::closeDevice()
{
    if (m_fd >= 0) {
        ioctl(m_fd, TIOCNXCL);  // the next program may have it alone again
        ::close(m_fd);          // the lock ends with it
    }
    m_fd = -1;
    m_pduMode = false;  // the next opening finds out again
    m_smsWorked = false;
}

void Channel::vanish(Answer& answer)
{
    report(m_config.device + " has gone away");
    closeDevice();
    answer.result = kVanished;
}

Channel::Read Channel::readSome(long long deadlineMs, std::vector<Token>& tokens)
{
    for (;;) {
        const long long left = deadlineMs - nowMs();
        pollfd ready[2] = {{m_fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        const int n = poll(ready, 2, left > 0 ? static_cast<int>(left) : 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (m_stopped) {
            return Read::Stopped;
        }
        if (n == 0) {
            return Read::Timeout;
        }
        char buffer[512];
        const ssize_t got = n > 0 && ready[0].revents != 0 ? ::read(m_fd, buffer, sizeof(buffer)) : -1;
        if (got > 0) {
            m_tokenizer.feed(buffer, static_cast<size_t>(got), tokens);
            return Read::Data;
        }
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) {
            if (left <= 0) {
                return Read::Timeout;
            }
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

void Channel::queue(const Token& token)
{
    std::lock_guard<std::mutex> lock(m_queueMutex);
    if (m_unsolicited.size() >= kQueueLimit) {
        m_unsolicited.pop_front();  // a listing of the storage finds what an indication told
        if (m_dropped++ == 0) {
            fprintf(stderr, "zavtapi-at: more than %zu unsolicited results wait: the oldest are dropped\n", kQueueLimit);
        }
    } else {
        m_dropped = 0;
    }
    m_unsolicited.push_back({token.text, token.pdu});
    signal(m_queueFd);
}

std::vector<Unsolicited> Channel::takeUnsolicited()
{
    std::lock_guard<std::mutex> lock(m_queueMutex);
    clear(m_queueFd);
    std::vector<Unsolicited> taken(m_unsolicited.begin(), m_unsolicited.end());
    m_unsolicited.clear();
    return taken;
}

unsigned Channel::generation()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_generation;
}

bool Channel::route(std::vector<Token>& tokens, const Expect* expect, Answer& answer, bool& prompted, bool& completed)
{
    bool done = false;
    for (const Token& token : tokens) {
        if (token.kind == Token::Unsolicited) {
            noteUnsolicited(token.text);
            queue(token);  // also after the final result: it belongs to nobody's command
        } else if (token.kind == Token::Echo && m_echoOff && !m_resynchronising) {
            // Echo that came back after ATE0: the modem started afresh, unless it never stops.
            m_setUpAgain = m_setUpAgain || m_echoResets++ == 0;
        } else if (done || expect == nullptr) {
            continue;  // late, stray, or after the final result: not this command's
        } else if (token.kind == Token::Final) {
            answer.result = token.result;
            done = true;
        } else if (token.kind == Token::Prompt) {
            prompted = true;
        } else if ((token.kind == Token::Pdu && m_headerTaken) || (token.kind == Token::Line && expect->accepts(token.text))) {
            // A header's PDU may come in a later read than the header: what the command took
            // last is remembered for as long as the command runs.
            answer.lines.push_back(token.text);
            m_headerTaken = token.kind == Token::Line;
            completed = completed || expect->finalOptional;
        }
    }
    tokens.clear();
    return done;
}

void Channel::drain(int quietMs, int limitMs)
{
    const long long limit = nowMs() + limitMs;
    std::vector<Token> tokens;
    Answer ignored;
    bool prompted = false;
    bool completed = false;
    for (Read got = Read::Data; got == Read::Data && m_fd >= 0;) {
        got = readSome(std::min(limit, nowMs() + quietMs), tokens);
        route(tokens, nullptr, ignored, prompted, completed);
        if (got == Read::Vanished) {
            vanish(ignored);
        }
    }
}

bool Channel::resynchronise()
{
    m_resync = false;
    m_resynchronising = true;
    struct Done {
        bool& flag;
        ~Done() { flag = false; }
    } done{m_resynchronising};
    m_tokenizer.reset();
    drain(kQuietMs, kDrainMs);
    for (int i = 0; i < kAtTries && m_fd >= 0 && !m_stopped; ++i) {
        if (exchange("AT", nullptr, {}, kAtTryMs, kAtTryMs).result == kOk) {
            drain(kQuietMs, kDrainMs);  // an answer still on its way is no other command's
            return m_fd >= 0;
        }
    }
    m_resync = true;
    return false;
}

// What came unasked since the last command (a late final result, noise, a reset's RDY) is no
// answer: routed, and gone. False, with the answer's result, when the device went or the program
// stops.
bool Channel::takeUnasked(Answer& answer)
{
    std::vector<Token> tokens;
    bool prompted = false;
    bool completed = false;
    for (Read got = Read::Data; m_fd >= 0 && got == Read::Data;) {
        got = readSome(nowMs(), tokens);
        route(tokens, nullptr, answer, prompted, completed);
        if (got == Read::Vanished) {
            vanish(answer);
            return false;
        }
        if (got == Read::Stopped) {
            answer.result = kStopped;
            return false;
        }
    }
    answer.result = m_fd >= 0 ? answer.result : kVanished;
    return m_fd >= 0;
}

Answer Channel::exchange(const std::string& line, const std::string* data, const Expect& expect, int firstMs, int resultMs)
{
    Answer answer;
    std::vector<Token> tokens;
    bool prompted = false;
    bool completed = false;
    if (m_resync && !resynchronise()) {
        answer.result = m_stopped ? kStopped : m_fd >= 0 ? kNoAnswer : kVanished;
        return answer;
    }
    if (!takeUnasked(answer)) {
        return answer;
    }
    m_tokenizer.expectCommand(line, data != nullptr);
    m_headerTaken = false;
    long long deadline = nowMs() + firstMs;
    if (!writeAll(line + "\r", deadline)) {
        vanish(answer);
        return answer;
    }
    bool awaitingPrompt = data != nullptr;
    long long completedBy = 0;
    for (;;) {
        const Read got = readSome(completedBy != 0 ? std::min(completedBy, deadline) : deadline, tokens);
        prompted = false;
        if (route(tokens, &expect, answer, prompted, completed)) {
            m_timeouts = m_resynchronising ? m_timeouts : 0;  // only a command's own answer shows the modem well
            m_tokenizer.expectNothing();
            return answer;  // a refusal before the prompt ends the command as well
        }
        if (prompted && awaitingPrompt) {
            awaitingPrompt = false;
            deadline = nowMs() + resultMs;
            if (!writeAll(*data + "\x1A", deadline)) {  // without its final ^Z the modem sends nothing
                vanish(answer);
                return answer;
            }
            answer.dataSent = true;
        }
        if (completed && completedBy == 0) {
            completedBy = nowMs() + kGraceMs;
        }
        if (got == Read::Data) {
            continue;
        }
        m_tokenizer.expectNothing();
        if (got == Read::Vanished) {
            vanish(answer);
            return answer;
        }
        if (awaitingPrompt) {
            writeAll("\x1B", nowMs() + kGraceMs);  // the entry of data abandoned: its answer is no one's
        }
        if (got == Read::Stopped) {
            answer.result = kStopped;
            return answer;
        }
        if (completedBy != 0) {
            answer.result = kOk;  // the answer came, its final result did not
            return answer;
        }
        answer.result = kNoAnswer;
        m_resync = true;
        if (++m_timeouts >= kTimeoutsBeforeReopen) {
            report(m_config.device + ": " + std::to_string(m_timeouts) + " commands in a row unanswered: opened afresh");
            closeDevice();
        }
        return answer;
    }
}

// A command on a modem set up for it: opened, set up again after a reset that showed since the
// last command, in PDU mode for an SMS command.
Answer Channel::run(const std::string& line, const std::string* data, const Expect& expect, int firstMs, int resultMs)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Answer answer;
    // A device that went away during its set-up may come back, as during a command.
    const auto unusable = [this] { return Answer{m_failure.why == Unusable::None && !m_stopped ? kVanished : kNotInitiated, {}}; };
    if (!open()) {
        return unusable();
    }
    if (!takeUnasked(answer)) {
        return answer;  // the device went, or the program stops
    }
    if (!setUpAgainIfReset()) {
        return unusable();
    }
    if (smsCommand(line) && !pduMode()) {
        return Answer{m_fd >= 0 ? kError : kVanished, {}};
    }
    answer = exchange(line, data, expect, firstMs, resultMs);
    m_smsWorked = m_smsWorked || (smsCommand(line) && answer.result == kOk);
    return answer;
}

Answer Channel::command(const std::string& line, const Expect& expect, int timeoutMs)
{
    return run(line, nullptr, expect, timeoutMs, timeoutMs);
}

Answer Channel::commandWithData(const std::string& line, const std::string& data, const Expect& expect, int promptMs,
                                int resultMs)
{
    return run(line, &data, expect, promptMs, resultMs);
}

bool Channel::smsReady()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_pduMode && m_smsWorked;
}

Channel::Woken Channel::wait(int wakeFd, long long untilMs, int deviceFd)
{
    int fd = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        fd = m_fd >= 0 ? fcntl(m_fd, F_DUPFD_CLOEXEC, 0) : -1;  // a command may close it meanwhile
    }
    for (;;) {
        // The device while it is open, or what tells that it came back while it is not.
        pollfd ready[4] = {{m_stopFd, POLLIN, 0}, {m_queueFd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {fd >= 0 ? fd : deviceFd, POLLIN, 0}};
        const long long left = untilMs < 0 ? -1 : std::max(0LL, untilMs - nowMs());
        const int n = poll(ready, fd >= 0 || deviceFd >= 0 ? 4 : 3, static_cast<int>(std::min(left, 24LL * 3600 * 1000)));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (fd >= 0) {
            close(fd);
        }
        if (m_stopped) {
            return Woken::Stopped;
        }
        if (n > 0 && ready[1].revents != 0) {
            return Woken::Arrived;
        }
        if (n > 0 && ready[2].revents != 0) {
            return Woken::Wake;
        }
        if (n > 0 && fd < 0 && ready[3].revents != 0) {
            return Woken::DeviceChanged;
        }
        if (n <= 0) {
            return fd >= 0 ? Woken::Deadline : Woken::NoDevice;
        }
        break;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<Token> tokens;
    Answer ignored;
    bool prompted = false;
    bool completed = false;
    if (m_fd >= 0 && readSome(nowMs(), tokens) == Read::Vanished) {
        vanish(ignored);
    }
    route(tokens, nullptr, ignored, prompted, completed);  // a late final result is dropped with the rest
    setUpAgainIfReset();
    return m_fd >= 0 ? Woken::Arrived : Woken::NoDevice;
}

}  // namespace atmodem
