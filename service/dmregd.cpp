// dmregd: the registration service of a Linux device with a cellular modem. It is the host of the
// registration library that a handset's platform would be: it runs the library's flow, tries
// again when a send fails or no reply comes (lifetime.h), receives the server's replies from the
// modem and hands them to the library's listener (receiver.h), and ends once the registration is
// confirmed, or when it is told to stop. The modem's one AT port is shared by the flow and the
// receiver through one channel.
//
// One object, the Service, owns what a run holds. The library reaches it through the functions
// it calls that this program defines in their place (sleep, accept4, two telephony calls), which
// is why it is known to them by a global.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

#include "DM_RegLaunch.h"
#include "DM_RegServer.h"
#include "at_answers.h"
#include "at_channel.h"
#include "diagnosis.h"
#include "dmreg_config.h"
#include "files.h"
#include "lifetime.h"
#include "numbers.h"
#include "receiver.h"
#include "records.h"
#include "settings.h"
#include "trace_sink.h"
#include "zavtapi.h"

using namespace service;  // NOLINT(google-build-using-namespace): the program of the service's parts

namespace {

const char kDefaultConfig[] = "/etc/dmreg/dmregd.conf";
constexpr long long kClearRepliesMs = 60000;

// ---------------------------------------------------------------------------------------------
// Lines for the journal: the service's own start with "[dmregd]", errors of its start with
// "dmregd:". Each goes to standard error with its priority before it ("<3>"), which the trace
// sink hands to the journal or drops for a terminal.

std::atomic<bool> g_sinkRunning{false};

void emit(int priority, const char* start, const char* format, va_list args)
{
    char line[1024];
    const int prefix = g_sinkRunning ? snprintf(line, sizeof(line), "<%d>%s", priority, start) : snprintf(line, sizeof(line), "%s", start);
    vsnprintf(line + prefix, sizeof(line) - static_cast<size_t>(prefix) - 1, format, args);
    strcat(line, "\n");  // NOLINT(cert-err33-c): bounded by the size left for it above
    fputs(line, stderr);
}

void say(int priority, const char* format, ...) __attribute__((format(printf, 2, 3)));
void say(int priority, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    emit(priority, "[dmregd] ", format, args);
    va_end(args);
}

void complain(const char* format, ...) __attribute__((format(printf, 1, 2)));
void complain(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    emit(kErr, "dmregd: ", format, args);
    va_end(args);
}

// systemd's notification of readiness and status (sd_notify(3)), when it runs the service.
void notify(const std::string& state)
{
    const char* path = getenv("NOTIFY_SOCKET");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path == nullptr || path[0] == '\0' || strlen(path) >= sizeof(address.sun_path)) {
        return;
    }
    memcpy(address.sun_path, path, strlen(path));
    address.sun_path[0] = path[0] == '@' ? '\0' : path[0];  // an abstract socket
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        sendto(fd, state.data(), state.size(), MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&address),
               static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + strlen(path)));
        close(fd);
    }
}

// An eventfd's count never nears its bound here, so the write neither blocks nor fails.
void post(int fd)
{
    eventfd_write(fd, 1);
}

// ---------------------------------------------------------------------------------------------
// Clocks and the boot.

long long bootMs()
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// A time on the boot's clock as the wall clock shows it.
std::string wallTime(long long atBootMs)
{
    const time_t at = time(nullptr) + static_cast<time_t>((atBootMs - bootMs()) / 1000);
    tm local{};
    char text[32];
    strftime(text, sizeof(text), "%Y-%m-%d %H:%M:%S", localtime_r(&at, &local));
    return text;
}

struct Paths {
    std::string runFolder = folderOf(DMREG_SOCKET_PATH);
    std::string stateFolder = folderOf(DMREG_STATUS_FILE);
    std::string record = stateFolder + "/dmregd.state";
    std::string tree = stateFolder + "/tree.txt";   // the service's own copy of the maker's
    std::string bootMark = runFolder + "/boot";     // this boot's, where the kernel's is hidden
};

// What tells this boot from the next: the kernel's boot id, or, where a sandbox hides it, a mark
// of the service's own in its runtime folder, which lives until the machine stops.
std::string bootId(const Paths& paths, bool make)
{
    std::string id;
    std::string error;
    if (readFile("/proc/sys/kernel/random/boot_id", 64, id, error) == Read::Ok && !id.empty()) {
        return id.substr(0, id.find('\n'));
    }
    if (readFile(paths.bootMark, 64, id, error) == Read::Ok && !id.empty()) {
        return id;
    }
    unsigned char bytes[16];
    if (!make || getrandom(bytes, sizeof(bytes), 0) != static_cast<ssize_t>(sizeof(bytes))) {
        return "";
    }
    char text[40] = "mark-";
    for (size_t i = 0; i < sizeof(bytes); ++i) {
        snprintf(text + 5 + 2 * i, 3, "%02x", bytes[i]);
    }
    return writeDurably(paths.bootMark, text, error) ? text : "";
}

bool registered(const std::string& imsi)
{
    std::string recorded;
    std::string error;
    return !imsi.empty() && readFile(DMREG_STATUS_FILE, 64, recorded, error) == Read::Ok && recorded == imsi;
}

std::string resultText(int32_t result)
{
    return result >= atmodem::kCmsError      ? "+CMS ERROR: " + std::to_string(result - atmodem::kCmsError)
           : result >= atmodem::kCmeError    ? "+CME ERROR: " + std::to_string(result - atmodem::kCmeError)
           : result == atmodem::kNoAnswer    ? "no answer in time"
           : result == atmodem::kVanished    ? "the modem went away"
           : result == atmodem::kNotInitiated ? "no modem answers"
           : result == atmodem::kStopped     ? "stopped"
                                             : "refused, result " + std::to_string(result);
}

