// Blocking writes on POSIX socket descriptors for the in-process harnesses (fuzzer, stress).
#pragma once

#include <sys/socket.h>

#include <cerrno>
#include <cstddef>

namespace zykim::test {

// Sends all n bytes, retrying on EINTR; false when the peer has gone or the send fails.
inline bool WriteAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::send(fd, p, n, MSG_NOSIGNAL);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace zykim::test
