// The message-dispatching wait of the plug-in's locks and gates.
#include "os/win32/message_wait.h"

namespace zykim::os {

void DispatchQueuedMessages() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

DWORD WaitDispatchingMessages(HANDLE handle, DWORD timeoutMs) {
    for (;;) {
        const DWORD r = MsgWaitForMultipleObjects(1, &handle, FALSE, timeoutMs, kMessageWakeMask);
        if (r != WAIT_OBJECT_0 + 1) return r;
        DispatchQueuedMessages();  // then wait again with the full time-out
    }
}

}  // namespace zykim::os
