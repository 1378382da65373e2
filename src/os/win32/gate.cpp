// Windows monitor of the gate: a slim reader/writer lock for the gate's few fields and,
// for each waiting thread, an event of its own, waited for with the wait that
// dispatches the thread's window messages.
#include "os/gate_backend.h"

#include <new>

#include "os/win32/message_wait.h"
#include "os/win32/win.h"

namespace zykim::os {

namespace {
struct Waiter {
    HANDLE hWoken;
    Waiter* pNext;
};

// When no event can be made, a waiter looks again after this long, or after a message.
constexpr DWORD kPollMs = 10;
}  // namespace

struct MonitorTag {
    SRWLOCK lock = SRWLOCK_INIT;
    Waiter* pWaiters = nullptr;  // guarded by lock
};

MonitorHandle CreateMonitor() { return new (std::nothrow) MonitorTag; }

void DestroyMonitor(MonitorHandle monitor) { delete monitor; }

void LockMonitor(MonitorHandle monitor) { AcquireSRWLockExclusive(&monitor->lock); }

void UnlockMonitor(MonitorHandle monitor) { ReleaseSRWLockExclusive(&monitor->lock); }

void WaitMonitor(MonitorHandle monitor) {
    Waiter self{CreateEventA(nullptr, FALSE, FALSE, nullptr), monitor->pWaiters};
    if (self.hWoken != nullptr) monitor->pWaiters = &self;
    ReleaseSRWLockExclusive(&monitor->lock);
    // An event set before the wait begins stays set: no wake is lost.
    if (self.hWoken == nullptr || WaitDispatchingMessages(self.hWoken, INFINITE) == WAIT_FAILED) {
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, kPollMs, kMessageWakeMask) == WAIT_OBJECT_0)
            DispatchQueuedMessages();
    }
    AcquireSRWLockExclusive(&monitor->lock);
    // A wake takes the waiter off the list; any other return leaves it there.
    for (Waiter** pp = &monitor->pWaiters; *pp != nullptr; pp = &(*pp)->pNext) {
        if (*pp == &self) {
            *pp = self.pNext;
            break;
        }
    }
    if (self.hWoken != nullptr) CloseHandle(self.hWoken);
}

void WakeMonitor(MonitorHandle monitor) {
    for (Waiter* w = monitor->pWaiters; w != nullptr; w = w->pNext) SetEvent(w->hWoken);
    monitor->pWaiters = nullptr;
}

}  // namespace zykim::os
