// GetIMPlugin and SetIMPlugin as a host sees them: the built library loaded by path,
// its trace on the real debugger output, and the zykclients tool on top of it. On
// Windows the three clients are registered in the Wine prefix and switched round trip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/library.h"
#include "zykim/zykim.h"

#ifdef _WIN32
#include "imconfig/client_scratch.h"
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

using zykim::test::PluginLibrary;

namespace {

using GetIMPluginFn = void(ZYKIM_CALL*)(int, int*, int*);
using SetIMPluginFn = void(ZYKIM_CALL*)(int, int);

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

struct ToolRun {
    int status = -1;
    std::string output;
};

#ifdef _WIN32

using namespace zykim::test;

std::string AsciiLower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// dbgview.exe collecting this process's debugger output until Finish.
class DebugView {
public:
    bool Start() {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        m_out = std::string(temp) + "zyk_imdbg_" + std::to_string(GetCurrentProcessId()) + ".txt";
        DeleteFileA(m_out.c_str());
        const std::string readyName = "zyk-imdbg-ready-" + std::to_string(GetCurrentProcessId());
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
        std::string cmd = "\"" + ProgramFolder() + "dbgview.exe\" --pid " +
                          std::to_string(GetCurrentProcessId()) +
                          " --until zyk-im-done --timeout 20000 --ready-event " + readyName +
                          " --out \"" + m_out + "\"";
        STARTUPINFOA si{};
        si.cb = sizeof si;
        const bool started = CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0,
                                            nullptr, nullptr, &si, &m_process) != FALSE;
        const bool listening = started && WaitForSingleObject(ready, 20000) == WAIT_OBJECT_0;
        CloseHandle(ready);
        return listening;
    }
    std::string Finish() {
        OutputDebugStringA("zyk-im-done\n");
        if (m_process.hProcess != nullptr) {
            WaitForSingleObject(m_process.hProcess, 20000);
            CloseHandle(m_process.hThread);
            CloseHandle(m_process.hProcess);
            m_process = {};
        }
        std::string text = ReadWholeFile(m_out);
        DeleteFileA(m_out.c_str());
        const auto end = text.find("zyk-im-done\n");
        return end == std::string::npos ? "<no end marker>" + text : text.substr(0, end);
    }
    ~DebugView() {
        if (m_process.hProcess != nullptr) Finish();
    }

private:
    std::string m_out;
    PROCESS_INFORMATION m_process{};
};

