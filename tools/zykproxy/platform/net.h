// Sockets for the proxy host: listening, connecting, waiting for readable sockets and
// moving bytes, with the same meaning on POSIX and Windows Sockets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zykproxy::net {

// A POSIX descriptor or a Windows SOCKET; both fit in the plug-in's 32-bit socket field.
using SocketId = std::intptr_t;
constexpr SocketId kNoSocket = -1;

// Owns one socket and closes it.
class Socket {
public:
    Socket() = default;
    explicit Socket(SocketId id) : m_id(id) {}
    Socket(Socket&& other) noexcept : m_id(other.Release()) {}
    Socket& operator=(Socket&& other) noexcept;
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() { Close(); }

    SocketId Get() const { return m_id; }
    bool Valid() const { return m_id != kNoSocket; }
    SocketId Release() {
        const SocketId id = m_id;
        m_id = kNoSocket;
        return id;
    }
    void Close();

private:
    SocketId m_id = kNoSocket;
};

// Starts the socket library for the life of the object (Windows Sockets needs it).
class NetworkSession {
public:
    NetworkSession();
    ~NetworkSession();
    NetworkSession(const NetworkSession&) = delete;
    NetworkSession& operator=(const NetworkSession&) = delete;
    bool Ok() const { return m_ok; }

private:
    bool m_ok = false;
};

struct Endpoint {
    std::string host;
    uint16_t port = 0;
};

// "host:port" or "[v6-address]:port"; false with a reason for anything else.
bool ParseEndpoint(const std::string& text, Endpoint* out, std::string* error);
std::string FormatEndpoint(const Endpoint& endpoint);

// Every socket made here is blocking and is not inherited by child processes.
Socket Listen(const Endpoint& where, int backlog, std::string* error);
// The port the socket is bound to (the one chosen by the system for port 0).
uint16_t LocalPort(SocketId socket);
// Accepts one waiting client; an invalid socket (and a reason) when none could be taken.
Socket Accept(SocketId listener, std::string* error);
// Connects within timeoutMs; an invalid socket and a reason on failure.
Socket Connect(const Endpoint& where, int timeoutMs, std::string* error);

// Events reported by Poll (all of them count as "something to look at").
enum : unsigned { kReadable = 1, kHangUp = 2, kError = 4, kInvalid = 8 };
struct PollEntry {
    SocketId socket = kNoSocket;
    unsigned events = 0;  // filled by Poll
};
// Waits up to timeoutMs (-1: no limit) until one of the sockets is readable, hung up or
// failed. Returns the number of entries with events, 0 on time-out or interruption, -1
// on failure.
int Poll(std::vector<PollEntry>& entries, int timeoutMs);

constexpr int kNothingPending = -2;
constexpr int kFailed = -1;
// Receives what is pending without waiting: a count > 0, 0 when the peer has closed,
// kNothingPending, or kFailed.
int ReceiveNow(SocketId socket, char* buffer, int size);
// Waits up to timeoutMs (-1: no limit) for data, then as ReceiveNow.
int ReceiveWait(SocketId socket, char* buffer, int size, int timeoutMs);
// Sends every byte, waiting as long as it takes; false on failure (never SIGPIPE).
bool SendAll(SocketId socket, const char* data, size_t length);
// Ends the sending direction (the peer reads end of stream), keeping the receiving one.
void ShutdownSend(SocketId socket);

// The text of the last socket error of this thread.
std::string LastErrorText();

// A connected pair of sockets for waking a thread that sits in Poll. Signal is safe in
// a signal handler; the read side stays readable until Drain.
class WakePair {
public:
    bool Open(std::string* error);
    void Signal();
    void Drain();
    SocketId ReadSide() const { return m_read.Get(); }

private:
    Socket m_read;
    Socket m_write;
};

}  // namespace zykproxy::net
