// Load-time constructor and unload-time destructor of libzykim.so.
//
// The destructor runs both at dlclose and at process exit, and only dlclose is an
// unload: at exit other threads may still be inside an export, holding plug-in locks, so
// nothing is freed then (the system takes the memory back). The two are told apart by an
// exit handler registered for this library at load: exit() runs such handlers before
// the loader runs any library's destructor, whereas dlclose runs this destructor first
// and the library's exit handlers after it.
#include <atomic>

#include "os/module.h"

extern "C" {
extern void* __dso_handle;
int __cxa_atexit(void (*func)(void*), void* arg, void* dso);
}

namespace {
std::atomic<bool> g_processExiting{false};

void MarkProcessExiting(void*) { g_processExiting.store(true); }

__attribute__((constructor)) void ZykimLoad() {
    __cxa_atexit(&MarkProcessExiting, nullptr, &__dso_handle);
    zykim::OnModuleLoad();
}

__attribute__((destructor)) void ZykimUnload() {
    if (!g_processExiting.load()) zykim::OnModuleUnload();
}
}  // namespace
