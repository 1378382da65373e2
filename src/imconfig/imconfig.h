// CIMConfig: finds AIM, MSN Messenger (or Windows Messenger) and Trillian and reads and
// switches their own "scan received files" hook, on the Windows registry, the version
// resources of their program files and Trillian's profile file. Windows only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "os/win32/win.h"

namespace zykim {

// Key paths relative to HKEY_USERS: hive name, "\", the key searched for; in the order
// in which HKEY_USERS enumerates its hives.
using UserKeyList = std::vector<std::string>;

// Buffer sizes in bytes, terminating NUL included.
inline constexpr int kIMPathBuffer = 520;         // a program or folder path with a file name
inline constexpr int kIMVersionBuffer = 128;      // ProductVersion text
inline constexpr int kIMUserKeyBuffer = 520;      // hive name, and hive name + key path
inline constexpr int kIMSubKeyNameBuffer = 261;   // subkey name while counting
inline constexpr int kIMAccountNameBuffer = 512;  // AIM account name
inline constexpr int kIMXferPathBuffer = 1024;    // AIM account's file-transfer key path

inline constexpr char kIMVersionQuery[] = "\\StringFileInfo\\%04x%04x\\ProductVersion";

inline constexpr char kAIMAppPathKey[] =
    "Software\\America Online\\AOL Instant Messenger (TM)\\CurrentVersion\\AppPath";
inline constexpr char kAIMUsersKey[] =
    "Software\\America Online\\AOL Instant Messenger (TM)\\CurrentVersion\\Users";
inline constexpr char kMSNMessengerKey[] = "SOFTWARE\\Microsoft\\MSNMessenger";
inline constexpr char kMessengerServiceKey[] = "SOFTWARE\\Microsoft\\MessengerService";
inline constexpr char kMSNUserKey[] = "Software\\Microsoft\\MSNMessenger";
inline constexpr char kTrillianIconKey[] = "SOFTWARE\\Clients\\IM\\Trillian\\DefaultIcon";
inline constexpr char kTrillianIniSuffix[] = "\\users\\default\\talk.ini";
inline constexpr char kTrillianSection[] = "File Transfers";

// One object per export call. Nothing is cached: every answer is read afresh. No
// operation throws; failures give 0 or false.
class CIMConfig {
public:
    CIMConfig() = default;
    CIMConfig(const CIMConfig&) = delete;
    CIMConfig& operator=(const CIMConfig&) = delete;
    virtual ~CIMConfig() = default;

    // Registry. An empty value name selects the key's default value.
    // A REG_SZ string into buffer, always terminated; its length, or 0 for none (missing,
    // another type, or not fitting the buffer with its NUL).
    static int nRegReadString(HKEY root, const char* keyPath, const char* valueName, char* buffer,
                              int capacity);
    // The value's 4 bytes whatever its type, or the default.
    static uint32_t dwRegReadDword(HKEY root, const char* keyPath, const char* valueName,
                                   uint32_t defaultValue);
    static int nRegCountSubKeys(HKEY root, const char* keyPath);
    static bool bRegWriteDword(HKEY root, const char* keyPath, const char* valueName,
                               uint32_t value);
    static bool bRegWriteString(HKEY root, const char* keyPath, const char* valueName,
                                const char* value);
    static bool bRegWriteBytes(HKEY root, const char* keyPath, const char* valueName,
                               const uint8_t* bytes, uint32_t length);

    // The ProductVersion text of a program's version resource, through the first entry
    // of its translation table. True when the resource and the table were found, even if
    // the text was not (output then keeps what it held).
    static bool bGetProductVersion(const char* programPath, const char* queryFormat, char* output,
                                   int capacity);
    // The first `digits` decimal digits of a text as a number: "7.5.0324" -> 75.
    static int nGetVersionNumber(const char* text, int digits);
    // Appends hive\keyPath for every hive under HKEY_USERS that has keyPath.
    static bool bFindUserKey(const char* keyPath, UserKeyList& userKeys);
    // Trillian's program path: its DefaultIcon up to the first comma.
    static bool bGetTrillianPath(char* buffer, int capacity);
    // Trillian's settings file: the program's folder + "\users\default\talk.ini".
    static bool bGetTrillianIniPath(char* buffer, int capacity);

    // Detection: installed in a version whose hook this plug-in can set.
    bool fIsAIMPossible();
    bool fIsMSNPossible();
    bool fIsTrillianPossible();

    // The clients' hooks: read (on or off) and switched (on with the scanner path, or off).
    bool fIsAIMEnabled();
    bool bConfigAIM(int32_t on, const char* scannerPath);
    bool fIsMSNEnabled();
    bool bConfigMSN(int32_t on, const char* scannerPath);
    bool fIsTrillianEnabled();
    bool bConfigTrillian(int32_t on, const char* scannerPath);

    // Version numbers of the programs the detections last examined (a record only).
    int32_t nAIMVersion() const { return m_nAIMVersion; }
    int32_t nMSNVersion() const { return m_nMSNVersion; }
    int32_t nTrillianVersion() const { return m_nTrillianVersion; }

private:
    int32_t m_nAIMVersion = 0;
    int32_t m_nMSNVersion = 0;
    int32_t m_nTrillianVersion = 0;
};

// Appends text to the terminated string in buffer when the result fits with its NUL;
// otherwise leaves buffer as it was and returns false.
bool bAppendBounded(char* buffer, size_t capacity, const char* text);

// Lower-cases a text character by character in the given code page (CP_ACP: the
// system's), leaving the trail bytes of double-byte characters alone and any character
// without a lower-case form of the same size in that code page as it is. ASCII capitals
// are lowered even where the code page can't convert them.
std::string LowerCaseInCodePage(const std::string& text, UINT codePage);

// Ends the path at its last backslash, found character by character in the code page
// (a double-byte character may carry 0x5C as its trail byte). A backslash in the first
// character is never cut; a path without one stays whole. Returns whether it cut.
bool bCutAtLastBackslash(char* path, UINT codePage);

}  // namespace zykim
