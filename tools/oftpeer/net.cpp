// TCP for the OFT2 peer: the one file of the tool that speaks to the socket API.
#include "net.h"

#include <chrono>
#include <cstring>
#include <thread>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace oftpeer {

namespace {

#ifdef _WIN32
using Native = SOCKET;
int LastError() { return WSAGetLastError(); }
bool WouldBlock(int e) { return e == WSAEWOULDBLOCK; }
void CloseNative(Native s) { closesocket(s); }
#else
using Native = int;
int LastError() { return errno; }
bool WouldBlock(int e) { return e == EAGAIN || e == EWOULDBLOCK; }
void CloseNative(Native s) { ::close(s); }
#endif

Native N(const Socket& s) { return static_cast<Native>(s.Handle()); }

std::string ErrorText(const char* call, int code) {
    return std::string(call) + " failed (error " + std::to_string(code) + ")";
}

void SetNonBlocking(Native s, bool on) {
#ifdef _WIN32
    u_long value = on ? 1 : 0;
    ioctlsocket(s, FIONBIO, &value);
#else
    const int flags = fcntl(s, F_GETFL);
    fcntl(s, F_SETFL, on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK));
#endif
}

// 1 ready, 0 time-out, -1 failure.
int Wait(Native s, bool forWrite, int timeoutMs) {
#ifdef _WIN32
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    const int r = select(0, forWrite ? nullptr : &set, forWrite ? &set : nullptr, nullptr,
                         timeoutMs < 0 ? nullptr : &tv);
    return r == SOCKET_ERROR ? -1 : (r > 0 ? 1 : 0);
#else
    pollfd p{s, static_cast<short>(forWrite ? POLLOUT : POLLIN), 0};
    for (;;) {
        const int r = ::poll(&p, 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        return r < 0 ? -1 : (r > 0 ? 1 : 0);
    }
#endif
}

bool Resolve(const Address& address, sockaddr_in* out, std::string* error) {
    std::memset(out, 0, sizeof *out);
    out->sin_family = AF_INET;
    out->sin_port = htons(address.port);
    if (inet_pton(AF_INET, address.host.c_str(), &out->sin_addr) == 1) return true;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(address.host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        if (error) *error = "cannot resolve " + address.host;
        return false;
    }
    out->sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    freeaddrinfo(found);
    return true;
}

void SetNoDelay(Native s) {
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

}  // namespace

bool StartNetwork() {
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

bool ParseAddress(const std::string& text, Address* address) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size()) return false;
    const std::string port = text.substr(colon + 1);
    if (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos) return false;
    const unsigned long value = std::stoul(port);
    if (value > 65535) return false;
    address->host = text.substr(0, colon);
    address->port = static_cast<uint16_t>(value);
    return true;
}

Socket& Socket::operator=(Socket&& other) noexcept {
    if (this != &other) {
        Close();
        m_handle = other.m_handle;
        other.m_handle = kNone;
    }
    return *this;
}

void Socket::Close() {
    if (m_handle != kNone) CloseNative(static_cast<Native>(m_handle));
    m_handle = kNone;
}

