// CIMConfig's registry, version-resource and user-hive operations and the detection of
// the three messenger clients.
#include "imconfig/imconfig.h"

#include <algorithm>
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

namespace {

// Code pages whose conversions take no flags (MultiByteToWideChar: MB_ERR_INVALID_CHARS,
// WideCharToMultiByte: WC_NO_BEST_FIT_CHARS and a used-default-char pointer): the
// stateful ISO-2022 and HZ encodings, UTF-7, ISCII and Symbol.
bool TakesNoConversionFlags(UINT codePage) {
    return (codePage >= 50220 && codePage <= 50229) || codePage == 52936 ||
           (codePage >= 57002 && codePage <= 57011) || codePage == 65000 || codePage == 42;
}

// UTF-8 and GB18030 take MB_ERR_INVALID_CHARS and WC_ERR_INVALID_CHARS only, and no
// used-default-char pointer; every character has a form in them.
bool TakesOnlyInvalidCharFlags(UINT codePage) {
    return codePage == CP_UTF8 || codePage == 54936;
}

// Stateful encodings: a byte's meaning depends on escapes before it, so the text can't
// be cut into characters by looking at the bytes.
bool IsStateful(UINT codePage) {
    return (codePage >= 50220 && codePage <= 50229) || codePage == 52936 || codePage == 65000;
}

UINT ResolveCodePage(UINT codePage) {
    if (codePage == CP_ACP || codePage == CP_THREAD_ACP) return GetACP();
    if (codePage == CP_OEMCP) return GetOEMCP();
    return codePage;
}

// Length in bytes of the character that starts at text[at] (cut to what is left).
size_t CharacterLength(const std::string& text, size_t at, UINT codePage) {
    const auto lead = static_cast<unsigned char>(text[at]);
    size_t length = 1;
    if (codePage == CP_UTF8) {
        if (lead >= 0xC2 && lead <= 0xDF) length = 2;
        else if (lead >= 0xE0 && lead <= 0xEF) length = 3;
        else if (lead >= 0xF0 && lead <= 0xF4) length = 4;
    } else if (codePage == 54936) {
        // GB18030: two bytes, or four when the second is a digit.
        if (lead >= 0x81 && lead <= 0xFE && at + 1 < text.size()) {
            const auto second = static_cast<unsigned char>(text[at + 1]);
            length = second >= 0x30 && second <= 0x39 ? 4 : 2;
        }
    } else if (IsDBCSLeadByteEx(codePage, lead)) {
        length = 2;
    }
    return std::min(length, text.size() - at);
}

// Converts with the flags the code page accepts; empty when the bytes are not valid
// text in it.
std::wstring ToWide(const char* bytes, int length, UINT codePage) {
    const DWORD flags = TakesNoConversionFlags(codePage) ? 0 : MB_ERR_INVALID_CHARS;
    const int n = MultiByteToWideChar(codePage, flags, bytes, length, nullptr, 0);
    if (n <= 0) return {};
    std::wstring wide(static_cast<size_t>(n), L'\0');
    if (MultiByteToWideChar(codePage, flags, bytes, length, wide.data(), n) != n) return {};
    return wide;
}

// The bytes of wide in the code page, or empty when any character has no exact form
// there (no best fit, no default character).
std::string FromWide(const std::wstring& wide, UINT codePage) {
    if (wide.empty()) return {};
    DWORD flags = WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = &usedDefault;
    if (TakesNoConversionFlags(codePage) || TakesOnlyInvalidCharFlags(codePage)) {
        flags = TakesOnlyInvalidCharFlags(codePage) ? WC_ERR_INVALID_CHARS : 0;
        usedDefaultOut = nullptr;
    }
    const int wideLength = static_cast<int>(wide.size());
    const int n = WideCharToMultiByte(codePage, flags, wide.data(), wideLength, nullptr, 0,
                                      nullptr, usedDefaultOut);
    if (n <= 0) return {};
    std::string bytes(static_cast<size_t>(n), '\0');
    if (WideCharToMultiByte(codePage, flags, wide.data(), wideLength, bytes.data(), n, nullptr,
                            usedDefaultOut) != n ||
        usedDefault)
        return {};
    // Where no used-default pointer is allowed, a substitute shows in the round trip.
    if (ToWide(bytes.data(), n, codePage) != wide) return {};
    return bytes;
}

// The character in lower case, or empty when it has none of the same byte length.
std::string LowerCharacter(const char* ch, size_t length, UINT codePage) {
    std::wstring wide = ToWide(ch, static_cast<int>(length), codePage);
    if (wide.empty()) return {};
    CharLowerBuffW(wide.data(), static_cast<DWORD>(wide.size()));
    std::string back = FromWide(wide, codePage);
    return back.size() == length ? back : std::string();
}

char AsciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

std::string LowerCaseInCodePage(const std::string& text, UINT codePage) {
    codePage = ResolveCodePage(codePage);
    if (IsStateful(codePage)) {
        // A text without any shift (escape, SO/SI, HZ's "~", UTF-7's "+") and without
        // high bytes is plain ASCII in these code pages and is lowered as such. Any other
        // is lowered whole when it comes back in the same number of bytes, else stays.
        const bool plainAscii =
            text.find_first_of("\x0E\x0F\x1B~+") == std::string::npos &&
            std::none_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; });
        if (plainAscii) {
            std::string lower = text;
            std::transform(lower.begin(), lower.end(), lower.begin(), AsciiLower);
            return lower;
        }
        std::wstring wide = ToWide(text.data(), static_cast<int>(text.size()), codePage);
        if (wide.empty()) return text;
        CharLowerBuffW(wide.data(), static_cast<DWORD>(wide.size()));
        std::string lower = FromWide(wide, codePage);
        return lower.size() == text.size() ? lower : text;
    }
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const char* ch = text.data() + i;
        size_t length = CharacterLength(text, i, codePage);
        // Bytes that don't form a character are taken one by one, so that an ASCII
        // letter behind a broken sequence is still seen.
        if (length > 1 && ToWide(ch, static_cast<int>(length), codePage).empty()) length = 1;
        i += length;
        std::string lower = LowerCharacter(ch, length, codePage);
        if (!lower.empty()) {
            out += lower;
        } else if (length == 1) {
            // Whatever the code page says, an ASCII capital becomes its small letter:
            // the library's own name must always be found.
            out += AsciiLower(*ch);
        } else {
            // No lower-case form of the same size: kept.
            out.append(ch, length);
        }
    }
    return out;
}

bool bCutAtLastBackslash(char* path, UINT codePage) {
    if (path == nullptr) return false;
    char* last = nullptr;
    for (char* p = path; *p != '\0';) {
        if (*p == '\\' && p != path) last = p;
        // A lead byte takes its trail byte with it (unless the text ends there).
        p += IsDBCSLeadByteEx(codePage, static_cast<BYTE>(*p)) && p[1] != '\0' ? 2 : 1;
    }
    if (last == nullptr) return false;
    *last = '\0';
    return true;
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
    bCutAtLastBackslash(buffer, CP_ACP);
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
