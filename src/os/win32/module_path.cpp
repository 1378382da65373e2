// The plug-in's own module path on Windows.
#include "os/module_path.h"

#include "os/win32/module_handle.h"
#include "os/win32/win.h"

namespace zykim::os {

namespace {
constexpr DWORD kModulePathBuffer = 520;

// DllMain records the DLL's handle; linked into a program, the module is the one that
// contains this function (the program itself).
HMODULE OwnModule() {
    if (win32::g_hModule != nullptr) return win32::g_hModule;
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(
            GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
            reinterpret_cast<LPCSTR>(&OwnModule), &module))
        return nullptr;
    return module;
}
}  // namespace

std::string ModuleFilePath() {
    HMODULE module = OwnModule();
    if (module == nullptr) return {};
    char path[kModulePathBuffer] = {};
    const DWORD n = GetModuleFileNameA(module, path, kModulePathBuffer);
    // n == size means the path was cut to fit; a cut path names another file.
    if (n == 0 || n >= kModulePathBuffer) return {};
    return std::string(path, n);
}

}  // namespace zykim::os
