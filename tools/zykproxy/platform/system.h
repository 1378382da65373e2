// Process-wide services of the host: stop requests, the terminal, its own location,
// environment settings.
#pragma once

#include <string>

namespace zykproxy::platform {

// Calls onStop (from a signal handler on POSIX, a console-control thread on Windows)
// when the user asks the process to end: SIGINT/SIGTERM, Ctrl-C/Ctrl-Break/close.
// onStop must be async-signal-safe.
void InstallStopHandler(void (*onStop)());
// Calls onReport (same rules) when the user asks for statistics: SIGUSR1 on POSIX, the
// console's Ctrl-Break on Windows (which then no longer stops the process).
void InstallReportHandler(void (*onReport)());
// Calls onHangup (same rules) when the process is asked to read its settings again:
// SIGHUP on POSIX. Windows has no such request: nothing is installed there.
void InstallHangupHandler(void (*onHangup)());
// A peer that has gone must not end the process (SIGPIPE); nothing on Windows.
void IgnoreBrokenPipe();
bool StderrIsTerminal();
// The folder of the running executable, with a trailing separator.
std::string ExecutableFolder();
// The plug-in's file name on this platform: libzykim.so or zykim.dll.
const char* PluginFileName();
bool SetEnvironment(const char* name, const char* value);
// Raises the soft limit on open descriptors to the hard one, as servers do, and returns
// the limit now in force; -1 where the system has no such limit (Windows).
long RaiseDescriptorLimit();

}  // namespace zykproxy::platform
