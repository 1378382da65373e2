// IP addresses as values: IPv4 or IPv6 in network byte order, their text forms, and the
// addresses of a connected socket. The type is the same on every system; the text
// conversions and the socket queries are the system's (socket_calls.cpp, posix/, win32/).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/net.h"

namespace zyk::net {

struct IpAddress {
    enum class Family : uint8_t { kNone, kV4, kV6 };
    Family family = Family::kNone;
    // Network byte order. IPv4 uses the first 4 bytes; the others stay zero, so that
    // equal addresses compare equal byte for byte.
    std::array<uint8_t, 16> bytes{};

    static IpAddress V4(const uint8_t* four);
    static IpAddress V6(const uint8_t* sixteen);
    bool Valid() const { return family != Family::kNone; }
    bool IsV4() const { return family == Family::kV4; }
    bool IsV6() const { return family == Family::kV6; }
    // 4, 16, or 0 for no address.
    size_t Size() const;
    // An IPv6 address of the form ::ffff:a.b.c.d (what a dual-stack socket shows for an
    // IPv4 peer).
    bool IsV4Mapped() const;
    // The IPv4 address a mapped one carries; any other address unchanged.
    IpAddress Unmapped() const;
    // An IPv4 address as ::ffff:a.b.c.d; any other address unchanged.
    IpAddress Mapped() const;
};

bool operator==(const IpAddress& a, const IpAddress& b);
inline bool operator!=(const IpAddress& a, const IpAddress& b) { return !(a == b); }

// Reads a dotted IPv4 address ("203.0.113.5") or IPv6 text ("2001:db8::5",
// "::ffff:10.0.0.1"), nothing else: no brackets, no zone, no port, no shortened IPv4
// forms. False for anything else.
bool ParseIpAddress(const std::string& text, IpAddress* out);
// The text ParseIpAddress reads back ("" for no address); IPv6 in its shortest form.
std::string FormatIpAddress(const IpAddress& address);

// An address with a port.
struct IpEndpoint {
    IpAddress address;
    uint16_t port = 0;
};
inline bool operator==(const IpEndpoint& a, const IpEndpoint& b) {
    return a.address == b.address && a.port == b.port;
}
// "203.0.113.5:5190" or "[2001:db8::5]:5190".
std::string FormatIpEndpoint(const IpEndpoint& endpoint);

// The IPv4 and IPv6 addresses of a host name (an address text gives itself), in the
// system's order; false and a reason when there is none. It waits as long as the
// system's resolver does.
bool ResolveAddresses(const std::string& host, std::vector<IpAddress>* out, std::string* error);

// The local address and port a socket is bound to (for a connected socket, the address
// the system chose for it), and the address of its peer. False when the socket has
// none (not an IP socket, not connected).
bool LocalAddress(SocketId socket, IpEndpoint* out);
bool PeerAddress(SocketId socket, IpEndpoint* out);

// For a connection that a firewall REDIRECT rule sent to this host's listener: the
// destination the client asked for (Linux netfilter: SO_ORIGINAL_DST for IPv4,
// IP6T_SO_ORIGINAL_DST for IPv6). False and a reason when the system does not know it
// (no redirect and no connection tracking, or not Linux).
bool OriginalDestination(SocketId socket, IpEndpoint* out, std::string* error);

}  // namespace zyk::net
