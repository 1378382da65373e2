// POSIX locks: a recursive timed mutex, since a Windows mutex may be taken again by
// its owner. There is no message queue to service while waiting.
#include "os/lock.h"

#include <chrono>
#include <mutex>
#include <new>

namespace zykim::os {

struct LockHandleTag {
    std::recursive_timed_mutex mutex;
};

LockHandle CreateLockHandle() { return new (std::nothrow) LockHandleTag; }

int WaitLockHandle(LockHandle handle, uint32_t timeoutMs) {
    if (handle == nullptr) return 0;
    if (timeoutMs == kWaitInfinite) {
        handle->mutex.lock();
        return 1;
    }
    return handle->mutex.try_lock_for(std::chrono::milliseconds(timeoutMs)) ? 1 : 0;
}

int ReleaseLockHandle(LockHandle handle) {
    if (handle == nullptr) return 0;
    handle->mutex.unlock();
    return 1;
}

void DestroyLockHandle(LockHandle handle) { delete handle; }

}  // namespace zykim::os
