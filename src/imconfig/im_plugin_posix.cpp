// The messenger-plug-in exports' view of the clients where they don't exist: there is
// no registry, so no client is ever installed and nothing is switched.
#include "imconfig/im_plugin.h"
#include "os/module_path.h"

namespace zykim::imconfig {

ClientReport QueryClient(int32_t) {
    return {};
}

bool ConfigureClient(int32_t, int32_t, const std::string&) {
    return false;
}

// File names are case-sensitive here: the path is not lower-cased.
std::string BuildScannerPath() {
    return ReplaceLibraryName(os::ModuleFilePath());
}

}  // namespace zykim::imconfig
