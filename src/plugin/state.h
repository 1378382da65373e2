// The process-wide state that every subsystem shares, created when the library loads.
// Every global here is trivially destructible: only the unload path tears the state
// down, whatever order the C++ runtime and the loader run their destructors in.
#pragma once

#include <atomic>
#include <cstdint>

#include "plugin/gate.h"
#include "plugin/lock.h"
#include "zykim/zykim.h"

namespace zykim {

struct TimeoutProtectionSetting {
    int32_t nEnabled;
    int32_t nTimeoutMs;
};

struct CheckLimitSetting {
    int32_t nSet;
    uint64_t qwLimitBytes;  // all ones: no limit
};

// Socket interface of the host, or null: the socket transfer reads it at every call
// (acquire), SetISocket publishes it (release).
extern std::atomic<ISocket*> g_pHostSocket;
// The host's scan callback; written only under g_callbackLock (with parallel checks also
// holding g_callbackGate alone), and called only as ScanCallGuard lets a call in. A look
// without either tells whether a progress report would reach anybody.
extern std::atomic<ZykScanCallback> g_pScanCallback;
extern BasicLock g_tableLock;
extern BasicLock g_callbackLock;
// How many checks may call the host's scan callback at once (SetParallelChecks): 1, the
// default, lets every call in under g_callbackLock; above 1 they come in through
// g_callbackGate instead (plugin/scan_gate.h). Written only while both are held.
extern std::atomic<int> g_nParallelChecks;
extern BasicGate g_callbackGate;

// Stored by their exports; nothing in the plug-in gives them a use.
TimeoutProtectionSetting GetTimeoutProtection();
CheckLimitSetting GetCheckLimit();

// The two locks and the callback gate, created at load (table lock first) and closed at
// unload (gate first); a lock that cannot be created is traced, a gate that cannot be
// created when a host asks for parallel checks. The module's start-up and shut-down
// (dispatch/module_state.h) call these.
void CreateSharedLocks();
void DestroySharedLocks();

}  // namespace zykim
