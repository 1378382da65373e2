// Blocking writes on POSIX socket descriptors for the in-process harnesses (fuzzer, stress).
#pragma once

#include <cstddef>

#include "common/net.h"

namespace zykim::test {

// Sends all n bytes; false when the peer has gone or the send fails.
inline bool WriteAll(int fd, const char* p, size_t n) { return zyk::net::SendAll(fd, p, n); }

}  // namespace zykim::test
