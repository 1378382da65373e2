// The built library as a host sees it: loaded by path, exports resolved by name, the
// export table holding exactly what is built, and trace lines on the real debugger
// output at a real trace level.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "support/library.h"
#include "zykim/zykim.h"

#ifdef _WIN32
#include "os/win32/win.h"
#else
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

using zykim::test::PluginLibrary;

namespace {

std::vector<std::string> Split(const std::string& text, char sep) {
    std::vector<std::string> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, sep))
        if (!item.empty()) out.push_back(item);
    return out;
}

std::vector<std::string> ExpectedExports() {
    auto names = Split(ZYKIM_EXPECTED_EXPORTS, ',');
    std::sort(names.begin(), names.end());
    return names;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

#ifdef _WIN32
const char* kLibrary = ZYKIM_LIBRARY_NAME;  // beside the test program
#else
const char* kLibrary = ZYKIM_LIBRARY_PATH;
#endif

std::vector<std::string> ActualExports() {
    std::vector<std::string> names;
#ifdef _WIN32
    PluginLibrary lib;
    if (!lib.Open(kLibrary)) return names;
    names = lib.ExportedNames();
#else
    const std::string cmd = std::string("nm -D --defined-only ") + ZYKIM_LIBRARY_PATH;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return names;
    char line[512];
    while (std::fgets(line, sizeof line, p)) {
        auto fields = Split(std::string(line, strcspn(line, "\n")), ' ');
        // "<address> <type> <name>"; the version node of the map file is not a function.
        if (fields.size() == 3 && fields[1] != "A") names.push_back(fields[2]);
    }
    pclose(p);
#endif
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Library, ExportsExactlyWhatIsBuiltByPlainNames) {
    const auto expected = ExpectedExports();
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(ActualExports(), expected);

    PluginLibrary lib;
    ASSERT_TRUE(lib.Open(kLibrary));
    for (const std::string& name : expected)
        EXPECT_NE(lib.Get<void*>(name.c_str()), nullptr) << name;
}

TEST(Library, ConfigurationExportsThroughTheLoadedLibrary) {
    PluginLibrary lib;
    ASSERT_TRUE(lib.Open(kLibrary));
    auto setISocket = lib.Get<ISocket*(ZYKIM_CALL*)(ISocket*)>("SetISocket");
    auto setCheckLimit = lib.Get<uint32_t(ZYKIM_CALL*)(uint32_t)>("SetCheckLimit");
    auto setTimeout = lib.Get<int(ZYKIM_CALL*)(int)>("SetTimeoutProtection");
    auto registerCallback = lib.Get<int(ZYKIM_CALL*)(ZykScanCallback)>("RegisterCallback");
    auto setParallelChecks = lib.Get<int(ZYKIM_CALL*)(int)>("SetParallelChecks");
    ASSERT_TRUE(setISocket && setCheckLimit && setTimeout && registerCallback && setParallelChecks);
    ISocket* fake = reinterpret_cast<ISocket*>(0x5678);
    EXPECT_EQ(setISocket(fake), fake);
    EXPECT_EQ(setISocket(nullptr), nullptr);
    EXPECT_EQ(setCheckLimit(4096), 0u);
    EXPECT_EQ(setCheckLimit(2), 2097152u);
    EXPECT_EQ(setCheckLimit(0), 0xFFFFFFFFu);
    EXPECT_EQ(setTimeout(30), 0);
    EXPECT_NE(registerCallback(nullptr), 0);
    // The count in effect: out-of-range counts are brought into 1..ZYKIM_MAX_PARALLEL_CHECKS.
    const std::pair<int, int> counts[] = {{4, 4}, {0, 1}, {-7, 1}, {1000, ZYKIM_MAX_PARALLEL_CHECKS},
                                          {INT32_MIN, 1}, {1, 1}};
    for (const auto& [asked, taken] : counts)
        EXPECT_EQ(setParallelChecks(asked), taken) << asked;
}

// Loads the library with the given trace level, calls two exports that trace, and
// returns what reached the debugger output.
std::string TraceAtLevel(const char* level);

#ifdef _WIN32

constexpr char kKey[] = "SOFTWARE\\Halvorn\\ZYKProxy";

// Sets (or, for null, removes) DebugLevel as the 32-bit view of HKLM sees it. Removes
// the product key again when the test made it.
class DebugLevelInRegistry {
public:
    explicit DebugLevelInRegistry(const char* level) {
        HKEY existing;
        m_keyExisted = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &existing) == ERROR_SUCCESS;
        if (m_keyExisted) RegCloseKey(existing);
        if (level == nullptr) return;
        HKEY key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return;
        const DWORD value = static_cast<DWORD>(std::stoul(level, nullptr, 0));
        RegSetValueExA(key, "DebugLevel", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
        RegCloseKey(key);
    }
    ~DebugLevelInRegistry() {
        if (m_keyExisted) return;
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kKey);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Halvorn");
    }

private:
    bool m_keyExisted = false;
};

