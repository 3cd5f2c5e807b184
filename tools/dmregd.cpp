// dmregd: the registration service of a Linux device with a cellular modem. It runs the
// registration (DM_RegLaunch) on one thread and the receiver of the server's replies on another,
// both over the modem's one AT port, until SIGTERM or SIGINT.
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "DM_RegLaunch.h"
#include "at_channel.h"
#include "dmreg_config.h"
#include "receiver.h"
#include "zavtapi.h"

namespace {

enum Exit { kDone = 0, kCannotRun = 1, kUsage = 2, kNoModem = 3 };

struct Settings {
    std::string modem;
    std::string baud = "115200";
    std::string rtscts = "no";
    std::string tree = "/var/lib/dmreg/tree.txt";
};

std::atomic<bool> g_stop{false};
std::atomic<int> g_listening{-1};
bool g_fast = false;
std::mutex g_sleepMutex;
std::condition_variable g_sleepEnds;

// The service's own lines, set apart from the library's trace by their start.
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

void usage(FILE* out)
{
    fprintf(out,
            "usage: dmregd [--config FILE] [--fast] [--check]\n"
            "\n"
            "Registers this device with its device-management server when a new SIM is seen, over\n"
            "the cellular modem named in the configuration, and hands the server's reply to the\n"
            "registration. Runs until the registration has ended, or SIGTERM or SIGINT.\n"
            "\n"
            "  --config FILE  settings, KEY = VALUE lines (default /etc/dmreg/dmregd.conf):\n"
            "                 modem (the device, required), baud (115200), rtscts (yes or no, no),\n"
            "                 tree (the device-management tree, /var/lib/dmreg/tree.txt; started\n"
            "                 from tree.txt beside the configuration when it does not exist)\n"
            "  --fast         shorten the registration's waits to 10 ms each, telling each one\n"
            "  --check        ask the modem for SIM state, IMSI, IMEI and service centre, register nothing\n"
            "\n"
            "Exit status: 0 done, 1 the service cannot run (no modem answered, say), 2 usage or\n"
            "configuration error, 3 (--check) no modem answers.\n");
}

bool readSettings(const std::string& path, Settings& settings)
{
    std::ifstream in(path);
    if (!in) {
        fprintf(stderr, "dmregd: cannot read %s: %s\n", path.c_str(), strerror(errno));
        return false;
    }
    std::string line;
    for (int number = 1; std::getline(in, line); ++number) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') {
            continue;
        }
        const size_t eq = line.find('=');
        const auto trim = [](std::string s) {
            s.erase(0, s.find_first_not_of(" \t\r"));
            return s.erase(s.find_last_not_of(" \t\r") + 1);
        };
        const std::string key = eq == std::string::npos ? "" : trim(line.substr(0, eq));
        const std::string value = eq == std::string::npos ? "" : trim(line.substr(eq + 1));
        std::string* field = key == "modem" ? &settings.modem : key == "baud" ? &settings.baud
                             : key == "rtscts" ? &settings.rtscts : key == "tree" ? &settings.tree : nullptr;
        const char* error = eq == std::string::npos ? "expected 'key = value'"
                            : field == nullptr      ? "unknown setting"
                            : value.empty()         ? "no value"
                            : key == "baud" && value.find_first_not_of("0123456789") != std::string::npos ? "baud is no number"
                            : key == "rtscts" && value != "yes" && value != "no" ? "rtscts is yes or no"
                                                                                  : nullptr;
        if (error != nullptr) {
            fprintf(stderr, "dmregd: %s:%d: %s: %s\n", path.c_str(), number, error, trim(line).c_str());
            return false;
        }
        *field = value;
    }
    if (settings.modem.empty()) {
        fprintf(stderr, "dmregd: %s: no modem given (modem = /dev/ttyUSB2, say)\n", path.c_str());
        return false;
    }
    return true;
}

// The tree of a new device starts as the example beside the configuration.
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

}  // namespace

// The library's waits: shortened with --fast, and cut short when the service stops.
extern "C" unsigned int sleep(unsigned int seconds)
{
    if (g_fast) {
        say("sleep(%u) shortened to 10 ms", seconds);
    }
    std::unique_lock<std::mutex> lock(g_sleepMutex);
    g_sleepEnds.wait_for(lock, g_fast ? std::chrono::milliseconds(10) : std::chrono::seconds(seconds), [] { return g_stop.load(); });
    return 0;
}

// The listener's socket, so that a stopping service can end its listening.
extern "C" int accept4(int socket, struct sockaddr* address, socklen_t* length, int flags)
{
    static const auto real = reinterpret_cast<int (*)(int, struct sockaddr*, socklen_t*, int)>(dlsym(RTLD_NEXT, "accept4"));
    g_listening = socket;
    if (g_stop) {
        errno = EINVAL;
        return -1;
    }
    return real(socket, address, length, flags);
}

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
    Settings settings;
    if (!readSettings(config, settings)) {
        return kUsage;
    }
    setenv("ZAVTAPI_MODEM", settings.modem.c_str(), 1);
    setenv("ZAVTAPI_MODEM_BAUD", settings.baud.c_str(), 1);
    setenv("ZAVTAPI_MODEM_RTSCTS", settings.rtscts.c_str(), 1);
    if (checkOnly) {
        return check(settings.modem);
    }
    if (!treeReady(settings.tree, config)) {
        return kCannotRun;
    }
    setenv("DMNATIVE_TREE", settings.tree.c_str(), 1);

    // The threads take no signal: this one waits for them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    say("registering over the modem %s, tree %s", settings.modem.c_str(), settings.tree.c_str());
    atmodem::ReceiverConfig receiving;
    receiving.socketPath = DMREG_SOCKET_PATH;
    if (g_fast) {  // the receiver's waits shortened too
        receiving.keepIncompleteMs = 500;
        receiving.setUpAgainMs = 100;
    }
    receiving.log = [](const std::string& line) { say("receiver: %s", line.c_str()); };
    std::thread receiver([&] { atmodem::runReceiver(atmodem::Channel::shared(), receiving, g_stop); });
    std::atomic<bool> flowEnded{false};
    std::atomic<bool> modemAnswered{false};
    std::thread flow([&] {
        DM_RegLaunch().activateDmRegister();
        int32_t status = -1;
        modemAnswered = TAPI_ACCE_GetSimCardStatus(&status) != TAPI_RESULT_NOT_INITIATED;
        if (!modemAnswered) {
            say("no modem answers at %s: the SIM was not checked", settings.modem.c_str());
        }
        flowEnded = true;
        kill(getpid(), SIGUSR1);
    });
    int signal = 0;
    sigwait(&signals, &signal);
    say(signal == SIGUSR1 ? "the registration has ended" : "stopping");
    {
        std::lock_guard<std::mutex> lock(g_sleepMutex);
        g_stop = true;
    }
    g_sleepEnds.notify_all();
    if (g_listening >= 0) {
        shutdown(g_listening, SHUT_RDWR);  // the listener's accept ends, and with it the listening
    }
    receiver.join();
    atmodem::Channel::shared().release(true);  // a call still to come finds no modem
    flow.join();
    if (g_listening >= 0) {
        unlink(DMREG_SOCKET_PATH);
    }
    say("stopped; the modem is released");
    // A modem that never answered (not plugged in yet, still starting) leaves the SIM unchecked:
    // a failure, so that the service manager starts the service again later.
    return flowEnded && !modemAnswered ? kCannotRun : kDone;
}