// Runs zykclients.exe with the given arguments, its standard output into a file.
ToolRun RunZykClients(const std::string& arguments) {
    ToolRun run;
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string outPath =
        std::string(temp) + "zyk_clients_" + std::to_string(GetCurrentProcessId()) + ".txt";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE) return run;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = out;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::string cmd = "\"" + ProgramFolder() + "zykclients.exe\" " + arguments;
    PROCESS_INFORMATION pi{};
    if (CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                       &pi)) {
        WaitForSingleObject(pi.hProcess, 30000);
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        run.status = static_cast<int>(code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    CloseHandle(out);
    run.output = ReadWholeFile(outPath);
    DeleteFileA(outPath.c_str());
    // The console runtime may write line ends as CR LF.
    run.output.erase(std::remove(run.output.begin(), run.output.end(), '\r'), run.output.end());
    return run;
}

// The three clients registered in scratch keys, each in a version that can be set.
struct RegisteredClients {
    explicit RegisteredClients(ClientScratch& scratch) {
        const std::string hive = scratch.RegisterAIM("a", "v5_9");
        aimXfer = scratch.AddAIMAccount(hive, "alice", true);
        scratch.RegisterMSN("v6_2");
        msnUser = hive + "\\" + kMSNUser;
        scratch.CreateKey(HKEY_USERS, msnUser);
        talkIni = scratch.RegisterTrillian("v3_1");
    }
    std::string aimXfer;
    std::string msnUser;
    std::string talkIni;
};

std::string TrillianProgramSetting(const std::string& ini) {
    char value[600] = {};
    GetPrivateProfileStringA("File Transfers", "Virus: Program", "<none>", value, sizeof value,
                             ini.c_str());
    return value;
}

TEST(IMLibrary, RoundTripOfEveryClientThroughTheLoadedDll) {
    ClientScratch scratch;
    ASSERT_TRUE(scratch.Clean());
    ASSERT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, kProductKey))
        << "HKLM\\" << kProductKey
        << " exists already; this test sets DebugLevel only in a key it makes";
    scratch.SetDword(HKEY_LOCAL_MACHINE, kProductKey, "DebugLevel", 4);
    const RegisteredClients clients(scratch);

    // Loaded from a folder in capitals as ZYKIM.DLL: the scanner path is lower-cased.
    const std::string dll = scratch.Folder() + "PROXY\\ZYKIM.DLL";
    scratch.MakeFolder("PROXY");
    ASSERT_TRUE(CopyFileA((ProgramFolder() + ZYKIM_LIBRARY_NAME).c_str(), dll.c_str(), FALSE));
    const std::string scanner = AsciiLower(scratch.Folder()) + "proxy\\zykims.exe";

    DebugView view;
    ASSERT_TRUE(view.Start());
    {
        PluginLibrary lib;
        ASSERT_TRUE(lib.Open(dll.c_str()));
        auto get = lib.Get<GetIMPluginFn>("GetIMPlugin");
        auto set = lib.Get<SetIMPluginFn>("SetIMPlugin");
        ASSERT_TRUE(get && set);
        const auto state = [&](int id) {
            int installed = -1, on = -1;
            get(id, &installed, &on);
            return std::make_pair(installed, on);
        };
        for (int id = 1; id <= 3; ++id) {
            EXPECT_EQ(state(id), std::make_pair(1, 0)) << id;
            set(id, 1);
            EXPECT_EQ(state(id), std::make_pair(1, 1)) << id;
            set(id, 0);
            EXPECT_EQ(state(id), std::make_pair(1, 0)) << id;
            set(id, 2);  // any non-zero is on
            EXPECT_EQ(state(id), std::make_pair(1, 1)) << id;
        }
        int installed = 42, on = 42;
        get(0, &installed, &on);
        EXPECT_EQ(std::make_pair(installed, on), std::make_pair(42, 0));
        get(4, &installed, &on);
        EXPECT_EQ(std::make_pair(installed, on), std::make_pair(42, 0));
    }
    const std::string trace = view.Finish();

    // Each client's hook names the scanner beside the loaded DLL.
    EXPECT_EQ(std::string(ReadValue(HKEY_USERS, clients.aimXfer, "VirusCheckerPath").bytes.c_str()),
              scanner);
    std::string wide;
    for (const char ch : scanner) wide += std::string{ch, '\0'};
    wide += std::string(2, '\0');
    EXPECT_EQ(ReadValue(HKEY_USERS, clients.msnUser, "AntiVirus").bytes, wide);
    EXPECT_EQ(TrillianProgramSetting(clients.talkIni), scanner);

    const std::string p = "++++++++  ";
    // The scanner line has no line end: the next line follows it directly.
    EXPECT_NE(trace.find(p + "ZYKProxy-> SetIMPlugin (ID= 2 ; ON=2)\n" + p +
                         "ZYKProxy-> SetIMPlugin (ZYKIMS = " + scanner + p),
              std::string::npos)
        << trace;
    for (const std::string& line : std::vector<std::string>{
             "ZYKProxy-> GetIMPlugin (ID= 1;Install = 1; ON = 1)\n",
             "ZYKProxy-> GetIMPlugin (ID= 3;Install = 1; ON = 0)\n",
             "ZYKProxy-> GetIMPlugin (ID= 4;Install = 42; ON = 0)\n",
             "GetIMPlugin (unknow plugin ID).\n", "bConfigAIM : ConfigUser (alice)\n",
             "bConfigMSN -> Enable = FALSE\n", "bFindUserKey->Key = " + clients.msnUser + "\n"})
        EXPECT_NE(trace.find(p + line), std::string::npos) << line << trace;
}

