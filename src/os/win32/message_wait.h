// The wait that keeps the calling thread's window messages flowing: every wait for a
// plug-in lock or gate goes through it.
#pragma once

#include "os/win32/win.h"

namespace zykim::os {

// QS_ALLINPUT without raw input, plus QS_ALLPOSTMESSAGE.
constexpr DWORD kMessageWakeMask = 0x1FF;

// Removes and dispatches every message in the thread's queue.
void DispatchQueuedMessages();
// Waits up to timeoutMs for the handle. Messages that arrive in the thread's queue
// meanwhile are dispatched, and the wait starts again with the full time-out. Returns
// WAIT_OBJECT_0, WAIT_ABANDONED_0, WAIT_TIMEOUT or WAIT_FAILED.
DWORD WaitDispatchingMessages(HANDLE handle, DWORD timeoutMs);

}  // namespace zykim::os
