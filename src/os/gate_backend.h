// What each platform half supplies to the portable gate: a monitor, that is a short
// lock and a wait for a change that other threads announce under it.
#pragma once

namespace zykim::os {

struct MonitorTag;
using MonitorHandle = MonitorTag*;

// Null on failure.
MonitorHandle CreateMonitor();
void DestroyMonitor(MonitorHandle monitor);
// The lock is held only for a few instructions, never across a call out.
void LockMonitor(MonitorHandle monitor);
void UnlockMonitor(MonitorHandle monitor);
// Called with the lock held: lets it go, waits until WakeMonitor is called (on Windows
// dispatching the thread's window messages meanwhile), and takes it again before it
// returns. It may return without a wake; the caller checks its condition again.
void WaitMonitor(MonitorHandle monitor);
// Called with the lock held: wakes every thread in WaitMonitor.
void WakeMonitor(MonitorHandle monitor);

}  // namespace zykim::os
