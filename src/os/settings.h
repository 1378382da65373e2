// The one setting the plug-in reads for itself: its trace level.
#pragma once

#include <cstdint>

namespace zykim::os {

// Windows: REG_DWORD "DebugLevel" under HKLM\SOFTWARE\Halvorn\ZYKProxy (never created).
// POSIX: ZYKIM_DEBUG_LEVEL, decimal or 0x-hex. Missing means 0; the 32 bits are signed.
int32_t ReadDebugLevel();

// The text of a POSIX-style level setting as a DWORD taken signed: "4" -> 4,
// "0xFFFFFFFF" -> -1; an empty, malformed or over-long text gives 0.
int32_t ParseDebugLevel(const char* text);

}  // namespace zykim::os
