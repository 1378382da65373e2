// Loads the built plug-in by path and resolves its exports by their plain names, as a
// proxy host does: the tools' library loader, with the system's reason left out.
#pragma once

#include <string>

#include "common/library.h"

namespace zykim::test {

class PluginLibrary : public zyk::DynamicLibrary {
public:
    bool Open(const char* path) {
        std::string reason;
        return DynamicLibrary::Open(path, &reason);
    }
};

}  // namespace zykim::test
