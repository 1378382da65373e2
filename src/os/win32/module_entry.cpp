// The DLL's entry point: start-up and shut-down of the plug-in's process-wide state.
#include "os/module.h"
#include "os/win32/module_handle.h"
#include "os/win32/win.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            zykim::os::win32::g_hModule = instance;
            DisableThreadLibraryCalls(instance);
            zykim::OnModuleLoad();
            break;
        case DLL_PROCESS_DETACH:
            zykim::OnModuleUnload();
            break;
        default:
            break;
    }
    return TRUE;
}
