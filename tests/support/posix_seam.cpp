// The library is to call these definitions, not fortified inline ones.
#undef _FORTIFY_SOURCE
#include "posix_seam.h"

#include "DM_RegUtility.h"
#include "dmreg_config.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace testsupport {
namespace {

std::mutex g_sleepMutex;
std::vector<unsigned> g_sleeps;
unsigned long long g_sleepCount = 0;
std::function<void(unsigned long long, unsigned)> g_sleepHook;

std::atomic<ClientClock> g_clock{ClientClock::Real};
std::atomic<int> g_acceptError{0};
std::atomic<int> g_acceptFailures{0};  // how many accepts are still to fail; negative: all
std::atomic<int> g_fdopenFailures{0};
std::atomic<int> g_nothrowNewFailures{0};
std::atomic<int> g_listeningSocket{-1};
std::atomic<long> g_clockOffsetMs{0};

struct Tracked {
    std::atomic<int> calls{0};
    std::atomic<int> failAt{0};
    std::atomic<int> error{0};
};
Tracked g_posix[kPosixFunctions];
std::atomic<bool> g_tracking{false};

// Whether an address lies in the registration library.
bool inLibrary(const void* address)
{
    static const void* base = [] {
        Dl_info info{};
        dladdr(reinterpret_cast<const void*>(&dmNeedRegister), &info);
        return info.dli_fbase;
    }();
    Dl_info info{};
    return dladdr(address, &info) != 0 && info.dli_fbase == base;
}

// Counts a call of the library; true (errno set) when it is the one to fail.
bool failHere(Posix function, const void* caller)
{
    if (!g_tracking.load() || !inLibrary(caller)) {
        return false;
    }
    Tracked& t = g_posix[static_cast<int>(function)];
    if (++t.calls != t.failAt.load()) {
        return false;
    }
    errno = t.error.load();
    return true;
}  // no 64-bit atomics on the 32-bit target

template <class F>
F realFunction(const char* name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

void resetSleeps()
{
    std::lock_guard<std::mutex> lock(g_sleepMutex);
    g_sleeps.clear();
    g_sleepCount = 0;
    g_sleepHook = nullptr;
}

std::vector<unsigned> sleeps()
{
    std::lock_guard<std::mutex> lock(g_sleepMutex);
    return g_sleeps;
}

unsigned long long sleepCount()
{
    std::lock_guard<std::mutex> lock(g_sleepMutex);
    return g_sleepCount;
}

void onSleep(std::function<void(unsigned long long, unsigned)> hook)
{
    std::lock_guard<std::mutex> lock(g_sleepMutex);
    g_sleepHook = std::move(hook);
}

void setClientClock(ClientClock mode)
{
    g_clock = mode;
}

void failAccept(int error, int times)
{
    g_acceptError = error;
    g_acceptFailures = error == 0 ? 0 : times;
}

void failFdopen(int times)
{
    g_fdopenFailures = times;
}

void failNothrowNew(int times)
{
    g_nothrowNewFailures = times;
}

const char* posixName(Posix function)
{
    static const char* const names[kPosixFunctions] = {"open",   "read",   "write",  "fsync",
                                                       "socket", "bind",   "chmod",  "listen",
                                                       "accept", "fdopen", "send"};
    return names[static_cast<int>(function)];
}

void trackPosix(Posix function, int n, int error)
{
    for (Tracked& t : g_posix) {
        t.calls = 0;
        t.failAt = 0;
    }
    g_posix[static_cast<int>(function)].failAt = n;
    g_posix[static_cast<int>(function)].error = error;
    g_tracking = true;
}

void stopTrackingPosix()
{
    g_tracking = false;
}

int posixCalls(Posix function)
{
    return g_posix[static_cast<int>(function)].calls.load();
}

int listeningSocket()
{
    return g_listeningSocket.load();
}

void forgetListeningSocket()
{
    g_listeningSocket = -1;
}

}  // namespace testsupport

using namespace testsupport;

namespace {

// The library's status file (and its companion files, which share its name as a prefix) lives
// where the tests can reach it: see DMREG_TEST_STATUS_FILE.
const char* mapPath(const char* path)
{
    static const char configured[] = DMREG_STATUS_FILE;
    static const char test[] = DMREG_TEST_STATUS_FILE;
    if (path == nullptr || strcmp(configured, test) == 0 || strncmp(path, configured, sizeof(configured) - 1) != 0) {
        return path;
    }
    thread_local std::string mapped;
    mapped = std::string(test) + (path + sizeof(configured) - 1);
    return mapped.c_str();
}

}  // namespace

extern "C" int open(const char* path, int flags, ...)
{
    static const auto real = realFunction<int (*)(const char*, int, ...)>("open");
    if (failHere(Posix::Open, __builtin_return_address(0))) {
        return -1;
    }
    mode_t mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list args;
        va_start(args, flags);
        mode = static_cast<mode_t>(va_arg(args, int));
        va_end(args);
    }
    return real(mapPath(path), flags, mode);
}

extern "C" int access(const char* path, int how)
{
    static const auto real = realFunction<int (*)(const char*, int)>("access");
    return real(mapPath(path), how);
}

extern "C" int stat(const char* __restrict path, struct stat* __restrict info)
{
    static const auto real = realFunction<int (*)(const char*, struct stat*)>("stat");
    return real(mapPath(path), info);
}

extern "C" int rename(const char* from, const char* to)
{
    static const auto real = realFunction<int (*)(const char*, const char*)>("rename");
    const std::string mappedFrom = mapPath(from);
    return real(mappedFrom.c_str(), mapPath(to));
}

