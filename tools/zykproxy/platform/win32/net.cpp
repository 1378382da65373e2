// Sockets on Windows: Windows Sockets 2, WSAPoll for waiting, select with a zero
// time-out for receives that must not wait. Sockets are kept out of child processes.
#include "os/win32/win.h"

#include <ws2tcpip.h>

#include <cstdio>

#include "platform/net.h"

namespace zykproxy::net {

namespace {

SOCKET Sock(SocketId id) { return static_cast<SOCKET>(id); }

struct AddressList {
    addrinfo* list = nullptr;
    ~AddressList() {
        if (list != nullptr) freeaddrinfo(list);
    }
};

bool Resolve(const Endpoint& where, bool passive, AddressList* out, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    const std::string port = std::to_string(where.port);
    const int rc = getaddrinfo(where.host.c_str(), port.c_str(), &hints, &out->list);
    if (rc != 0) {
        *error = "cannot resolve " + where.host + ": " + LastErrorText();
        return false;
    }
    return true;
}

Socket NewSocket(int family, int type, int protocol) {
    const SOCKET s = ::socket(family, type, protocol);
    if (s == INVALID_SOCKET) return Socket();
    SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return Socket(static_cast<SocketId>(s));
}

void SetBlocking(SOCKET s, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
}

void SetNoDelay(SOCKET s) {
    const BOOL on = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// 1 readable, 0 time-out, -1 failure.
int WaitReadable(SOCKET s, int timeoutMs) {
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(s, &readSet);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int rc = ::select(0, &readSet, nullptr, nullptr, timeoutMs < 0 ? nullptr : &tv);
    return rc == SOCKET_ERROR ? -1 : (rc > 0 ? 1 : 0);
}

}  // namespace

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

Socket Listen(const Endpoint& where, int backlog, std::string* error) {
    AddressList addresses;
    if (!Resolve(where, true, &addresses, error)) return Socket();
    for (addrinfo* a = addresses.list; a != nullptr; a = a->ai_next) {
        Socket s = NewSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (!s.Valid()) {
            *error = "socket: " + LastErrorText();
            continue;
        }
        // Windows lets two sockets share a port with SO_REUSEADDR; keep it exclusive.
        const BOOL on = TRUE;
        setsockopt(Sock(s.Get()), SOL_SOCKET, SO_EXCLUSIVEADDRUSE,
                   reinterpret_cast<const char*>(&on), sizeof on);
        if (::bind(Sock(s.Get()), a->ai_addr, static_cast<int>(a->ai_addrlen)) != 0) {
            *error = "bind " + FormatEndpoint(where) + ": " + LastErrorText();
            continue;
        }
        if (::listen(Sock(s.Get()), backlog) != 0) {
            *error = "listen: " + LastErrorText();
            continue;
        }
        return s;
    }
    return Socket();
}

uint16_t LocalPort(SocketId socket) {
    sockaddr_storage address{};
    int length = sizeof address;
    if (getsockname(Sock(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return 0;
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

Socket Connect(const Endpoint& where, int timeoutMs, std::string* error) {
    AddressList addresses;
    if (!Resolve(where, false, &addresses, error)) return Socket();
    for (addrinfo* a = addresses.list; a != nullptr; a = a->ai_next) {
        Socket s = NewSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (!s.Valid()) {
            *error = "socket: " + LastErrorText();
            continue;
        }
        const SOCKET raw = Sock(s.Get());
        SetBlocking(raw, false);
        int rc = ::connect(raw, a->ai_addr, static_cast<int>(a->ai_addrlen));
        if (rc != 0 && WSAGetLastError() == WSAEWOULDBLOCK) {
            fd_set writeSet, failSet;
            FD_ZERO(&writeSet);
            FD_ZERO(&failSet);
            FD_SET(raw, &writeSet);
            FD_SET(raw, &failSet);
            timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
            rc = ::select(0, nullptr, &writeSet, &failSet, &tv);
            if (rc == 0) {
                *error = "connect " + FormatEndpoint(where) + ": timed out";
                continue;
            }
            int soError = 0;
            int length = sizeof soError;
            getsockopt(raw, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &length);
            if (rc > 0 && !FD_ISSET(raw, &failSet) && soError == 0) {
                rc = 0;
            } else {
                WSASetLastError(soError != 0 ? soError : WSAECONNREFUSED);
                rc = -1;
            }
        }
        if (rc != 0) {
            *error = "connect " + FormatEndpoint(where) + ": " + LastErrorText();
            continue;
        }
        SetBlocking(raw, true);
        SetNoDelay(raw);
        return s;
    }
    return Socket();
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

bool Resolves(const Endpoint& where, std::string* error) {
    AddressList addresses;
    return Resolve(where, false, &addresses, error);
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

void ShutdownSend(SocketId socket) { ::shutdown(Sock(socket), SD_SEND); }

void ResetOnClose(SocketId socket) {
    const linger abort{1, 0};
    setsockopt(Sock(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
               sizeof abort);
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

}  // namespace zykproxy::net
