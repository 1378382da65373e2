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

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace {

#ifdef _WIN32
constexpr char kLibraryName[] = "zykim.dll";
constexpr char kSeparators[] = "\\/";
#else
constexpr char kLibraryName[] = "libzykim.so";
constexpr char kSeparators[] = "/";
#endif

std::string OwnFolder() {
    char path[4096] = {};
#ifdef _WIN32
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return {};
#else
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    path[n] = '\0';
#endif
    std::string text(path);
    const size_t cut = text.find_last_of(kSeparators);
    return cut == std::string::npos ? std::string() : text.substr(0, cut + 1);
}

// Owns the loaded plug-in.
class LoadedPlugin {
public:
    explicit LoadedPlugin(const std::string& path) {
#ifdef _WIN32
        m_handle = LoadLibraryA(path.c_str());
#else
        m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
#endif
    }
    LoadedPlugin(const LoadedPlugin&) = delete;
    LoadedPlugin& operator=(const LoadedPlugin&) = delete;
    ~LoadedPlugin() {
        if (m_handle == nullptr) return;
#ifdef _WIN32
        FreeLibrary(static_cast<HMODULE>(m_handle));
#else
        dlclose(m_handle);
#endif
    }
    bool Loaded() const {
        return m_handle != nullptr;
    }
    void* Find(const char* name) const {
#ifdef _WIN32
        return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_handle), name));
#else
        return dlsym(m_handle, name);
#endif
    }

private:
    void* m_handle = nullptr;
};

int Usage() {
    std::fprintf(stderr,
                 "usage: zykclients [--plugin PATH] clients\n"
                 "       zykclients [--plugin PATH] clients on|off ID\n");
    return 64;
}

}  // namespace

int main(int argc, char** argv) {
    std::string pluginPath = OwnFolder() + kLibraryName;
    int first = 1;
    if (first < argc && std::strcmp(argv[first], "--plugin") == 0) {
        if (first + 1 >= argc) return Usage();
        pluginPath = argv[first + 1];
        first += 2;
    }
    if (first >= argc || std::strcmp(argv[first], "clients") != 0) return Usage();

    LoadedPlugin plugin(pluginPath);
    if (!plugin.Loaded()) {
        std::fprintf(stderr, "zykclients: cannot load the plug-in %s\n", pluginPath.c_str());
        return 1;
    }
    ZykClientPlugin exports;
    exports.GetIMPlugin =
        reinterpret_cast<decltype(exports.GetIMPlugin)>(plugin.Find("GetIMPlugin"));
    exports.SetIMPlugin =
        reinterpret_cast<decltype(exports.SetIMPlugin)>(plugin.Find("SetIMPlugin"));
    return RunClientsCommand(argc - first, argv + first, exports);
}
