// CIMConfig's registry, version-resource and user-hive operations and the detection of
// the three messenger clients.
#include "imconfig/imconfig.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "os/win32/registry.h"
#include "plugin/trace.h"

namespace zykim {

using os::win32::RegKey;

bool bAppendBounded(char* buffer, size_t capacity, const char* text) {
    if (buffer == nullptr || text == nullptr || capacity == 0) return false;
    const size_t used = strnlen(buffer, capacity);
    if (used == capacity) return false;  // not terminated: nothing can be appended safely
    const size_t add = std::strlen(text);
    if (add >= capacity - used) return false;
    std::memcpy(buffer + used, text, add + 1);
    return true;
}

std::string LowerCaseInCodePage(const std::string& text, UINT codePage) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const bool doubleByte =
            IsDBCSLeadByteEx(codePage, static_cast<BYTE>(text[i])) && i + 1 < text.size();
        const int length = doubleByte ? 2 : 1;
        const char* ch = text.data() + i;
        i += static_cast<size_t>(length);

        WCHAR wide[2];
        const int wideLength =
            MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, ch, length, wide, 2);
        if (wideLength <= 0) {
            out.append(ch, static_cast<size_t>(length));
            continue;
        }
        CharLowerBuffW(wide, static_cast<DWORD>(wideLength));
        char back[4];
        BOOL usedDefault = FALSE;
        const int backLength = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, wideLength,
                                                   back, sizeof back, nullptr, &usedDefault);
        // Keep the character when its lower-case form does not exist in the code page
        // or would change the text's byte layout.
        if (backLength == length && !usedDefault)
            out.append(back, static_cast<size_t>(length));
        else
            out.append(ch, static_cast<size_t>(length));
    }
    return out;
}

// ---- registry ----------------------------------------------------------------------

int CIMConfig::nRegReadString(HKEY root, const char* keyPath, const char* valueName, char* buffer,
                              int capacity) {
    if (buffer == nullptr || capacity <= 0) return 0;
    RegKey key;
    if (!key.Open(root, keyPath, KEY_READ)) {
        buffer[0] = '\0';
        return 0;
    }
    DWORD type = REG_NONE;
    DWORD count = static_cast<DWORD>(capacity);
    const LONG rc = RegQueryValueExA(key.Get(), valueName != nullptr ? valueName : "", nullptr,
                                     &type, reinterpret_cast<BYTE*>(buffer), &count);
    key.Close();
    if (rc != ERROR_SUCCESS || type != REG_SZ || count > static_cast<DWORD>(capacity)) {
        buffer[0] = '\0';
        return 0;
    }
    // A string stored without its NUL comes back unterminated; it counts only when the
    // NUL still fits behind it.
    const size_t length = strnlen(buffer, count);
    if (length == static_cast<size_t>(capacity)) {
        buffer[0] = '\0';
        return 0;
    }
    buffer[length] = '\0';
    return static_cast<int>(length);
}

uint32_t CIMConfig::dwRegReadDword(HKEY root, const char* keyPath, const char* valueName,
                                   uint32_t defaultValue) {
    return os::win32::RegReadDword(root, keyPath, valueName, defaultValue, false);
}

int CIMConfig::nRegCountSubKeys(HKEY root, const char* keyPath) {
    RegKey key;
    if (!key.Open(root, keyPath, KEY_READ)) return 0;
    int count = 0;
    for (DWORD index = 0;; ++index) {
        char name[kIMSubKeyNameBuffer];
        const LONG rc = RegEnumKeyA(key.Get(), index, name, sizeof name);
        // A name too long for the buffer still counts; any other failure ends the count
        // (it would otherwise repeat for every index without end).
        if (rc != ERROR_SUCCESS && rc != ERROR_MORE_DATA) break;
        ++count;
    }
    return count;
}

bool CIMConfig::bRegWriteDword(HKEY root, const char* keyPath, const char* valueName,
                               uint32_t value) {
    RegKey key;
    if (!key.Create(root, keyPath)) return false;
    const DWORD data = value;
    return RegSetValueExA(key.Get(), valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&data),
                          sizeof data) == ERROR_SUCCESS;
}

