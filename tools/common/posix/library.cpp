// Dynamic libraries on POSIX: dlopen with every symbol bound at load.
#include <dlfcn.h>
#include <unistd.h>

#include "common/library.h"

namespace zyk {

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

std::vector<std::string> DynamicLibrary::ExportedNames() const { return {}; }

std::string ProgramFolder() {
    char path[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    path[n] = '\0';
    const std::string text(path);
    const size_t cut = text.rfind('/');
    return cut == std::string::npos ? std::string() : text.substr(0, cut + 1);
}

}  // namespace zyk