extern "C" int unlink(const char* path)
{
    static const auto real = realFunction<int (*)(const char*)>("unlink");
    return real(mapPath(path));
}

extern "C" unsigned int sleep(unsigned int seconds)
{
    std::function<void(unsigned long long, unsigned)> hook;
    unsigned long long number;
    {
        std::lock_guard<std::mutex> lock(g_sleepMutex);
        number = ++g_sleepCount;
        if (g_sleeps.size() < 1000) {
            g_sleeps.push_back(seconds);
        }
        hook = g_sleepHook;
    }
    if (hook) {
        hook(number, seconds);
    }
    return 0;
}

extern "C" int poll(struct pollfd* fds, nfds_t count, int timeout)
{
    static const auto real = realFunction<int (*)(struct pollfd*, nfds_t, int)>("poll");
    const ClientClock mode = g_clock.load();
    if (mode == ClientClock::WaitsFail) {
        errno = EBADF;
        return -1;
    }
    if (mode == ClientClock::WaitsTimeOut && timeout > 0) {
        g_clockOffsetMs += timeout;
        return 0;
    }
    const int ready = real(fds, count, timeout);
    if (mode == ClientClock::EachByteTakesASecond && ready > 0) {
        g_clockOffsetMs += 1000;
    }
    return ready;
}

extern "C" int clock_gettime(clockid_t clock, struct timespec* now)
{
    static const auto real = realFunction<int (*)(clockid_t, struct timespec*)>("clock_gettime");
    const int result = real(clock, now);
    if (result == 0 && clock == CLOCK_MONOTONIC) {
        const long offset = g_clockOffsetMs.load();
        now->tv_sec += static_cast<time_t>(offset / 1000);
        now->tv_nsec += static_cast<long>((offset % 1000) * 1000000);
        if (now->tv_nsec >= 1000000000L) {
            now->tv_sec += 1;
            now->tv_nsec -= 1000000000L;
        }
    }
    return result;
}

extern "C" int accept(int socket, struct sockaddr* address, socklen_t* length)
{
    static const auto real = realFunction<int (*)(int, struct sockaddr*, socklen_t*)>("accept");
    g_listeningSocket = socket;
    if (failHere(Posix::Accept, __builtin_return_address(0))) {
        return -1;
    }
    int left = g_acceptFailures.load();
    while (left != 0 && !g_acceptFailures.compare_exchange_weak(left, left > 0 ? left - 1 : left)) {
    }
    if (left != 0) {
        errno = g_acceptError.load();
        return -1;
    }
    return real(socket, address, length);
}

extern "C" FILE* fdopen(int fd, const char* mode)
{
    static const auto real = realFunction<FILE* (*)(int, const char*)>("fdopen");
    if (failHere(Posix::Fdopen, __builtin_return_address(0))) {
        return nullptr;
    }
    int left = g_fdopenFailures.load();
    while (left > 0 && !g_fdopenFailures.compare_exchange_weak(left, left - 1)) {
    }
    if (left > 0) {
        errno = EMFILE;
        return nullptr;
    }
    return real(fd, mode);
}

extern "C" ssize_t read(int fd, void* buffer, size_t size)
{
    static const auto real = realFunction<ssize_t (*)(int, void*, size_t)>("read");
    return failHere(Posix::Read, __builtin_return_address(0)) ? -1 : real(fd, buffer, size);
}

extern "C" ssize_t write(int fd, const void* buffer, size_t size)
{
    static const auto real = realFunction<ssize_t (*)(int, const void*, size_t)>("write");
    return failHere(Posix::Write, __builtin_return_address(0)) ? -1 : real(fd, buffer, size);
}

extern "C" int fsync(int fd)
{
    static const auto real = realFunction<int (*)(int)>("fsync");
    return failHere(Posix::Fsync, __builtin_return_address(0)) ? -1 : real(fd);
}

extern "C" int socket(int domain, int type, int protocol)
{
    static const auto real = realFunction<int (*)(int, int, int)>("socket");
    return failHere(Posix::Socket, __builtin_return_address(0)) ? -1 : real(domain, type, protocol);
}

extern "C" int bind(int fd, const struct sockaddr* address, socklen_t length)
{
    static const auto real = realFunction<int (*)(int, const struct sockaddr*, socklen_t)>("bind");
    return failHere(Posix::Bind, __builtin_return_address(0)) ? -1 : real(fd, address, length);
}

extern "C" int chmod(const char* path, mode_t mode)
{
    static const auto real = realFunction<int (*)(const char*, mode_t)>("chmod");
    return failHere(Posix::Chmod, __builtin_return_address(0)) ? -1 : real(mapPath(path), mode);
}

extern "C" int listen(int fd, int backlog)
{
    static const auto real = realFunction<int (*)(int, int)>("listen");
    return failHere(Posix::Listen, __builtin_return_address(0)) ? -1 : real(fd, backlog);
}

extern "C" ssize_t send(int fd, const void* buffer, size_t size, int flags)
{
    static const auto real = realFunction<ssize_t (*)(int, const void*, size_t, int)>("send");
    return failHere(Posix::Send, __builtin_return_address(0)) ? -1 : real(fd, buffer, size, flags);
}

// Only the library's own allocations fail.
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    int left = inLibrary(__builtin_return_address(0)) ? g_nothrowNewFailures.load() : 0;
    while (left > 0 && !g_nothrowNewFailures.compare_exchange_weak(left, left - 1)) {
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
