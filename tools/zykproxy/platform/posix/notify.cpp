// The notification datagram on POSIX: an AF_UNIX datagram socket per message, sent to
// the path (or abstract name) the service manager gave.
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>

#include "platform/notify.h"

namespace zykproxy::platform {

namespace {
std::string TakeVariable(const char* name) {
    const char* value = std::getenv(name);
    std::string text = value != nullptr ? value : "";
    unsetenv(name);
    return text;
}

// The socket's address; false for one that is neither a path nor an abstract name.
bool AddressOf(const std::string& name, sockaddr_un* address, socklen_t* length) {
    if (name.size() < 2 || name.size() >= sizeof address->sun_path || (name[0] != '/' && name[0] != '@'))
        return false;
    std::memset(address, 0, sizeof *address);
    address->sun_family = AF_UNIX;
    std::memcpy(address->sun_path, name.data(), name.size());
    if (name[0] == '@') address->sun_path[0] = '\0';
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    return true;
}
}  // namespace

ServiceManager TakeServiceManager() {
    ServiceManager manager;
    manager.socket = TakeVariable("NOTIFY_SOCKET");
    const std::string usec = TakeVariable("WATCHDOG_USEC");
    const std::string pid = TakeVariable("WATCHDOG_PID");
    // A watchdog meant for another process (the one that exec'd this one, say) is not ours.
    if (!pid.empty() && std::strtol(pid.c_str(), nullptr, 10) != static_cast<long>(getpid()))
        return manager;
    manager.watchdogUsec = usec.empty() ? 0 : std::strtoll(usec.c_str(), nullptr, 10);
    if (manager.watchdogUsec < 0) manager.watchdogUsec = 0;
    return manager;
}

bool NotifyServiceManager(const ServiceManager& manager, const std::string& message) {
    sockaddr_un address;
    socklen_t length = 0;
    if (!manager.Present() || !AddressOf(manager.socket, &address, &length)) return false;
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    const ssize_t sent = sendto(fd, message.data(), message.size(), MSG_NOSIGNAL,
                                reinterpret_cast<const sockaddr*>(&address), length);
    close(fd);
    return sent == static_cast<ssize_t>(message.size());
}

long long MonotonicMicros() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

}  // namespace zykproxy::platform
