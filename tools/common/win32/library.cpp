// Dynamic libraries on Windows: LoadLibraryA and GetProcAddress.
#include "common/library.h"

#include "common/win32/socket_headers.h"

namespace zyk {

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

std::vector<std::string> DynamicLibrary::ExportedNames() const {
    std::vector<std::string> names;
    if (m_handle == nullptr) return names;
    auto* base = static_cast<const unsigned char*>(m_handle);
    auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (dir.VirtualAddress == 0) return names;
    auto* exp = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    auto* nameRvas = reinterpret_cast<const DWORD*>(base + exp->AddressOfNames);
    for (DWORD i = 0; i < exp->NumberOfNames; ++i)
        names.emplace_back(reinterpret_cast<const char*>(base + nameRvas[i]));
    return names;
}

std::string ProgramFolder() {
    char path[4096] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path) return {};
    const std::string text(path);
    const size_t cut = text.find_last_of("\\/");
    return cut == std::string::npos ? std::string() : text.substr(0, cut + 1);
}

}  // namespace zyk
