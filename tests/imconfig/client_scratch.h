// Scratch messenger-client installations for the Windows tests: registry keys (user
// hives made directly under HKEY_USERS, HKLM keys as this 32-bit process sees them) and
// a folder of stand-in programs, all removed again. It refuses to work when the prefix
// already holds client keys that it did not make.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "os/win32/win.h"

namespace zykim::test {

inline constexpr char kAIMAppPath[] =
    "Software\\America Online\\AOL Instant Messenger (TM)\\CurrentVersion\\AppPath";
inline constexpr char kAIMUsers[] =
    "Software\\America Online\\AOL Instant Messenger (TM)\\CurrentVersion\\Users";
inline constexpr char kMSNUser[] = "Software\\Microsoft\\MSNMessenger";
inline constexpr char kMSNMachine[] = "SOFTWARE\\Microsoft\\MSNMessenger";
inline constexpr char kMessengerService[] = "SOFTWARE\\Microsoft\\MessengerService";
inline constexpr char kTrillianIcon[] = "SOFTWARE\\Clients\\IM\\Trillian\\DefaultIcon";
inline constexpr char kProductKey[] = "SOFTWARE\\Halvorn\\ZYKProxy";

// The folder of this test program, with a trailing backslash.
inline std::string ProgramFolder() {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text(path);
    return text.substr(0, text.find_last_of('\\') + 1);
}

// A stand-in program built with the tests ("v6_2", "noversion", ...).
inline std::string FixtureProgram(const std::string& name) {
    return ProgramFolder() + "imfixtures\\" + name + ".exe";
}

inline bool KeyExists(HKEY root, const std::string& path) {
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

inline std::vector<std::string> HiveNames() {
    std::vector<std::string> names;
    char name[520];
    for (DWORD i = 0; RegEnumKeyA(HKEY_USERS, i, name, sizeof name) == ERROR_SUCCESS; ++i)
        names.emplace_back(name);
    return names;
}

// The name of the default user's hive as HKEY_USERS enumerates it (".DEFAULT").
inline std::string DefaultHive() {
    for (const std::string& name : HiveNames())
        if (_stricmp(name.c_str(), ".default") == 0) return name;
    return {};
}

// A value as stored: type and bytes; type REG_NONE with no bytes when missing.
struct StoredValue {
    DWORD type = REG_NONE;
    std::string bytes;
    bool present = false;
};

inline StoredValue ReadValue(HKEY root, const std::string& path, const char* name) {
    StoredValue v;
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return v;
    DWORD size = 0;
    if (RegQueryValueExA(key, name, nullptr, &v.type, nullptr, &size) == ERROR_SUCCESS) {
        v.bytes.resize(size);
        if (RegQueryValueExA(key, name, nullptr, &v.type, reinterpret_cast<BYTE*>(v.bytes.data()),
                             &size) == ERROR_SUCCESS) {
            v.bytes.resize(size);
            v.present = true;
        }
    }
    RegCloseKey(key);
    return v;
}

inline std::string ReadTextFile(const std::string& path) {
    std::string text;
    HANDLE f = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return text;
    char buffer[4096];
    DWORD n = 0;
    while (ReadFile(f, buffer, sizeof buffer, &n, nullptr) && n > 0) text.append(buffer, n);
    CloseHandle(f);
    return text;
}

class ClientScratch {
public:
    ClientScratch() {
        m_tag = "zykimtest" + std::to_string(GetCurrentProcessId());
        CheckForForeignKeys();
        char temp[MAX_PATH] = {};
        GetTempPathA(MAX_PATH, temp);
        m_folder = std::string(temp) + m_tag + "\\";
        if (std::filesystem::exists(m_folder)) {
            ADD_FAILURE() << "scratch folder " << m_folder
                          << " exists already; not made by this test";
            m_clean = false;
        } else {
            m_madeFolder = std::filesystem::create_directories(m_folder);
        }
    }
    ~ClientScratch() {
        for (auto it = m_made.rbegin(); it != m_made.rend(); ++it) {
            RegDeleteTreeA(it->first, it->second.c_str());
            if (KeyExists(it->first, it->second))
                ADD_FAILURE() << "could not remove the key " << it->second;
        }
        if (m_madeFolder) {
            std::error_code ignored;
            std::filesystem::remove_all(m_folder, ignored);
        }
    }
    ClientScratch(const ClientScratch&) = delete;
    ClientScratch& operator=(const ClientScratch&) = delete;

    // False when the prefix held client keys this test did not make; the test must stop.
    bool Clean() const { return m_clean; }
    const std::string& Folder() const { return m_folder; }

    // The name of a user hive for this test ("zykimtest<pid>_<suffix>"); hives enumerate
    // in name order, after the prefix's own .Default and S-1-5-... hives.
    std::string Hive(const std::string& suffix) const { return m_tag + "_" + suffix; }

    // Creates root\path, remembering the outermost key that did not exist before.
    void CreateKey(HKEY root, const std::string& path) {
        size_t at = 0;
        for (;;) {
            at = path.find('\\', at + 1);
            const std::string prefix = path.substr(0, at);
            if (!KeyExists(root, prefix)) {
                Remember(root, prefix);
                break;
            }
            if (at == std::string::npos) break;
        }
        HKEY key;
        ASSERT_EQ(
            RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
            ERROR_SUCCESS)
            << path;
        RegCloseKey(key);
    }

    void SetRaw(HKEY root, const std::string& path, const char* name, DWORD type, const void* data,
                DWORD size) {
        CreateKey(root, path);
        HKEY key;
        ASSERT_EQ(RegOpenKeyExA(root, path.c_str(), 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
        EXPECT_EQ(RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size),
                  ERROR_SUCCESS);
        RegCloseKey(key);
    }
    void SetString(HKEY root, const std::string& path, const char* name, const std::string& value,
                   DWORD type = REG_SZ) {
        SetRaw(root, path, name, type, value.c_str(), static_cast<DWORD>(value.size() + 1));
    }
    void SetDword(HKEY root, const std::string& path, const char* name, DWORD value) {
        SetRaw(root, path, name, REG_DWORD, &value, sizeof value);
    }

    // Copies a stand-in program into the scratch folder (relative path, folders made).
    std::string Install(const std::string& fixture, const std::string& relative) {
        const std::string target = m_folder + relative;
        std::filesystem::create_directories(std::filesystem::path(target).parent_path());
        EXPECT_TRUE(CopyFileA(FixtureProgram(fixture).c_str(), target.c_str(), FALSE))
            << FixtureProgram(fixture) << " -> " << target;
        return target;
    }
    void MakeFolder(const std::string& relative) {
        std::filesystem::create_directories(m_folder + relative);
    }

    // AIM of the given version registered in a user hive; returns the hive's name.
    std::string RegisterAIM(const std::string& hiveSuffix, const std::string& fixture) {
        const std::string hive = Hive(hiveSuffix);
        const std::string program = Install(fixture, hiveSuffix + "\\AIM\\aim.exe");
        SetString(HKEY_USERS, hive + "\\" + kAIMAppPath, "", program);
        return hive;
    }
    // An AIM account in a user hive, with or without its Xfer key.
    std::string AddAIMAccount(const std::string& hive, const std::string& account, bool xfer) {
        const std::string key = hive + "\\" + kAIMUsers + "\\" + account;
        CreateKey(HKEY_USERS, xfer ? key + "\\Xfer" : key);
        return key + "\\Xfer";
    }
    // MSN Messenger (msnmsgr.exe) or Windows Messenger (msmsgs.exe) of a version, with
    // its InstallationDirectory in HKLM; returns the directory.
    std::string RegisterMSN(const std::string& fixture, bool windowsMessenger = false) {
        const std::string dir = m_folder + (windowsMessenger ? "Messenger\\" : "MSN Messenger\\");
        Install(fixture,
                (windowsMessenger ? "Messenger\\msmsgs.exe" : "MSN Messenger\\msnmsgr.exe"));
        SetString(HKEY_LOCAL_MACHINE, windowsMessenger ? kMessengerService : kMSNMachine,
                  "InstallationDirectory", dir);
        return dir;
    }
    // Trillian of a version, with its users\default folder; returns talk.ini's path.
    std::string RegisterTrillian(const std::string& fixture,
                                 const std::string& programName = "trillian.exe") {
        const std::string program = Install(fixture, "Trillian\\" + programName);
        MakeFolder("Trillian\\users\\default");
        SetString(HKEY_LOCAL_MACHINE, kTrillianIcon, "", program + ",0");
        return m_folder + "Trillian\\users\\default\\talk.ini";
    }

private:
    void Remember(HKEY root, const std::string& path) { m_made.emplace_back(root, path); }

    // Every key that the code under test reads or writes must be absent, or made here.
    void CheckForForeignKeys() {
        std::vector<std::string> foreign;
        for (const char* machine :
             {kMSNMachine, kMessengerService, "SOFTWARE\\Clients\\IM\\Trillian"})
            if (KeyExists(HKEY_LOCAL_MACHINE, machine))
                foreign.push_back(std::string("HKLM\\") + machine);
        for (const std::string& hive : HiveNames())
            for (const char* user : {kAIMAppPath, kAIMUsers, kMSNUser})
                if (KeyExists(HKEY_USERS, hive + "\\" + user))
                    foreign.push_back("HKU\\" + hive + "\\" + user);
        for (const std::string& hive : HiveNames())
            if (hive.rfind(m_tag, 0) == 0) foreign.push_back("HKU\\" + hive);
        if (!foreign.empty()) {
            m_clean = false;
            std::string list;
            for (const std::string& k : foreign) list += "\n  " + k;
            ADD_FAILURE() << "the Wine prefix holds messenger-client keys this test did not "
                             "make; it will not touch them:"
                          << list;
        }
    }

    std::string m_tag;
    std::string m_folder;
    bool m_clean = true;
    bool m_madeFolder = false;
    std::vector<std::pair<HKEY, std::string>> m_made;
};

}  // namespace zykim::test