bool CIMConfig::bRegWriteString(HKEY root, const char* keyPath, const char* valueName,
                                const char* value) {
    if (value == nullptr) return false;
    RegKey key;
    if (!key.Create(root, keyPath)) return false;
    // The length without the NUL: the registry adds the NUL that follows the text.
    return RegSetValueExA(key.Get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>(std::strlen(value))) == ERROR_SUCCESS;
}

bool CIMConfig::bRegWriteBytes(HKEY root, const char* keyPath, const char* valueName,
                               const uint8_t* bytes, uint32_t length) {
    if (bytes == nullptr && length != 0) return false;
    RegKey key;
    if (!key.Create(root, keyPath)) return false;
    return RegSetValueExA(key.Get(), valueName, 0, REG_BINARY, bytes, length) == ERROR_SUCCESS;
}

// ---- versions ----------------------------------------------------------------------

bool CIMConfig::bGetProductVersion(const char* programPath, const char* queryFormat, char* output,
                                   int capacity) {
    if (programPath == nullptr || queryFormat == nullptr || output == nullptr || capacity <= 0)
        return false;
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeA(programPath, &ignored);
    if (size == 0) return false;
    std::unique_ptr<char[]> block(new (std::nothrow) char[size]());
    if (!block) return false;
    if (!GetFileVersionInfoA(programPath, 0, size, block.get())) return false;

    void* table = nullptr;
    UINT tableLength = 0;
    if (!VerQueryValueA(block.get(), "\\VarFileInfo\\Translation", &table, &tableLength) ||
        table == nullptr || tableLength < 2 * sizeof(WORD))
        return false;
    WORD entry[2];
    std::memcpy(entry, table, sizeof entry);  // language, code page

    char query[256];
    const int n = std::snprintf(query, sizeof query, queryFormat, entry[0], entry[1]);
    if (n < 0 || n >= static_cast<int>(sizeof query)) return true;  // nothing to look up

    void* text = nullptr;
    UINT textLength = 0;
    if (VerQueryValueA(block.get(), query, &text, &textLength) && text != nullptr) {
        // The text lies in the block; never read beyond it.
        const char* begin = static_cast<const char*>(text);
        const char* end = block.get() + size;
        size_t limit = static_cast<size_t>(capacity - 1);
        if (begin >= block.get() && begin < end && static_cast<size_t>(end - begin) < limit)
            limit = static_cast<size_t>(end - begin);
        const size_t length = strnlen(begin, limit);
        std::memcpy(output, begin, length);
        output[length] = '\0';
    }
    return true;
}

int CIMConfig::nGetVersionNumber(const char* text, int digits) {
    if (text == nullptr) return 0;
    if (digits > 9) digits = 9;  // stays within 32 bits
    int number = 0;
    int taken = 0;
    for (const char* p = text; *p != '\0' && taken < digits; ++p) {
        if (*p < '0' || *p > '9') continue;
        number = number * 10 + (*p - '0');
        ++taken;
    }
    return number;
}

// ---- user hives --------------------------------------------------------------------

bool CIMConfig::bFindUserKey(const char* keyPath, UserKeyList& userKeys) {
    if (keyPath == nullptr) return false;
    RegKey users;
    if (!users.Open(HKEY_USERS, nullptr, KEY_READ)) {
        TraceInfo("bFindUserKey-> Open USERS_KEY (failed)\n");
        return false;
    }
    bool found = false;
    for (DWORD index = 0;; ++index) {
        char hive[kIMUserKeyBuffer] = {};
        const LONG rc = RegEnumKeyA(users.Get(), index, hive, sizeof hive);
        if (rc == ERROR_MORE_DATA) continue;
        if (rc != ERROR_SUCCESS) break;  // ERROR_NO_MORE_ITEMS, or a failing enumeration

        // A path that does not fit would name another key: that hive is skipped.
        char userKey[kIMUserKeyBuffer] = {};
        if (!bAppendBounded(userKey, sizeof userKey, hive) ||
            !bAppendBounded(userKey, sizeof userKey, "\\") ||
            !bAppendBounded(userKey, sizeof userKey, keyPath))
            continue;
        RegKey key;
        if (!key.Open(HKEY_USERS, userKey, KEY_READ)) continue;
        TraceInfo("bFindUserKey->Key = %s\n", userKey);
        key.Close();
        try {
            userKeys.emplace_back(userKey);
        } catch (const std::bad_alloc&) {
            break;
        }
        found = true;
    }
    return found;
}

