// Makes the plug-in's trace visible on the terminal, without changing any setting of
// the machine.
#pragma once

#include <functional>
#include <memory>
#include <string>

namespace zykproxy::platform {

class TraceRelay {
public:
    using LineSink = std::function<void(const std::string& line)>;
    TraceRelay();
    ~TraceRelay();
    TraceRelay(const TraceRelay&) = delete;
    TraceRelay& operator=(const TraceRelay&) = delete;

    // Call before the plug-in is loaded (it reads its trace settings once, at load).
    // POSIX: sets ZYKIM_DEBUG_LEVEL to level and ZYKIM_DEBUG_OUTPUT to stderr, so the
    // plug-in writes its lines straight to standard error.
    // Windows: listens to the debugger output in this process and hands every line of
    // this process to sink; the level is the machine's DebugLevel, which is read (never
    // written) to tell the user about it through sink.
    // False and a reason when the trace cannot be shown.
    bool Start(int level, LineSink sink, std::string* error);
    // Stops listening; on Windows tells through sink how to get lines when none came.
    void Stop();

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace zykproxy::platform
