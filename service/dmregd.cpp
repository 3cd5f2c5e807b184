// dmregd: the registration service of a Linux device with a cellular modem. It is the host of the
// registration library that a handset's platform would be: it runs the library's flow, tries
// again when a send fails or no reply comes (lifetime.h), receives the server's replies from the
// modem and hands them to the library's listener (receiver.h), and ends once the registration is
// confirmed, or when it is told to stop. The modem's one AT port is shared by the flow and the
// receiver through one channel.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <fstream>
#include <mutex>
#include <new>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <time.h>
#include <unistd.h>

#include "DM_RegLaunch.h"
#include "DM_RegServer.h"
#include "at_channel.h"
#include "dmreg_config.h"
#include "lifetime.h"
#include "receiver.h"
#include "settings.h"
#include "trace_sink.h"
#include "zavtapi.h"

namespace {

enum Exit { kDone = 0, kCannotRun = 1, kUsage = 2, kNoModem = 3, kGaveUp = 4, kNotConfigured = 6 };

bool g_fast = false;
std::atomic<bool> g_stop{false};
int g_stopFd = -1;   // readable once the service stops: every sleep of the library ends
int g_eventFd = -1;  // the flow, the telephony and the receiver tell the main thread so
int g_wakeFd = -1;   // the receiver's: the listener is there

// The listening that a try or a reply's wait ends by making the listener's accept fail.
std::mutex g_listenMutex;
int g_listening = -1;
bool g_endListening = false;

// What the other threads tell the main thread.
std::mutex g_eventMutex;
struct Events {
    bool failedSend = false;  // a send the telephony refused
    bool handed = false;      // a reply went to the listener
    bool flowEnded = false;
} g_events;
std::string g_imsi;  // the SIM's IMSI, as the telephony gave it to the library

// The lifetime, of the main thread and of the flow's sends, and the file of its record.
std::mutex g_lifeMutex;
service::Lifetime* g_life = nullptr;
std::string g_recordPath;

void post(int fd)
{
    const uint64_t one = 1;
    while (write(fd, &one, sizeof(one)) < 0 && errno == EINTR) {
    }
}

// The service's own lines, set apart from the library's trace by their start.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
void say(const char* format, ...)
{
    char line[1024] = "[dmregd] ";
    va_list args;
    va_start(args, format);
    vsnprintf(line + 9, sizeof(line) - 10, format, args);
    va_end(args);
    strcat(line, "\n");
    fputs(line, stderr);
}

long long bootMs()
{
    timespec now{};
    clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

std::string bootId()
{
    std::string id;
    std::getline(std::ifstream("/proc/sys/kernel/random/boot_id"), id);
    return id;
}

void usage(FILE* out)
{
    fprintf(out,
            "usage: dmregd [--config FILE] [--fast] [--check]\n"
            "\n"
            "Registers this device with its device-management server when a new SIM is seen, over\n"
            "the cellular modem named in the configuration, hands the server's reply to the\n"
            "registration, and ends once the registration is confirmed. A send that fails, or one\n"
            "that no reply follows, is tried again; see dmregd(8).\n"
            "\n"
            "  --config FILE  settings, KEY = VALUE lines (default /etc/dmreg/dmregd.conf): modem (the\n"
            "                 device, required), baud (115200), rtscts (no), framing (permissive), tree\n"
            "                 (/var/lib/dmreg/tree.txt, started from tree.txt beside the configuration),\n"
            "                 reply_from (the tree's ServerNumber), retries (3), retry_interval (3600),\n"
            "                 reply_wait (86400), list_interval (600)\n"
            "  --fast         shorten the registration's own waits to 10 ms each, telling each one\n"
            "  --check        ask the modem for SIM state, IMSI, IMEI and service centre, register nothing\n"
            "\n"
            "Exit status: 0 registered, nothing to register, or stopped; 1 no modem answered, or the\n"
            "service cannot run; 2 usage or configuration error; 3 (--check) no modem answers;\n"
            "4 every try failed; 6 the tree is not configured for registration.\n");
}

// The tree of a new device starts as the one beside the configuration.
bool treeReady(const std::string& tree, const std::string& config)
{
    struct stat st;
    if (stat(tree.c_str(), &st) == 0) {
        return true;
    }
    const std::string seed = config.substr(0, config.rfind('/') + 1) + "tree.txt";
    std::ifstream in(seed, std::ios::binary);
    std::ofstream out(tree, std::ios::binary);
    if (!in || !(out << in.rdbuf())) {
        fprintf(stderr, "dmregd: no tree at %s, and none at %s to start it from\n", tree.c_str(), seed.c_str());
        return false;
    }
    say("the tree %s starts as %s", tree.c_str(), seed.c_str());
    return true;
}

// The socket's folder and the state's are the service's alone: the library gives the socket and
// the status file modes that let anyone in, and only a closed folder keeps others out.
bool protect(const std::string& path)
{
    const std::string folder = path.substr(0, path.rfind('/'));
    struct stat st;
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        fprintf(stderr, "dmregd: cannot make %s: %s\n", folder.c_str(), strerror(errno));
        return false;
    }
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
        ((st.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0)) {
        fprintf(stderr, "dmregd: %s is not a folder of this service's own, closed to others: refused\n", folder.c_str());
        return false;
    }
    return true;
}

bool registered(const std::string& imsi)
{
    char recorded[32] = {};
    std::ifstream(DMREG_STATUS_FILE).read(recorded, sizeof(recorded) - 1);
    return !imsi.empty() && imsi == recorded;
}

int check(const std::string& modem)
{
    int32_t status = -1;
    uint8_t pin = 0;
    char imsi[TAPI_IDENTITY_LEN] = {};
    char imei[TAPI_IDENTITY_LEN] = {};
    char centre[TAPI_SMS_ADDRESS_LEN] = {};
    const int32_t card = TAPI_ACCE_GetSimCardStatus(&status);
    if (card == TAPI_RESULT_NOT_INITIATED) {
        printf("modem %s: no answer\n", modem.c_str());
        return kNoModem;
    }
    static const char* const states[] = {"PIN asked for", "absent", "failed", "ready", "locked"};
    printf("modem %s\n", modem.c_str());
    printf("SIM: %s\n", card != 0 ? ("no answer, result " + std::to_string(card)).c_str()
                        : status >= 0 && status <= 4 ? states[status] : "unknown");
    printf("SIM PIN asked for: %s\n", TAPI_SECURITY_GetPin1Status(TAPI_PIN1, &pin) == 0 ? (pin ? "yes" : "no") : "unknown");
    printf("IMSI: %s\n", TAPI_ACCE_GetImsi(imsi) == 0 ? imsi : "unknown");
    printf("IMEI: %s\n", TAPI_ACCE_GetImei(imei) == 0 ? imei : "unknown");
    printf("service centre: %s\n", TAPI_SMS_GetServiceCenter(centre) == 0 ? centre : "unknown");
    return kDone;
}

// Standard error goes through the trace sink on its way to the journal.
std::thread startTraceSink()
{
    int fds[2];
    const int journal = dup(STDERR_FILENO);
    if (journal < 0 || pipe2(fds, O_CLOEXEC) != 0) {
        return std::thread();
    }
    dup2(fds[1], STDERR_FILENO);
    close(fds[1]);
    return std::thread([in = fds[0], journal] {
        service::TraceSink sink;
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
                for (const std::string& line : sink.take(pending.substr(start, lf - start), atmodem::nowMs())) {
                    const std::string text = line + "\n";
                    if (write(journal, text.data(), text.size()) < 0) {  // nobody reads: nothing to tell
                        break;
                    }
                }
            }
            pending.erase(0, start);
        }
        close(in);
        close(journal);
    });
}

