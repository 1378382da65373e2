// Windows mutexes with a wait that dispatches the thread's window messages.
#include "os/lock.h"

#include "os/win32/message_wait.h"
#include "os/win32/win.h"

namespace zykim::os {

namespace {
HANDLE ToHandle(LockHandle h) { return reinterpret_cast<HANDLE>(h); }
}  // namespace

LockHandle CreateLockHandle() {
    return reinterpret_cast<LockHandle>(CreateMutexA(nullptr, FALSE, nullptr));
}

int WaitLockHandle(LockHandle handle, uint32_t timeoutMs) {
    if (handle == nullptr) return 0;
    HANDLE h = ToHandle(handle);
    if (timeoutMs == 0) {
        // A plain try, as used while the table lock is held: it must not run a window
        // procedure of the host's there, so it dispatches nothing.
        const DWORD r = WaitForSingleObject(h, 0);
        return r == WAIT_OBJECT_0 || r == WAIT_ABANDONED ? 1 : 0;
    }
    switch (WaitDispatchingMessages(h, timeoutMs)) {
        case WAIT_OBJECT_0:
        case WAIT_ABANDONED_0:  // the previous owner died; we own it now
            return 1;
        default:  // WAIT_TIMEOUT or WAIT_FAILED: not owned, and no retry loop
            return 0;
    }
}

int ReleaseLockHandle(LockHandle handle) {
    if (handle == nullptr) return 0;
    return ReleaseMutex(ToHandle(handle)) ? 1 : 0;
}

void DestroyLockHandle(LockHandle handle) {
    if (handle != nullptr) CloseHandle(ToHandle(handle));
}

}  // namespace zykim::os
