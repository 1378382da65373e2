// The debug trace routines. A call below its level returns before any formatting; a
// traced line is built in a buffer on the stack, never on the heap.
#include "plugin/trace.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

#include "os/debug_output.h"

// The routines themselves exist in every build.
#undef TraceInfo
#undef TraceWarning
#undef TraceError

namespace zykim {

namespace {
std::atomic<int32_t> g_traceLevel{0};

constexpr int kLineBufferSize = 65537;
constexpr int kFormatCapacity = 65527;

void WriteTraceLine(const char* format, va_list args) {
    char line[kLineBufferSize];
    std::memcpy(line, kTracePrefix, kTracePrefixLength);
    line[kTracePrefixLength] = '\0';
    va_list measure;
    va_copy(measure, args);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length >= 0 && length <= kTraceMaxMessage)
        std::vsnprintf(line + kTracePrefixLength, kFormatCapacity, format, args);
    os::WriteDebugOutput(line);
}
}  // namespace

int32_t TraceLevel() { return g_traceLevel.load(std::memory_order_relaxed); }
void SetTraceLevel(int32_t level) { g_traceLevel.store(level, std::memory_order_relaxed); }

#define ZYKIM_DEFINE_TRACE(name, threshold)          \
    void name(const char* format, ...) {             \
        if (TraceLevel() < (threshold)) return;      \
        va_list args;                                \
        va_start(args, format);                      \
        WriteTraceLine(format, args);                \
        va_end(args);                                \
    }

ZYKIM_DEFINE_TRACE(TraceInfo, 4)
ZYKIM_DEFINE_TRACE(TraceWarning, 2)
ZYKIM_DEFINE_TRACE(TraceError, 1)

#undef ZYKIM_DEFINE_TRACE

void DirectLine(const char* format, ...) {
    // The per-block lines are written whatever the level; when they would reach nobody,
    // formatting them is all they would cost.
    if (!os::DebugOutputHasReader()) return;
    // Short lines, the per-block ones among them, are formatted on the stack.
    char small[512];
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (length < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(length) < sizeof small) {
        va_end(again);
        os::WriteDebugOutput(small);
        return;
    }
    std::vector<char> big(static_cast<size_t>(length) + 1);
    std::vsnprintf(big.data(), big.size(), format, again);
    va_end(again);
    os::WriteDebugOutput(big.data());
}

}  // namespace zykim
