// Process-wide services on POSIX.
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "platform/system.h"

namespace zykproxy::platform {

namespace {
void (*g_onStop)() = nullptr;
void (*g_onReport)() = nullptr;
void (*g_onHangup)() = nullptr;
void OnSignal(int) {
    if (g_onStop != nullptr) g_onStop();
}
void OnReportSignal(int) {
    if (g_onReport != nullptr) g_onReport();
}
void OnHangupSignal(int) {
    if (g_onHangup != nullptr) g_onHangup();
}
}  // namespace

void InstallStopHandler(void (*onStop)()) {
    g_onStop = onStop;
    struct sigaction sa {};
    sa.sa_handler = &OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

void InstallReportHandler(void (*onReport)()) {
    g_onReport = onReport;
    struct sigaction sa {};
    sa.sa_handler = &OnReportSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &sa, nullptr);
}

void InstallHangupHandler(void (*onHangup)()) {
    g_onHangup = onHangup;
    struct sigaction sa {};
    sa.sa_handler = &OnHangupSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGHUP, &sa, nullptr);
}

void IgnoreBrokenPipe() { signal(SIGPIPE, SIG_IGN); }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

std::string ExecutableFolder() {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return "./";
    std::string p(path, static_cast<size_t>(n));
    return p.substr(0, p.rfind('/') + 1);
}

const char* PluginFileName() { return "libzykim.so"; }

bool SetEnvironment(const char* name, const char* value) { return setenv(name, value, 1) == 0; }

}  // namespace zykproxy::platform

namespace zykproxy::platform {

long RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        rlimit raised = limit;
        raised.rlim_cur = limit.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
    }
    if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > 0x7FFFFFFF) return 0x7FFFFFFF;
    return static_cast<long>(limit.rlim_cur);
}

}  // namespace zykproxy::platform
