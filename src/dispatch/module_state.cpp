// The module's start-up and shut-down, and the hooks through which the platform's entry
// point (os/<platform>/module_entry.cpp) runs them at load and unload.
#include "dispatch/module_state.h"

#include <new>

#include "dispatch/connection_table.h"
#include "os/held_file.h"
#include "os/module.h"
#include "os/settings.h"
#include "plugin/state.h"
#include "plugin/trace.h"

namespace zykim {

namespace {
bool g_started = false;
}  // namespace

void ModuleStartup() {
    if (g_started) return;
    g_started = true;
    CreateSharedLocks();
    g_pConnectionTable = new (std::nothrow) CConnectionTable;
    SetTraceLevel(os::ReadDebugLevel());
}

void ModuleShutdown() {
    if (!g_started) return;
    g_started = false;
    if (g_pConnectionTable != nullptr) {
        g_pConnectionTable->DetachAll();  // the connection objects go silently
        delete g_pConnectionTable;
        g_pConnectionTable = nullptr;
    }
    DestroySharedLocks();
    os::DeleteRememberedHeldFiles();
}

void OnModuleLoad() { ModuleStartup(); }
void OnModuleUnload() { ModuleShutdown(); }

}  // namespace zykim
