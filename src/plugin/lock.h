// The plug-in's lock object (table lock, callback lock, proxy locks) and its guard.
#pragma once

#include <cstdint>

#include "os/lock.h"

namespace zykim {

// One unnamed mutex; it keeps a null handle when the mutex could not be created, and
// then waits return 0 at once and releases do nothing.
class LockObject {
public:
    LockObject() = default;
    LockObject(const LockObject&) = delete;
    LockObject& operator=(const LockObject&) = delete;
    ~LockObject() { Destroy(); }

    // Creates the mutex; false (and a null handle) on failure.
    bool Create() {
        Destroy();
        m_hMutex = os::CreateLockHandle();
        return m_hMutex != nullptr;
    }
    void Destroy() {
        os::DestroyLockHandle(m_hMutex);
        m_hMutex = nullptr;
    }
    int Wait(uint32_t timeoutMs = os::kWaitInfinite) { return os::WaitLockHandle(m_hMutex, timeoutMs); }
    int Release() { return os::ReleaseLockHandle(m_hMutex); }
    bool IsNull() const { return m_hMutex == nullptr; }

private:
    os::LockHandle m_hMutex = nullptr;
};

// Takes a lock with the lock wait (no time-out) and releases it on every path out of
// the scope, exceptions included. Like every caller, it ignores the wait's result and
// releases once; on a null lock both are no-ops.
class LockGuard {
public:
    explicit LockGuard(LockObject& lock) : m_lock(lock) { m_lock.Wait(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    ~LockGuard() { m_lock.Release(); }

private:
    LockObject& m_lock;
};

}  // namespace zykim