TEST(IMLibrary, ZykClientsShowsAndSwitchesTheRegisteredClients) {
    ClientScratch scratch;
    ASSERT_TRUE(scratch.Clean());
    {
        // Nothing registered yet; the plug-in beside the tool is the default.
        const ToolRun run = RunZykClients("clients");
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.output,
                  "id  client         installed  on\n"
                  "1   AIM            0          0\n"
                  "2   MSN Messenger  0          0\n"
                  "3   Trillian       0          0\n");
        EXPECT_EQ(RunZykClients("clients on 1").status, 1);
    }
    {
        // AIM installed, but no user has an account to switch: nothing changes, and the
        // tool says so instead of exiting 0.
        scratch.RegisterAIM("b", "v5_9");
        const ToolRun run = RunZykClients("clients on 1");
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.output.find("AIM still reports its hook off"), std::string::npos)
            << run.output;
    }
    const RegisteredClients clients(scratch);
    const std::string plugin = "--plugin \"" + ProgramFolder() + ZYKIM_LIBRARY_NAME + "\" ";
    ToolRun run = RunZykClients(plugin + "clients");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              "id  client         installed  on\n"
              "1   AIM            1          0\n"
              "2   MSN Messenger  1          0\n"
              "3   Trillian       1          0\n");

    run = RunZykClients(plugin + "clients on 2");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              "id  client         installed  on\n"
              "2   MSN Messenger  1          1\n");
    EXPECT_EQ(RunZykClients(plugin + "clients on 3").status, 0);
    EXPECT_EQ(RunZykClients(plugin + "clients off 2").status, 0);
    run = RunZykClients(plugin + "clients");
    EXPECT_EQ(run.output,
              "id  client         installed  on\n"
              "1   AIM            1          0\n"
              "2   MSN Messenger  1          0\n"
              "3   Trillian       1          1\n");
    EXPECT_EQ(TrillianProgramSetting(clients.talkIni), AsciiLower(ProgramFolder()) + "zykims.exe");

    EXPECT_EQ(RunZykClients(plugin + "clients on 4").status, 64);
    EXPECT_EQ(RunZykClients("--plugin nowhere.dll clients").status, 1);
}

// Runs in its own ctest entry, test_im_library_ja, with LANG=ja_JP.UTF-8: Wine then gives
// the process the Japanese ANSI code page (932, Shift-JIS), whose double-byte characters
// may carry 0x5C, the backslash, as their second byte.
TEST(IMLibraryCodePage, NonLatinPathsEndToEnd) {
    char expected[16] = {};
    if (GetEnvironmentVariableA("ZYK_EXPECT_ACP", expected, sizeof expected) == 0)
        GTEST_SKIP() << "runs in the test_im_library_ja entry, with LANG=ja_JP.UTF-8";
    ASSERT_EQ(GetACP(), static_cast<UINT>(std::strtoul(expected, nullptr, 10)))
        << "Wine did not take the code page from LANG: is the ja_JP.UTF-8 locale generated "
           "(./zyk test does that)?";
    ClientScratch scratch;
    ASSERT_TRUE(scratch.Clean());
    const std::string base = scratch.Folder();
    ASSERT_TRUE(std::all_of(base.begin(), base.end(), [](char c) { return (c & 0x80) == 0; }))
        << base;

    scratch.RegisterMSN("v6_2");
    const std::string msnUser = scratch.Hive("a") + "\\" + kMSNUser;
    scratch.CreateKey(HKEY_USERS, msnUser);
    // Trillian's program is named U+30BD (0x83 0x5C): a byte-wise search for the last
    // backslash would cut inside it.
    const std::string talkIni = scratch.RegisterTrillian("v3_1", "\x83\x5C.exe");

    // The plug-in in a folder named U+8868 U+793A U+FF21 (0x95 0x5C, 0x8E 0xA6, 0x82 0x60),
    // as ZYKIM.DLL. The full-width capital A lowers to U+FF41 (0x82 0x81).
    const std::string folder = base + "\x95\x5C\x8E\xA6\x82\x60";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    const std::string dll = folder + "\\ZYKIM.DLL";
    ASSERT_TRUE(CopyFileA((ProgramFolder() + ZYKIM_LIBRARY_NAME).c_str(), dll.c_str(), FALSE));
    const std::string scanner = AsciiLower(base) + "\x95\x5C\x8E\xA6\x82\x81\\zykims.exe";
    std::wstring scannerWide(base.begin(), base.end());
    for (wchar_t& c : scannerWide) c = static_cast<wchar_t>(std::tolower(c));
    scannerWide += L"\u8868\u793A\uFF41\\zykims.exe";

    {
        PluginLibrary lib;
        ASSERT_TRUE(lib.Open(dll.c_str()));
        auto get = lib.Get<GetIMPluginFn>("GetIMPlugin");
        auto set = lib.Get<SetIMPluginFn>("SetIMPlugin");
        ASSERT_TRUE(get && set);
        for (int id : {2, 3}) {
            set(id, 1);
            int installed = -1, on = -1;
            get(id, &installed, &on);
            EXPECT_EQ(std::make_pair(installed, on), std::make_pair(1, 1)) << id;
        }
    }
    // MSN Messenger's stored path decodes to the very characters of the scanner path.
    std::string wide;
    for (const wchar_t c : scannerWide) {
        wide += static_cast<char>(c & 0xFF);
        wide += static_cast<char>((c >> 8) & 0xFF);
    }
    wide += std::string(2, '\0');
    EXPECT_EQ(ReadValue(HKEY_USERS, msnUser, "AntiVirus").bytes, wide);
    // Trillian's settings file is in Trillian\users\default and names the scanner.
    EXPECT_NE(GetFileAttributesA(talkIni.c_str()), INVALID_FILE_ATTRIBUTES) << talkIni;
    EXPECT_EQ(TrillianProgramSetting(talkIni), scanner);
}

