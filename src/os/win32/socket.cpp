// Windows Sockets backend of the socket transfers: select with a time value, then
// recv or send, with the error taken from WSAGetLastError right after the failing call.
#include "os/socket.h"

#include "os/win32/win.h"

namespace zykim::os {

namespace {

// 1 ready, 0 time-out, -1 failure (code in *pError).
int WaitReady(int32_t socket, bool forWrite, uint32_t timeoutMs, int32_t* pError) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(socket), &set);
    timeval tv;
    timeval* pTime = nullptr;
    if (timeoutMs != kWaitInfinite) {
        tv.tv_sec = static_cast<long>(timeoutMs / 1000u);
        tv.tv_usec = static_cast<long>((timeoutMs % 1000u) * 1000u);
        pTime = &tv;
    }
    const int r = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr, pTime);
    if (r == SOCKET_ERROR) {
        *pError = WSAGetLastError();
        return -1;
    }
    return r == 0 ? 0 : 1;
}

}  // namespace

SocketTransfer ReceiveWithin(int32_t socket, char* buffer, int32_t size, uint32_t timeoutMs,
                             bool peek) {
    SocketTransfer result{-1, 0};
    const int ready = WaitReady(socket, false, timeoutMs, &result.nError);
    if (ready <= 0) {
        if (ready == 0) result.nCount = 0;
        return result;
    }
    const int n = recv(static_cast<SOCKET>(socket), buffer, size, peek ? MSG_PEEK : 0);
    if (n == SOCKET_ERROR) {
        result.nError = WSAGetLastError();
        return result;
    }
    result.nCount = n;
    return result;
}

SocketTransfer SendWithin(int32_t socket, const char* data, int32_t length, uint32_t timeoutMs) {
    SocketTransfer result{-1, 0};
    const int ready = WaitReady(socket, true, timeoutMs, &result.nError);
    if (ready <= 0) {
        if (ready == 0) result.nCount = 0;
        return result;
    }
    const int n = send(static_cast<SOCKET>(socket), data, length, 0);
    if (n == SOCKET_ERROR) {
        result.nError = WSAGetLastError();
        return result;
    }
    result.nCount = n;
    return result;
}

int32_t SocketErrorCode(int nativeError) { return nativeError; }

}  // namespace zykim::os
