// The debug trace: printf-style lines on the debugger output, by level.
#pragma once

#include <cstdint>

#if defined(__MINGW32__)
#define ZYKIM_PRINTF(f, a) __attribute__((format(gnu_printf, f, a)))
#elif defined(__GNUC__)
#define ZYKIM_PRINTF(f, a) __attribute__((format(printf, f, a)))
#else
#define ZYKIM_PRINTF(f, a)
#endif

namespace zykim {

// Every line of the trace routines starts with this marker.
inline constexpr char kTracePrefix[] = "++++++++  ";
inline constexpr int kTracePrefixLength = 10;
// A longer message is dropped; its line holds the prefix alone.
inline constexpr int kTraceMaxMessage = 65520;

// The texts handed to these routines, all over the plug-in, are a compatibility contract:
// existing log readers match them word for word, wording, spacing and brackets
// included, odd as some look. Change a message only together with every reader of it.

// The process-wide trace level: 4+ everything, 2-3 warnings and errors, 1 errors,
// 0 and below nothing.
int32_t TraceLevel();
void SetTraceLevel(int32_t level);

void TraceInfo(const char* format, ...) ZYKIM_PRINTF(1, 2);     // level 4 and above
void TraceWarning(const char* format, ...) ZYKIM_PRINTF(1, 2);  // level 2 and above
void TraceError(const char* format, ...) ZYKIM_PRINTF(1, 2);    // level 1 and above

// A line written whatever the level, without prefix or length limit.
void DirectLine(const char* format, ...) ZYKIM_PRINTF(1, 2);

}  // namespace zykim

#ifdef ZYKIM_TRACE_COMPILED_OUT
// A measuring build without any trace call: the calls vanish, their arguments are
// still checked by the compiler. Direct lines stay.
#define TraceInfo(...) (false ? ::zykim::TraceInfo(__VA_ARGS__) : (void)0)
#define TraceWarning(...) (false ? ::zykim::TraceWarning(__VA_ARGS__) : (void)0)
#define TraceError(...) (false ? ::zykim::TraceError(__VA_ARGS__) : (void)0)
#endif
