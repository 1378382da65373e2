// The plug-in's gate object (the callback gate of parallel checks) and the guard that
// holds it alone; shared entries are held by ScanCallGuard (plugin/scan_gate.h).
#pragma once

#include <atomic>

#include "os/gate.h"

namespace zykim {

// One counted shared/exclusive gate (os/gate.h); it keeps a null handle when the gate
// could not be created, and then every entry returns 0 at once. Like BasicLock it closes
// nothing by itself: the unload path destroys it, once.
class BasicGate {
public:
    constexpr BasicGate() = default;
    BasicGate(const BasicGate&) = delete;
    BasicGate& operator=(const BasicGate&) = delete;

    bool Create() {
        Destroy();
        m_hGate = os::CreateGateHandle();
        return m_hGate != nullptr;
    }
    void Destroy() {
        os::DestroyGateHandle(m_hGate);
        m_hGate = nullptr;
    }
    bool IsNull() const { return m_hGate == nullptr; }

    int EnterShared(bool bCounted) {
        const int nResult = os::EnterGateShared(m_hGate, bCounted);
        if (nResult == 1) (bCounted ? m_nCounted : m_nUncounted).fetch_add(1, std::memory_order_relaxed);
        return nResult;
    }
    void LeaveShared(bool bCounted) {
        if (IsNull()) return;
        (bCounted ? m_nCounted : m_nUncounted).fetch_sub(1, std::memory_order_relaxed);
        os::LeaveGateShared(m_hGate, bCounted);
    }
    int EnterExclusive() {
        const int nResult = os::EnterGateExclusive(m_hGate);
        if (nResult == 1) m_bExclusive.store(true, std::memory_order_relaxed);
        return nResult;
    }
    void LeaveExclusive() {
        if (IsNull()) return;
        m_bExclusive.store(false, std::memory_order_relaxed);
        os::LeaveGateExclusive(m_hGate);
    }
    void SetCapacity(int nCapacity) { os::SetGateCapacity(m_hGate, nCapacity); }

    // Snapshots for checks (a harness asking from inside a callback what is held around
    // it), not a way to decide whether to wait.
    int CountedHeld() const { return m_nCounted.load(std::memory_order_relaxed); }
    int UncountedHeld() const { return m_nUncounted.load(std::memory_order_relaxed); }
    bool ExclusivelyHeld() const { return m_bExclusive.load(std::memory_order_relaxed); }

private:
    os::GateHandle m_hGate = nullptr;
    std::atomic<int> m_nCounted{0};
    std::atomic<int> m_nUncounted{0};
    std::atomic<bool> m_bExclusive{false};
};

// Holds the gate alone for a scope, when it was granted.
class ExclusiveGateGuard {
public:
    explicit ExclusiveGateGuard(BasicGate& gate)
        : m_gate(gate), m_bEntered(gate.EnterExclusive() == 1) {}
    ExclusiveGateGuard(const ExclusiveGateGuard&) = delete;
    ExclusiveGateGuard& operator=(const ExclusiveGateGuard&) = delete;
    ~ExclusiveGateGuard() {
        if (m_bEntered) m_gate.LeaveExclusive();
    }

private:
    BasicGate& m_gate;
    bool m_bEntered;
};

}  // namespace zykim
