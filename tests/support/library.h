// Loads the built plug-in by path and resolves its exports by their plain names, as a
// proxy host does.
#pragma once

#include <string>
#include <vector>

#ifdef _WIN32
#include "os/win32/win.h"
#else
#include <dlfcn.h>
#endif

namespace zykim::test {

class PluginLibrary {
public:
    PluginLibrary() = default;
    PluginLibrary(const PluginLibrary&) = delete;
    PluginLibrary& operator=(const PluginLibrary&) = delete;
    ~PluginLibrary() { Close(); }

    bool Open(const char* path) {
        Close();
#ifdef _WIN32
        m_handle = LoadLibraryA(path);
#else
        m_handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
#endif
        return m_handle != nullptr;
    }
    void Close() {
        if (m_handle == nullptr) return;
#ifdef _WIN32
        FreeLibrary(static_cast<HMODULE>(m_handle));
#else
        dlclose(m_handle);
#endif
        m_handle = nullptr;
    }
    template <typename Fn>
    Fn Get(const char* name) const {
#ifdef _WIN32
        return reinterpret_cast<Fn>(
            reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_handle), name)));
#else
        return reinterpret_cast<Fn>(dlsym(m_handle, name));
#endif
    }
    void* Handle() const { return m_handle; }

#ifdef _WIN32
    // The names in the loaded module's export directory.
    std::vector<std::string> ExportedNames() const {
        std::vector<std::string> names;
        auto* base = static_cast<const unsigned char*>(m_handle);
        auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
        auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        const IMAGE_DATA_DIRECTORY& dir =
            nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
        if (dir.VirtualAddress == 0) return names;
        auto* exp = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
        auto* nameRvas = reinterpret_cast<const DWORD*>(base + exp->AddressOfNames);
        for (DWORD i = 0; i < exp->NumberOfNames; ++i)
            names.emplace_back(reinterpret_cast<const char*>(base + nameRvas[i]));
        return names;
    }
#endif

private:
    void* m_handle = nullptr;
};

}  // namespace zykim::test
