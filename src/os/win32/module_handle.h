// The plug-in's own module handle, set by DllMain (null when the code is linked into a
// program rather than loaded as the DLL).
#pragma once

#include "os/win32/win.h"

namespace zykim::os::win32 {
extern HMODULE g_hModule;
}
