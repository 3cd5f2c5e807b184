// Control interface of the device-management tree stand-in, for tests and tools.
//
// Failures are injected per operation and node path (the full path from the root, such as
// "./DevInfo/Man"; for GetSubtree the root path asked for), or by the ordinal number of a call
// among all operations that can fail. An injected failure answers an error handle carrying the
// given text, or an empty text when the text is null.
#ifndef DMNATIVE_CONTROL_H
#define DMNATIVE_CONTROL_H

#define DMNATIVE_CONTROL_API __attribute__((visibility("default")))

namespace dmnative {

enum class Op { Initialize, GetSubtree, GetNode, GetValue, SetValue, GetString, GetInt, GetBoolean, GetNodeValue };

DMNATIVE_CONTROL_API void failOn(Op op, const char* path, const char* errorText);
// Fails the n-th call (1-based) counted by failableCalls().
DMNATIVE_CONTROL_API void failCall(long n, const char* errorText);
// The next n blocks asked of DmtMemAllocEx are refused (null).
DMNATIVE_CONTROL_API void failAllocations(int n);
DMNATIVE_CONTROL_API void clearFailures();

// Calls of every operation that can fail, since the last resetCounters().
DMNATIVE_CONTROL_API long failableCalls();
DMNATIVE_CONTROL_API int successfulInitializeCalls();
DMNATIVE_CONTROL_API int uninitializeCalls();
DMNATIVE_CONTROL_API void resetCounters();

// Tree, node and error objects alive now, and blocks of DmtMemAllocEx not yet freed.
DMNATIVE_CONTROL_API long liveHandles();
DMNATIVE_CONTROL_API long liveBlocks();

// Parses a tree file without opening it for use; false (and a message on standard error
// naming the file and line) when it is malformed.
DMNATIVE_CONTROL_API bool checkTreeFile(const char* path);

}  // namespace dmnative

#endif
