// The one AT channel to a modem on a serial device (3GPP TS 27.007 / 27.005). It owns the tty,
// brings the modem to a known state, reads its lines, tells a command's answer from unsolicited
// results (kept in a queue for whoever wants them), and bounds every wait. Every call is safe from
// any thread; commands are made one at a time.
#ifndef ATMODEM_AT_CHANNEL_H
#define ATMODEM_AT_CHANNEL_H

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

// Exported for the programs of a Linux device (the service, its receiver) and the tests.
#pragma GCC visibility push(default)
namespace atmodem {

// Results beyond the telephony service's 0 (success) and 12 (not initiated: no modem).
constexpr int32_t kOk = 0;
constexpr int32_t kError = 1;        // the modem answered ERROR, or an answer that means nothing
constexpr int32_t kNoAnswer = 2;     // no final result within the time bound
constexpr int32_t kVanished = 3;     // the device went away during the call
constexpr int32_t kBadRequest = 4;   // the request cannot be put into a command
constexpr int32_t kNotInitiated = 12;
constexpr int32_t kCmeError = 1000;  // + n for +CME ERROR: n
constexpr int32_t kCmsError = 2000;  // + n for +CMS ERROR: n

// How long a command may take, in milliseconds.
constexpr int kCommandMs = 10000;
constexpr int kPromptMs = 10000;
constexpr int kSendMs = 60000;

// Milliseconds on the monotonic clock, which every bound of the channel and its users reads.
long long nowMs();

struct Answer {
    int32_t result = kOk;
    std::vector<std::string> lines;  // the command's own lines, in order
};

struct Unsolicited {
    std::string line;
    std::string pdu;  // the line that follows +CMT: and +CDS:
};

struct Config {
    std::string device;
    int baud = 115200;
    bool rtscts = false;
};

class Channel {
public:
    explicit Channel(Config config) : m_config(std::move(config)) {}
    ~Channel() { release(); }
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // The channel of the telephony functions, on ZAVTAPI_MODEM at ZAVTAPI_MODEM_BAUD, with
    // RTS/CTS when ZAVTAPI_MODEM_RTSCTS is "yes".
    static Channel& shared();

    // Sends a command and waits up to timeoutMs for its final result; kNotInitiated while the
    // device cannot be opened or the modem does not answer AT. With complete given, a line that
    // starts with it ends the wait soon after, final result or not (some modems send none).
    Answer command(const std::string& line, int timeoutMs = kCommandMs, const char* complete = nullptr);
    // A command that takes data after the "> " prompt: data and Ctrl-Z go on the prompt (ESC when
    // none comes within promptMs), and the final result is awaited for resultMs.
    Answer commandWithData(const std::string& line, const std::string& data, int promptMs = kPromptMs,
                           int resultMs = kSendMs);
    // Waits up to ms for what the modem sends with no command made, and takes it: a receiver's
    // wait, which holds the channel only to read. False while the device is not open.
    bool idle(int ms);
    std::vector<Unsolicited> takeUnsolicited();
    // Counts the openings of the device: one that changes finds the modem set up afresh.
    unsigned generation();
    // Closes the device; the next command opens it again unless closeForGood.
    void release(bool closeForGood = false);

private:
    enum class Read { Data, Timeout, Vanished };
    bool open();
    bool setUp();
    Read readSome(long long deadlineMs);
    bool writeAll(const std::string& bytes, long long deadlineMs);
    // Handles the lines received; true once a final result (or the prompt, when awaited) has come.
    bool takeLines(const std::string& sent, Answer& answer, bool awaitingPrompt, const char* complete, bool& completed);
    Answer exchange(const std::string& line, const std::string* data, int firstMs, int resultMs, const char* complete);
    void vanish(Answer& answer);
    void closeDevice();
    void report(const std::string& message);

    const Config m_config;
    std::mutex m_mutex;  // one command at a time
    int m_fd = -1;
    bool m_closedForGood = false;
    unsigned m_generation = 0;
    std::string m_pending;  // bytes received that are not yet a whole line
    bool m_pduNext = false;
    std::string m_awaitingPdu;  // a +CMT: or +CDS: line whose PDU line is still to come
    std::string m_lastReport;
    std::mutex m_queueMutex;
    std::deque<Unsolicited> m_unsolicited;
};

}  // namespace atmodem
#pragma GCC visibility pop

#endif
