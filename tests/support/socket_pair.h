// Connected TCP sockets on 127.0.0.1 for tests, on Windows and POSIX alike: a listener,
// a connected pair, and the helpers tests need to drive and break a connection. The
// sockets are the tools' common socket layer; the system's socket headers come along
// for tests that make a call of their own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "common/net.h"
#include "common/sockets.h"

namespace zykim::test {

#ifdef _WIN32
using NativeSocket = SOCKET;
#else
using NativeSocket = int;
#endif

using Socket = zyk::net::Socket;

// Starts Windows Sockets once per process (and never stops it: tests end with the
// process). Nothing to do on POSIX.
inline bool StartSockets() { return zyk::net::StartNetwork(); }

// Waits until the socket is readable (or writable); false on time-out or failure.
// timeoutMs < 0 waits without limit.
inline bool WaitSocket(const Socket& s, bool forWrite, int timeoutMs) {
    return zyk::net::Wait(s.Get(), forWrite, timeoutMs) > 0;
}
inline bool WaitReadable(const Socket& s, int timeoutMs) { return WaitSocket(s, false, timeoutMs); }
inline bool WaitWritable(const Socket& s, int timeoutMs) { return WaitSocket(s, true, timeoutMs); }

// Small buffers make a socket that stops taking bytes once its peer stops reading.
inline bool SetSendBuffer(const Socket& s, int bytes) { return zyk::net::SetSendBuffer(s.Get(), bytes); }
inline bool SetReceiveBuffer(const Socket& s, int bytes) {
    return zyk::net::SetReceiveBuffer(s.Get(), bytes);
}

// Sends every byte (blocking); false when the connection fails first.
inline bool WriteAll(const Socket& s, const void* data, size_t length) {
    return zyk::net::SendAll(s.Get(), static_cast<const char*>(data), length);
}
inline bool WriteAll(const Socket& s, const std::string& data) {
    return WriteAll(s, data.data(), data.size());
}

// One recv of at most `size` bytes: > 0 bytes, 0 peer closed, < 0 failure.
inline int ReceiveSome(const Socket& s, char* buffer, size_t size) {
    return zyk::net::Receive(s.Get(), buffer, static_cast<int>(size > 1u << 20 ? 1u << 20 : size));
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
inline bool ShutdownWrite(const Socket& s) { return zyk::net::ShutdownSend(s.Get()); }

// Closes with SO_LINGER 0, so the peer gets a reset instead of an orderly end.
inline void AbortiveClose(Socket& s) {
    if (!s.Valid()) return;
    zyk::net::ResetOnClose(s.Get());
    s.Reset();
}

// A listening socket on 127.0.0.1 (port 0: any free port).
class Listener {
public:
    bool Open(uint16_t port = 0, int backlog = 16) {
        m_socket = zyk::net::ListenLoopback(port, backlog);
        m_port = m_socket.Valid() ? zyk::net::LocalPort(m_socket.Get()) : 0;
        if (m_port == 0) m_socket.Reset();
        return m_socket.Valid();
    }
    uint16_t Port() const { return m_port; }
    const Socket& Get() const { return m_socket; }
    // Accepts one connection within timeoutMs; an invalid Socket otherwise.
    Socket Accept(int timeoutMs = 5000) const {
        if (!m_socket.Valid() || !WaitReadable(m_socket, timeoutMs)) return Socket();
        std::string error;
        return zyk::net::Accept(m_socket.Get(), &error);
    }

private:
    Socket m_socket;
    uint16_t m_port = 0;
};

// Connects to 127.0.0.1:port (blocking); an invalid Socket on failure.
inline Socket ConnectLoopback(uint16_t port) { return zyk::net::ConnectLoopback(port); }

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
    Socket client = zyk::net::NewIpv4Socket();
    if (!client.Valid()) return pair;
    if (options.clientSendBuffer > 0) SetSendBuffer(client, options.clientSendBuffer);
    if (options.clientReceiveBuffer > 0) SetReceiveBuffer(client, options.clientReceiveBuffer);
    if (!zyk::net::ConnectIpv4(client.Get(), zyk::net::kLoopbackIpv4, listener.Port())) return pair;
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
    zyk::net::SetBlocking(s.Get(), false);
    for (;;) {
        const int n = zyk::net::SendSome(s.Get(), chunk, sizeof chunk);
        if (n > 0) {
            total += static_cast<size_t>(n);
            continue;
        }
        if (n != zyk::net::kNothingPending || !WaitWritable(s, settleMs)) break;
    }
    zyk::net::SetBlocking(s.Get(), true);
    return total;
}

}  // namespace zykim::test
