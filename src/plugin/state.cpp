// Process-wide state and module start-up and shut-down.
#include "plugin/state.h"

#include <mutex>

#include "os/debug_output.h"
#include "os/held_file.h"
#include "os/module.h"
#include "os/settings.h"
#include "plugin/trace.h"

namespace zykim {

std::atomic<ISocket*> g_pHostSocket{nullptr};
ZykScanCallback g_pScanCallback = nullptr;
LockObject g_tableLock;
LockObject g_callbackLock;
CConnectionTable* g_pConnectionTable = nullptr;

namespace {
std::mutex g_settingsMutex;
TimeoutProtectionSetting g_timeoutProtection{0, 5000};
CheckLimitSetting g_checkLimit{0, ~uint64_t{0}};
bool g_started = false;

void CreateLockOrSay(LockObject& lock) {
    if (!lock.Create()) os::WriteDebugOutput("Mutex creation failed.\n");
}
}  // namespace

CConnectionTable* CreateConnectionTable();           // dispatch/connection_table.cpp
void DestroyConnectionTable(CConnectionTable* table);  // leaves the proxies alive

TimeoutProtectionSetting GetTimeoutProtection() {
    std::lock_guard<std::mutex> guard(g_settingsMutex);
    return g_timeoutProtection;
}

CheckLimitSetting GetCheckLimit() {
    std::lock_guard<std::mutex> guard(g_settingsMutex);
    return g_checkLimit;
}

void StoreTimeoutProtection(TimeoutProtectionSetting value) {
    std::lock_guard<std::mutex> guard(g_settingsMutex);
    g_timeoutProtection = value;
}

void StoreCheckLimit(CheckLimitSetting value) {
    std::lock_guard<std::mutex> guard(g_settingsMutex);
    g_checkLimit = value;
}

void ModuleStartup() {
    if (g_started) return;
    g_started = true;
    CreateLockOrSay(g_tableLock);
    CreateLockOrSay(g_callbackLock);
    g_pConnectionTable = CreateConnectionTable();
    SetTraceLevel(os::ReadDebugLevel());
}

void ModuleShutdown() {
    if (!g_started) return;
    g_started = false;
    DestroyConnectionTable(g_pConnectionTable);
    g_pConnectionTable = nullptr;
    g_callbackLock.Destroy();
    g_tableLock.Destroy();
    os::DeleteRememberedHeldFiles();  // held files a scanner kept open until now
}

void OnModuleLoad() { ModuleStartup(); }
void OnModuleUnload() { ModuleShutdown(); }

}  // namespace zykim
