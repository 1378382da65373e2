// The virus-checker hooks of the three clients: AIM's per-account "Xfer" keys, MSN
// Messenger's per-user key and Trillian's talk.ini.
#include <cstring>
#include <new>
#include <vector>

#include "imconfig/imconfig.h"
#include "os/win32/registry.h"
#include "plugin/trace.h"

namespace zykim {

using os::win32::RegKey;

namespace {

// Visits the accounts of one AIM users key, index 0 to count - 1, with each account's
// name and its file-transfer key path. The walk ends at the first name that can't be
// read, or when visit returns false. An account whose path would not fit is skipped.
template <typename Visit>
void WalkAIMAccounts(const std::string& userKey, int count, Visit&& visit) {
    for (int index = 0; index < count; ++index) {
        char account[kIMAccountNameBuffer] = {};
        {
            RegKey key;
            if (key.Open(HKEY_USERS, userKey.c_str(), KEY_READ))
                RegEnumKeyA(key.Get(), static_cast<DWORD>(index), account, sizeof account);
        }
        if (account[0] == '\0') return;
        char xfer[kIMXferPathBuffer] = {};
        if (!bAppendBounded(xfer, sizeof xfer, userKey.c_str()) ||
            !bAppendBounded(xfer, sizeof xfer, "\\") ||
            !bAppendBounded(xfer, sizeof xfer, account) ||
            !bAppendBounded(xfer, sizeof xfer, "\\Xfer"))
            continue;
        if (!visit(static_cast<const char*>(account), static_cast<const char*>(xfer))) return;
    }
}

// The scanner path as MSN Messenger reads it: UTF-16LE from the system's ANSI code
// page, with a 16-bit NUL at the end. Empty when the path is no valid text there.
std::vector<uint8_t> WideScannerPath(const char* scannerPath) {
    const int length = static_cast<int>(std::strlen(scannerPath));
    const int n = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, scannerPath, length, nullptr, 0);
    if (n <= 0) return {};
    std::vector<WCHAR> wide(static_cast<size_t>(n));
    if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, scannerPath, length, wide.data(), n) != n)
        return {};
    std::vector<uint8_t> bytes(2 * wide.size() + 2, 0);
    for (size_t i = 0; i < wide.size(); ++i) {
        bytes[2 * i] = static_cast<uint8_t>(wide[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<uint8_t>(wide[i] >> 8);
    }
    return bytes;
}

// Switching on needs a program to name: a missing or empty scanner path switches nothing
// on (the clients would run nothing and believe files were checked).
bool NoProgramToSwitchOn(int32_t on, const char* scannerPath) {
    return scannerPath == nullptr || (on != 0 && scannerPath[0] == '\0');
}

}  // namespace

// ---- AIM ---------------------------------------------------------------------------

bool CIMConfig::fIsAIMEnabled() {
    UserKeyList userKeys;
    if (!bFindUserKey(kAIMUsersKey, userKeys)) return false;
    for (const std::string& userKey : userKeys) {
        if (!fIsAIMPossible()) continue;
        bool on = false;
        WalkAIMAccounts(userKey, nRegCountSubKeys(HKEY_USERS, userKey.c_str()),
                        [&](const char*, const char* xfer) {
                            if (dwRegReadDword(HKEY_USERS, xfer, "NoVirusCheck", 1) == 0) on = true;
                            return true;
                        });
        if (on) return true;
    }
    return false;
}

