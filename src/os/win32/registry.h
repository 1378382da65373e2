// Registry helpers of the Windows backend: an owning key handle and the DWORD reader
// and writer used for the trace level.
#pragma once

#include <cstdint>

#include "os/win32/win.h"

namespace zykim::os::win32 {

// Owns an open registry key and closes it once.
class RegKey {
public:
    RegKey() = default;
    explicit RegKey(HKEY key) : m_hKey(key) {}
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;
    RegKey(RegKey&& other) noexcept : m_hKey(other.m_hKey) { other.m_hKey = nullptr; }
    ~RegKey() { Close(); }

    // Opens root\path with the given access; false when it does not open.
    bool Open(HKEY root, const char* path, REGSAM access);
    // Creates or opens root\path for writing (no class, options 0, no security attributes).
    bool Create(HKEY root, const char* path);
    void Close();
    HKEY Get() const { return m_hKey; }
    explicit operator bool() const { return m_hKey != nullptr; }

private:
    HKEY m_hKey = nullptr;
};

// Reads the first four bytes of a value of at most four bytes, whatever its type.
// When the key does not open and createIfMissing is set, writes the default first.
uint32_t RegReadDword(HKEY root, const char* path, const char* name, uint32_t defaultValue,
                      bool createIfMissing);
// Sets a REG_DWORD value, creating the key when needed; true on success.
bool RegWriteDword(HKEY root, const char* path, const char* name, uint32_t value);

}  // namespace zykim::os::win32
