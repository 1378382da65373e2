// The DLL's entry point: start-up and shut-down of the plug-in's process-wide state.
#include "os/module.h"
#include "os/win32/module_handle.h"
#include "os/win32/win.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            zykim::os::win32::g_hModule = instance;
            DisableThreadLibraryCalls(instance);
            zykim::OnModuleLoad();
            break;
        case DLL_PROCESS_DETACH:
            // A non-null lpReserved: the process is ending, not unloading the DLL. Its
            // other threads are already gone, perhaps in the middle of an export and
            // holding a plug-in lock, so nothing they could hold is freed; the system
            // takes back memory and handles. FreeLibrary (null) is the unload.
            if (reserved == nullptr) zykim::OnModuleUnload();
            break;
        default:
            break;
    }
    return TRUE;
}
