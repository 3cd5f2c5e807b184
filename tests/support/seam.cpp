// The library is to call these definitions, not fortified inline ones.
#undef _FORTIFY_SOURCE
#include "seam.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <string>
#include <vector>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "dmreg_config.h"

namespace seam {

std::atomic<Clock> clock{Clock::Real};
std::atomic<long> shiftMs{0};
std::atomic<int> nothrowNewFailures{0};
std::atomic<int> listeningSocket{-1};
const char* library = "libzavdmreg.so.1";

namespace {

struct Sleeps {
    std::mutex mutex;
    std::vector<unsigned> asked;
} g_sleeps;

struct Tracked {
    std::atomic<int> calls{0};
    std::atomic<int> failAt{0};
    std::atomic<int> error{0};
} g_posix[static_cast<int>(Posix::Count) + 1];  // the last counts calls that are never failed

bool inLibrary(const void* address)
{
    Dl_info info{};
    const char* name = dladdr(address, &info) != 0 && info.dli_fname != nullptr ? strrchr(info.dli_fname, '/') : nullptr;
    return name != nullptr && strcmp(name + 1, library) == 0;
}

// Once the program ends, nothing fails: the coverage runtime linked into the library writes its
// counters then through these same calls, and a failure left armed would lose them. (Handlers of
// atexit run before the libraries' destructors, where the counters are written.)
std::atomic<bool> g_ending{false};
const int g_endingNoted = atexit([] { g_ending = true; });

// Counts a call of the library; true (errno set) when it is the one to fail.
bool fails(Posix function, const void* caller)
{
    Tracked& t = g_posix[static_cast<int>(function)];
    if (g_ending || !inLibrary(caller) || ++t.calls != t.failAt.load()) {
        return false;
    }
    errno = t.error.load();
    return true;
}

// The library's fixed paths (the status file and its companions, the socket) as the tests see them.
// Nothing here has a destructor: the coverage runtime opens its files through this after the
// program's static objects are gone, and a destroyed string once mapped its paths to files beside
// the status file, mixing the counters of different sources.
const char* mapPath(const char* path)
{
    static constexpr char status[] = DMREG_STATUS_FILE;
    static constexpr char testStatus[] = DMREG_TEST_STATUS_FILE;
    thread_local char mapped[PATH_MAX];
    if (path != nullptr && strcmp(path, DMREG_SOCKET_PATH) == 0) {
        return DMREG_TEST_SOCKET_PATH;
    }
    if (path == nullptr || strcmp(status, testStatus) == 0) {
        return path;
    }
    // The status file's folder, which the library syncs after its rename.
    const char* const statusSlash = strrchr(status, '/');
    const char* const testSlash = strrchr(testStatus, '/');
    if (statusSlash != nullptr && testSlash != nullptr && strlen(path) == static_cast<size_t>(statusSlash - status) &&
        strncmp(path, status, strlen(path)) == 0) {
        const int length = snprintf(mapped, sizeof(mapped), "%.*s", static_cast<int>(testSlash - testStatus), testStatus);
        return length > 0 && static_cast<size_t>(length) < sizeof(mapped) ? mapped : path;
    }
    if (strncmp(path, status, sizeof(status) - 1) != 0) {
        return path;
    }
    const int length = snprintf(mapped, sizeof(mapped), "%s%s", testStatus, path + sizeof(status) - 1);
    return length > 0 && static_cast<size_t>(length) < sizeof(mapped) ? mapped : path;
}

template <class F>
F next(const char* symbol)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, symbol));
}

}  // namespace

void resetSleeps()
{
    std::lock_guard<std::mutex> lock(g_sleeps.mutex);
    g_sleeps.asked.clear();
}

std::vector<unsigned> sleeps()
{
    std::lock_guard<std::mutex> lock(g_sleeps.mutex);
    return g_sleeps.asked;
}

const char* name(Posix function)
{
    static const char* const names[] = {"open",   "read",   "write",  "fsync", "socket", "bind",
                                        "chmod",  "listen", "accept", "fdopen", "poll",  "send"};
    return names[static_cast<int>(function)];
}

void failPosix(Posix function, int n, int error)
{
    for (Tracked& t : g_posix) {
        t.calls = 0;
        t.failAt = 0;
    }
    g_posix[static_cast<int>(function)].failAt = n;
    g_posix[static_cast<int>(function)].error = error;
}

int calls(Posix function)
{
    return g_posix[static_cast<int>(function)].calls.load();
}

}  // namespace seam

using seam::Posix;

extern "C" unsigned int sleep(unsigned int seconds)
{
    std::lock_guard<std::mutex> lock(seam::g_sleeps.mutex);
    if (seam::g_sleeps.asked.size() < 1000) {
        seam::g_sleeps.asked.push_back(seconds);
    }
    seam::shiftMs += 1000L * static_cast<long>(seconds);
    return 0;
}

