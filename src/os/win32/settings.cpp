// The trace level on Windows: a DWORD in the product's registry key.
#include "os/settings.h"

#include "os/win32/registry.h"

namespace zykim::os {

int32_t ReadDebugLevel() {
    return static_cast<int32_t>(win32::RegReadDword(
        HKEY_LOCAL_MACHINE, "SOFTWARE\\Halvorn\\ZYKProxy", "DebugLevel", 0, false));
}

}  // namespace zykim::os
