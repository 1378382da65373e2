// A dynamic library loaded by path at run time, its functions found by plain name, as a
// proxy host loads the plug-in.
#pragma once

#include <string>
#include <vector>

namespace zyk {

class DynamicLibrary {
public:
    DynamicLibrary() = default;
    ~DynamicLibrary() { Close(); }
    DynamicLibrary(const DynamicLibrary&) = delete;
    DynamicLibrary& operator=(const DynamicLibrary&) = delete;

    // dlopen / LoadLibraryA; false and the system's reason on failure.
    bool Open(const std::string& path, std::string* error);
    // dlsym / GetProcAddress; null when the name is not exported.
    void* Find(const char* name) const;
    template <typename Fn>
    Fn Get(const char* name) const {
        return reinterpret_cast<Fn>(Find(name));
    }
    void Close();
    bool IsOpen() const { return m_handle != nullptr; }
    void* Handle() const { return m_handle; }
    // The names in the loaded module's export table (Windows); empty elsewhere.
    std::vector<std::string> ExportedNames() const;

private:
    void* m_handle = nullptr;
};

// The folder this program was started from, with its trailing separator; empty when
// the system does not say.
std::string ProgramFolder();

}  // namespace zyk