// Every wait ends: the library's sleeps, the telephony's calls (an entry of data with ESC), the
// receiver's wait, the listener's accept.
void stopAll()
{
    g_stop = true;
    post(g_stopFd);
    atmodem::Channel::shared().stop();
}

void endListening()
{
    std::lock_guard<std::mutex> lock(g_listenMutex);
    g_endListening = true;
    if (g_listening >= 0) {
        shutdown(g_listening, SHUT_RDWR);  // the listener's accept fails, and its listening ends
    }
}

// A try: the library's whole flow; or, for a reply already sent for, its listener alone.
std::thread startFlow(bool whole)
{
    {
        std::lock_guard<std::mutex> lock(g_listenMutex);
        g_endListening = false;
        g_listening = -1;
    }
    return std::thread([whole] {
        if (whole) {
            DM_RegLaunch().activateDmRegister();
        } else {
            DM_RegServer* listener = new (std::nothrow) DM_RegServer(DMREG_SOCKET_PATH);
            if (listener != nullptr) {
                listener->listenAndProcess();
                delete listener;
            }
        }
        std::lock_guard<std::mutex> lock(g_eventMutex);
        g_events.flowEnded = true;
        post(g_eventFd);
    });
}

// A change of the lifetime, saved at once.
template <class Change>
void record(Change change)
{
    std::lock_guard<std::mutex> lock(g_lifeMutex);
    if (g_life == nullptr) {
        return;  // --check
    }
    change(*g_life);
    std::string error;
    if (!service::saveRecord(g_recordPath, g_life->record(), error)) {
        say("%s", error.c_str());
    }
}

}  // namespace

