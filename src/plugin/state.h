// The process-wide state that every subsystem shares, created when the library loads.
#pragma once

#include <atomic>
#include <cstdint>

#include "plugin/lock.h"
#include "zykim/zykim.h"

namespace zykim {

class CConnectionTable;

struct TimeoutProtectionSetting {
    int32_t nEnabled;
    int32_t nTimeoutMs;
};

struct CheckLimitSetting {
    int32_t nSet;
    uint64_t qwLimitBytes;  // all ones: no limit
};

// Socket interface of the host, or null: the socket transfer reads it at every call.
extern std::atomic<ISocket*> g_pHostSocket;
// The host's scan callback; read and written only under g_callbackLock.
extern ZykScanCallback g_pScanCallback;
extern LockObject g_tableLock;
extern LockObject g_callbackLock;
// The connection table; created at load, after the two locks.
extern CConnectionTable* g_pConnectionTable;

// Stored by their exports; nothing in the plug-in gives them a use.
TimeoutProtectionSetting GetTimeoutProtection();
CheckLimitSetting GetCheckLimit();

// Module start-up and shut-down, in the documented order. Idempotent per load; test
// programs that link the plug-in's code directly call them themselves.
void ModuleStartup();
void ModuleShutdown();

}  // namespace zykim
