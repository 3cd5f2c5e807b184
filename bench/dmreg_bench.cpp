// dmreg-bench: the listener's speed beside a minimal server doing the same system calls, the
// PIN wait's memory, the heap allocations of one registration, the peak RSS of dmreg-host, and
// dmregd on the simulated modem: its wake-ups while it waits for the server's reply, the AT
// commands of one registration.
// Prints rows of one table (markdown); make bench adds the footprint rows.
//
//   dmreg-bench [--quick]     --quick: tiny counts, for make test (the figures mean little)
//
// Exit status 1 when a figure that does not depend on the machine misses its goal: the PIN wait
// must not grow the heap or the resident set, dmregd waiting must wake at most twice a minute.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <dlfcn.h>
#include <execinfo.h>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <malloc.h>
#include <memory>
#include <poll.h>
#include <sched.h>
#include <string>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "DM_RegLaunch.h"
#include "DM_RegServer.h"
#include "dmreg_config.h"
#include "zavtapi_control.h"

namespace {

std::atomic<int> g_listening{-1};
std::function<void(unsigned long)> g_onSleep;
unsigned long g_sleeps = 0;

// Counts the heap allocations made while counting is on, by the first module of the call chain
// that is the library or a stand-in.
std::atomic<bool> g_counting{false};
thread_local bool t_inCount = false;
long g_libraryAllocations = 0;
long g_standinAllocations = 0;

void countAllocation()
{
    if (!g_counting || t_inCount) {
        return;
    }
    t_inCount = true;
    void* frames[16];
    const int depth = backtrace(frames, 16);
    for (int i = 1; i < depth; ++i) {
        Dl_info info{};
        const char* name = dladdr(frames[i], &info) != 0 && info.dli_fname != nullptr ? strrchr(info.dli_fname, '/') : nullptr;
        if (name != nullptr && strstr(name, "libzavdmreg") != nullptr) {
            ++g_libraryAllocations;
            break;
        }
        if (name != nullptr && (strstr(name, "libdmnative") != nullptr || strstr(name, "libzavtapi") != nullptr)) {
            ++g_standinAllocations;
            break;
        }
    }
    t_inCount = false;
}

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

// The process's own memory in the resident set: anonymous pages, not the files it maps.
long anonymousKiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string word; status >> word;) {
        if (word == "RssAnon:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
    }
    return -1;
}

int connectTo(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    for (int tries = 0; connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 && tries < 5000; ++tries) {
        poll(nullptr, 0, 1);  // the server is between its ENTER line and listen()
    }
    return fd;
}

// One request on a connection of its own, answered until the server closes it.
std::string request(const std::string& path, const std::string& text)
{
    const int fd = connectTo(path);
    send(fd, text.data(), text.size(), MSG_NOSIGNAL);
    std::string answer;
    char buffer[64];
    for (ssize_t got; (got = recv(fd, buffer, sizeof(buffer), 0)) > 0;) {
        answer.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return answer;
}

// The anchor: the system calls the listener makes for a GetPort request (accept, a buffered read
// stream on the non-blocking connection, poll while nothing has come, the tree file's stat, the
// answer, close) and as many trace-line writes to standard error.
void anchorServer(int listening, int lines, const char* tree)
{
    for (int connection; (connection = accept4(listening, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK)) >= 0;) {
        FILE* stream = fdopen(connection, "r");
        char arrived[160];
        setvbuf(stream, arrived, _IOFBF, sizeof(arrived));
        std::string text;
        for (;;) {
            errno = 0;
            const int c = fgetc(stream);
            if (c == EOF && errno == EAGAIN) {
                clearerr(stream);
                pollfd wait{connection, POLLIN, 0};
                poll(&wait, 1, 10000);
                continue;
            }
            if (c == EOF || (text += static_cast<char>(c)).size() >= 14) {
                break;
            }
        }
        struct stat file;
        stat(tree, &file);
        for (int i = 0; i < lines; ++i) {
            fprintf(stderr, "{5} anchor.cpp:%d, anchorServer()\tline %d of the request %s\n", __LINE__, i, text.c_str() + 2);
        }
        send(connection, "\nN\n16999", 8, MSG_NOSIGNAL);
        fclose(stream);
    }
}

int listeningSocket(const std::string& path)
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{AF_UNIX, {}};
    strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    unlink(path.c_str());
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    listen(fd, 2);
    return fd;
}

