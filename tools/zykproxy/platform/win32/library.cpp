// Dynamic libraries on Windows: LoadLibraryA and GetProcAddress.
#include "os/win32/win.h"

#include "platform/library.h"

namespace zykproxy::platform {

bool DynamicLibrary::Open(const std::string& path, std::string* error) {
    Close();
    m_handle = reinterpret_cast<void*>(LoadLibraryA(path.c_str()));
    if (m_handle == nullptr) {
        const DWORD code = GetLastError();
        char text[256] = {};
        const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                       nullptr, code, 0, text, sizeof text, nullptr);
        std::string why(text, n);
        while (!why.empty() && (why.back() == '\n' || why.back() == '\r')) why.pop_back();
        *error = "cannot load " + path + ": " + (why.empty() ? "error" : why) + " (" +
                 std::to_string(code) + ")";
        return false;
    }
    return true;
}

void* DynamicLibrary::Find(const char* name) const {
    if (m_handle == nullptr) return nullptr;
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(m_handle), name));
}

void DynamicLibrary::Close() {
    if (m_handle != nullptr) FreeLibrary(static_cast<HMODULE>(m_handle));
    m_handle = nullptr;
}

}  // namespace zykproxy::platform