Socket Listen(const Address& address, std::string* error) {
    if (!StartNetwork()) {
        *error = "cannot start Windows Sockets";
        return Socket();
    }
    sockaddr_in addr;
    if (!Resolve(address, &addr, error)) return Socket();
    Socket s(static_cast<intptr_t>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
    if (!s.Valid()) {
        *error = ErrorText("socket", LastError());
        return Socket();
    }
#ifndef _WIN32
    const int one = 1;
    setsockopt(N(s), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
    if (bind(N(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        *error = ErrorText("bind", LastError()) + " on " + address.Text();
        return Socket();
    }
    if (listen(N(s), 4) != 0) {
        *error = ErrorText("listen", LastError());
        return Socket();
    }
    return s;
}

uint16_t LocalPort(const Socket& socket) {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(N(socket), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
    return ntohs(addr.sin_port);
}

Socket Accept(const Socket& listener, int timeoutMs, std::string* error) {
    const int ready = Wait(N(listener), false, timeoutMs);
    if (ready <= 0) {
        *error = ready == 0 ? "no connection within the time-out" : ErrorText("select", LastError());
        return Socket();
    }
    const Native s = accept(N(listener), nullptr, nullptr);
    if (s == static_cast<Native>(Socket::kNone)) {
        *error = ErrorText("accept", LastError());
        return Socket();
    }
    SetNoDelay(s);
    return Socket(static_cast<intptr_t>(s));
}

Socket Connect(const Address& address, int timeoutMs, std::string* error) {
    if (!StartNetwork()) {
        *error = "cannot start Windows Sockets";
        return Socket();
    }
    sockaddr_in addr;
    if (!Resolve(address, &addr, error)) return Socket();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        Socket s(static_cast<intptr_t>(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)));
        if (!s.Valid()) {
            *error = ErrorText("socket", LastError());
            return Socket();
        }
        if (connect(N(s), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) {
            SetNoDelay(N(s));
            return s;
        }
        const int code = LastError();
        if (std::chrono::steady_clock::now() >= deadline) {
            *error = ErrorText("connect", code) + " to " + address.Text();
            return Socket();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

bool SendAll(const Socket& socket, const void* data, size_t length, int timeoutMs,
             std::string* error) {
    const char* p = static_cast<const char*>(data);
    // Non-blocking while sending, so a peer that stops reading ends in a time-out.
    SetNonBlocking(N(socket), true);
    bool ok = true;
    while (length > 0) {
        const int chunk = static_cast<int>(length > (1u << 20) ? (1u << 20) : length);
#ifdef _WIN32
        const int n = send(N(socket), p, chunk, 0);
#else
        const ssize_t n = ::send(N(socket), p, static_cast<size_t>(chunk), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
#endif
        if (n > 0) {
            p += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        const int code = LastError();
        if (n < 0 && WouldBlock(code)) {
            const int ready = Wait(N(socket), true, timeoutMs);
            if (ready > 0) continue;
            if (error) *error = ready == 0 ? "the peer took no data within the time-out"
                                           : ErrorText("select", LastError());
        } else if (error) {
            *error = ErrorText("send", code);
        }
        ok = false;
        break;
    }
    SetNonBlocking(N(socket), false);
    return ok;
}

ReadStatus ReadExactly(const Socket& socket, void* buffer, size_t length, int timeoutMs,
                       size_t* received, std::string* error) {
    char* p = static_cast<char*>(buffer);
    size_t got = 0;
    ReadStatus status = ReadStatus::kComplete;
    while (got < length) {
        const int ready = Wait(N(socket), false, timeoutMs);
        if (ready <= 0) {
            status = ready == 0 ? ReadStatus::kTimedOut : ReadStatus::kFailed;
            if (ready < 0 && error) *error = ErrorText("select", LastError());
            break;
        }
        const size_t left = length - got;
        const int want = static_cast<int>(left > (1u << 20) ? (1u << 20) : left);
#ifdef _WIN32
        const int n = recv(N(socket), p + got, want, 0);
#else
        const ssize_t n = ::recv(N(socket), p + got, static_cast<size_t>(want), 0);
        if (n < 0 && errno == EINTR) continue;
#endif
        if (n == 0) {
            status = ReadStatus::kClosed;
            break;
        }
        if (n < 0) {
            status = ReadStatus::kFailed;
            if (error) *error = ErrorText("recv", LastError());
            break;
        }
        got += static_cast<size_t>(n);
    }
    if (received) *received = got;
    return status;
}

bool WaitForClose(const Socket& socket, int timeoutMs) {
    char buffer[4096];
    for (;;) {
        size_t got = 0;
        const ReadStatus status = ReadExactly(socket, buffer, sizeof buffer, timeoutMs, &got, nullptr);
        if (status == ReadStatus::kClosed || status == ReadStatus::kFailed) return true;
        if (status == ReadStatus::kTimedOut) return false;
    }
}

void ShutdownSend(const Socket& socket) {
#ifdef _WIN32
    shutdown(N(socket), SD_SEND);
#else
    ::shutdown(N(socket), SHUT_WR);
#endif
}

std::string DescribeReadStatus(ReadStatus status) {
    switch (status) {
        case ReadStatus::kComplete: return "complete";
        case ReadStatus::kClosed: return "the peer closed the connection";
        case ReadStatus::kTimedOut: return "nothing arrived within the time-out";
        case ReadStatus::kFailed: return "the connection failed";
    }
    return "?";
}

}  // namespace oftpeer
