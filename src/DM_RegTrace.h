// The trace facility: every line of the library goes through dmreg::trace, in one of two layouts:
//
//     "{level} file:line, function()\t" message     (DM_TRACE, DM_TRACE_AS)
//     "{level} file:line\t" message                 (DM_TRACE_PLATFORM: tree library and
//                                                     telephony errors)
//
// file is the base name of the source file. Each line reaches standard error in one write.
#ifndef DM_REGTRACE_H
#define DM_REGTRACE_H

namespace dmreg {

enum TraceLevel { kTraceTelephony = 2, kTraceTree = 3, kTraceInfo = 5 };

// func null selects the layout without the function name.
__attribute__((visibility("hidden"), format(printf, 5, 6))) void trace(int level, const char* file, int line,
                                                                        const char* func, const char* format, ...);

}  // namespace dmreg

#define DM_TRACE(...) ::dmreg::trace(::dmreg::kTraceInfo, __FILE__, __LINE__, __func__, __VA_ARGS__)
// For lines that must carry another name than the enclosing function's (destructors, the
// shared accessor frame).
#define DM_TRACE_AS(func, ...) ::dmreg::trace(::dmreg::kTraceInfo, __FILE__, __LINE__, (func), __VA_ARGS__)
#define DM_TRACE_PLATFORM(level, ...) ::dmreg::trace((level), __FILE__, __LINE__, nullptr, __VA_ARGS__)

#endif