// ---- detection ---------------------------------------------------------------------

bool CIMConfig::bGetTrillianPath(char* buffer, int capacity) {
    if (nRegReadString(HKEY_LOCAL_MACHINE, kTrillianIconKey, "", buffer, capacity) == 0)
        return false;
    // "path,icon index"
    if (char* comma = std::strchr(buffer, ',')) *comma = '\0';
    return true;
}

bool CIMConfig::bGetTrillianIniPath(char* buffer, int capacity) {
    if (buffer == nullptr || capacity <= 0) return false;
    std::memset(buffer, 0, static_cast<size_t>(capacity));
    if (!bGetTrillianPath(buffer, capacity)) return false;
    // Cut at the last backslash; one in the first character stays.
    for (size_t i = std::strlen(buffer); i-- > 1;) {
        if (buffer[i] == '\\') {
            buffer[i] = '\0';
            break;
        }
    }
    return bAppendBounded(buffer, static_cast<size_t>(capacity), kTrillianIniSuffix);
}

bool CIMConfig::fIsAIMPossible() {
    UserKeyList userKeys;
    if (!bFindUserKey(kAIMAppPathKey, userKeys)) return false;
    for (const std::string& userKey : userKeys) {
        m_nAIMVersion = 0;
        char program[kIMPathBuffer] = {};
        if (nRegReadString(HKEY_USERS, userKey.c_str(), "", program, sizeof program) == 0) continue;
        TraceInfo("fIsAIMPossible->AIM-Path := %s\n", program);
        char version[kIMVersionBuffer] = {};
        if (!bGetProductVersion(program, kIMVersionQuery, version, sizeof version)) continue;
        m_nAIMVersion = nGetVersionNumber(version, 2);
        if (m_nAIMVersion >= 47) return true;
    }
    return false;
}

bool CIMConfig::fIsMSNPossible() {
    m_nMSNVersion = 0;
    char program[kIMPathBuffer] = {};
    // The directory is expected to end with a backslash: the name is appended directly.
    // MessengerService is asked only when MSNMessenger names no directory.
    if (nRegReadString(HKEY_LOCAL_MACHINE, kMSNMessengerKey, "InstallationDirectory", program,
                       sizeof program) != 0) {
        if (!bAppendBounded(program, sizeof program, "msnmsgr.exe")) return false;
    } else {
        if (nRegReadString(HKEY_LOCAL_MACHINE, kMessengerServiceKey, "InstallationDirectory",
                           program, sizeof program) == 0)
            return false;
        if (!bAppendBounded(program, sizeof program, "msmsgs.exe")) return false;
    }
    char version[kIMVersionBuffer] = {};
    if (!bGetProductVersion(program, kIMVersionQuery, version, sizeof version)) return false;
    m_nMSNVersion = nGetVersionNumber(version, 2);
    // 4.7 and 5.0 are versions whose hook can't be set this way.
    return m_nMSNVersion >= 46 && m_nMSNVersion != 47 && m_nMSNVersion != 50;
}

bool CIMConfig::fIsTrillianPossible() {
    char program[kIMPathBuffer] = {};
    if (!bGetTrillianPath(program, sizeof program)) return false;
    char version[kIMVersionBuffer] = {};
    if (!bGetProductVersion(program, kIMVersionQuery, version, sizeof version)) return false;
    m_nTrillianVersion = nGetVersionNumber(version, 2);
    return m_nTrillianVersion > 30;
}

}  // namespace zykim
