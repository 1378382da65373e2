// POSIX locks: a recursive timed mutex, since a Windows mutex may be taken again by
// its owner. There is no message queue to service while waiting.
#include "os/lock.h"

#include <chrono>
#include <mutex>
#include <new>
#include <atomic>
#include <thread>

namespace zykim::os {

// Tracks its owner so that a release by another thread fails, as ReleaseMutex does,
// instead of undoing somebody else's ownership.
struct LockHandleTag {
    std::recursive_timed_mutex mutex;
    std::atomic<std::thread::id> owner{};
    int depth = 0;  // written only by the owner
};

LockHandle CreateLockHandle() { return new (std::nothrow) LockHandleTag; }

int WaitLockHandle(LockHandle handle, uint32_t timeoutMs) {
    if (handle == nullptr) return 0;
    if (timeoutMs == kWaitInfinite) handle->mutex.lock();
    else if (timeoutMs == 0) {  // a plain try: also what ThreadSanitizer understands
        if (!handle->mutex.try_lock()) return 0;
    } else if (!handle->mutex.try_lock_for(std::chrono::milliseconds(timeoutMs))) return 0;
    handle->owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    ++handle->depth;
    return 1;
}

int ReleaseLockHandle(LockHandle handle) {
    if (handle == nullptr) return 0;
    if (handle->owner.load(std::memory_order_relaxed) != std::this_thread::get_id()) return 0;
    if (--handle->depth == 0) handle->owner.store(std::thread::id(), std::memory_order_relaxed);
    handle->mutex.unlock();
    return 1;
}

void DestroyLockHandle(LockHandle handle) { delete handle; }

}  // namespace zykim::os