bool CIMConfig::bConfigAIM(int32_t on, const char* scannerPath) {
    UserKeyList userKeys;
    if (!bFindUserKey(kAIMUsersKey, userKeys)) return false;
    for (const std::string& userKey : userKeys) {
        if (NoProgramToSwitchOn(on, scannerPath)) continue;
        if (!fIsAIMPossible()) continue;
        const int count = nRegCountSubKeys(HKEY_USERS, userKey.c_str());
        TraceInfo("bConfigAIM : NumUserAccount := %d\n", count);
        WalkAIMAccounts(userKey, count, [&](const char* account, const char* xfer) {
            {
                RegKey key;
                if (!key.Open(HKEY_USERS, xfer, KEY_READ)) {
                    if (!key.Create(HKEY_USERS, xfer)) return false;  // next user key
                    TraceInfo("bConfigAIM : Not Key (Xfer) -> CreateKey \n");
                }
            }
            TraceInfo("bConfigAIM : ConfigUser (%s)\n", account);
            if (on != 0) {
                bRegWriteDword(HKEY_USERS, xfer, "NoVirusCheck", 0);
                bRegWriteString(HKEY_USERS, xfer, "VirusCheckerPath", scannerPath);
            } else {
                bRegWriteDword(HKEY_USERS, xfer, "NoVirusCheck", 1);
                bRegWriteString(HKEY_USERS, xfer, "VirusCheckerPath", "");
            }
            return true;
        });
    }
    return true;
}

// ---- MSN Messenger -----------------------------------------------------------------

bool CIMConfig::fIsMSNEnabled() {
    UserKeyList userKeys;
    if (!bFindUserKey(kMSNUserKey, userKeys)) return false;
    for (const std::string& userKey : userKeys) {
        if (!fIsMSNPossible()) continue;
        if (dwRegReadDword(HKEY_USERS, userKey.c_str(), "AVEnbl", 0) != 0) return true;
    }
    return false;
}

bool CIMConfig::bConfigMSN(int32_t on, const char* scannerPath) {
    UserKeyList userKeys;
    if (!bFindUserKey(kMSNUserKey, userKeys)) return false;
    TraceInfo("bConfigMSN -> Count User = %d\n", static_cast<int>(userKeys.size()));
    if (NoProgramToSwitchOn(on, scannerPath)) return false;
    // The client reads the path as UTF-16: converted from the ANSI code page, so that
    // bytes from 0x80 up name the same characters as in the path itself.
    std::vector<uint8_t> wide;
    if (on != 0) {
        try {
            wide = WideScannerPath(scannerPath);
        } catch (const std::bad_alloc&) {
            wide.clear();
        }
        if (wide.empty()) {
            TraceError("bConfigMSN -> the scanner path is not text in the ANSI code page\n");
            return false;
        }
    }
    for (const std::string& userKey : userKeys) {
        if (!fIsMSNPossible()) continue;
        if (on != 0) {
            TraceInfo("bConfigMSN -> Enable = TRUE\n");
            bRegWriteBytes(HKEY_USERS, userKey.c_str(), "AntiVirus", wide.data(),
                           static_cast<uint32_t>(wide.size()));
            bRegWriteDword(HKEY_USERS, userKey.c_str(), "AVEnbl", 1);
        } else {
            TraceInfo("bConfigMSN -> Enable = FALSE\n");
            const uint8_t none[2] = {0, 0};
            bRegWriteBytes(HKEY_USERS, userKey.c_str(), "AntiVirus", none, sizeof none);
            bRegWriteDword(HKEY_USERS, userKey.c_str(), "AVEnbl", 0);
        }
    }
    return true;
}

// ---- Trillian ----------------------------------------------------------------------

bool CIMConfig::fIsTrillianEnabled() {
    if (!fIsTrillianPossible()) return false;
    char ini[kIMPathBuffer];
    if (!bGetTrillianIniPath(ini, sizeof ini)) return false;
    return GetPrivateProfileIntA(kTrillianSection, "Virus: Auto check", 0, ini) == 1;
}

bool CIMConfig::bConfigTrillian(int32_t on, const char* scannerPath) {
    if (NoProgramToSwitchOn(on, scannerPath)) return false;
    if (!fIsTrillianPossible()) return false;
    char ini[kIMPathBuffer];
    if (!bGetTrillianIniPath(ini, sizeof ini)) return false;
    if (!WritePrivateProfileStringA(kTrillianSection, "Virus: Auto check", on != 0 ? "1" : "0",
                                    ini))
        return false;
    return WritePrivateProfileStringA(kTrillianSection, "Virus: Program",
                                      on != 0 ? scannerPath : "", ini) != FALSE;
}

}  // namespace zykim