#else

ToolRun RunZykClients(const std::string& arguments) {
    ToolRun run;
    const std::string cmd = std::string(ZYKCLIENTS_PATH) + " " + arguments + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return run;
    char buffer[512];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, p)) > 0) run.output.append(buffer, n);
    const int status = pclose(p);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

TEST(IMLibrary, NoClientIsInstalledWithoutTheirRegistry) {
    PluginLibrary lib;
    ASSERT_TRUE(lib.Open(ZYKIM_LIBRARY_PATH));
    auto get = lib.Get<GetIMPluginFn>("GetIMPlugin");
    auto set = lib.Get<SetIMPluginFn>("SetIMPlugin");
    ASSERT_TRUE(get && set);
    for (int id = 1; id <= 3; ++id) {
        int installed = 9, on = 9;
        set(id, 1);
        get(id, &installed, &on);
        EXPECT_EQ(installed, 0);
        EXPECT_EQ(on, 0);
    }
    int installed = 9, on = 9;
    get(4, &installed, &on);
    EXPECT_EQ(installed, 9);
    EXPECT_EQ(on, 0);
}

TEST(IMLibrary, TracesNameTheLoadedLibrary) {
    char path[] = "/tmp/zyk_imtrace_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    const pid_t child = fork();
    if (child == 0) {
        setenv("ZYKIM_DEBUG_LEVEL", "4", 1);
        setenv("ZYKIM_DEBUG_OUTPUT", path, 1);
        PluginLibrary lib;
        if (!lib.Open(ZYKIM_LIBRARY_PATH)) _exit(3);
        lib.Get<SetIMPluginFn>("SetIMPlugin")(1, 1);
        int installed = 0, on = 0;
        lib.Get<GetIMPluginFn>("GetIMPlugin")(3, &installed, &on);
        _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    const std::string text = ReadWholeFile(path);
    unlink(path);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(text,
              "++++++++  ZYKProxy-> SetIMPlugin (ID= 1 ; ON=1)\n"
              "++++++++  ZYKProxy-> SetIMPlugin (ZYKIMS = " ZYKIM_LIBRARY_PATH
              "++++++++  SetIMPlugin (No AIM)!\n"
              "++++++++  GetIMPlugin (No TRILLIAN)!\n"
              "++++++++  ZYKProxy-> GetIMPlugin (ID= 3;Install = 0; ON = 0)\n");
}

TEST(IMLibrary, ZykClientsShowsTheThreeClients) {
    ToolRun run = RunZykClients("--plugin " ZYKIM_LIBRARY_PATH " clients");
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output,
              "id  client         installed  on\n"
              "1   AIM            0          0\n"
              "2   MSN Messenger  0          0\n"
              "3   Trillian       0          0\n");
    EXPECT_EQ(RunZykClients("clients").output, run.output);  // the library beside the tool
    EXPECT_EQ(RunZykClients("clients on 2").status, 1);      // not installed: nothing changed
    EXPECT_EQ(RunZykClients("clients on 0").status, 64);
    EXPECT_EQ(RunZykClients("clients up 2").status, 64);
    EXPECT_EQ(RunZykClients("--plugin /nonexistent/libzykim.so clients").status, 1);
}

#endif

}  // namespace
