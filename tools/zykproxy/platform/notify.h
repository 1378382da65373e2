// The service manager's notification socket (systemd's NOTIFY_SOCKET): one datagram per
// message of newline-separated KEY=VALUE assignments (READY=1, STATUS=..., WATCHDOG=1).
#pragma once

#include <string>

namespace zykproxy::platform {

struct ServiceManager {
    std::string socket;       // NOTIFY_SOCKET: a path, or "@name" in the abstract namespace
    long long watchdogUsec = 0;  // WATCHDOG_USEC when it is meant for this process; 0: none
    bool Present() const { return !socket.empty(); }
};

// Reads NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID and removes them from the
// environment, so that child processes (the command scanner) do not speak for this
// one. Call it before any thread starts. Nothing on Windows.
ServiceManager TakeServiceManager();
// Sends one message; false when there is no socket or the send failed.
bool NotifyServiceManager(const ServiceManager& manager, const std::string& message);
// CLOCK_MONOTONIC in microseconds, the clock of MONOTONIC_USEC.
long long MonotonicMicros();

}  // namespace zykproxy::platform
