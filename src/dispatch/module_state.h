// Start-up and shut-down of the whole module: the shared state of the plug-in layer and
// the connection table, which this layer owns.
#pragma once

namespace zykim {

// In this order: the table lock, the callback lock, the empty connection table, then the
// trace level read from the settings. Idempotent per load; test programs that link the
// plug-in's code directly call it themselves, a loaded library from its entry point.
void ModuleStartup();
// The one unload path: frees everything ModuleStartup made, in the reverse order, and
// destroys the connection objects still in the table without calling into the host;
// then deletes the held files a scanner kept open until now. Process exit is not an
// unload: the platform's entry point then calls nothing.
void ModuleShutdown();

}  // namespace zykim
