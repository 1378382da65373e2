// What the messenger-plug-in exports ask of the platform: one call's detection and state
// of a client, the switching of its hook, and the scanner path.
#pragma once

#include <cstdint>
#include <string>

namespace zykim::imconfig {

// Plug-in ids: 1 AIM, 2 MSN Messenger (or Windows Messenger), 3 Trillian.
inline constexpr int32_t kFirstPluginId = 1;
inline constexpr int32_t kLastPluginId = 3;
inline bool IsPluginId(int32_t id) {
    return id >= kFirstPluginId && id <= kLastPluginId;
}

struct ClientReport {
    bool installed = false;  // in a version whose hook can be set
    bool on = false;         // the client's own hook is on (only when installed)
};

// Detection, then the state query when installed, on a fresh configuration object.
// Where the clients don't exist (not Windows) nothing is ever installed.
ClientReport QueryClient(int32_t id);
// Detection, then, when installed, the hook switched on (with scannerPath) or off.
// Returns whether the client was installed.
bool ConfigureClient(int32_t id, int32_t on, const std::string& scannerPath);

// SetIMPlugin once its scanner path is built: the traces, then the client switched
// when it is installed. Switching on with an empty scanner path changes nothing.
void SwitchClient(int32_t id, int32_t on, const std::string& scannerPath);

// The full path of zykims.exe beside the plug-in, made from the plug-in's own path:
// lower-cased in the ANSI code page (Windows), then every "zykim.dll" replaced by
// "zykims.exe". Empty when the module path can't be read.
std::string BuildScannerPath();
// Every occurrence of "zykim.dll" replaced by "zykims.exe".
std::string ReplaceLibraryName(std::string path);

}  // namespace zykim::imconfig
