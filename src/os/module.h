// Library load and unload. The platform's entry point (DllMain, or a load-time
// constructor) calls these two, which the plug-in layer defines.
#pragma once

namespace zykim {

void OnModuleLoad();
void OnModuleUnload();

}  // namespace zykim
