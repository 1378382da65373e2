// Admission to the host's scan callback: the callback lock for one call at a time, the
// callback gate for parallel checks, and the two exports that change what is admitted.
#include "plugin/scan_gate.h"

#include "plugin/state.h"

namespace zykim {

ScanCallGuard::ScanCallGuard(Kind kind) : m_bCounted(kind == kCheck) {
    // The count changes only while the callback lock and the gate are both held, so it
    // stays as read under either; a change seen after waiting sends the call the other way.
    for (;;) {
        if (g_nParallelChecks.load(std::memory_order_acquire) <= 1) {
            g_callbackLock.Wait();
            if (g_nParallelChecks.load(std::memory_order_relaxed) <= 1) return;
            g_callbackLock.Release();
        } else if (EnterCallbackGate()) {
            if (g_nParallelChecks.load(std::memory_order_relaxed) > 1) {
                m_bParallel = true;
                return;
            }
            g_callbackGate.LeaveShared(m_bCounted);
        }
    }
}

// The one place where a check waits for a free slot while the host's other checks run.
bool ScanCallGuard::EnterCallbackGate() { return g_callbackGate.EnterShared(m_bCounted) == 1; }

ScanCallGuard::~ScanCallGuard() {
    if (m_bParallel)
        g_callbackGate.LeaveShared(m_bCounted);
    else
        g_callbackLock.Release();
}

int ReplaceScanCallback(ZykScanCallback callback) {
    g_callbackLock.Wait();
    if (g_nParallelChecks.load(std::memory_order_relaxed) > 1) {
        ExclusiveGateGuard alone(g_callbackGate);
        g_pScanCallback.store(callback, std::memory_order_release);
    } else {
        g_pScanCallback.store(callback, std::memory_order_release);
    }
    return g_callbackLock.Release();
}

int SetParallelCheckCount(int count) {
    int n = count < 1 ? 1 : count > ZYKIM_MAX_PARALLEL_CHECKS ? ZYKIM_MAX_PARALLEL_CHECKS : count;
    if (g_callbackGate.IsNull()) n = 1;  // never above 1 without a gate: see ScanCallGuard
    LockGuard serial(g_callbackLock);
    ExclusiveGateGuard alone(g_callbackGate);
    g_callbackGate.SetCapacity(n);
    g_nParallelChecks.store(n, std::memory_order_release);
    return n;
}

}  // namespace zykim
