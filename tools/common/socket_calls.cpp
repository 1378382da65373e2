// The socket calls that POSIX and Windows Sockets spell alike: address lookup, socket
// options, IPv4 bind and connect, the local port, IP address texts and a socket's
// addresses.
#include <cstring>

#include "common/deadline.h"
#include "common/ip_address.h"
#include "common/native_socket.h"

namespace zyk::net {

namespace {

sockaddr_in Ipv4Address(uint32_t address, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(address);
    a.sin_port = htons(port);
    return a;
}

// The addresses getaddrinfo found, freed with the object.
struct AddressList {
    addrinfo* list = nullptr;
    AddressList() = default;
    AddressList(const AddressList&) = delete;
    AddressList& operator=(const AddressList&) = delete;
    ~AddressList() {
        if (list != nullptr) freeaddrinfo(list);
    }
};

// The TCP addresses of an endpoint (passive: to listen on); false and a reason.
bool Resolve(const Endpoint& where, bool passive, AddressList* out, std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = passive ? AI_PASSIVE : 0;
    const std::string port = std::to_string(where.port);
    const int rc = getaddrinfo(where.host.c_str(), port.c_str(), &hints, &out->list);
    if (rc != 0) {
        *error = "cannot resolve " + where.host + ": " + ResolveErrorText(rc);
        return false;
    }
    return true;
}

// Tries the addresses of `where` in turn, each with a new socket, until `use` takes one
// (true); an invalid socket and the last reason otherwise.
template <typename Use>
Socket FirstAddressThatWorks(const Endpoint& where, bool passive, std::string* error, Use use) {
    AddressList addresses;
    if (!Resolve(where, passive, &addresses, error)) return Socket();
    for (addrinfo* a = addresses.list; a != nullptr; a = a->ai_next) {
        Socket s = NewSocket(a->ai_family, a->ai_socktype, a->ai_protocol);
        if (!s.Valid()) {
            *error = "socket: " + LastErrorText();
            continue;
        }
        if (use(s.Get(), *a)) return s;
    }
    return Socket();
}

// The address of an IPv4 or IPv6 socket address; false for any other family.
bool FromSocketAddress(const sockaddr_storage& address, IpEndpoint* out) {
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        out->address = IpAddress::V4(reinterpret_cast<const uint8_t*>(&v4.sin_addr));
        out->port = ntohs(v4.sin_port);
        return true;
    }
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        out->address = IpAddress::V6(reinterpret_cast<const uint8_t*>(&v6.sin6_addr));
        out->port = ntohs(v6.sin6_port);
        return true;
    }
    return false;
}

// Only the characters of the plain forms and no leading zeros in a dotted part, so that
// every system reads the same texts (some also take a zone, or octal parts).
bool PlainAddressText(const std::string& text, bool v6) {
    const char* allowed = v6 ? "0123456789abcdefABCDEF:." : "0123456789.";
    if (text.empty() || text.size() > 45 || text.find_first_not_of(allowed) != std::string::npos)
        return false;
    if (text.find('.') == std::string::npos) return true;
    const size_t dotted = v6 ? text.rfind(':') + 1 : 0;
    for (size_t i = dotted; i + 1 < text.size(); ++i) {
        const bool partStart = i == dotted || text[i - 1] == '.';
        if (partStart && text[i] == '0' && text[i + 1] != '.') return false;
    }
    return true;
}

}  // namespace

bool ParseIpAddress(const std::string& text, IpAddress* out) {
    uint8_t bytes[16] = {};
    if (text.find(':') == std::string::npos) {
        if (!PlainAddressText(text, false) || inet_pton(AF_INET, text.c_str(), bytes) != 1)
            return false;
        *out = IpAddress::V4(bytes);
        return true;
    }
    if (!PlainAddressText(text, true) || inet_pton(AF_INET6, text.c_str(), bytes) != 1) return false;
    *out = IpAddress::V6(bytes);
    return true;
}

std::string FormatIpAddress(const IpAddress& address) {
    if (!address.Valid()) return std::string();
    char text[64] = {};
    const int family = address.IsV4() ? AF_INET : AF_INET6;
    if (inet_ntop(family, address.bytes.data(), text, sizeof text) == nullptr) return std::string();
    return text;
}

bool LocalAddress(SocketId socket, IpEndpoint* out) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(Native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
    return FromSocketAddress(address, out);
}

bool PeerAddress(SocketId socket, IpEndpoint* out) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(Native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
    return FromSocketAddress(address, out);
}

