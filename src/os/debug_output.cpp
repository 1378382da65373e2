// The portable half of the debugger output: the in-process observer. The backend
// writes each text to the platform's channel first.
#include "os/debug_output.h"

#include <atomic>
#include <mutex>

namespace zykim::os {

// Defined by the backend.
void WriteDebugOutputNative(const char* text);
bool DebugOutputNativeHasReader();

namespace {
std::atomic<bool> g_hasObserver{false};
std::mutex g_observerMutex;
DebugOutputObserver g_observer = nullptr;
void* g_observerData = nullptr;
}  // namespace

void WriteDebugOutput(const char* text) {
    WriteDebugOutputNative(text);
    if (!g_hasObserver.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> guard(g_observerMutex);
    if (g_observer != nullptr) g_observer(text, g_observerData);
}

bool DebugOutputHasReader() {
    return DebugOutputNativeHasReader() || g_hasObserver.load(std::memory_order_acquire);
}

void SetDebugOutputObserver(DebugOutputObserver observer, void* userData) {
    std::lock_guard<std::mutex> guard(g_observerMutex);
    g_observer = observer;
    g_observerData = userData;
    g_hasObserver.store(observer != nullptr, std::memory_order_release);
}

}  // namespace zykim::os