// ---------------------------------------------------------------------------------------------
// The run.

class Service {
public:
    Service(Settings settings, bool fast) : m_settings(std::move(settings)), m_fast(fast) {}
    int run();

    // What the library's calls tell this program (see the functions below the class).
    void sleep(unsigned seconds);
    int accept(int (*real)(int, sockaddr*, socklen_t*, int), int socket, sockaddr* address, socklen_t* length, int flags);
    TAPI_RESULT send(TAPI_RESULT (*real)(const _TAPI_SMS_SEND_PORT_SM_S*, uint32_t*), const _TAPI_SMS_SEND_PORT_SM_S* sms,
                     uint32_t* requestId);
    void identity(bool imsi, const char* value);
    // A telephony call of the flow failed in a way that ends the flow before it decides.
    void fault(const std::string& what);

private:
    int start();
    int live();
    std::thread startTraceSink();
    std::thread startSignals();
    std::thread startFlow(bool whole);
    void stopAll();
    void endListening();
    // A story line that systemd's status shows too.
    void tell(int priority, const std::string& line, const std::string& status = "");
    template <class Change>
    bool change(Change changeLife);
    bool recorded(const std::string& text);
    std::string replyNumbers() const;

    Settings m_settings;
    const bool m_fast;
    const Paths m_paths;
    std::atomic<bool> m_stop{false};
    int m_stopFd = eventfd(0, EFD_CLOEXEC);                  // readable once the service stops
    int m_eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);  // the other threads tell the main thread
    int m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);   // the receiver's
    std::atomic<int> m_exit{-1};  // a status that ends the run whatever the lifetime says
    int m_lock = -1;              // the state folder, locked until the process ends

    // The listening that a try or a reply's wait ends by making the listener's accept fail, and
    // the client it serves, whose wait a stop ends.
    std::mutex m_listenMutex;
    int m_listening = -1;
    int m_client = -1;
    bool m_endListening = false;

    // What the other threads tell the main thread.
    std::mutex m_eventMutex;
    struct Events {
        bool failedSend = false;          // a send the telephony refused
        std::vector<std::string> handed;  // replies recorded and out of storage
        bool flowEnded = false;
    } m_events;
    std::string m_imsi;  // as the telephony gave them to the library
    std::string m_imei;
    bool m_flowRunning = false;
    std::string m_tryFault;  // why the running try's flow may end before it decides

    // The lifetime, of the main thread and of the flow's sends, and what was stored before.
    std::mutex m_lifeMutex;
    std::unique_ptr<Lifetime> m_life;
    Record m_stored;
    bool m_sentInRun = false;
    int m_sleepsInTry = 0;
    std::unique_ptr<ReceiverThread> m_receiver;
};

Service* g_service = nullptr;

void Service::tell(int priority, const std::string& line, const std::string& status)
{
    say(priority, "%s", line.c_str());
    notify("STATUS=" + (status.empty() ? line : status));
}

std::string Service::replyNumbers() const
{
    std::string numbers;
    for (const std::string& n : m_settings.replyFrom) {
        numbers += (numbers.empty() ? "" : ", ") + n;
    }
    return numbers;
}

// A change of the lifetime, saved at once; false when the record could not be saved.
template <class Change>
bool Service::change(Change changeLife)
{
    std::lock_guard<std::mutex> lock(m_lifeMutex);
    if (!m_life) {
        return true;
    }
    changeLife(*m_life);
    std::string error;
    if (!saveRecord(m_paths.record, m_life->record(), error)) {
        say(kErr, "%s", error.c_str());
        return false;
    }
    return true;
}

// Standard error goes through the trace sink on its way to the journal.
std::thread Service::startTraceSink()
{
    int fds[2];
    const int journal = dup(STDERR_FILENO);
    if (journal < 0 || pipe2(fds, O_CLOEXEC) != 0) {
        return std::thread();
    }
    // The journal takes a priority before each line; a terminal or a file gets the lines bare.
    struct stat st{};
    const char* stream = getenv("JOURNAL_STREAM");
    char mine[64];
    const bool known = fstat(journal, &st) == 0;
    snprintf(mine, sizeof(mine), "%lu:%lu", static_cast<unsigned long>(st.st_dev), static_cast<unsigned long>(st.st_ino));
    const bool toJournal = known && stream != nullptr && strcmp(stream, mine) == 0;
    fflush(stderr);
    dup2(fds[1], STDERR_FILENO);
    close(fds[1]);
    g_sinkRunning = true;
    return std::thread([in = fds[0], journal, toJournal] {
        TraceSink sink;
        std::string pending;
        char buffer[4096];
        for (ssize_t got; (got = read(in, buffer, sizeof(buffer))) != 0;) {
            if (got < 0) {
                if (errno == EINTR) {
                    continue;
                }
                break;
            }
            pending.append(buffer, static_cast<size_t>(got));
            size_t start = 0;
            for (size_t lf; (lf = pending.find('\n', start)) != std::string::npos; start = lf + 1) {
                for (const TraceSink::Line& line : sink.take(pending.substr(start, lf - start), atmodem::nowMs())) {
                    const std::string text = (toJournal ? "<" + std::to_string(line.priority) + ">" : "") + line.text + "\n";
                    for (size_t done = 0; done < text.size();) {  // nobody reads: nothing to tell
                        const ssize_t n = ::write(journal, text.data() + done, text.size() - done);
                        done = n > 0 ? done + static_cast<size_t>(n) : n < 0 && errno == EINTR ? done : text.size();
                    }
                }
            }
            pending.erase(0, start);
        }
        close(in);
        close(journal);
    });
}