bool Resolves(const Endpoint& where, std::string* error) {
    AddressList addresses;
    return Resolve(where, false, &addresses, error);
}

bool ResolveAddresses(const std::string& host, std::vector<IpAddress>* out, std::string* error) {
    AddressList addresses;
    if (!Resolve(Endpoint{host, 0}, false, &addresses, error)) return false;
    for (const addrinfo* a = addresses.list; a != nullptr; a = a->ai_next) {
        sockaddr_storage address{};
        if (a->ai_addrlen > sizeof address) continue;
        std::memcpy(&address, a->ai_addr, a->ai_addrlen);
        IpEndpoint found;
        if (FromSocketAddress(address, &found)) out->push_back(found.address);
    }
    if (out->empty()) *error = "cannot resolve " + host + ": no IP address";
    return !out->empty();
}

Socket Listen(const Endpoint& where, int backlog, std::string* error) {
    return FirstAddressThatWorks(where, true, error, [&](SocketId s, const addrinfo& a) {
        PrepareToListen(s);
        if (::bind(Native(s), a.ai_addr, static_cast<socklen_t>(a.ai_addrlen)) != 0) {
            *error = "bind " + FormatEndpoint(where) + ": " + LastErrorText();
            return false;
        }
        if (!StartListening(s, backlog)) {
            *error = "listen: " + LastErrorText();
            return false;
        }
        return true;
    });
}

Socket Connect(const Endpoint& where, int timeoutMs, std::string* error) {
    ConnectAttempt attempt;
    attempt.timeoutMs = timeoutMs;
    return Connect(where, &attempt, error);
}

Socket Connect(const Endpoint& where, ConnectAttempt* attempt, std::string* error) {
    const Deadline deadline(attempt->timeoutMs);
    attempt->error = ConnectError::NoSuchName;
    return FirstAddressThatWorks(where, false, error, [&](SocketId s, const addrinfo& a) {
        // A non-blocking connect bounds the wait; the socket is blocking again afterwards.
        // The addresses of a name share the one time limit.
        SetBlocking(s, false);
        const ConnectResult result = ConnectWithin(s, a.ai_addr, static_cast<socklen_t>(a.ai_addrlen),
                                                   deadline.LeftMs(), attempt->cancel);
        if (result != ConnectResult::kConnected) {
            attempt->error = result == ConnectResult::kTimedOut    ? ConnectError::TimedOut
                             : result == ConnectResult::kCancelled ? ConnectError::Cancelled
                                                                   : ClassifyConnectError(LastError());
            *error = "connect " + FormatEndpoint(where) + ": " +
                     (result == ConnectResult::kTimedOut    ? "timed out"
                      : result == ConnectResult::kCancelled ? "cancelled"
                                                            : LastErrorText());
            return false;
        }
        attempt->error = ConnectError::None;
        SetBlocking(s, true);
        SetNoDelay(s);
        return true;
    });
}

Socket NewIpv4Socket() { return NewSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP); }

bool SetIntOption(SocketId socket, int level, int name, int value) {
    return setsockopt(Native(socket), level, name, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}

void SetNoDelay(SocketId socket) { SetIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1); }

bool SetSendBuffer(SocketId socket, int bytes) {
    return SetIntOption(socket, SOL_SOCKET, SO_SNDBUF, bytes);
}

bool SetReceiveBuffer(SocketId socket, int bytes) {
    return SetIntOption(socket, SOL_SOCKET, SO_RCVBUF, bytes);
}

void ResetOnClose(SocketId socket) {
    const linger abort{1, 0};
    setsockopt(Native(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort),
               sizeof abort);
}

bool ResolveIpv4(const std::string& host, uint32_t* address) {
    in_addr parsed{};
    if (inet_pton(AF_INET, host.c_str(), &parsed) != 1) {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
        parsed = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
        freeaddrinfo(found);
    }
    *address = ntohl(parsed.s_addr);
    return true;
}

bool BindIpv4(SocketId socket, uint32_t address, uint16_t port) {
    const sockaddr_in a = Ipv4Address(address, port);
    return ::bind(Native(socket), reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

bool StartListening(SocketId socket, int backlog) { return ::listen(Native(socket), backlog) == 0; }

bool ConnectIpv4(SocketId socket, uint32_t address, uint16_t port) {
    const sockaddr_in a = Ipv4Address(address, port);
    if (::connect(Native(socket), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) return false;
    SetNoDelay(socket);
    return true;
}

uint16_t LocalPort(SocketId socket) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(Native(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return 0;
}

}  // namespace zyk::net
