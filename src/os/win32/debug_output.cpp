// Debugger output on Windows: OutputDebugStringA, read by debuggers and debug viewers.
#include "os/win32/win.h"

namespace zykim::os {

void WriteDebugOutputNative(const char* text) { OutputDebugStringA(text); }

bool DebugOutputNativeHasReader() { return true; }

}  // namespace zykim::os