// One thread takes the signals, through a descriptor it waits on, and ends every wait.
std::thread Service::startSignals()
{
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGTERM);
    sigaddset(&stopping, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
    return std::thread([this, descriptor = signalfd(-1, &stopping, SFD_CLOEXEC)] {
        pollfd ready[2] = {{descriptor, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
        signalfd_siginfo info{};
        while (poll(ready, 2, -1) < 0 && errno == EINTR) {
        }
        if (ready[0].revents != 0 && read(descriptor, &info, sizeof(info)) > 0) {
            say(kNotice, "stopping (%s)", strsignal(static_cast<int>(info.ssi_signo)));
            notify("STOPPING=1");
            stopAll();
            post(m_eventFd);
        }
        close(descriptor);
    });
}

// Every wait ends: the library's sleeps, the telephony's calls (an entry of data with ESC), the
// receiver's wait, the listener's accept and its wait for a client's text.
void Service::stopAll()
{
    m_stop = true;
    post(m_stopFd);
    atmodem::Channel::shared().stop();
    std::lock_guard<std::mutex> lock(m_listenMutex);
    if (m_client >= 0) {
        shutdown(m_client, SHUT_RDWR);  // what the client sent is judged as a text cut short
    }
}

void Service::endListening()
{
    std::lock_guard<std::mutex> lock(m_listenMutex);
    m_endListening = true;
    if (m_listening >= 0) {
        shutdown(m_listening, SHUT_RDWR);  // the listener's accept fails, and its listening ends
    }
}

// A try: the library's whole flow; or, for a reply already sent for, its listener alone.
std::thread Service::startFlow(bool whole)
{
    {
        std::lock_guard<std::mutex> lock(m_listenMutex);
        m_endListening = false;
        m_listening = -1;
    }
    m_sleepsInTry = 0;
    {
        std::lock_guard<std::mutex> lock(m_eventMutex);
        m_flowRunning = true;
        m_tryFault.clear();
    }
    return std::thread([this, whole] {
        if (whole) {
            DM_RegLaunch().activateDmRegister();
        } else {
            DM_RegServer* listener = new (std::nothrow) DM_RegServer(DMREG_SOCKET_PATH);
            if (listener != nullptr) {
                listener->listenAndProcess();
                delete listener;
            }
        }
        std::lock_guard<std::mutex> lock(m_eventMutex);
        m_flowRunning = false;
        m_events.flowEnded = true;
        post(m_eventFd);
    });
}

// The library's waits: shortened with --fast, and ended at once when the service stops. Its first
// in a try is its start-up delay, the others are the PIN wait's.
void Service::sleep(unsigned seconds)
{
    if (m_fast) {
        say(kInfo, "sleep(%u) shortened to 10 ms", seconds);
    }
    const long long until = atmodem::nowMs() + (m_fast ? 10 : 1000LL * seconds);
    if (m_sleepsInTry++ == 0) {
        tell(kInfo, "the registration waits " + std::to_string(seconds) + " s after its start, until " +
                        wallTime(bootMs() + (until - atmodem::nowMs())) + ", before it looks at the SIM");
    } else if (m_sleepsInTry == 2) {
        tell(kNotice, "the SIM asks for its PIN: the registration waits until it is entered, looking every " +
                          std::to_string(seconds) + " s", "waiting for the SIM PIN to be entered");
    }
    for (long long left; !m_stop && (left = until - atmodem::nowMs()) > 0;) {
        pollfd stop{m_stopFd, POLLIN, 0};
        poll(&stop, 1, static_cast<int>(left));
    }
}

// The listener's socket, so that the service can end its listening, and its client; and the
// receiver told that a listener is there to take replies.
int Service::accept(int (*real)(int, sockaddr*, socklen_t*, int), int socket, sockaddr* address, socklen_t* length, int flags)
{
    {
        std::lock_guard<std::mutex> lock(m_listenMutex);
        m_client = -1;
        if (m_stop || m_endListening) {
            errno = EINVAL;
            return -1;
        }
        if (m_listening != socket) {
            m_listening = socket;
            post(m_wakeFd);
        }
    }
    const int client = real(socket, address, length, flags);
    std::lock_guard<std::mutex> lock(m_listenMutex);
    m_client = client;
    if (m_stop && client >= 0) {
        shutdown(client, SHUT_RDWR);
    }
    return client;
}

void Service::fault(const std::string& what)
{
    std::lock_guard<std::mutex> lock(m_eventMutex);
    if (m_flowRunning) {
        m_tryFault = what;
    }
}

void Service::identity(bool imsi, const char* value)
{
    std::lock_guard<std::mutex> lock(m_eventMutex);
    (imsi ? m_imsi : m_imei).assign(value, strnlen(value, TAPI_IDENTITY_LEN));
}

// The library's send. Before a SIM's first send, the replies of an earlier registration leave
// the modem's storage; the send is recorded before it is made, so that no restart sends again
// what may have gone out, and is not made when it cannot be recorded.
TAPI_RESULT Service::send(TAPI_RESULT (*real)(const _TAPI_SMS_SEND_PORT_SM_S*, uint32_t*), const _TAPI_SMS_SEND_PORT_SM_S* sms,
                          uint32_t* requestId)
{
    if (m_stop) {
        return atmodem::kStopped;
    }
    std::string imsi;
    {
        std::lock_guard<std::mutex> lock(m_eventMutex);
        imsi = m_imsi;
    }
    const bool sentBefore = m_sentInRun || (!imsi.empty() && m_stored.imsi == imsi && m_stored.tries > 0);
    if (!sentBefore && m_receiver && !m_receiver->clearEarlierReplies(kClearRepliesMs)) {
        say(kWarning, "the server's replies in the modem's storage could not all be deleted: one of them may be taken "
                      "for the reply to this SIM's registration");
    }
    int tryNumber = 0;
    long long sentAt = 0;
    if (!change([&](Lifetime& life) {
            life.sendStarting(imsi, bootMs());
            tryNumber = life.record().tries;
            sentAt = life.record().sentAt;
        })) {
        tell(kErr, "try " + std::to_string(tryNumber) + " cannot be recorded in " + m_paths.record +
                       ": the registration SMS is not sent; dmregd ends, and is started again later");
        m_exit = kCannotRecord;
        stopAll();
        post(m_eventFd);
        return atmodem::kStopped;
    }
    m_sentInRun = true;
    post(m_eventFd);  // the reply's deadline runs from now
    const TAPI_RESULT result = real(sms, requestId);
    const std::string tries = std::to_string(tryNumber) + " of " + std::to_string(1 + m_settings.retries);
    if (result == TAPI_RESULT_SUCCESS) {
        const std::string until = wallTime(sentAt + m_settings.replyWaitMs);
        tell(kNotice, "try " + tries + " sent to " + escaped(std::string(sms->serveraddr, strnlen(sms->serveraddr, sizeof(sms->serveraddr)))) +
                          "; waiting until " + until + " for a reply from " + replyNumbers(),
             "waiting for the server's reply to try " + tries + ", until " + until);
    } else {
        change([&](Lifetime& life) { life.sendFailed(bootMs(), "the registration SMS was not sent: " + resultText(result)); });
        std::lock_guard<std::mutex> lock(m_eventMutex);
        m_events.failedSend = true;
        post(m_eventFd);
    }
    return result;
}

// Whether what a reply the listener took means is on the disk: the registration in the status
// file and the tree, or, for a reply that does not confirm it, RegStatus 0.
bool Service::recorded(const std::string& text)
{
    std::string imsi;
    std::string imei;
    {
        std::lock_guard<std::mutex> lock(m_eventMutex);
        imsi = m_imsi;
        imei = m_imei;
    }
    const Registration r = readRegistration(DMREG_STATUS_FILE, m_paths.tree);
    if (confirms(text, imei)) {
        return !imsi.empty() && r.statusImsi == imsi && r.treeImsi == imsi && r.treeStatus == 1;
    }
    return r.treeStatus == 0;
}

// The lifetime's steps, until it ends; answers the exit status.
int Service::live()
{
    const auto locked = [this](auto step) {
        std::lock_guard<std::mutex> lock(m_lifeMutex);
        return step(*m_life);
    };
    const int tries = 1 + m_settings.retries;
    std::thread flow;
    bool listening = false;  // the flow running is a listener that waits for a reply
    std::string waitTold;
    for (;;) {
        const Lifetime::Next next = locked([](Lifetime& life) { return life.next(bootMs()); });
        const Record record = locked([](Lifetime& life) { return life.record(); });
        if (next.step == Lifetime::Step::Exit) {
            stopAll();
            endListening();
            if (flow.joinable()) {
                flow.join();
            }
            return m_exit >= 0 ? m_exit.load() : next.exitStatus;
        }
        // A stop that came while dmregd started begins no try.
        if (!flow.joinable() && !m_stop && (next.step == Lifetime::Step::RunFlow || next.step == Lifetime::Step::Listen)) {
            listening = next.step == Lifetime::Step::Listen;
            if (listening) {
                tell(kNotice, "awaiting the server's reply to the registration sent before, until " + wallTime(next.untilMs),
                     "waiting for the server's reply to try " + std::to_string(record.tries) + " of " + std::to_string(tries) +
                         ", until " + wallTime(next.untilMs));
            } else {
                tell(kInfo, "registration: try " + std::to_string(record.tries + 1) + " of " + std::to_string(tries));
            }
            flow = startFlow(!listening);
        }
        if (next.step == Lifetime::Step::Wait && next.untilMs >= 0 && !flow.joinable()) {
            const std::string line = "try " + std::to_string(record.tries) + " of " + std::to_string(tries) + " failed (" +
                                     record.failure + "): the next try at " + wallTime(next.untilMs);
            if (line != waitTold) {
                tell(kWarning, line, "waiting for try " + std::to_string(record.tries + 1) + " of " + std::to_string(tries) +
                                         " at " + wallTime(next.untilMs) + " (last: " + record.failure + ")");
                waitTold = line;
            }
        }
        if (next.step == Lifetime::Step::Listen && next.untilMs >= 0 && bootMs() >= next.untilMs) {
            say(kWarning, "no reply to try %d came by %s", record.tries, wallTime(next.untilMs).c_str());
            endListening();  // no reply within reply_wait: the try ends, and the next one sends again
        }
        pollfd ready{m_eventFd, POLLIN, 0};
        const long long left = next.untilMs < 0 ? -1 : std::max(0LL, next.untilMs - bootMs());
        if (poll(&ready, 1, static_cast<int>(std::min(left, 24LL * 3600 * 1000))) < 0 && errno != EINTR) {
            say(kErr, "cannot wait for events: %s", strerror(errno));
            m_exit = kSoftware;
            locked([](Lifetime& life) { life.stop(); return 0; });
            continue;
        }
        if (m_stop) {
            locked([](Lifetime& life) { life.stop(); return 0; });
            continue;
        }
        uint64_t count = 0;
        if (ready.revents == 0 || read(m_eventFd, &count, sizeof(count)) < 0) {
            continue;
        }
        Events events;
        std::string imsi;
        std::string fault;
        {
            std::lock_guard<std::mutex> lock(m_eventMutex);
            std::swap(events, m_events);
            imsi = m_imsi;
            fault = m_tryFault;
        }
        if (events.failedSend) {
            endListening();  // no reply can come
        }
        for (const std::string& text : events.handed) {
            if (registered(imsi)) {
                change([](Lifetime& life) { life.replyRecorded(); });
                endListening();
            } else {
                tell(kWarning, "the server's reply '" + escaped(text) + "' does not confirm the registration: still waiting for "
                               "another until " + wallTime(record.sentAt + m_settings.replyWaitMs));
                change([&](Lifetime& life) { life.noteFailure("the server's reply '" + escaped(text) + "' did not confirm it"); });
            }
        }
        if (events.flowEnded) {
            flow.join();
            int32_t status = -1;
            const bool answered = listening || TAPI_ACCE_GetSimCardStatus(&status) != TAPI_RESULT_NOT_INITIATED;
            change([&](Lifetime& life) { life.flowEnded(registered(imsi), answered, bootMs(), fault); });
            listening = false;
        }
    }
}

// Everything before the lifetime: the folders, the tree, the modem and the SIM. -1 when the
// registration may go on, else the exit status.
int Service::start()
{
    const struct {
        const std::string& folder;
        const char* role;
        const char* remedy;
    } folders[] = {
        {m_paths.runFolder, "the socket's folder", "build with DMREG_DEVICE_PATHS=ON or a socket path in a folder of the service's own"},
        {m_paths.stateFolder, "the state folder", "build with DMREG_DEVICE_PATHS=ON or a status file in a folder of the service's own"},
    };
    for (const auto& f : folders) {
        const std::string wrong = ownFolder(f.folder, f.role, f.remedy);
        if (!wrong.empty()) {
            complain("%s: refused", wrong.c_str());
            return kFolders;
        }
    }
    // One dmregd on a state folder at a time, and --forget not while it runs.
    m_lock = open(m_paths.stateFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_lock < 0 || flock(m_lock, LOCK_EX | LOCK_NB) != 0) {
        if (m_lock >= 0 && errno == EWOULDBLOCK) {
            complain("another dmregd works on %s: this one ends", m_paths.stateFolder.c_str());
            return kModemBusy;
        }
        complain("cannot lock %s: %s", m_paths.stateFolder.c_str(), strerror(errno));
        return kCannotRecord;
    }
    const int leftovers = removeLeftovers(m_paths.stateFolder);
    if (leftovers > 0) {
        say(kInfo, "removed %d new files that a write cut short left in %s", leftovers, m_paths.stateFolder.c_str());
    }

    // The maker's tree, checked as it stands, then the service's copy made from it.
    std::string makerTree = m_settings.tree;
    if (makerTree == m_paths.tree) {
        makerTree = m_settings.besideConfiguration;
        say(kWarning, "tree = %s names dmregd's own copy of the tree: the maker's is %s", m_paths.tree.c_str(), makerTree.c_str());
    }
    std::string text;
    std::string error;
    const Read read = readFile(makerTree, kLongestTree, text, error, true);
    if (read != Read::Ok) {
        const std::string wrong = read == Read::Missing ? "there is no tree at " + makerTree : error;
        tell(kWarning, "not configured for registration: " + wrong + ". Make it from " DMREG_TREE_TEMPLATE " and fill in the "
                       "operators, the server's number and ports, Man, Mod and SwV, then set Enable to true (see dmregd(8)).",
             "not configured: " + wrong);
        return kNotConfigured;
    }
    const std::string untrusted = trustedToRead(makerTree);
    if (!untrusted.empty()) {
        complain("%s: refused", untrusted.c_str());
        return kFolders;
    }
    setenv("DMNATIVE_TREE", makerTree.c_str(), 1);
    const TreeFacts facts = readTreeFacts();
    const std::string missing = notConfigured(facts);
    if (!missing.empty()) {
        tell(kWarning, "not configured for registration: " + missing + " in " + makerTree +
                           ". Fill in what is missing, then set Enable to true (see dmregd(8)).",
             "not configured: " + missing);
        return kNotConfigured;
    }
    if (!readRegistration(DMREG_STATUS_FILE, m_paths.tree).statusReadable) {
        readFile(DMREG_STATUS_FILE, 64, text, error);
        complain("%s: the status file must be a regular file of the service's: refused", error.c_str());
        return kFolders;
    }
    TreeCopy copy;
    if (!makeTreeCopy(text, makerTree, m_paths.tree, DMREG_STATUS_FILE, copy)) {
        tell(kErr, "the tree cannot be made: " + copy.error + "; dmregd ends, and is started again later");
        return kCannotRecord;
    }
    for (const std::string& note : copy.notes) {
        say(kWarning, "%s", note.c_str());
    }
    setenv("DMNATIVE_TREE", m_paths.tree.c_str(), 1);
    if (m_settings.replyFrom.empty()) {
        m_settings.replyFrom.push_back(facts.serverNumber);
    }

    say(kInfo, "registering over the modem %s, tree %s, replies from %s", m_settings.modem.c_str(), makerTree.c_str(),
        replyNumbers().c_str());

    // The modem, and its SIM.
    atmodem::Channel& modem = atmodem::Channel::shared();
    if (modem.command("AT").result == atmodem::kNotInitiated && !m_stop) {
        const Diagnosis diagnosis = diagnose(modem.lastFailure(), m_settings.modem);
        tell(kErr, diagnosis.line);
        return diagnosis.exitStatus;
    }
    int32_t card = -1;
    if (TAPI_ACCE_GetSimCardStatus(&card) == TAPI_RESULT_SUCCESS && (card == atmodem::kSimAbsent || card == atmodem::kSimFailure)) {
        tell(kErr, std::string("the modem at ") + m_settings.modem + " holds no usable SIM (" +
                       (card == atmodem::kSimAbsent ? "none is in" : "the card fails") + "): nothing is registered until one is in");
        return kNoSim;
    }
    char imsi[TAPI_IDENTITY_LEN] = {};
    if (TAPI_ACCE_GetImsi(imsi) == TAPI_RESULT_SUCCESS && registered(imsi)) {
        tell(kInfo, std::string("the SIM ") + imsi + " is registered already", std::string("SIM ") + imsi + " registered");
        return kDone;
    }
    m_stored = loadRecord(m_paths.record, error);
    if (!error.empty()) {
        say(kWarning, "%s", error.c_str());
    }
    const std::string boot = bootId(m_paths, true);
    if (boot.empty()) {
        say(kWarning, "this boot cannot be told from the next: a restart sends again");
    }
    std::vector<std::string> home;
    for (const std::string& number : m_settings.replyFrom) {
        home.push_back(countryCode(number));
    }
    home.push_back(countryOfMcc(std::string(imsi).substr(0, 3)));

    ReceiverConfig receiving;
    receiving.socketPath = DMREG_SOCKET_PATH;
    receiving.replyFrom = m_settings.replyFrom;
    receiving.homeCountries = home;
    receiving.device = m_settings.modem;
    receiving.clientPort = static_cast<int>(facts.clientPort);
    receiving.listIntervalMs = m_settings.listIntervalMs;
    receiving.wakeFd = m_wakeFd;
    if (m_fast) {  // the receiver's own waits shortened too
        receiving.keepIncompleteMs = 500;
        receiving.listenerAgainMs = 200;
    }
    receiving.log = [](int priority, const std::string& line) { say(priority, "receiver: %s", line.c_str()); };
    receiving.recorded = [this](const std::string& text) { return recorded(text); };
    receiving.handed = [this](const std::string& text) {
        std::lock_guard<std::mutex> lock(m_eventMutex);
        m_events.handed.push_back(text);
        post(m_eventFd);
    };
    m_receiver.reset(new ReceiverThread(modem, receiving));
    std::lock_guard<std::mutex> lock(m_lifeMutex);
    m_life.reset(new Lifetime({m_settings.retries, m_settings.retryIntervalMs, m_settings.replyWaitMs}, m_stored, boot, imsi, bootMs()));
    return -1;
}

int Service::run()
{
    signal(SIGPIPE, SIG_IGN);  // a reader of standard error that goes away is no reason to die
    umask(0077);
    std::thread signals = startSignals();  // first: every thread after it has the signals blocked
    std::thread sink = startTraceSink();
    notify("READY=1\nSTATUS=starting");

    int status = start();
    if (status < 0) {
        status = live();
        const Lifetime::State end = m_life->state();
        const std::string imsi = m_life->record().imsi;
        if (status == kGaveUp) {
            tell(kErr, "every try failed: giving up until the service is started again", "gave up: every try failed");
        } else if (status == kModemBusy) {
            tell(kErr, "no modem answers: the SIM was not checked; tried again later");
        } else if (end == Lifetime::State::Registered) {
            tell(kNotice, "the registration of SIM " + imsi + " is confirmed", "SIM " + imsi + " registered");
        } else if (end == Lifetime::State::NotNeeded) {
            tell(kInfo, registered(imsi) ? "the SIM " + imsi + " is registered already"
                                         : "nothing to register: the registration ended without a send (see its trace)");
        }
    }
    stopAll();
    m_receiver.reset();  // joined: the channel has stopped
    signals.join();
    atmodem::Channel::shared().release();  // the modem's port is free for others
    unlink(DMREG_SOCKET_PATH);
    say(kInfo, "ended");
    const int nothing = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(nothing, STDERR_FILENO);  // the sink reads to the end of what was written
    close(nothing);
    if (sink.joinable()) {
        sink.join();
    }
    return status;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The library's calls that this program defines in the C library's and the telephony's place.

extern "C" unsigned int sleep(unsigned int seconds)
{
    if (g_service != nullptr) {
        g_service->sleep(seconds);
    }
    return 0;
}

// What the hooks below pass on to: the C library's and the telephony's own calls, found once by
// main before any thread can call them.
namespace {

struct Next {
    int (*accept4)(int, struct sockaddr*, socklen_t*, int);
    TAPI_RESULT (*send)(const _TAPI_SMS_SEND_PORT_SM_S*, uint32_t*);
    TAPI_RESULT (*imsi)(char*);
    TAPI_RESULT (*simStatus)(int32_t*);
    TAPI_RESULT (*imei)(char*);
} g_next;

template <class Call>
void findNext(Call& call, const char* name)
{
    call = reinterpret_cast<Call>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int accept4(int socket, struct sockaddr* address, socklen_t* length, int flags)
{
    return g_service != nullptr ? g_service->accept(g_next.accept4, socket, address, length, flags)
                                : g_next.accept4(socket, address, length, flags);
}

extern "C" TAPI_RESULT TAPI_SMS_SendPortNumberSmUnblockMode(const _TAPI_SMS_SEND_PORT_SM_S* sms, uint32_t* requestId)
{
    return g_service != nullptr ? g_service->send(g_next.send, sms, requestId) : g_next.send(sms, requestId);
}

extern "C" TAPI_RESULT TAPI_ACCE_GetImsi(char* imsi)
{
    const TAPI_RESULT result = g_next.imsi(imsi);
    if (result == TAPI_RESULT_SUCCESS && imsi != nullptr && g_service != nullptr) {
        g_service->identity(true, imsi);
    } else if (g_service != nullptr) {
        g_service->fault("the SIM's IMSI cannot be read (" + resultText(result) + ")");
    }
    return result;
}

// The flow ends when the modem does not answer the SIM's state: a fault, not a decision.
extern "C" TAPI_RESULT TAPI_ACCE_GetSimCardStatus(int32_t* status)
{
    const TAPI_RESULT result = g_next.simStatus(status);
    if (result == TAPI_RESULT_NOT_INITIATED && g_service != nullptr) {
        g_service->fault("no modem answers the SIM's state");
    }
    return result;
}

extern "C" TAPI_RESULT TAPI_ACCE_GetImei(char* imei)
{
    const TAPI_RESULT result = g_next.imei(imei);
    if (result == TAPI_RESULT_SUCCESS && imei != nullptr && g_service != nullptr) {
        g_service->identity(false, imei);
    }
    return result;
}

namespace {

void usage(FILE* out)
{
    fprintf(out,
            "usage: dmregd [--config FILE] [--fast] [--check | --status [--json] | --forget]\n"
            "\n"
            "Registers this device with its device-management server when a new SIM is seen, over\n"
            "the cellular modem named in the configuration, hands the server's reply to the\n"
            "registration, and ends once the registration is confirmed. A send that fails, or one\n"
            "that no reply follows, is tried again; see dmregd(8).\n"
            "\n"
            "  --config FILE  settings, KEY = VALUE lines (default %s, which may be\n"
            "                 missing): modem (/dev/dmreg-modem), baud (115200), rtscts (no), framing\n"
            "                 (permissive), tree (tree.txt beside the configuration), reply_from (the\n"
            "                 tree's ServerNumber), retries (3), retry_interval (3600), reply_wait\n"
            "                 (86400), list_interval (600)\n"
            "  --fast         shorten the registration's own waits to 10 ms each, telling each one\n"
            "  --check        ask the modem for SIM state, IMSI, IMEI and service centre, register nothing\n"
            "  --status       the SIM registered, the tries, the next one and the last failure\n"
            "                 (--json: as one JSON object)\n"
            "  --forget       forget the registration, so that the next start registers again\n"
            "\n"
            "Exit status: 0 registered, nothing to register, or stopped; 1 every try failed; 2 usage\n"
            "or configuration error; 5 no usable SIM; 6 the tree does not configure the registration;\n"
            "69 no modem at the port; 74 a record cannot be written; 75 the modem is held by another\n"
            "program or does not answer; 77 the modem may not be opened; 78 a folder is not the\n"
            "service's own.\n",
            kDefaultConfig);
}

int check(const Settings& settings)
{
    atmodem::Channel& modem = atmodem::Channel::shared();
    if (modem.command("AT").result == atmodem::kNotInitiated) {
        const Diagnosis diagnosis = diagnose(modem.lastFailure(), settings.modem);
        printf("modem %s: %s\n", settings.modem.c_str(), diagnosis.line.c_str());
        return diagnosis.exitStatus;
    }
    int32_t status = -1;
    uint8_t pin = 0;
    char imsi[TAPI_IDENTITY_LEN] = {};
    char imei[TAPI_IDENTITY_LEN] = {};
    char centre[TAPI_SMS_ADDRESS_LEN] = {};
    const int32_t card = TAPI_ACCE_GetSimCardStatus(&status);
    static const char* const states[] = {"PIN asked for", "absent", "failed", "ready", "locked"};
    printf("modem %s\n", settings.modem.c_str());
    printf("SIM: %s\n", card != 0 ? ("no answer, result " + std::to_string(card)).c_str()
                        : status >= 0 && status <= 4 ? states[status] : "unknown");
    printf("SIM PIN asked for: %s\n", TAPI_SECURITY_GetPin1Status(TAPI_PIN1, &pin) == 0 ? (pin ? "yes" : "no") : "unknown");
    printf("IMSI: %s\n", TAPI_ACCE_GetImsi(imsi) == 0 ? imsi : "unknown");
    printf("IMEI: %s\n", TAPI_ACCE_GetImei(imei) == 0 ? imei : "unknown");
    printf("service centre: %s\n", TAPI_SMS_GetServiceCenter(centre) == 0 ? centre : "unknown");
    const std::string hint = modemManagerHint(settings.modem);
    if (!hint.empty()) {
        printf("note: %s\n", hint.substr(2).c_str());
    }
    return kDone;
}

std::string json(const std::string& text)
{
    std::string out = "\"";
    for (const char c : escaped(text)) {
        out += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    }
    return out + "\"";
}

// What the state folder holds, in plain lines or as JSON.
int showStatus(const Settings& settings, bool asJson)
{
    const Paths paths;
    const Registration r = readRegistration(DMREG_STATUS_FILE, paths.tree);
    std::string error;
    std::string content;
    if (readFile(paths.record, 4096, content, error) == Read::Failed || !r.statusReadable) {
        fprintf(stderr, "dmregd: %s\n", error.empty() ? r.statusError.c_str() : error.c_str());
        return kNoPermission;
    }
    const Record record = loadRecord(paths.record, error);
    const std::string boot = bootId(paths, false);
    const bool thisBoot = !boot.empty() && record.boot == boot;
    const int tries = 1 + settings.retries;
    std::string next;
    if (!r.statusImsi.empty() && r.statusImsi == record.imsi) {
        next = "none: the SIM is registered";
    } else if (!thisBoot || record.tries == 0) {
        next = "at the next start of dmregd";
    } else {
        Lifetime life({settings.retries, settings.retryIntervalMs, settings.replyWaitMs}, record, boot, record.imsi, bootMs());
        const Lifetime::Next step = life.next(bootMs());
        next = step.step == Lifetime::Step::Exit      ? "none: every try failed, until dmregd is started again"
               : step.step == Lifetime::Step::RunFlow ? "now, when dmregd runs"
               : step.step == Lifetime::Step::Listen  ? "at " + wallTime(step.untilMs) + ", when no reply has come by then"
                                                      : "at " + wallTime(step.untilMs);
    }
    const std::pair<const char*, std::string> fields[] = {
        {"registered", r.statusImsi.empty() ? "none" : r.statusImsi},
        {"tree", "RegStatus " + std::to_string(r.treeStatus) + ", RegIMSI '" + r.treeImsi + "'"},
        {"sim", record.imsi.empty() ? "unknown" : record.imsi},
        {"tries", std::to_string(record.tries) + " of " + std::to_string(tries)},
        {"last send", record.sentAt < 0 ? "none" : thisBoot ? wallTime(record.sentAt) : "in an earlier boot"},
        {"next try", next},
        {"last failure", record.failure.empty() ? "none" : record.failure},
    };
    std::string out;
    for (const auto& field : fields) {
        out += asJson ? std::string(out.empty() ? "{" : ", ") + json(field.first) + ": " + json(field.second)
                      : std::string(field.first) + ": " + escaped(field.second) + "\n";
    }
    printf("%s%s", out.c_str(), asJson ? "}\n" : "");
    return kDone;
}

// The registration forgotten: the status file, the record of tries and the tree's nodes.
int forget()
{
    const Paths paths;
    const int lock = open(paths.stateFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (lock >= 0 && flock(lock, LOCK_EX | LOCK_NB) != 0) {
        fprintf(stderr, "dmregd: dmregd is running: stop it first (systemctl stop dmregd)\n");
        close(lock);
        return kUsage;
    }
    const Registration r = readRegistration(DMREG_STATUS_FILE, paths.tree);
    std::string error;
    std::string tree;
    const bool copied = readFile(paths.tree, kLongestTree, tree, error) == Read::Ok;
    if (!removeDurably(DMREG_STATUS_FILE, error) || !removeDurably(paths.record, error) ||
        (copied && !writeDurably(paths.tree, withRegistration(tree, "", 0), error))) {
        fprintf(stderr, "dmregd: %s\n", error.c_str());
        return kCannotRecord;
    }
    printf("forgotten: %s; the next start registers the SIM again\n",
           r.statusImsi.empty() ? "no SIM was registered" : ("SIM " + r.statusImsi + " was registered").c_str());
    if (lock >= 0) {
        close(lock);
    }
    return kDone;
}

}  // namespace

int main(int argc, char** argv)
{
    findNext(g_next.accept4, "accept4");
    findNext(g_next.send, "TAPI_SMS_SendPortNumberSmUnblockMode");
    findNext(g_next.imsi, "TAPI_ACCE_GetImsi");
    findNext(g_next.simStatus, "TAPI_ACCE_GetSimCardStatus");
    findNext(g_next.imei, "TAPI_ACCE_GetImei");
    std::string config = kDefaultConfig;
    bool fast = false;
    std::string mode;
    bool asJson = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return kDone;
        } else if (arg == "--config" && i + 1 < argc) {
            config = argv[++i];
        } else if (arg == "--fast" || arg == "--json") {
            (arg == "--fast" ? fast : asJson) = true;
        } else if ((arg == "--check" || arg == "--status" || arg == "--forget") && mode.empty()) {
            mode = arg;
        } else {
            fprintf(stderr, "dmregd: unknown or incomplete option '%s'\n\n", arg.c_str());
            usage(stderr);
            return kUsage;
        }
    }
    Settings settings;
    std::string error;
    if (!readSettings(config, settings, error, config == kDefaultConfig)) {
        fprintf(stderr, "dmregd: %s\n", error.c_str());
        return kUsage;
    }
    if (mode == "--status" || mode == "--forget") {
        return mode == "--status" ? showStatus(settings, asJson) : forget();
    }
    setenv("ZAVTAPI_MODEM", settings.modem.c_str(), 1);
    setenv("ZAVTAPI_MODEM_BAUD", std::to_string(settings.baud).c_str(), 1);
    setenv("ZAVTAPI_MODEM_RTSCTS", settings.rtscts ? "yes" : "no", 1);
    setenv("ZAVTAPI_MODEM_FRAMING", settings.strictFraming ? "strict" : "permissive", 1);
    if (mode == "--check") {
        return check(settings);
    }
    Service service(settings, fast);
    g_service = &service;
    const int status = service.run();
    g_service = nullptr;
    return status;
}
