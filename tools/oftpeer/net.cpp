// TCP for the OFT2 peer: IPv4 only, errors told as the failed call and its code.
#include "net.h"

#include <chrono>
#include <thread>

namespace oftpeer {

namespace net = zyk::net;

namespace {

std::string ErrorText(const char* call, int code) {
    return std::string(call) + " failed (error " + std::to_string(code) + ")";
}

bool Resolve(const Address& address, uint32_t* ip, std::string* error) {
    if (net::ResolveIpv4(address.host, ip)) return true;
    if (error) *error = "cannot resolve " + address.host;
    return false;
}

constexpr size_t kMostAtOnce = 1u << 20;

}  // namespace

bool StartNetwork() { return net::StartNetwork(); }

bool ParseAddress(const std::string& text, Address* address) {
    net::Endpoint endpoint;
    std::string reason;
    if (!net::ParseEndpoint(text, &endpoint, &reason)) return false;
    address->host = endpoint.host;
    address->port = endpoint.port;
    return true;
}

Socket Listen(const Address& address, std::string* error) {
    if (!StartNetwork()) {
        *error = "cannot start Windows Sockets";
        return Socket();
    }
    uint32_t ip = 0;
    if (!Resolve(address, &ip, error)) return Socket();
    Socket s = net::NewIpv4Socket();
    if (!s.Valid()) {
        *error = ErrorText("socket", net::LastError());
        return Socket();
    }
    net::ReuseAddress(s.Get());
    if (!net::BindIpv4(s.Get(), ip, address.port)) {
        *error = ErrorText("bind", net::LastError()) + " on " + address.Text();
        return Socket();
    }
    if (!net::StartListening(s.Get(), 4)) {
        *error = ErrorText("listen", net::LastError());
        return Socket();
    }
    return s;
}

uint16_t LocalPort(const Socket& socket) { return net::LocalPort(socket.Get()); }

Socket Accept(const Socket& listener, int timeoutMs, std::string* error) {
    const int ready = net::Wait(listener.Get(), false, timeoutMs);
    if (ready <= 0) {
        *error = ready == 0 ? "no connection within the time-out"
                            : ErrorText("select", net::LastError());
        return Socket();
    }
    std::string reason;
    Socket s = net::Accept(listener.Get(), &reason);
    if (!s.Valid()) *error = ErrorText("accept", net::LastError());
    return s;
}

Socket Connect(const Address& address, int timeoutMs, std::string* error) {
    if (!StartNetwork()) {
        *error = "cannot start Windows Sockets";
        return Socket();
    }
    uint32_t ip = 0;
    if (!Resolve(address, &ip, error)) return Socket();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        Socket s = net::NewIpv4Socket();
        if (!s.Valid()) {
            *error = ErrorText("socket", net::LastError());
            return Socket();
        }
        if (net::ConnectIpv4(s.Get(), ip, address.port)) return s;
        const int code = net::LastError();
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
    net::SetBlocking(socket.Get(), false);
    bool ok = true;
    while (length > 0) {
        const int chunk = static_cast<int>(length > kMostAtOnce ? kMostAtOnce : length);
        const int n = net::SendSome(socket.Get(), p, chunk);
        if (n > 0) {
            p += n;
            length -= static_cast<size_t>(n);
            continue;
        }
        const int code = net::LastError();
        if (n == net::kNothingPending) {
            const int ready = net::Wait(socket.Get(), true, timeoutMs);
            if (ready > 0) continue;
            if (error) *error = ready == 0 ? "the peer took no data within the time-out"
                                           : ErrorText("select", net::LastError());
        } else if (error) {
            *error = ErrorText("send", code);
        }
        ok = false;
        break;
    }
    net::SetBlocking(socket.Get(), true);
    return ok;
}

ReadStatus ReadExactly(const Socket& socket, void* buffer, size_t length, int timeoutMs,
                       size_t* received, std::string* error) {
    char* p = static_cast<char*>(buffer);
    size_t got = 0;
    ReadStatus status = ReadStatus::kComplete;
    while (got < length) {
        const int ready = net::Wait(socket.Get(), false, timeoutMs);
        if (ready <= 0) {
            status = ready == 0 ? ReadStatus::kTimedOut : ReadStatus::kFailed;
            if (ready < 0 && error) *error = ErrorText("select", net::LastError());
            break;
        }
        const size_t left = length - got;
        const int want = static_cast<int>(left > kMostAtOnce ? kMostAtOnce : left);
        const int n = net::Receive(socket.Get(), p + got, want);
        if (n == 0) {
            status = ReadStatus::kClosed;
            break;
        }
        if (n < 0) {
            status = ReadStatus::kFailed;
            if (error) *error = ErrorText("recv", net::LastError());
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

void ShutdownSend(const Socket& socket) { net::ShutdownSend(socket.Get()); }

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
