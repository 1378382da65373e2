// Dynamic libraries on POSIX: dlopen with every symbol bound at load.
#include <dlfcn.h>

#include "platform/library.h"

namespace zykproxy::platform {

bool DynamicLibrary::Open(const std::string& path, std::string* error) {
    Close();
    m_handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (m_handle == nullptr) {
        const char* why = dlerror();
        *error = why != nullptr ? why : ("cannot load " + path);
        return false;
    }
    return true;
}

void* DynamicLibrary::Find(const char* name) const {
    return m_handle == nullptr ? nullptr : dlsym(m_handle, name);
}

void DynamicLibrary::Close() {
    if (m_handle != nullptr) dlclose(m_handle);
    m_handle = nullptr;
}

}  // namespace zykproxy::platform
