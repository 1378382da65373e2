// Registry helpers of the Windows backend.
#include "os/win32/registry.h"

namespace zykim::os::win32 {

bool RegKey::Open(HKEY root, const char* path, REGSAM access) {
    Close();
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, access, &key) != ERROR_SUCCESS) return false;
    m_hKey = key;
    return true;
}

bool RegKey::Create(HKEY root, const char* path) {
    Close();
    HKEY key = nullptr;
    if (RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return false;
    m_hKey = key;
    return true;
}

void RegKey::Close() {
    if (m_hKey != nullptr) {
        RegCloseKey(m_hKey);
        m_hKey = nullptr;
    }
}

uint32_t RegReadDword(HKEY root, const char* path, const char* name, uint32_t defaultValue,
                      bool createIfMissing) {
    RegKey key;
    if (!key.Open(root, path, KEY_READ)) {
        if (createIfMissing) RegWriteDword(root, path, name, defaultValue);
        return defaultValue;
    }
    DWORD value = defaultValue;
    DWORD size = sizeof(value);
    if (RegQueryValueExA(key.Get(), name, nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                         &size) != ERROR_SUCCESS)
        return defaultValue;
    return value;
}

bool RegWriteDword(HKEY root, const char* path, const char* name, uint32_t value) {
    RegKey key;
    if (!key.Create(root, path)) return false;
    const DWORD v = value;
    return RegSetValueExA(key.Get(), name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&v),
                          sizeof(v)) == ERROR_SUCCESS;
}

}  // namespace zykim::os::win32
