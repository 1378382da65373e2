// Process-wide state: the host's socket interface and scan callback, the two shared
// locks and the callback gate, the stored settings.
#include "plugin/state.h"

#include <thread>
#include <type_traits>

#include "os/debug_output.h"

namespace zykim {

std::atomic<ISocket*> g_pHostSocket{nullptr};
std::atomic<ZykScanCallback> g_pScanCallback{nullptr};
BasicLock g_tableLock;
BasicLock g_callbackLock;
std::atomic<int> g_nParallelChecks{1};
BasicGate g_callbackGate;

// No destructor of the C++ runtime may touch what the unload path frees: at process exit
// the runtime's destructors run before the loader's unload hook, and another thread may
// still be inside an export.
static_assert(std::is_trivially_destructible_v<BasicLock>);
static_assert(std::is_trivially_destructible_v<BasicGate>);
static_assert(std::is_trivially_destructible_v<std::atomic<ISocket*>>);
static_assert(std::is_trivially_destructible_v<std::atomic<ZykScanCallback>>);
static_assert(std::is_trivially_destructible_v<std::atomic_flag>);

namespace {
// Guards the two stored settings, which are only ever copied in or out: a spin lock,
// since a mutex of the C++ runtime need not be trivially destructible (MinGW's is not).
std::atomic_flag g_settingsBusy = ATOMIC_FLAG_INIT;

class SettingsGuard {
public:
    SettingsGuard() {
        while (g_settingsBusy.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
    }
    ~SettingsGuard() { g_settingsBusy.clear(std::memory_order_release); }
    SettingsGuard(const SettingsGuard&) = delete;
    SettingsGuard& operator=(const SettingsGuard&) = delete;
};

TimeoutProtectionSetting g_timeoutProtection{0, 5000};
CheckLimitSetting g_checkLimit{0, ~uint64_t{0}};
void CreateLockOrSay(BasicLock& lock) {
    if (!lock.Create()) os::WriteDebugOutput("Mutex creation failed.\n");
}
}  // namespace

TimeoutProtectionSetting GetTimeoutProtection() {
    SettingsGuard guard;
    return g_timeoutProtection;
}

CheckLimitSetting GetCheckLimit() {
    SettingsGuard guard;
    return g_checkLimit;
}

void StoreTimeoutProtection(TimeoutProtectionSetting value) {
    SettingsGuard guard;
    g_timeoutProtection = value;
}

void StoreCheckLimit(CheckLimitSetting value) {
    SettingsGuard guard;
    g_checkLimit = value;
}

void CreateSharedLocks() {
    CreateLockOrSay(g_tableLock);
    CreateLockOrSay(g_callbackLock);
    g_callbackGate.Create();
}

void DestroySharedLocks() {
    g_nParallelChecks.store(1, std::memory_order_relaxed);
    g_callbackGate.Destroy();
    g_callbackLock.Destroy();
    g_tableLock.Destroy();
}

}  // namespace zykim
