// POSIX functions that a test program supplies in place of the C library's. The library calls
// them through the dynamic linker, so the program's definitions win; each one hands on to the
// real function unless a test asked for something else.
//
// sleep never waits: it records the delay and moves the program's monotonic clock on by it.
// The library's status-file and socket paths are redirected to the test's own (the ARM build
// keeps the shipping paths in the library).
#ifndef TESTS_SEAM_H
#define TESTS_SEAM_H

#include <atomic>
#include <vector>

namespace seam {

// The first delays asked for since resetSleeps (at most 1000 of them).
void resetSleeps();
std::vector<unsigned> sleeps();

enum class Clock {
    Real,                 // poll waits as it does
    WaitsTimeOut,         // a wait with a time limit that finds nothing at once takes its whole time
    EachReadyTakesASecond // every wait that finds something has taken a second
};
extern std::atomic<Clock> clock;
// Milliseconds by which the monotonic clock has been moved on (32 bits: the ARM target has no
// 64-bit atomics).
extern std::atomic<long> shiftMs;

// The library's POSIX calls, counted and failed one at a time. Only calls made from the library
// under test count: the registration library unless the test program names another.
extern const char* library;
enum class Posix { Open, Read, Write, Fsync, Socket, Bind, Chmod, Listen, Accept, Fdopen, Poll, Send, Count };
const char* name(Posix function);
// Counts from zero; the n-th call of function (0: none) fails with error.
void failPosix(Posix function = Posix::Open, int n = 0, int error = 0);
int calls(Posix function);

// How many of the library's next allocations with new (std::nothrow) fail.
extern std::atomic<int> nothrowNewFailures;
// The socket on which the library last waited in accept; -1 when a test has forgotten it.
extern std::atomic<int> listeningSocket;

}  // namespace seam

#endif
