// zykclients: loads the plug-in by path, as a proxy host does, and runs its "clients"
// command.
//
//   zykclients [--plugin PATH] clients
//   zykclients [--plugin PATH] clients on|off ID
//
// Without --plugin the plug-in beside this program is used.
#include <cstdio>
#include <cstring>
#include <string>

#include "clients_command.h"
#include "common/library.h"

namespace {

#ifdef _WIN32
constexpr char kLibraryName[] = "zykim.dll";
#else
constexpr char kLibraryName[] = "libzykim.so";
#endif

int Usage() {
    std::fprintf(stderr,
                 "usage: zykclients [--plugin PATH] clients\n"
                 "       zykclients [--plugin PATH] clients on|off ID\n");
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    std::string pluginPath = zyk::ProgramFolder() + kLibraryName;
    int first = 1;
    if (first < argc && std::strcmp(argv[first], "--plugin") == 0) {
        if (first + 1 >= argc) return Usage();
        pluginPath = argv[first + 1];
        first += 2;
    }
    if (first >= argc || std::strcmp(argv[first], "clients") != 0) return Usage();

    zyk::DynamicLibrary plugin;
    std::string error;
    if (!plugin.Open(pluginPath, &error)) {
        std::fprintf(stderr, "zykclients: cannot load the plug-in %s\n", pluginPath.c_str());
        return 1;
    }
    ZykClientPlugin exports;
    exports.GetIMPlugin = plugin.Get<decltype(exports.GetIMPlugin)>("GetIMPlugin");
    exports.SetIMPlugin = plugin.Get<decltype(exports.SetIMPlugin)>("SetIMPlugin");
    return RunClientsCommand(argc - first, argv + first, exports);
}
