// Sockets for the tools, the tests and the benchmarks: listening, connecting, waiting
// for readable sockets and moving bytes, with the same meaning on POSIX and Windows
// Sockets. The system's socket headers stay in posix/ and win32/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/endpoint.h"

namespace zyk::net {

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
    // The socket number a host puts into its connection record.
    int32_t Number() const { return static_cast<int32_t>(m_id); }
    SocketId Release() {
        const SocketId id = m_id;
        m_id = kNoSocket;
        return id;
    }
    void Close();
    void Reset(SocketId id = kNoSocket) {
        Close();
        m_id = id;
    }

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

// Starts the socket library once for the whole process and never stops it, for programs
// and tests that use sockets until they end (NetworkSession for one that cleans up).
bool StartNetwork();

// Every socket made here is blocking and is not inherited by child processes.
Socket Listen(const Endpoint& where, int backlog, std::string* error);
// The port the socket is bound to (the one chosen by the system for port 0).
uint16_t LocalPort(SocketId socket);
// Accepts one waiting client; an invalid socket (and a reason) when none could be taken.
Socket Accept(SocketId listener, std::string* error);
// Connects within timeoutMs; an invalid socket and a reason on failure.
Socket Connect(const Endpoint& where, int timeoutMs, std::string* error);
// Why a connection could not be made, in the classes a proxy reports to its client.
enum class ConnectError { None, NoSuchName, NetworkUnreachable, HostUnreachable, Refused, TimedOut, Cancelled, Other };
struct ConnectAttempt {
    int timeoutMs = 10000;       // for all the addresses of the name together
    SocketId cancel = kNoSocket;  // once readable, the attempt gives up (a proxy stopping)
    ConnectError error = ConnectError::None;  // set by Connect
};
// Connects as above, within the attempt's time and until its cancel socket is readable;
// on failure attempt->error says which kind.
Socket Connect(const Endpoint& where, ConnectAttempt* attempt, std::string* error);
// True when the host name resolves to at least one address; false and a reason.
bool Resolves(const Endpoint& where, std::string* error);
// Connects to a local (Unix-domain) stream socket; an invalid socket and a reason on
// failure, and on Windows, which zykproxy does not support them on.
Socket ConnectLocal(const std::string& path, std::string* error);
// Sends on the socket fail (SendAll returns false) once one waits longer than timeoutMs.
void SetSendTimeout(SocketId socket, int timeoutMs);

// Events reported by Poll (all of them count as "something to look at").
enum : unsigned { kReadable = 1, kHangUp = 2, kError = 4, kInvalid = 8 };
struct PollEntry {
    SocketId socket = kNoSocket;
    // False: the socket's receiving direction has ended, and only a reset (or both
    // directions having ended) is of interest. Where the system cannot report that
    // without also reporting the ended direction (Windows), the socket is left out of
    // the wait and reports nothing: see kPollReportsResets.
    bool watchRead = true;
    unsigned events = 0;  // filled by Poll
};
// Whether Poll reports kHangUp/kError for a socket polled with watchRead false.
extern const bool kPollReportsResets;
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
// ReceiveNow for a socket that does not block (SetBlocking false): one system call.
int ReceiveSome(SocketId socket, char* buffer, int size);
// Sends every byte, waiting as long as it takes; false on failure (never SIGPIPE).
bool SendAll(SocketId socket, const char* data, size_t length);
// Ends the sending direction (the peer reads end of stream), keeping the receiving one.
bool ShutdownSend(SocketId socket);
// Ends both directions from any thread: a send or receive that another thread has
// blocked on the socket fails or returns at once, and so does every later one. The
// socket itself stays open (and its number taken) until its owner closes it.
void Interrupt(SocketId socket);

// One receive that waits for data: a count > 0, 0 when the peer has closed, or kFailed.
int Receive(SocketId socket, char* buffer, int size);
// One send: the count taken, kNothingPending when a non-blocking socket takes nothing
// now, or kFailed (never SIGPIPE).
int SendSome(SocketId socket, const char* data, int length);
// Waits up to timeoutMs (-1: no limit) until the socket is readable (or writable):
// 1 when it is, 0 on time-out, -1 on failure.
int Wait(SocketId socket, bool forWrite, int timeoutMs);
void SetBlocking(SocketId socket, bool blocking);
// Sends small writes at once (no Nagle delay).
void SetNoDelay(SocketId socket);
// The socket's buffer sizes; set them before connecting for them to take full effect.
bool SetSendBuffer(SocketId socket, int bytes);
bool SetReceiveBuffer(SocketId socket, int bytes);

// IPv4 stream sockets step by step, for loopback connections and the tools that speak
// IPv4 only. Addresses are in host byte order.
constexpr uint32_t kLoopbackIpv4 = 0x7F000001;  // 127.0.0.1
// A dotted address, or the first IPv4 address of a name.
bool ResolveIpv4(const std::string& host, uint32_t* address);
// A new blocking IPv4 TCP socket that child processes do not inherit.
Socket NewIpv4Socket();
// Lets a listener take a port that closed connections still hold (POSIX). Nothing on
// Windows, where the option would let two sockets share a port.
void ReuseAddress(SocketId socket);
bool BindIpv4(SocketId socket, uint32_t address, uint16_t port);
bool StartListening(SocketId socket, int backlog);
// Connects, waiting as long as the system does; Nagle's delay switched off.
bool ConnectIpv4(SocketId socket, uint32_t address, uint16_t port);
// A listener on 127.0.0.1 (port 0: any free port); an invalid socket on failure.
Socket ListenLoopback(uint16_t port, int backlog);
// A connection to 127.0.0.1:port; an invalid socket on failure.
Socket ConnectLoopback(uint16_t port);

// The code of the last socket error of this thread (errno, or WSAGetLastError).
int LastError();

// How much of what was sent a socket's peer has taken, to tell a peer that has stopped
// reading: a count that grows whenever the peer acknowledges bytes (always 0 where the
// system keeps no such count, as on Windows), and whether the socket would take more
// bytes now without blocking (when it would, nothing is waiting for the peer).
struct SendProgress {
    uint64_t acknowledged = 0;
    bool writable = false;
};
SendProgress GetSendProgress(SocketId socket);

// What a socket's peer has done, found out without taking any of its data: still
// sending (or nothing to tell yet), ended its sending direction in order, or reset
// the connection. A reset that comes after the end of the stream shows only as a
// failed empty send: sendOpen says whether this side may still send (else an ended
// stream is reported as Ended).
enum class PeerState { Open, Ended, Reset };
PeerState ProbePeer(SocketId socket, bool sendOpen);
// Has the socket's close reset the connection (SO_LINGER 0) instead of ending it in
// order: what a proxy passes on when the other side reset its connection.
void ResetOnClose(SocketId socket);

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

}  // namespace zyk::net
