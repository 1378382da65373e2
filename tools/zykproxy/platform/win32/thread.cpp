// Detached threads on Windows: _beginthreadex (the C runtime's own start, so the thread
// may use it freely) with the stack size as a reservation.
#include "os/win32/win.h"

#include <process.h>

#include <memory>

#include "platform/thread.h"

namespace zykproxy::platform {

namespace {
unsigned __stdcall RunBody(void* argument) {
    const std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(argument));
    (*body)();
    return 0;
}
}  // namespace

bool StartDetachedThread(size_t stackBytes, std::function<void()> body) {
    auto owned = std::make_unique<std::function<void()>>(std::move(body));
    const uintptr_t handle =
        _beginthreadex(nullptr, static_cast<unsigned>(stackBytes), &RunBody, owned.get(),
                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
    if (handle == 0) return false;
    owned.release();  // the thread owns it now
    CloseHandle(reinterpret_cast<HANDLE>(handle));
    return true;
}

}  // namespace zykproxy::platform
