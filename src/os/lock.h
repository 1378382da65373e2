// Process-local mutexes for the plug-in's locks: unnamed, recursive for their owner,
// and taken with a wait that keeps the calling thread's window messages flowing.
#pragma once

#include <cstdint>

#include "os/wait.h"

namespace zykim::os {

struct LockHandleTag;
// An opaque mutex handle; null when the mutex could not be created.
using LockHandle = LockHandleTag*;

// Creates an unnamed mutex that no thread owns; null on failure.
LockHandle CreateLockHandle();
// Waits up to timeoutMs (kWaitInfinite: no limit) for the mutex. Returns 1 when the
// calling thread now owns it, 0 otherwise (null handle, time-out, failed wait).
// On Windows, messages arriving in the thread's queue meanwhile are dispatched; a
// time-out of 0 is a plain try that dispatches nothing.
int WaitLockHandle(LockHandle handle, uint32_t timeoutMs);
// Releases one ownership; non-zero on success, 0 for a null handle or a failure.
int ReleaseLockHandle(LockHandle handle);
// Closes the handle; nothing for null.
void DestroyLockHandle(LockHandle handle);

}  // namespace zykim::os