// Round trips per second of GetPort requests, one after the other, with standard error sent to
// trace; the library's listener, or the anchor.
double roundTrips(const std::string& folder, bool library, const char* trace, int count)
{
    const std::string path = folder + (library ? "/lib" : "/anc");
    const int saved = dup(STDERR_FILENO);
    const int destination = open(trace, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    dup2(destination, STDERR_FILENO);
    g_listening = -1;
    const int anchor = library ? -1 : listeningSocket(path);
    std::thread server([&] {
        if (library) {
            DM_RegServer(path.c_str()).listenAndProcess();
        } else {
            anchorServer(anchor, 11, getenv("DMNATIVE_TREE"));
        }
    });
    request(path, "\n\n<GetPort>\nN\n");  // the tree parsed once before the clock starts
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        request(path, "\n\n<GetPort>\nN\n");
    }
    const double rate = count / seconds(start);
    shutdown(library ? g_listening.load() : anchor, SHUT_RDWR);
    server.join();
    close(anchor);
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(destination);
    return rate;
}

double acknowledgements(const std::string& folder, const std::string& text, int count)
{
    const std::string path = folder + "/ack";
    const int saved = dup(STDERR_FILENO);
    const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(nowhere, STDERR_FILENO);
    g_listening = -1;
    std::thread server([&] { DM_RegServer(path.c_str()).listenAndProcess(); });
    request(path, text);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        request(path, text);
    }
    const double rate = count / seconds(start);
    shutdown(g_listening.load(), SHUT_RDWR);
    server.join();
    dup2(saved, STDERR_FILENO);
    close(saved);
    close(nowhere);
    return rate;
}

// A program with its standard input from a pipe (returned) and its standard error in another
// (returned in trace).
pid_t start(const std::vector<std::string>& argv, int& input, int& trace)
{
    int in[2];
    int err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        return -1;
    }
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(err[1], STDERR_FILENO);
        const int quiet = open("/dev/null", O_WRONLY);  // the simulator's answers would cut into the table
        dup2(quiet, STDOUT_FILENO);
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(err[1]);
    input = in[1];
    trace = err[0];
    return pid;
}

// Reads a program's trace until text comes (20 s at most).
bool traceShows(int trace, std::string& seen, const std::string& text)
{
    char buffer[4096];
    for (int waits = 0; seen.find(text) == std::string::npos && waits < 200;) {
        pollfd ready{trace, POLLIN, 0};
        const ssize_t got = poll(&ready, 1, 100) > 0 ? read(trace, buffer, sizeof(buffer)) : (++waits, 0);
        if (got < 0 || (got == 0 && ready.revents != 0)) {
            break;
        }
        seen.append(buffer, static_cast<size_t>(got));
    }
    return seen.find(text) != std::string::npos;
}

// Context switches of every thread of a process: each wake-up from a wait is one.
long contextSwitches(pid_t pid)
{
    long switches = 0;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(tasks.c_str()), closedir);
    for (dirent* task; dir && (task = readdir(dir.get())) != nullptr;) {
        std::ifstream status(tasks + "/" + task->d_name + "/status");
        for (std::string word; status >> word;) {
            if (word == "voluntary_ctxt_switches:" || word == "nonvoluntary_ctxt_switches:") {
                long n = 0;
                status >> n;
                switches += n;
            }
        }
    }
    return switches;
}

// dmregd registering over the simulated modem: its wake-ups a minute while it waits for the
// server's reply with nothing arriving (measured over the given seconds), and the AT commands it
// made for the whole registration. False when it did not register.
bool serviceOnTheModem(const std::string& folder, int seconds, double& wakeUpsPerMinute, int& commands)
{
    const std::string modem = folder + "/modem";
    const std::string conf = folder + "/dmregd.conf";
    std::ofstream(conf) << "modem = " << modem << "\ntree = " << getenv("DMNATIVE_TREE") << "\n";
    unlink(DMREG_STATUS_FILE);
    for (const char* file : {"/dmregd.state", "/tree.txt"}) {
        unlink((std::string(DMREG_STATUS_FILE).substr(0, std::string(DMREG_STATUS_FILE).rfind('/')) + file).c_str());
    }
    int control = -1;
    int simTrace = -1;
    const pid_t sim = start({DMREG_BIN "/dmreg-modem-sim", "--link", modem, "--record", folder + "/record"}, control, simTrace);
    for (int waits = 0; access(modem.c_str(), F_OK) != 0 && waits < 2000; ++waits) {
        poll(nullptr, 0, 10);
    }
    int input = -1;
    int trace = -1;
    const pid_t service = start({DMREG_BIN "/dmregd", "--fast", "--config", conf}, input, trace);
    std::string seen;
    bool registered = traceShows(trace, seen, "listenAndProcess()\tENTER");
    poll(nullptr, 0, 1000);  // what follows the listener's start (the storage listed) is over
    const long before = contextSwitches(service);
    poll(nullptr, 0, seconds * 1000);
    wakeUpsPerMinute = static_cast<double>(contextSwitches(service) - before) * 60 / seconds;
    const std::string reply = "reply +15550100200 IMEI:490154203237518/1\n";
    registered = registered && write(control, reply.data(), reply.size()) == static_cast<ssize_t>(reply.size()) &&
                 traceShows(trace, seen, "is confirmed");
    int status = -1;
    waitpid(service, &status, 0);
    close(input);
    close(trace);
    close(control);  // the end of its input ends the simulator
    waitpid(sim, nullptr, 0);
    close(simTrace);
    commands = 0;
    std::ifstream record(folder + "/record");
    for (std::string line; std::getline(record, line);) {
        commands += line.compare(0, 4, "cmd ") == 0;
    }
    return registered && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void row(const char* measure, const std::string& value, const char* goal = "")
{
    printf("| %s | %s | %s |\n", measure, value.c_str(), goal);
}

std::string number(double value, const char* unit = "")
{
    char text[64];
    snprintf(text, sizeof(text), value >= 100 ? "%.0f%s" : "%.2f%s", value, unit);
    return text;
}

}  // namespace