// The library's waits: shortened with --fast, and ended at once when the service stops.
extern "C" unsigned int sleep(unsigned int seconds)
{
    if (g_fast) {
        say("sleep(%u) shortened to 10 ms", seconds);
    }
    const long long until = atmodem::nowMs() + (g_fast ? 10 : 1000LL * seconds);
    for (long long left; !g_stop && (left = until - atmodem::nowMs()) > 0;) {
        pollfd stop{g_stopFd, POLLIN, 0};
        poll(&stop, g_stopFd >= 0 ? 1 : 0, static_cast<int>(left));
    }
    return 0;
}

// The listener's socket, so that the service can end its listening; and the receiver told that
// a listener is there to take replies.
extern "C" int accept4(int socket, struct sockaddr* address, socklen_t* length, int flags)
{
    static const auto real = reinterpret_cast<int (*)(int, struct sockaddr*, socklen_t*, int)>(dlsym(RTLD_NEXT, "accept4"));
    {
        std::lock_guard<std::mutex> lock(g_listenMutex);
        if (g_stop || g_endListening) {
            errno = EINVAL;
            return -1;
        }
        if (g_listening != socket) {
            g_listening = socket;
            post(g_wakeFd);
        }
    }
    return real(socket, address, length, flags);
}

// The library's send and the IMSI it works with, seen on their way to the telephony. A send is
// recorded before it is made, so that no restart sends again what may have gone out.
extern "C" TAPI_RESULT TAPI_SMS_SendPortNumberSmUnblockMode(const _TAPI_SMS_SEND_PORT_SM_S* sms, uint32_t* requestId)
{
    static const auto real = reinterpret_cast<TAPI_RESULT (*)(const _TAPI_SMS_SEND_PORT_SM_S*, uint32_t*)>(
        dlsym(RTLD_NEXT, "TAPI_SMS_SendPortNumberSmUnblockMode"));
    record([](service::Lifetime& life) {
        std::lock_guard<std::mutex> lock(g_eventMutex);
        life.sendStarting(g_imsi, bootMs());
        post(g_eventFd);  // the reply's deadline runs from now
    });
    const TAPI_RESULT result = real(sms, requestId);
    if (result != TAPI_RESULT_SUCCESS) {
        record([](service::Lifetime& life) { life.sendFailed(bootMs()); });
        std::lock_guard<std::mutex> lock(g_eventMutex);
        g_events.failedSend = true;
        post(g_eventFd);
    }
    return result;
}

extern "C" TAPI_RESULT TAPI_ACCE_GetImsi(char* imsi)
{
    static const auto real = reinterpret_cast<TAPI_RESULT (*)(char*)>(dlsym(RTLD_NEXT, "TAPI_ACCE_GetImsi"));
    const TAPI_RESULT result = real(imsi);
    if (result == TAPI_RESULT_SUCCESS && imsi != nullptr) {
        std::lock_guard<std::mutex> lock(g_eventMutex);
        g_imsi.assign(imsi, strnlen(imsi, TAPI_IDENTITY_LEN));
    }
    return result;
}

