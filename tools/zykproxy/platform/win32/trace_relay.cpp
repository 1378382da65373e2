// The plug-in's trace on Windows: an in-process debugger-output listener on its own
// thread, passing on the lines of this process only.
#include "os/win32/win.h"

#include <atomic>
#include <thread>

#include "dbwin_listener.h"
#include "platform/trace_relay.h"

namespace zykproxy::platform {

namespace {

constexpr char kLevelKey[] = "SOFTWARE\\Halvorn\\ZYKProxy";

// DebugLevel as the plug-in reads it: missing means 0, the 32 bits are signed.
bool ReadDebugLevel(int* level) {
    HKEY key;
    *level = 0;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLevelKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD value = 0;
    DWORD size = sizeof value;
    const bool found = RegQueryValueExA(key, "DebugLevel", nullptr, nullptr,
                                        reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS;
    RegCloseKey(key);
    if (found) *level = static_cast<int>(value);
    return found;
}

std::string HowToSet(int level) {
    return "reg add HKLM\\SOFTWARE\\Halvorn\\ZYKProxy /v DebugLevel /t REG_DWORD /d " +
           std::to_string(level) + " (read when the plug-in loads)";
}

}  // namespace

struct TraceRelay::State {
    zyk::dbwin::Listener listener;
    std::thread thread;
    std::atomic<bool> stop{false};
    std::atomic<unsigned long> lines{0};
    LineSink sink;
    int asked = 0;
};

TraceRelay::TraceRelay() : m_state(std::make_unique<State>()) {}
TraceRelay::~TraceRelay() { Stop(); }

bool TraceRelay::Start(int level, LineSink sink, std::string* error) {
    State& s = *m_state;
    if (!s.listener.Open(error)) return false;
    s.sink = std::move(sink);
    s.asked = level;
    int machineLevel = 0;
    ReadDebugLevel(&machineLevel);
    if (machineLevel < level)
        s.sink("trace: the plug-in's level is DebugLevel " + std::to_string(machineLevel) +
               " in HKLM\\" + kLevelKey + ", below the " + std::to_string(level) +
               " asked for; only the lines of that level and the per-block lines appear. "
               "To raise it: " + HowToSet(level));
    const DWORD self = GetCurrentProcessId();
    s.thread = std::thread([&s, self] {
        while (!s.stop.load()) {
            uint32_t pid = 0;
            std::string text;
            const auto r = s.listener.Next(100, &pid, &text);
            if (r == zyk::dbwin::Listener::Result::Failed) return;
            if (r != zyk::dbwin::Listener::Result::Text || pid != self) continue;
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            ++s.lines;
            s.sink(text);
        }
    });
    return true;
}

void TraceRelay::Stop() {
    State& s = *m_state;
    if (!s.thread.joinable()) return;
    s.stop = true;
    s.thread.join();
    if (s.lines == 0)
        s.sink("trace: no line of the plug-in arrived; with DebugLevel 0 only the per-block "
               "lines of data calls appear. To raise it: " + HowToSet(s.asked));
}

}  // namespace zykproxy::platform
