// The one AT channel to a modem on a serial device (3GPP TS 27.007 / 27.005). It owns the tty,
// brings the modem to a known state, cuts what it sends into tokens (at_tokenizer.h), tells a
// command's answer from unsolicited results (kept in a bounded queue for whoever wants them),
// and bounds every wait. After a command that timed out it resynchronises before the next one, so
// that a late answer is never taken for another command's; after three timeouts in a row it opens
// the device afresh. Every call is safe from any thread; commands are made one at a time.
#ifndef ATMODEM_AT_CHANNEL_H
#define ATMODEM_AT_CHANNEL_H

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "at_tokenizer.h"

// Exported for the programs of a Linux device (the service, its receiver) and the tests.
#pragma GCC visibility push(default)
namespace atmodem {

// Results beyond the telephony service's 0 (success) and 12 (not initiated: no modem).
constexpr int32_t kOk = 0;
constexpr int32_t kError = kFinalError;  // the modem answered ERROR, or an answer that means nothing
constexpr int32_t kNoAnswer = 2;         // no final result within the time bound
constexpr int32_t kVanished = 3;         // the device went away during the call
constexpr int32_t kBadRequest = 4;       // the request cannot be put into a command
constexpr int32_t kStopped = 5;          // the call was abandoned: the program stops
constexpr int32_t kNoCarrier = kFinalNoCarrier;
constexpr int32_t kNotInitiated = 12;
constexpr int32_t kCmeError = kFinalCmeError;  // + n for +CME ERROR: n
constexpr int32_t kCmsError = kFinalCmsError;  // + n for +CMS ERROR: n

// How long a command may take, in milliseconds.
constexpr int kCommandMs = 10000;
constexpr int kPromptMs = 10000;
constexpr int kSendMs = 60000;

// Milliseconds on the monotonic clock, which every bound of the channel and its users reads.
long long nowMs();

struct Answer {
    int32_t result = kOk;
    std::vector<std::string> lines;  // the command's own lines, in order, PDU lines among them
    bool dataSent = false;           // the data of commandWithData went to the modem
};

struct Unsolicited {
    std::string line;
    std::string pdu;  // the line that follows +CMT:, +CDS: and +CBM:
};

// Which lines answer a command: those that start with one of the prefixes, and with bare, those
// without any "+NAME:" tag too (AT+CIMI's digits). Other lines are strays: a late answer, noise.
struct Expect {
    std::vector<std::string> prefixes;
    bool bare = false;
    // Some modems end AT+CPIN? with its +CPIN: line and no final result: a line of the answer
    // then ends the wait soon after.
    bool finalOptional = false;
    bool accepts(const std::string& line) const;
};

struct Config {
    std::string device;
    int baud = 115200;
    bool rtscts = false;
    Framing framing = Framing::Permissive;
};

// The serial speeds the channel can set; 0 for a rate that is none of them.
unsigned termiosSpeed(int baud);

// Why the device could not be used when the channel last tried to open it.
enum class Unusable { None, NotConfigured, NoDevice, NoPermission, Busy, NotSerial, NoAnswer };
struct OpenFailure {
    Unusable why = Unusable::None;
    int error = 0;  // the errno of the call that failed, 0 for a modem that did not answer
};

class Channel {
public:
    explicit Channel(Config config);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // The channel of the telephony functions, on ZAVTAPI_MODEM at ZAVTAPI_MODEM_BAUD, with
    // RTS/CTS when ZAVTAPI_MODEM_RTSCTS is "yes" and strict framing when ZAVTAPI_MODEM_FRAMING is
    // "strict".
    static Channel& shared();

    // Sends a command and waits up to timeoutMs for its final result; kNotInitiated while the
    // device cannot be opened or the modem does not answer AT.
    Answer command(const std::string& line, const Expect& expect = {}, int timeoutMs = kCommandMs);
    // A command that takes data after the "> " prompt: data and Ctrl-Z go on the prompt, and the
    // final result is awaited for resultMs. A final result instead of the prompt is the answer;
    // no prompt within promptMs, or a stop, abandons the entry with ESC.
    Answer commandWithData(const std::string& line, const std::string& data, const Expect& expect,
                           int promptMs = kPromptMs, int resultMs = kSendMs);

