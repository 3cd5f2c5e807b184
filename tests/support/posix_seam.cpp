#include "posix_seam.h"

#include <atomic>
#include <climits>
#include <dlfcn.h>
#include <mutex>
#include <poll.h>
#include <time.h>

namespace testsupport {
namespace {

std::mutex g_sleepMutex;
std::vector<unsigned> g_sleeps;
unsigned long long g_sleepCount = 0;
std::function<void(unsigned long long, unsigned)> g_sleepHook;
long g_minFrame = LONG_MAX;
long g_maxFrame = 0;

std::atomic<ClientClock> g_clock{ClientClock::Real};
std::atomic<long long> g_clockOffsetMs{0};

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
    g_minFrame = LONG_MAX;
    g_maxFrame = 0;
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

long sleepStackSpread()
{
    std::lock_guard<std::mutex> lock(g_sleepMutex);
    return g_sleepCount == 0 ? 0 : g_maxFrame - g_minFrame;
}

void setClientClock(ClientClock mode)
{
    g_clock = mode;
}

}  // namespace testsupport

using namespace testsupport;

extern "C" unsigned int sleep(unsigned int seconds)
{
    const long frame = reinterpret_cast<long>(__builtin_frame_address(0));
    std::function<void(unsigned long long, unsigned)> hook;
    unsigned long long number;
    {
        std::lock_guard<std::mutex> lock(g_sleepMutex);
        number = ++g_sleepCount;
        if (g_sleeps.size() < 1000) {
            g_sleeps.push_back(seconds);
        }
        g_minFrame = frame < g_minFrame ? frame : g_minFrame;
        g_maxFrame = frame > g_maxFrame ? frame : g_maxFrame;
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
        const long long offset = g_clockOffsetMs.load();
        now->tv_sec += static_cast<time_t>(offset / 1000);
        now->tv_nsec += static_cast<long>((offset % 1000) * 1000000);
        if (now->tv_nsec >= 1000000000L) {
            now->tv_sec += 1;
            now->tv_nsec -= 1000000000L;
        }
    }
    return result;
}