std::string TraceAtLevel(const char* level) {
    DebugLevelInRegistry setting(level);
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string out = std::string(temp) + "zyk_dbgview_" +
                            std::to_string(GetCurrentProcessId()) + ".txt";
    DeleteFileA(out.c_str());
    const std::string readyName = "zyk-dbgview-ready-" + std::to_string(GetCurrentProcessId());
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
    std::string cmd = "dbgview.exe --pid " + std::to_string(GetCurrentProcessId()) +
                      " --until zyk-test-done --timeout 20000 --ready-event " + readyName +
                      " --out \"" + out + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(ready);
        return "<dbgview did not start>";
    }
    const bool listening = WaitForSingleObject(ready, 20000) == WAIT_OBJECT_0;
    CloseHandle(ready);
    {
        PluginLibrary lib;
        if (listening && lib.Open(kLibrary)) {
            lib.Get<int(ZYKIM_CALL*)(int)>("SetTimeoutProtection")(7);
            lib.Get<uint32_t(ZYKIM_CALL*)(uint32_t)>("SetCheckLimit")(9);
        }
    }
    OutputDebugStringA("zyk-test-done\n");
    WaitForSingleObject(pi.hProcess, 20000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    std::string text = ReadFile(out);
    DeleteFileA(out.c_str());
    const auto end = text.find("zyk-test-done\n");
    return end == std::string::npos ? "<no end marker>" + text : text.substr(0, end);
}

#else

std::string TraceAtLevel(const char* level) {
    char path[] = "/tmp/zyk_trace_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return "<mkstemp failed>";
    close(fd);
    const pid_t child = fork();
    if (child == 0) {
        if (level) setenv("ZYKIM_DEBUG_LEVEL", level, 1);
        else unsetenv("ZYKIM_DEBUG_LEVEL");
        setenv("ZYKIM_DEBUG_OUTPUT", path, 1);
        PluginLibrary lib;
        if (!lib.Open(ZYKIM_LIBRARY_PATH)) _exit(3);
        lib.Get<int (*)(int)>("SetTimeoutProtection")(7);
        lib.Get<uint32_t (*)(uint32_t)>("SetCheckLimit")(9);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::string text = ReadFile(path);
    unlink(path);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "<child failed>";
    return text;
}

// The debug output of a child that loads the library with ZYKIM_DEBUG_OUTPUT naming a
// file and forwards 300 bytes from one socket pair to another through the data pump.
std::string DirectLinesOfOneForward() {
    char path[] = "/tmp/zyk_direct_XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return "<mkstemp failed>";
    close(fd);
    const pid_t child = fork();
    if (child == 0) {
        unsetenv("ZYKIM_DEBUG_LEVEL");
        setenv("ZYKIM_DEBUG_OUTPUT", path, 1);
        int client[2], server[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, client) != 0 || socketpair(AF_UNIX, SOCK_STREAM, 0, server) != 0)
            _exit(4);
        char data[300] = {};
        if (write(client[1], data, sizeof data) != static_cast<ssize_t>(sizeof data)) _exit(5);
        PluginLibrary lib;
        if (!lib.Open(ZYKIM_LIBRARY_PATH)) _exit(3);
        ZykConnection app{0, client[0]}, upstream{0, server[0]};
        const int n = lib.Get<int (*)(ZykConnection*, ZykConnection*)>("OnRequestFromApplication")(
            &app, &upstream);
        _exit(n == 300 && read(server[1], data, sizeof data) == 300 ? 0 : 6);
    }
    int status = 0;
    waitpid(child, &status, 0);
    std::string text = ReadFile(path);
    unlink(path);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "<child failed>";
    return text;
}

#endif

#ifndef _WIN32
// The per-block lines are skipped only when nobody would read them: a sink is a reader.
TEST(Library, DirectLinesReachTheSinkAtLevelZero) {
    const auto lines = Split(DirectLinesOfOneForward(), '\n');
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0].rfind("++++++++ [", 0), 0u);
    EXPECT_NE(lines[0].find("] OnRequestFromApplication recv 300"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("] OnRequestFromApplication sent 1"), std::string::npos) << lines[1];
}
#endif

TEST(Library, TraceLevelIsReadWhenTheLibraryLoads) {
    const std::string both =
        "++++++++  ZYKIM: SetTimeoutProtection( 7 )\n"
        "++++++++  ZYKIM : SetCheckLimit( 9 )\n";
    EXPECT_EQ(TraceAtLevel("4"), both);
    EXPECT_EQ(TraceAtLevel("3"), "");  // errors and warnings only
    EXPECT_EQ(TraceAtLevel("0xFFFFFFFF"), "");  // -1
    EXPECT_EQ(TraceAtLevel(nullptr), "");
    EXPECT_EQ(TraceAtLevel("0x10"), both);
}

}  // namespace