namespace {

// The lifetime's steps, until it ends; answers the exit status.
int live(service::Lifetime& life, int tries)
{
    const auto locked = [](auto change) {
        std::lock_guard<std::mutex> lock(g_lifeMutex);
        return change();
    };
    std::thread flow;
    bool listening = false;  // the flow running is a listener that waits for a reply
    for (;;) {
        const service::Lifetime::Next next = locked([&] { return life.next(bootMs()); });
        if (next.step == service::Lifetime::Step::Exit) {
            stopAll();
            endListening();
            if (flow.joinable()) {
                flow.join();
            }
            return next.exitStatus;
        }
        if (!flow.joinable() && (next.step == service::Lifetime::Step::RunFlow || next.step == service::Lifetime::Step::Listen)) {
            listening = next.step == service::Lifetime::Step::Listen;
            if (listening) {
                say("awaiting the server's reply to the registration sent before");
            } else {
                say("registration: try %d of %d", locked([&] { return life.record().tries; }) + 1, tries);
            }
            flow = startFlow(!listening);
        }
        if (next.untilMs >= 0 && bootMs() >= next.untilMs) {
            endListening();  // no reply within reply_wait: the try ends, and the next one sends again
        }
        pollfd ready{g_eventFd, POLLIN, 0};
        const long long left = next.untilMs < 0 ? -1 : std::max(0LL, next.untilMs - bootMs());
        if (poll(&ready, 1, static_cast<int>(std::min(left, 24LL * 3600 * 1000))) < 0 && errno != EINTR) {
            return kCannotRun;
        }
        if (g_stop) {
            locked([&] { life.stop(); return 0; });
            continue;
        }
        uint64_t count = 0;
        if (ready.revents == 0 || read(g_eventFd, &count, sizeof(count)) < 0) {
            continue;
        }
        Events events;
        std::string imsi;
        {
            std::lock_guard<std::mutex> lock(g_eventMutex);
            events = g_events;
            g_events = Events();
            imsi = g_imsi;
        }
        if (events.failedSend) {
            say("the registration SMS was not sent");
            endListening();  // no reply can come
        }
        if (events.handed && registered(imsi)) {
            locked([&] { life.replyRecorded(); return 0; });
            endListening();
        }
        if (events.flowEnded) {
            flow.join();
            int32_t status = -1;
            const bool answered = listening || TAPI_ACCE_GetSimCardStatus(&status) != TAPI_RESULT_NOT_INITIATED;
            locked([&] { life.flowEnded(registered(imsi), answered, bootMs()); return 0; });
            listening = false;
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::string config = "/etc/dmreg/dmregd.conf";
    bool checkOnly = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return kDone;
        } else if (arg == "--config" && i + 1 < argc) {
            config = argv[++i];
        } else if (arg == "--fast" || arg == "--check") {
            (arg == "--fast" ? g_fast : checkOnly) = true;
        } else {
            fprintf(stderr, "dmregd: unknown or incomplete option '%s'\n\n", arg.c_str());
            usage(stderr);
            return kUsage;
        }
    }
    service::Settings settings;
    std::string error;
    if (!service::readSettings(config, settings, error)) {
        fprintf(stderr, "dmregd: %s\n", error.c_str());
        return kUsage;
    }
    signal(SIGPIPE, SIG_IGN);  // a reader of standard error that goes away is no reason to die
    umask(0077);
    setenv("ZAVTAPI_MODEM", settings.modem.c_str(), 1);
    setenv("ZAVTAPI_MODEM_BAUD", std::to_string(settings.baud).c_str(), 1);
    setenv("ZAVTAPI_MODEM_RTSCTS", settings.rtscts ? "yes" : "no", 1);
    setenv("ZAVTAPI_MODEM_FRAMING", settings.strictFraming ? "strict" : "permissive", 1);
    if (checkOnly) {
        return check(settings.modem);
    }
    if (!treeReady(settings.tree, config)) {
        return kCannotRun;
    }
    setenv("DMNATIVE_TREE", settings.tree.c_str(), 1);
    const service::TreeFacts facts = service::readTreeFacts();
    const std::string missing = service::notConfigured(facts);
    if (!missing.empty()) {
        say("not configured for registration: %s in %s. Fill in the operator codes, the server's number and "
            "ports, then set Enable to true (see dmregd(8)).",
            missing.c_str(), settings.tree.c_str());
        return kNotConfigured;
    }
    if (settings.replyFrom.empty()) {
        settings.replyFrom.push_back(facts.serverNumber);
    }
    if (!protect(DMREG_SOCKET_PATH) || !protect(DMREG_STATUS_FILE)) {
        return kCannotRun;
    }

    // One thread takes the signals, through a descriptor it waits on, and ends every wait.
    sigset_t stopping;
    sigemptyset(&stopping);
    sigaddset(&stopping, SIGTERM);
    sigaddset(&stopping, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopping, nullptr);
    g_stopFd = eventfd(0, EFD_CLOEXEC);
    g_eventFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    g_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    std::thread signals([descriptor = signalfd(-1, &stopping, SFD_CLOEXEC)] {
        pollfd ready[2] = {{descriptor, POLLIN, 0}, {g_stopFd, POLLIN, 0}};
        signalfd_siginfo info{};
        while (poll(ready, 2, -1) < 0 && errno == EINTR) {
        }
        if (ready[0].revents != 0 && read(descriptor, &info, sizeof(info)) > 0) {
            say("stopping (%s)", strsignal(static_cast<int>(info.ssi_signo)));
            stopAll();
            post(g_eventFd);
        }
        close(descriptor);
    });
    std::thread sink = startTraceSink();
    say("registering over the modem %s, tree %s, replies from %s", settings.modem.c_str(), settings.tree.c_str(),
        settings.replyFrom[0].c_str());

    g_recordPath = std::string(DMREG_STATUS_FILE).substr(0, std::string(DMREG_STATUS_FILE).rfind('/')) + "/dmregd.state";
    service::Record stored = service::loadRecord(g_recordPath, error);
    if (!error.empty()) {
        say("%s", error.c_str());
    }
    char imsi[TAPI_IDENTITY_LEN] = {};
    const bool known = TAPI_ACCE_GetImsi(imsi) == TAPI_RESULT_SUCCESS;
    int status = kDone;
    if (known && registered(imsi)) {
        say("the SIM %s is registered already", imsi);
    } else {
        service::ReceiverConfig receiving;
        receiving.socketPath = DMREG_SOCKET_PATH;
        receiving.replyFrom = settings.replyFrom;
        receiving.listIntervalMs = settings.listIntervalMs;
        receiving.wakeFd = g_wakeFd;
        if (g_fast) {  // the receiver's own waits shortened too
            receiving.keepIncompleteMs = 500;
            receiving.setUpAgainMs = 100;
        }
        receiving.log = [](const std::string& line) { say("receiver: %s", line.c_str()); };
        receiving.handed = [](const std::string&) {
            std::lock_guard<std::mutex> lock(g_eventMutex);
            g_events.handed = true;
            post(g_eventFd);
        };
        std::thread receiver([&receiving] { service::runReceiver(atmodem::Channel::shared(), receiving); });
        service::Limits limits{settings.retries, settings.retryIntervalMs, settings.replyWaitMs};
        service::Lifetime life(limits, stored, bootId(), known ? imsi : "", bootMs());
        {
            std::lock_guard<std::mutex> lock(g_lifeMutex);
            g_life = &life;
        }
        status = live(life, 1 + settings.retries);
        static const char* const ends[] = {"the registration is confirmed", "nothing to register", "stopped"};
        const service::Lifetime::State end = life.state();
        say("%s", status == service::Lifetime::kGaveUp ? "every try failed: giving up until the service is started again"
                  : status == service::Lifetime::kNoModem ? "no modem answers: the SIM was not checked"
                  : ends[end == service::Lifetime::State::Registered ? 0 : end == service::Lifetime::State::Stopped ? 2 : 1]);
        receiver.join();
        std::lock_guard<std::mutex> lock(g_lifeMutex);
        g_life = nullptr;
    }
    stopAll();
    signals.join();
    atmodem::Channel::shared().release();  // the modem's port is free for others
    unlink(DMREG_SOCKET_PATH);
    say("ended; the modem is released");
    const int nothing = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(nothing, STDERR_FILENO);  // the sink reads to the end of what was written
    close(nothing);
    if (sink.joinable()) {
        sink.join();
    }
    return status;
}
