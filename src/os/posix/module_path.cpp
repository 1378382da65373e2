// The plug-in's own module path on POSIX systems, from the dynamic loader.
#include "os/module_path.h"

#include <dlfcn.h>

namespace zykim::os {

std::string ModuleFilePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(&ModuleFilePath), &info) == 0 ||
        info.dli_fname == nullptr)
        return {};
    return info.dli_fname;
}

}  // namespace zykim::os
