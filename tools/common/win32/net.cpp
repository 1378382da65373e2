// Sockets on Windows: Windows Sockets 2, WSAPoll for waiting, select with a zero
// time-out for receives that must not wait. Sockets are kept out of child processes.
#include <cstdio>

#include "common/ip_address.h"
#include "common/native_socket.h"

namespace zyk::net {

namespace {

SOCKET Sock(SocketId id) { return Native(id); }

// 1 readable, 0 time-out, -1 failure.
int WaitReadable(SOCKET s, int timeoutMs) { return Wait(static_cast<SocketId>(s), false, timeoutMs); }

}  // namespace

bool StartNetwork() {
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

int LastError() { return WSAGetLastError(); }

// getaddrinfo sets the thread's socket error as well, with a text of the system's.
std::string ResolveErrorText(int) { return LastErrorText(); }

void SetBlocking(SocketId socket, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    ioctlsocket(Sock(socket), FIONBIO, &nonBlocking);
}

int Wait(SocketId socket, bool forWrite, int timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(Sock(socket), &set);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int rc = ::select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr,
                            timeoutMs < 0 ? nullptr : &tv);
    return rc == SOCKET_ERROR ? -1 : (rc > 0 ? 1 : 0);
}

int Receive(SocketId socket, char* buffer, int size) {
    const int n = ::recv(Sock(socket), buffer, size, 0);
    return n == SOCKET_ERROR ? kFailed : n;
}

int SendSome(SocketId socket, const char* data, int length) {
    const int n = ::send(Sock(socket), data, length, 0);
    if (n != SOCKET_ERROR) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? kNothingPending : kFailed;
}

Socket NewSocket(int family, int type, int protocol) {
    const SOCKET s = ::socket(family, type, protocol);
    if (s == INVALID_SOCKET) return Socket();
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return Socket(static_cast<SocketId>(s));
}

void ReuseAddress(SocketId) {}

// Windows lets two sockets share a port with SO_REUSEADDR; keep it exclusive.
void PrepareToListen(SocketId socket) { SetIntOption(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, 1); }

ConnectResult ConnectWithin(SocketId socket, const sockaddr* address, socklen_t length,
                            int timeoutMs, SocketId cancel) {
    const SOCKET raw = Sock(socket);
    int rc = ::connect(raw, address, length);
    if (rc == 0) return ConnectResult::kConnected;
    if (WSAGetLastError() != WSAEWOULDBLOCK) return ConnectResult::kFailed;
    fd_set readSet, writeSet, failSet;
    FD_ZERO(&readSet);
    FD_ZERO(&writeSet);
    FD_ZERO(&failSet);
    FD_SET(raw, &writeSet);
    FD_SET(raw, &failSet);
    if (cancel != kNoSocket) FD_SET(Sock(cancel), &readSet);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    rc = ::select(0, &readSet, &writeSet, &failSet, &tv);
    if (rc == 0) return ConnectResult::kTimedOut;
    if (rc > 0 && !FD_ISSET(raw, &writeSet) && !FD_ISSET(raw, &failSet))
        return ConnectResult::kCancelled;
    int soError = 0;
    int size = sizeof soError;
    getsockopt(raw, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &size);
    if (rc > 0 && !FD_ISSET(raw, &failSet) && soError == 0) return ConnectResult::kConnected;
    WSASetLastError(soError != 0 ? soError : WSAECONNREFUSED);
    return ConnectResult::kFailed;
}

ConnectError ClassifyConnectError(int code) {
    switch (code) {
        case WSAENETUNREACH: case WSAENETDOWN: return ConnectError::NetworkUnreachable;
        case WSAEHOSTUNREACH: case WSAEHOSTDOWN: return ConnectError::HostUnreachable;
        case WSAECONNREFUSED: return ConnectError::Refused;
        case WSAETIMEDOUT: return ConnectError::TimedOut;
        default: return ConnectError::Other;
    }
}

void Socket::Close() {
    if (m_id != kNoSocket) ::closesocket(Sock(m_id));
    m_id = kNoSocket;
}

NetworkSession::NetworkSession() {
    WSADATA data;
    m_ok = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

NetworkSession::~NetworkSession() {
    if (m_ok) WSACleanup();
}

Socket Accept(SocketId listener, std::string* error) {
    const SOCKET s = ::accept(Sock(listener), nullptr, nullptr);
    if (s == INVALID_SOCKET) {
        *error = "accept: " + LastErrorText();
        return Socket();
    }
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    SetBlocking(s, true);
    SetNoDelay(s);
    return Socket(static_cast<SocketId>(s));
}

// WSAPoll reports POLLHUP as soon as the peer has ended its sending direction, reset
// or not: a socket whose receiving direction has ended is left out of the wait, and
// the caller probes it (ProbePeer) from time to time instead.
const bool kPollReportsResets = false;

int Poll(std::vector<PollEntry>& entries, int timeoutMs) {
    std::vector<WSAPOLLFD> fds;
    std::vector<size_t> polled;  // index in entries of each fds element
    for (size_t i = 0; i < entries.size(); ++i) {
        entries[i].events = 0;
        if (!entries[i].watchRead) continue;
        WSAPOLLFD fd{};
        fd.fd = Sock(entries[i].socket);
        fd.events = POLLRDNORM;
        fds.push_back(fd);
        polled.push_back(i);
    }
    int rc;
    if (fds.empty()) {
        Sleep(timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs));
        return 0;
    }
    rc = WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
    for (size_t k = 0; k < fds.size(); ++k) {
        const SHORT r = rc > 0 ? fds[k].revents : 0;
        entries[polled[k]].events = ((r & (POLLRDNORM | POLLRDBAND)) ? kReadable : 0u) |
                                    ((r & POLLHUP) ? kHangUp : 0u) | ((r & POLLERR) ? kError : 0u) |
                                    ((r & POLLNVAL) ? kInvalid : 0u);
    }
    if (rc == SOCKET_ERROR) return WSAGetLastError() == WSAEINTR ? 0 : -1;
    return rc;
}

Socket ConnectLocal(const std::string& path, std::string* error) {
    *error = "local sockets (" + path + ") are not supported on Windows; use a TCP address";
    return Socket();
}

void SetSendTimeout(SocketId socket, int timeoutMs) {
    const DWORD ms = static_cast<DWORD>(timeoutMs);
    setsockopt(Sock(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&ms), sizeof ms);
}

PeerState ProbePeer(SocketId socket, bool sendOpen) {
    const SOCKET s = Sock(socket);
    if (WaitReadable(s, 0) <= 0) return PeerState::Open;
    char byte;
    const int n = ::recv(s, &byte, 1, MSG_PEEK);
    if (n > 0) return PeerState::Open;
    if (n == SOCKET_ERROR)
        return WSAGetLastError() == WSAEWOULDBLOCK ? PeerState::Open : PeerState::Reset;
    if (!sendOpen) return PeerState::Ended;
    // The end of the stream; a reset after it still fails an empty send.
    return ::send(s, &byte, 0, 0) == SOCKET_ERROR ? PeerState::Reset : PeerState::Ended;
}

int ReceiveWait(SocketId socket, char* buffer, int size, int timeoutMs) {
    const int ready = WaitReadable(Sock(socket), timeoutMs);
    if (ready < 0) return kFailed;
    if (ready == 0) return kNothingPending;
    const int n = ::recv(Sock(socket), buffer, size, 0);
    return n == SOCKET_ERROR ? kFailed : n;
}

int ReceiveNow(SocketId socket, char* buffer, int size) {
    return ReceiveWait(socket, buffer, size, 0);
}

int ReceiveSome(SocketId socket, char* buffer, int size) {
    const int n = ::recv(Sock(socket), buffer, size, 0);
    if (n != SOCKET_ERROR) return n;
    return WSAGetLastError() == WSAEWOULDBLOCK ? kNothingPending : kFailed;
}

bool SendAll(SocketId socket, const char* data, size_t length) {
    while (length > 0) {
        const int chunk = length > 0x40000000 ? 0x40000000 : static_cast<int>(length);
        const int n = ::send(Sock(socket), data, chunk, 0);
        if (n == SOCKET_ERROR) return false;
        data += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

SendProgress GetSendProgress(SocketId socket) {
    SendProgress progress;
    progress.writable = Wait(socket, true, 0) == 1;
    return progress;
}

bool ShutdownSend(SocketId socket) { return ::shutdown(Sock(socket), SD_SEND) == 0; }

void Interrupt(SocketId socket) {
    ::shutdown(Sock(socket), SD_BOTH);
    // A shutdown does not end a send that is already waiting on Windows; cancelling the
    // socket's pending I/O, from every thread, does.
    CancelIoEx(reinterpret_cast<HANDLE>(Sock(socket)), nullptr);
}

std::string LastErrorText() {
    const int code = WSAGetLastError();
    char text[256] = {};
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string out(text, n);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' '))
        out.pop_back();
    return (out.empty() ? std::string("error") : out) + " (" + std::to_string(code) + ")";
}

// Windows has no equivalent of netfilter's record of a redirected connection's
// destination (transparent mode needs Linux).
bool OriginalDestination(SocketId, IpEndpoint*, std::string* error) {
    *error = "the original destination of a redirected connection is known on Linux only";
    return false;
}

bool WakePair::Open(std::string* error) {
    // Windows has no socketpair: a loopback connection through a one-time listener.
    Socket listener = Listen(Endpoint{"127.0.0.1", 0}, 1, error);
    if (!listener.Valid()) return false;
    m_write = Connect(Endpoint{"127.0.0.1", LocalPort(listener.Get())}, 5000, error);
    if (!m_write.Valid()) return false;
    m_read = Accept(listener.Get(), error);
    if (!m_read.Valid()) return false;
    SetBlocking(Sock(m_read.Get()), false);
    SetBlocking(Sock(m_write.Get()), false);
    return true;
}

void WakePair::Signal() {
    const char byte = 1;
    ::send(Sock(m_write.Get()), &byte, 1, 0);
}

void WakePair::Drain() {
    char buffer[256];
    while (::recv(Sock(m_read.Get()), buffer, sizeof buffer, 0) > 0) {
    }
}

}  // namespace zyk::net
