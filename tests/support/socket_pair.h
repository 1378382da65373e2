// Connected TCP sockets on 127.0.0.1 for tests, on Windows and POSIX alike: a listener,
// a connected pair, and the helpers tests need to drive and break a connection.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#ifdef _WIN32
#include <ws2tcpip.h>

#include "os/win32/win.h"
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace zykim::test {

#ifdef _WIN32
using NativeSocket = SOCKET;
constexpr NativeSocket kNoSocket = INVALID_SOCKET;
#else
using NativeSocket = int;
constexpr NativeSocket kNoSocket = -1;
#endif

// Starts Windows Sockets once per process (and never stops it: tests end with the
// process). Nothing to do on POSIX.
inline bool StartSockets() {
#ifdef _WIN32
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
#else
    return true;
#endif
}

// The last socket error of this thread, as the platform reports it.
inline int LastSocketError() {
#ifdef _WIN32
    return WSAGetLastError();
#else
    return errno;
#endif
}

// One owned socket, closed when the object goes.
class Socket {
public:
    Socket() = default;
    explicit Socket(NativeSocket s) : m_socket(s) {}
    Socket(Socket&& other) noexcept : m_socket(other.Release()) {}
    Socket& operator=(Socket&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { Reset(); }

    bool Valid() const { return m_socket != kNoSocket; }
    NativeSocket Get() const { return m_socket; }
    // The socket number a host puts into its connection record.
    int32_t Number() const { return static_cast<int32_t>(m_socket); }
    NativeSocket Release() { return std::exchange(m_socket, kNoSocket); }
    void Reset(NativeSocket s = kNoSocket) {
        if (m_socket != kNoSocket) {
#ifdef _WIN32
            closesocket(m_socket);
#else
            ::close(m_socket);
#endif
        }
        m_socket = s;
    }

private:
    NativeSocket m_socket = kNoSocket;
};

// Waits until the socket is readable (or writable); false on time-out or failure.
// timeoutMs < 0 waits without limit.
inline bool WaitSocket(const Socket& s, bool forWrite, int timeoutMs) {
#ifdef _WIN32
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s.Get(), &set);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int r = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr,
                         timeoutMs < 0 ? nullptr : &tv);
    return r > 0;
#else
    pollfd p{s.Get(), static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    for (;;) {
        const int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        return r > 0;
    }
#endif
}
inline bool WaitReadable(const Socket& s, int timeoutMs) { return WaitSocket(s, false, timeoutMs); }
inline bool WaitWritable(const Socket& s, int timeoutMs) { return WaitSocket(s, true, timeoutMs); }

inline bool SetIntOption(const Socket& s, int level, int name, int value) {
    return setsockopt(s.Get(), level, name, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}
inline bool SetNoDelay(const Socket& s) { return SetIntOption(s, IPPROTO_TCP, TCP_NODELAY, 1); }
// Small buffers make a socket that stops taking bytes once its peer stops reading.
inline bool SetSendBuffer(const Socket& s, int bytes) {
    return SetIntOption(s, SOL_SOCKET, SO_SNDBUF, bytes);
}
inline bool SetReceiveBuffer(const Socket& s, int bytes) {
    return SetIntOption(s, SOL_SOCKET, SO_RCVBUF, bytes);
}

// Sends every byte (blocking); false when the connection fails first.
inline bool WriteAll(const Socket& s, const void* data, size_t length) {
    const char* p = static_cast<const char*>(data);
    while (length > 0) {
        const int chunk = static_cast<int>(length > 1u << 20 ? 1u << 20 : length);
#ifdef _WIN32
        const int n = send(s.Get(), p, chunk, 0);
#else
        const ssize_t n = ::send(s.Get(), p, static_cast<size_t>(chunk), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
#endif
        if (n <= 0) return false;
        p += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}
inline bool WriteAll(const Socket& s, const std::string& data) {
    return WriteAll(s, data.data(), data.size());
}

// One recv of at most `size` bytes: > 0 bytes, 0 peer closed, < 0 failure.
inline int ReceiveSome(const Socket& s, char* buffer, size_t size) {
    const int chunk = static_cast<int>(size > 1u << 20 ? 1u << 20 : size);
    for (;;) {
#ifdef _WIN32
        const int n = recv(s.Get(), buffer, chunk, 0);
#else
        const ssize_t n = ::recv(s.Get(), buffer, static_cast<size_t>(chunk), 0);
        if (n < 0 && errno == EINTR) continue;
#endif
        return static_cast<int>(n);
    }
}

// Reads until `count` bytes have arrived, the peer closes, or timeoutMs (in all) pass.
// Returns what arrived; fewer than `count` bytes means the read fell short.
inline std::string ReadExactly(const Socket& s, size_t count, int timeoutMs = 5000) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::string out;
    out.reserve(count);
    char buffer[16384];
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - Clock::now()).count();
        if (left <= 0 || !WaitReadable(s, static_cast<int>(left))) break;
        const size_t want = count - out.size() < sizeof buffer ? count - out.size() : sizeof buffer;
        const int n = ReceiveSome(s, buffer, want);
        if (n <= 0) break;
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

// Reads everything until nothing has arrived for quietMs, the peer closes, or
// limitMs (in all) pass. `closed`, when given, tells whether the peer closed.
inline std::string ReadUntilQuiet(const Socket& s, int quietMs = 200, int limitMs = 10000,
                                  bool* closed = nullptr) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    std::string out;
    char buffer[16384];
    if (closed) *closed = false;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - Clock::now()).count();
        if (left <= 0) break;
        if (!WaitReadable(s, static_cast<int>(left < quietMs ? left : quietMs))) break;
        const int n = ReceiveSome(s, buffer, sizeof buffer);
        if (n <= 0) {
            if (closed) *closed = true;
            break;
        }
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

// Half close: the peer reads end of stream, this side may still read.
inline bool ShutdownWrite(const Socket& s) {
#ifdef _WIN32
    return shutdown(s.Get(), SD_SEND) == 0;
#else
    return ::shutdown(s.Get(), SHUT_WR) == 0;
#endif
}

// Closes with SO_LINGER 0, so the peer gets a reset instead of an orderly end.
inline void AbortiveClose(Socket& s) {
    if (!s.Valid()) return;
    linger l{};
    l.l_onoff = 1;
    l.l_linger = 0;
    setsockopt(s.Get(), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof l);
    s.Reset();
}

// A listening socket on 127.0.0.1 (port 0: any free port).
class Listener {
public:
    bool Open(uint16_t port = 0, int backlog = 16) {
        if (!StartSockets()) return false;
        m_socket = Socket(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        if (!m_socket.Valid()) return false;
#ifndef _WIN32
        SetIntOption(m_socket, SOL_SOCKET, SO_REUSEADDR, 1);
#endif
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(port);
        if (bind(m_socket.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 ||
            listen(m_socket.Get(), backlog) != 0) {
            m_socket.Reset();
            return false;
        }
        socklen_t len = sizeof addr;
        if (getsockname(m_socket.Get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            m_socket.Reset();
            return false;
        }
        m_port = ntohs(addr.sin_port);
        return true;
    }
    uint16_t Port() const { return m_port; }
    const Socket& Get() const { return m_socket; }
    // Accepts one connection within timeoutMs; an invalid Socket otherwise.
    Socket Accept(int timeoutMs = 5000) const {
        if (!m_socket.Valid() || !WaitReadable(m_socket, timeoutMs)) return Socket();
        Socket s(accept(m_socket.Get(), nullptr, nullptr));
        if (s.Valid()) SetNoDelay(s);
        return s;
    }

private:
    Socket m_socket;
    uint16_t m_port = 0;
};

// Connects to 127.0.0.1:port (blocking); an invalid Socket on failure.
inline Socket ConnectLoopback(uint16_t port) {
    if (!StartSockets()) return Socket();
    Socket s(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!s.Valid()) return s;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (connect(s.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return Socket();
    SetNoDelay(s);
    return s;
}

// Two connected sockets: `client` made the connection, `server` accepted it.
// Both have Nagle's delay switched off so small writes go out as written.
struct SocketPair {
    Socket client;
    Socket server;
    bool Valid() const { return client.Valid() && server.Valid(); }
};

// Options applied to the client socket before it connects (buffer sizes must be set
// before the connection is made to take full effect).
struct SocketPairOptions {
    int clientSendBuffer = 0;     // 0: system default
    int clientReceiveBuffer = 0;
    int serverSendBuffer = 0;
    int serverReceiveBuffer = 0;
};

inline SocketPair MakeSocketPair(const SocketPairOptions& options = {}) {
    SocketPair pair;
    Listener listener;
    if (!listener.Open()) return pair;
    // Buffer sizes given to the listener are inherited by the accepted socket.
    if (options.serverSendBuffer > 0) SetSendBuffer(listener.Get(), options.serverSendBuffer);
    if (options.serverReceiveBuffer > 0)
        SetReceiveBuffer(listener.Get(), options.serverReceiveBuffer);
    Socket client(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!client.Valid()) return pair;
    if (options.clientSendBuffer > 0) SetSendBuffer(client, options.clientSendBuffer);
    if (options.clientReceiveBuffer > 0) SetReceiveBuffer(client, options.clientReceiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(listener.Port());
    if (connect(client.Get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        return pair;
    SetNoDelay(client);
    pair.server = listener.Accept();
    if (pair.server.Valid()) pair.client = std::move(client);
    return pair;
}

// Sends without blocking until the socket takes no more bytes for settleMs (its peer
// not reading); returns the bytes that went in. Makes a socket unwritable on purpose.
inline size_t FillUntilUnwritable(const Socket& s, int settleMs = 100) {
    size_t total = 0;
    char chunk[4096];
    std::memset(chunk, 'f', sizeof chunk);
#ifdef _WIN32
    u_long on = 1;
    ioctlsocket(s.Get(), FIONBIO, &on);
#endif
    for (;;) {
#ifdef _WIN32
        const int n = send(s.Get(), chunk, sizeof chunk, 0);
        const bool wouldBlock = n < 0 && WSAGetLastError() == WSAEWOULDBLOCK;
#else
        const ssize_t n = ::send(s.Get(), chunk, sizeof chunk, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        const bool wouldBlock = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
#endif
        if (n > 0) {
            total += static_cast<size_t>(n);
            continue;
        }
        if (!wouldBlock || !WaitWritable(s, settleMs)) break;
    }
#ifdef _WIN32
    u_long off = 0;
    ioctlsocket(s.Get(), FIONBIO, &off);
#endif
    return total;
}

}  // namespace zykim::test