extern "C" int clock_gettime(clockid_t clock, struct timespec* now)
{
    static const auto real = seam::next<int (*)(clockid_t, struct timespec*)>("clock_gettime");
    const int result = real(clock, now);
    const long shift = clock == CLOCK_MONOTONIC ? seam::shiftMs.load() : 0;
    const long long ns = now->tv_nsec + shift % 1000 * 1000000LL;
    now->tv_sec += static_cast<time_t>(shift / 1000 + ns / 1000000000);
    now->tv_nsec = static_cast<long>(ns % 1000000000);
    return result;
}

extern "C" int poll(struct pollfd* fds, nfds_t count, int timeout)
{
    static const auto real = seam::next<int (*)(struct pollfd*, nfds_t, int)>("poll");
    if (seam::fails(Posix::Poll, __builtin_return_address(0))) {
        return -1;
    }
    const bool timesOut = seam::clock == seam::Clock::WaitsTimeOut && timeout > 0;
    const int ready = real(fds, count, timesOut ? std::min(timeout, 20) : timeout);
    seam::shiftMs += timesOut && ready == 0 ? timeout : 0;
    seam::shiftMs += seam::clock == seam::Clock::EachReadyTakesASecond && ready > 0 ? 1000 : 0;
    return ready;
}

extern "C" int open(const char* path, int flags, ...)
{
    static const auto real = seam::next<int (*)(const char*, int, ...)>("open");
    va_list args;
    va_start(args, flags);
    const mode_t mode = (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(args, int)) : 0;
    va_end(args);
    return seam::fails(Posix::Open, __builtin_return_address(0)) ? -1 : real(seam::mapPath(path), flags, mode);
}

extern "C" int rename(const char* from, const char* to)
{
    static const auto real = seam::next<int (*)(const char*, const char*)>("rename");
    const std::string mappedFrom = seam::mapPath(from);
    return real(mappedFrom.c_str(), seam::mapPath(to));
}

extern "C" int bind(int fd, const struct sockaddr* address, socklen_t length)
{
    static const auto real = seam::next<int (*)(int, const struct sockaddr*, socklen_t)>("bind");
    sockaddr_un mapped{};
    if (address->sa_family == AF_UNIX && length <= sizeof(mapped)) {
        memcpy(&mapped, address, length);
        strncpy(mapped.sun_path, seam::mapPath(std::string(mapped.sun_path).c_str()), sizeof(mapped.sun_path) - 1);
        address = reinterpret_cast<const sockaddr*>(&mapped);
        length = sizeof(mapped);
    }
    return seam::fails(Posix::Bind, __builtin_return_address(0)) ? -1 : real(fd, address, length);
}

extern "C" int accept4(int socket, struct sockaddr* address, socklen_t* length, int flags)
{
    static const auto real = seam::next<int (*)(int, struct sockaddr*, socklen_t*, int)>("accept4");
    seam::listeningSocket = socket;
    return seam::fails(Posix::Accept, __builtin_return_address(0)) ? -1 : real(socket, address, length, flags);
}

extern "C" FILE* fdopen(int fd, const char* mode)
{
    static const auto real = seam::next<FILE* (*)(int, const char*)>("fdopen");
    return seam::fails(Posix::Fdopen, __builtin_return_address(0)) ? nullptr : real(fd, mode);
}

// Counted and failed (library calls only) when kind names one, paths mapped when path is one.
#define SEAM(ret, symbol, kind, params, args)                                          \
    extern "C" ret symbol params                                                       \
    {                                                                                  \
        static const auto real = seam::next<ret(*) params>(#symbol);                    \
        return seam::fails(Posix::kind, __builtin_return_address(0)) ? -1 : real args; \
    }
SEAM(ssize_t, read, Read, (int fd, void* buffer, size_t size), (fd, buffer, size))
SEAM(ssize_t, write, Write, (int fd, const void* buffer, size_t size), (fd, buffer, size))
SEAM(int, fsync, Fsync, (int fd), (fd))
SEAM(int, socket, Socket, (int domain, int type, int protocol), (domain, type, protocol))
SEAM(int, listen, Listen, (int fd, int backlog), (fd, backlog))
SEAM(ssize_t, send, Send, (int fd, const void* buffer, size_t size, int flags), (fd, buffer, size, flags))
SEAM(int, chmod, Chmod, (const char* path, mode_t mode), (seam::mapPath(path), mode))
SEAM(int, access, Count, (const char* path, int how), (seam::mapPath(path), how))
SEAM(int, unlink, Count, (const char* path), (seam::mapPath(path)))
SEAM(int, stat, Count, (const char* __restrict path, struct stat* __restrict info), (seam::mapPath(path), info))

// Only the library's own allocations fail.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    int left = seam::inLibrary(__builtin_return_address(0)) ? seam::nothrowNewFailures.load() : 0;
    while (left > 0 && !seam::nothrowNewFailures.compare_exchange_weak(left, left - 1)) {
    }
    if (left > 0) {
        return nullptr;
    }
    try {
        return ::operator new(size);  // the same allocator as the delete that frees it
    } catch (...) {
        return nullptr;
    }
}
