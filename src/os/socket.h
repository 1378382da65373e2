// Socket transfers with a time-out on the plug-in's own sockets: wait until the socket
// is ready, then one receive or send. Failures carry Windows Sockets error codes on
// every platform, so that a code means the same on each build.
#pragma once

#include <cstdint>

#include "os/wait.h"

namespace zykim::os {

// Result of one transfer: nCount >= 0 bytes moved (0: the time-out passed or, for a
// receive, the peer has closed), or nCount -1 with nError the Windows Sockets code.
struct SocketTransfer {
    int32_t nCount;
    int32_t nError;
};

// A time-out of kWaitInfinite waits without limit; 0 only polls.

// Waits up to timeoutMs for the socket to be readable, then receives at most `size`
// bytes into `buffer`; with `peek` the bytes stay queued for the next receive.
// `size` (and `length` below) must not be negative; callers check.
SocketTransfer ReceiveWithin(int32_t socket, char* buffer, int32_t size, uint32_t timeoutMs,
                             bool peek);

// Waits up to timeoutMs for the socket to be writable, then sends what it takes of
// `length` bytes. A peer that has gone is reported as an error, never as a signal.
SocketTransfer SendWithin(int32_t socket, const char* data, int32_t length, uint32_t timeoutMs);

// The Windows Sockets code of the same meaning as a native error code (Windows: the
// code itself; POSIX: errno). An errno with no counterpart is returned unchanged.
int32_t SocketErrorCode(int nativeError);


}  // namespace zykim::os
