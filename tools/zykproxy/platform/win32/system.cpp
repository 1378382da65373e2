// Process-wide services on Windows.
#include "os/win32/win.h"

#include <io.h>

#include <cstdio>
#include <cstdlib>

#include "platform/system.h"

namespace zykproxy::platform {

namespace {
void (*g_onStop)() = nullptr;
void (*g_onReport)() = nullptr;
BOOL WINAPI OnConsoleControl(DWORD event) {
    if (event == CTRL_BREAK_EVENT && g_onReport != nullptr) {
        g_onReport();
        return TRUE;
    }
    if (g_onStop != nullptr) g_onStop();
    return TRUE;
}
void RegisterOnce() {
    static const bool registered = SetConsoleCtrlHandler(&OnConsoleControl, TRUE) != 0;
    (void)registered;
}
}  // namespace

void InstallStopHandler(void (*onStop)()) {
    g_onStop = onStop;
    RegisterOnce();
}

void InstallReportHandler(void (*onReport)()) {
    g_onReport = onReport;
    RegisterOnce();
}

void InstallHangupHandler(void (*)()) {}

void IgnoreBrokenPipe() {}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

std::string ExecutableFolder() {
    char path[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return ".\\";
    std::string p(path, n);
    return p.substr(0, p.find_last_of("\\/") + 1);
}

const char* PluginFileName() { return "zykim.dll"; }

bool SetEnvironment(const char* name, const char* value) {
    return SetEnvironmentVariableA(name, value) != 0;
}

}  // namespace zykproxy::platform

namespace zykproxy::platform {

long RaiseDescriptorLimit() { return -1; }

}  // namespace zykproxy::platform
