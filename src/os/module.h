// Library load and unload. The platform's entry point (DllMain, or a load-time
// constructor) calls these two, which the top layer defines
// (dispatch/module_state.cpp): they start and stop the whole module.
#pragma once

namespace zykim {

void OnModuleLoad();
void OnModuleUnload();

}  // namespace zykim
