// A dynamic library loaded by path at run time, its functions found by plain name.
#pragma once

#include <string>

namespace zykproxy::platform {

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
    void Close();
    bool IsOpen() const { return m_handle != nullptr; }

private:
    void* m_handle = nullptr;
};

}  // namespace zykproxy::platform
