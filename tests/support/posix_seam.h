// POSIX functions that this test program supplies in place of the C library's: the library calls
// them through the dynamic linker, so the program's definitions win.
//
// sleep never waits; it records the delays asked for. poll and clock_gettime run the real ones
// unless a test puts the listener's clock into one of the simulated modes below.
#ifndef TESTS_POSIX_SEAM_H
#define TESTS_POSIX_SEAM_H

#include <functional>
#include <vector>

namespace testsupport {

void resetSleeps();
// The first delays asked for (at most 1000 of them), and how many were asked for in all.
std::vector<unsigned> sleeps();
unsigned long long sleepCount();
// Called on every sleep with its ordinal number (from 1) and the seconds asked for.
void onSleep(std::function<void(unsigned long long, unsigned)> hook);

enum class ClientClock {
    Real,               // time passes as it does
    WaitsTimeOut,       // a wait for a client's bytes finds none, and its whole time passes
    EachByteTakesASecond,  // every byte that arrives has taken one second to come
    WaitsFail              // waiting for a client's bytes fails (EBADF)
};
void setClientClock(ClientClock mode);

// The next accepts (all of them when times is negative) fail at once with this error;
// error 0 restores the real accept.
void failAccept(int error, int times = -1);
// The library's next allocations with new (std::nothrow) fail.
void failNothrowNew(int times);
// The next fdopen calls fail with EMFILE.
void failFdopen(int times);

// The POSIX calls that the library makes for the status file and the listener, counted and
// failed one at a time. Only calls made from the library itself are counted, and only while
// tracking is on.
enum class Posix { Open, Read, Write, Fsync, Socket, Bind, Chmod, Listen, Accept, Fdopen, Send };
constexpr int kPosixFunctions = 11;
const char* posixName(Posix function);
// Starts counting from zero; the n-th call of function (0: none) fails with error.
void trackPosix(Posix function = Posix::Open, int n = 0, int error = 0);
void stopTrackingPosix();
int posixCalls(Posix function);
// The socket the library last waited on in accept, -1 when none since forgetListeningSocket();
// shutting it down ends the listener the way a failing socket would.
int listeningSocket();
void forgetListeningSocket();

}  // namespace testsupport

#endif
