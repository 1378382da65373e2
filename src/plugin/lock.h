// The plug-in's lock object (table lock, callback lock, proxy locks) and its guard.
#pragma once

#include <atomic>
#include <cstdint>

#include "os/lock.h"

namespace zykim {

// One unnamed mutex; it keeps a null handle when the mutex could not be created, and
// then waits return 0 at once and releases do nothing. It closes nothing by itself:
// the table and callback locks are of this type so that no C++ runtime destructor
// closes them at process exit, when another thread may still hold them; the unload
// path closes them, once.
class BasicLock {
public:
    constexpr BasicLock() = default;
    BasicLock(const BasicLock&) = delete;
    BasicLock& operator=(const BasicLock&) = delete;

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
    // A time-out of 0 is a plain try: it never dispatches window messages.
    int Wait(uint32_t timeoutMs = os::kWaitInfinite) {
        const int nResult = os::WaitLockHandle(m_hMutex, timeoutMs);
        if (nResult == 1) m_nOwned.fetch_add(1, std::memory_order_relaxed);
        return nResult;
    }
    int Release() {
        const int nResult = os::ReleaseLockHandle(m_hMutex);
        if (nResult != 0) m_nOwned.fetch_sub(1, std::memory_order_relaxed);
        return nResult;
    }
    bool IsNull() const { return m_hMutex == nullptr; }
    // Whether some thread owns the lock at this moment: a snapshot for checks (a harness
    // asking from inside a callback whether the lock is held around it), not a way to
    // decide whether to wait.
    bool IsOwned() const { return m_nOwned.load(std::memory_order_relaxed) > 0; }

private:
    os::LockHandle m_hMutex = nullptr;
    std::atomic<int> m_nOwned{0};  // ownerships taken and not yet given back
};

// A lock that closes its mutex when it goes: the proxy locks.
class LockObject : public BasicLock {
public:
    LockObject() = default;
    ~LockObject() { Destroy(); }
};

// Takes a lock with the lock wait (no time-out) and releases it on every path out of
// the scope, exceptions included. Like every caller, it ignores the wait's result and
// releases once; on a null lock both are no-ops.
class LockGuard {
public:
    explicit LockGuard(BasicLock& lock) : m_lock(lock) { m_lock.Wait(); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    ~LockGuard() { m_lock.Release(); }

private:
    BasicLock& m_lock;
};

}  // namespace zykim
