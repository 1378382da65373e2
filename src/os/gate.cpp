// The portable half of the gate: who may enter when. The platform half supplies the
// monitor that the waits go through.
#include "os/gate.h"
#include "os/gate_backend.h"

#include <new>

namespace zykim::os {

struct GateHandleTag {
    MonitorHandle monitor = nullptr;
    int nCapacity = 1;
    int nShared = 0;   // shared entries held, counted ones included
    int nCounted = 0;  // counted entries held
    bool bExclusive = false;
    int nExclusiveWaiting = 0;
};

namespace {

// Holds the gate's monitor for a scope.
class MonitorGuard {
public:
    explicit MonitorGuard(MonitorHandle monitor) : m_monitor(monitor) { LockMonitor(m_monitor); }
    MonitorGuard(const MonitorGuard&) = delete;
    MonitorGuard& operator=(const MonitorGuard&) = delete;
    ~MonitorGuard() { UnlockMonitor(m_monitor); }
    void Wait() { WaitMonitor(m_monitor); }

private:
    MonitorHandle m_monitor;
};

bool AdmitsShared(const GateHandleTag& g, bool bCounted) {
    return !g.bExclusive && g.nExclusiveWaiting == 0 && (!bCounted || g.nCounted < g.nCapacity);
}

bool AdmitsExclusive(const GateHandleTag& g) { return !g.bExclusive && g.nShared == 0; }

}  // namespace

GateHandle CreateGateHandle() {
    auto* gate = new (std::nothrow) GateHandleTag;
    if (gate == nullptr) return nullptr;
    gate->monitor = CreateMonitor();
    if (gate->monitor == nullptr) {
        delete gate;
        return nullptr;
    }
    return gate;
}

void DestroyGateHandle(GateHandle handle) {
    if (handle == nullptr) return;
    DestroyMonitor(handle->monitor);
    delete handle;
}

int EnterGateShared(GateHandle handle, bool bCounted) {
    if (handle == nullptr) return 0;
    MonitorGuard guard(handle->monitor);
    while (!AdmitsShared(*handle, bCounted)) guard.Wait();
    ++handle->nShared;
    if (bCounted) ++handle->nCounted;
    return 1;
}

void LeaveGateShared(GateHandle handle, bool bCounted) {
    if (handle == nullptr) return;
    MonitorGuard guard(handle->monitor);
    if (handle->nShared > 0) --handle->nShared;
    if (bCounted && handle->nCounted > 0) --handle->nCounted;
    WakeMonitor(handle->monitor);  // a slot, or the last entry an exclusive one waits for
}

int EnterGateExclusive(GateHandle handle) {
    if (handle == nullptr) return 0;
    MonitorGuard guard(handle->monitor);
    ++handle->nExclusiveWaiting;
    while (!AdmitsExclusive(*handle)) guard.Wait();
    --handle->nExclusiveWaiting;
    handle->bExclusive = true;
    return 1;
}

void LeaveGateExclusive(GateHandle handle) {
    if (handle == nullptr) return;
    MonitorGuard guard(handle->monitor);
    handle->bExclusive = false;
    WakeMonitor(handle->monitor);
}

void SetGateCapacity(GateHandle handle, int nCapacity) {
    if (handle == nullptr) return;
    MonitorGuard guard(handle->monitor);
    handle->nCapacity = nCapacity < 1 ? 1 : nCapacity;
    WakeMonitor(handle->monitor);
}

}  // namespace zykim::os
