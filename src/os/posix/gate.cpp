// POSIX monitor of the gate: a mutex and a condition variable. There is no message
// queue to service while waiting.
#include "os/gate_backend.h"

#include <condition_variable>
#include <mutex>
#include <new>

namespace zykim::os {

struct MonitorTag {
    std::mutex mutex;
    std::condition_variable changed;
};

MonitorHandle CreateMonitor() { return new (std::nothrow) MonitorTag; }

void DestroyMonitor(MonitorHandle monitor) { delete monitor; }

void LockMonitor(MonitorHandle monitor) { monitor->mutex.lock(); }

void UnlockMonitor(MonitorHandle monitor) { monitor->mutex.unlock(); }

void WaitMonitor(MonitorHandle monitor) {
    std::unique_lock<std::mutex> lock(monitor->mutex, std::adopt_lock);
    monitor->changed.wait(lock);
    lock.release();  // the caller holds it again, and lets it go itself
}

void WakeMonitor(MonitorHandle monitor) { monitor->changed.notify_all(); }

}  // namespace zykim::os
