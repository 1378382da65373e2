// Storage of the plug-in's own module handle.
#include "os/win32/module_handle.h"

namespace zykim::os::win32 {
HMODULE g_hModule = nullptr;
}