    enum class Woken { Arrived, Wake, Deadline, NoDevice, DeviceChanged, Stopped };
    // A receiver's wait: sleeps until the modem sends something (taken at once: unsolicited
    // results to the queue; a reset of the modem set up again), wakeFd becomes readable, the
    // queue is given something by a command, untilMs (monotonic, -1: no limit) passes, or the
    // channel stops; while the device is not open, deviceFd (an inotify descriptor on its folder,
    // say) becoming readable ends it too. Never wakes for nothing.
    Woken wait(int wakeFd, long long untilMs, int deviceFd = -1);
    std::vector<Unsolicited> takeUnsolicited();
    // Counts the openings of the device: one that changes finds the modem set up afresh.
    unsigned generation();
    // Why the last opening failed; None once the device is open.
    OpenFailure lastFailure();
    // Whether the modem's SMS service has shown itself there: PDU mode taken, and an SMS command
    // answered OK since the device was opened. A refusal before it may pass.
    bool smsReady();
    // Closes the device; the next command opens it again.
    void release();
    // Ends every wait at once and for good (an entry of data with ESC); every later call answers
    // kNotInitiated. Safe from a signal handler's thread.
    void stop();
    bool stopped() const { return m_stopped; }

    static constexpr size_t kQueueLimit = 64;  // unsolicited results kept, the oldest dropped first
    static constexpr int kTimeoutsBeforeReopen = 3;

private:
    enum class Read { Data, Timeout, Vanished, Stopped };
    bool open();
    bool setUp();
    bool pduMode();
    bool setUpAgainIfReset();
    void noteUnsolicited(const std::string& line);
    // Reads what has come (tokens appended), waiting until deadlineMs for something.
    Read readSome(long long deadlineMs, std::vector<Token>& tokens);
    bool writeAll(const std::string& bytes, long long deadlineMs);
    // Routes the tokens of what arrived; true once the command has its final result.
    bool route(std::vector<Token>& tokens, const Expect* expect, Answer& answer, bool& prompted, bool& completed);
    void queue(const Token& token);
    Answer run(const std::string& line, const std::string* data, const Expect& expect, int firstMs, int resultMs);
    bool takeUnasked(Answer& answer);
    Answer exchange(const std::string& line, const std::string* data, const Expect& expect, int firstMs, int resultMs);
    // After a timeout: what is late is drained, and AT is sent until OK comes.
    bool resynchronise();
    void drain(int quietMs, int limitMs);
    void vanish(Answer& answer);
    void closeDevice();
    void report(const std::string& message);

    const Config m_config;
    std::mutex m_mutex;  // one command at a time
    int m_fd = -1;
    int m_stopFd = -1;   // readable once stopped
    int m_queueFd = -1;  // readable while the queue holds something
    std::atomic<bool> m_stopped{false};
    unsigned m_generation = 0;
    Tokenizer m_tokenizer;
    bool m_resync = false;
    bool m_resynchronising = false;
    bool m_headerTaken = false;  // the last line the command took was a +CMGR: or +CMGL: header
    bool m_pduMode = false;      // AT+CMGF=0 taken
    bool m_smsWorked = false;    // an SMS command answered OK since the opening
    bool m_smsAnnounced = false; // SMS DONE and its kin came
    bool m_echoOff = false;      // ATE0 was sent: echo means a modem that started afresh
    int m_echoResets = 0;
    bool m_setUpAgain = false;
    int m_timeouts = 0;  // commands unanswered in a row
    std::string m_lastReport;
    OpenFailure m_failure;
    std::mutex m_queueMutex;
    std::deque<Unsolicited> m_unsolicited;
    size_t m_dropped = 0;
};

}  // namespace atmodem
#pragma GCC visibility pop

#endif
