// The plug-in's life in a host process: a host that exits without unloading it, also
// while other threads are inside exports, and a host that unloads it with connections
// still open. Each runs in a child process (lifecycle_host), which must end with status
// 0 and, in the sanitizer builds, without a report.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "support/scratch_dir.h"

#ifdef _WIN32
#include "os/win32/win.h"
#else
#include <sys/wait.h>
#endif

using zykim::test::ScratchDir;

namespace {

struct ChildResult {
    int status = -1;      // exit status; -1 when it did not exit normally
    std::string errors;   // what it wrote to standard error
};

#ifdef _WIN32
std::string BesideThisProgram(const char* name) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + name;
}

ChildResult RunHost(const std::string& mode, const std::string& folder) {
    ChildResult result;
    std::string cmd = "\"" + BesideThisProgram("lifecycle_host.exe") + "\" " + mode + " " +
                      ZYKIM_LIBRARY_NAME + " \"" + folder + "\"";
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return result;
    if (WaitForSingleObject(pi.hProcess, 60000) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        result.status = static_cast<int>(code);
    } else {
        TerminateProcess(pi.hProcess, 99);
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return result;
}
#else
ChildResult RunHost(const std::string& mode, const std::string& folder) {
    ChildResult result;
    const std::string errors = folder + "/stderr.txt";
    const std::string cmd = std::string("timeout 60 ") + ZYKIM_LIFECYCLE_HOST + " " + mode + " " +
                            ZYKIM_LIBRARY_PATH + " '" + folder + "' 2>'" + errors + "'";
    const int status = std::system(cmd.c_str());
    if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
    std::ifstream in(errors);
    std::stringstream text;
    text << in.rdbuf();
    result.errors = text.str();
    std::remove(errors.c_str());
    return result;
}
#endif

void ExpectCleanEnd(const ChildResult& r) {
    EXPECT_EQ(r.status, 0) << r.errors;
    EXPECT_EQ(r.errors.find("Sanitizer"), std::string::npos) << r.errors;
    EXPECT_EQ(r.errors.find("free()"), std::string::npos) << r.errors;
}

// Process exit is not an unload: the held file stays (nothing is freed at exit); the
// folder goes with the scratch directory.
TEST(Lifecycle, AHostThatExitsWithoutUnloadingEndsCleanly) {
    ScratchDir folder;
    ExpectCleanEnd(RunHost("exit", folder.Path()));
}

TEST(Lifecycle, AHostThatExitsWhileOtherThreadsAreInsideExportsEndsCleanly) {
    ScratchDir folder;
    ExpectCleanEnd(RunHost("exit-busy", folder.Path()));
}

TEST(Lifecycle, UnloadingWithConnectionsOpenDeletesTheirHeldFiles) {
    ScratchDir folder;
    ExpectCleanEnd(RunHost("unload", folder.Path()));
    EXPECT_TRUE(folder.HeldFiles().empty());
}

}  // namespace