// The library's waits, counted and not waited for.
extern "C" unsigned int sleep(unsigned int)
{
    ++g_sleeps;
    if (g_onSleep) {
        g_onSleep(g_sleeps);
    }
    return 0;
}

extern "C" int accept4(int socket, struct sockaddr* address, socklen_t* length, int flags)
{
    static const auto real = reinterpret_cast<int (*)(int, struct sockaddr*, socklen_t*, int)>(dlsym(RTLD_NEXT, "accept4"));
    g_listening = socket;
    return real(socket, address, length, flags);
}

extern "C" void* __libc_malloc(size_t size);
extern "C" void* malloc(size_t size)
{
    countAllocation();
    return __libc_malloc(size);
}

int main(int argc, char** argv)
{
    const bool quick = argc > 1 && strcmp(argv[1], "--quick") == 0;
    char folder[] = "/tmp/dmrb-XXXXXX";  // short enough for a socket path
    if (mkdtemp(folder) == nullptr) {
        perror("dmreg-bench: mkdtemp");
        return 2;
    }
    const std::string tree = std::string(folder) + "/tree.txt";
    {
        std::ifstream in(DMREG_SOURCE_DIR "/examples/trees/handset.txt");
        std::ofstream(tree) << in.rdbuf();
    }
    setenv("DMNATIVE_TREE", tree.c_str(), 1);
    const std::string traceFile = std::string(folder) + "/trace.log";
    const int requests = quick ? 50 : 5000;
    int status = 0;

    printf("| measure | value | goal |\n|---|---|---|\n");
    // Client and server on one core: the figures then tell their work, not where the scheduler
    // happened to put them (a wake-up on the other core costs more than a request).
    cpu_set_t all;
    cpu_set_t one;
    sched_getaffinity(0, sizeof(all), &all);
    CPU_ZERO(&one);
    CPU_SET(sched_getcpu(), &one);
    sched_setaffinity(0, sizeof(one), &one);
    for (const char* trace : {"/dev/null", traceFile.c_str()}) {
        double listener = 0;  // the best of five rounds each, taken in turn
        double anchor = 0;
        for (int round = 0; round < 5; ++round) {
            listener = std::max(listener, roundTrips(folder, true, trace, requests));
            anchor = std::max(anchor, roundTrips(folder, false, trace, requests));
        }
        const std::string where = trace == traceFile ? "a file" : "/dev/null";
        row(("GetPort round trips/s on one core, listener, trace to " + where).c_str(), number(listener));
        row(("GetPort round trips/s on one core, anchor, trace to " + where).c_str(), number(anchor));
        row(("listener / anchor, trace to " + where).c_str(), number(listener / anchor), trace == traceFile ? "" : ">= 0.8");
    }
    sched_setaffinity(0, sizeof(all), &all);
    row("accepted acknowledgements/s (status file and tree written)",
        number(acknowledgements(folder, "IMEI:" + std::string(zavtapi::kDefaultImei) + "/1\nN\n", quick ? 5 : 200)));
    row("rejected acknowledgements/s (tree written)",
        number(acknowledgements(folder, "IMEI:" + std::string(zavtapi::kDefaultImei) + "/0\nN\n", quick ? 5 : 200)));

    // The PIN wait: a SIM whose PIN comes only after a million checks, the last SIM registered.
    const unsigned long passes = quick ? 10000 : 1000000;
    std::ofstream(DMREG_STATUS_FILE) << zavtapi::kDefaultImsi;
    zavtapi::setSimStatus({0});
    long heapAtStart = 0, heapAtEnd = 0, rssAtStart = 0, rssAtEnd = 0;
    g_sleeps = 0;
    g_onSleep = [&](unsigned long n) {
        if (n == (quick ? 6001 : 10001)) {  // once the stand-in's call log is full
            heapAtStart = static_cast<long>(mallinfo2().uordblks);
            rssAtStart = anonymousKiB();
        }
        if (n == passes) {
            heapAtEnd = static_cast<long>(mallinfo2().uordblks);
            rssAtEnd = anonymousKiB();
            zavtapi::setSimStatus({3});
        }
    };
    const int saved = dup(STDERR_FILENO);
    const int nowhere = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(nowhere, STDERR_FILENO);
    DM_RegLaunch().activateDmRegister();
    g_onSleep = nullptr;
    const std::string count = quick ? "10^4" : "10^6";
    row(("PIN wait: heap growth over " + count + " passes").c_str(), std::to_string(heapAtEnd - heapAtStart) + " B", "0");
    row(("PIN wait: anonymous resident set growth over " + count + " passes").c_str(), std::to_string(rssAtEnd - rssAtStart) + " KiB", "0");
    status |= heapAtEnd != heapAtStart || rssAtEnd != rssAtStart;

    // One whole registration of a new SIM, its acknowledgement accepted.
    unlink(DMREG_STATUS_FILE);
    zavtapi::reset();
    DM_SimUtility::fetchSimImsiflag = DM_SimUtility::fetchPhoneImeiflag = false;
    const std::string runFolder = std::string(DMREG_SOCKET_PATH).substr(0, std::string(DMREG_SOCKET_PATH).rfind('/'));
    const bool madeRunFolder = mkdir(runFolder.c_str(), 0700) == 0;  // when run outside make test
    g_listening = -1;
    g_counting = true;
    std::thread host([] { DM_RegLaunch().activateDmRegister(); });
    while (g_listening < 0) {
        std::this_thread::yield();
    }
    request(DMREG_SOCKET_PATH, "\n\n<GetPort>\nN\n");
    request(DMREG_SOCKET_PATH, "IMEI:" + std::string(zavtapi::kDefaultImei) + "/1\nN\n");
    shutdown(g_listening, SHUT_RDWR);
    host.join();
    g_counting = false;
    dup2(saved, STDERR_FILENO);
    row("heap allocations of one registration: the library's own (the listener, a read stream a connection)",
        std::to_string(g_libraryAllocations), "only what is dynamic by contract");
    row("heap allocations of one registration: the stand-ins' (tree and telephony)", std::to_string(g_standinAllocations));

    // dmreg-host over a registration, its peak resident set.
    int trace[2];
    if (pipe(trace) != 0) {
        perror("dmreg-bench: pipe");
        return 2;
    }
    unlink(DMREG_STATUS_FILE);
    const pid_t child = fork();
    if (child == 0) {
        dup2(trace[1], STDERR_FILENO);
        execl(DMREG_BIN "/dmreg-host", "dmreg-host", "--fast", "--tree", tree.c_str(), nullptr);
        _exit(127);
    }
    close(trace[1]);
    std::string seen;
    char buffer[4096];
    for (ssize_t got = 1; got > 0 && seen.find("listenAndProcess()\tENTER") == std::string::npos;) {
        got = read(trace[0], buffer, sizeof(buffer));
        seen.append(buffer, static_cast<size_t>(got > 0 ? got : 0));
    }
    request(DMREG_SOCKET_PATH, "IMEI:" + std::string(zavtapi::kDefaultImei) + "/1\nN\n");
    kill(child, SIGTERM);
    rusage usage{};
    wait4(child, nullptr, 0, &usage);
    close(trace[0]);
    row("peak resident set of dmreg-host over a registration", std::to_string(usage.ru_maxrss) + " KiB");

    double wakeUps = 0;
    int commands = 0;
    const int idle = quick ? 2 : 60;
    const bool registered = serviceOnTheModem(folder, idle, wakeUps, commands);
    row(("dmregd awaiting the reply on the simulated modem: wake-ups a minute, over " + std::to_string(idle) + " s").c_str(),
        registered ? number(wakeUps) : "did not register", "<= 2");
    row("dmregd: AT commands of one registration, from its start to its end", std::to_string(commands));
    status |= !registered || wakeUps > 2;

    unlink(DMREG_SOCKET_PATH);
    if (madeRunFolder) {
        rmdir(runFolder.c_str());
    }
    if (std::system(("rm -rf " + std::string(folder)).c_str()) != 0) {
        fprintf(stderr, "dmreg-bench: %s is left\n", folder);
    }
    return status;
}
