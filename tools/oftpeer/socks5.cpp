// The SOCKS5 client of oftpeer: the greeting with one method (no authentication), the
// CONNECT request, and the reply, whose bound address is read and dropped so that the
// connection then carries the application's bytes alone.
#include "socks5.h"

#include "common/ip_address.h"

namespace oftpeer {

namespace {

constexpr uint8_t kIpv4 = 1, kName = 3, kIpv6 = 4;

std::string Hex(uint8_t byte) {
    const char* digits = "0123456789ABCDEF";
    return {digits[byte >> 4], digits[byte & 15]};
}

// VER CMD=CONNECT RSV ATYP DST.ADDR DST.PORT; empty for a name too long to send.
std::string ConnectRequest(const Address& destination) {
    std::string request("\x05\x01\x00", 3);
    zyk::net::IpAddress address;
    if (zyk::net::ParseIpAddress(destination.host, &address)) {
        request.push_back(static_cast<char>(address.IsV4() ? kIpv4 : kIpv6));
        request.append(reinterpret_cast<const char*>(address.bytes.data()), address.Size());
    } else {
        if (destination.host.empty() || destination.host.size() > 255) return std::string();
        request.push_back(static_cast<char>(kName));
        request.push_back(static_cast<char>(destination.host.size()));
        request += destination.host;
    }
    request.push_back(static_cast<char>(destination.port >> 8));
    request.push_back(static_cast<char>(destination.port & 0xFF));
    return request;
}

bool Read(const Socket& s, uint8_t* buffer, size_t length, int timeoutMs, std::string* error) {
    size_t got = 0;
    const ReadStatus status = ReadExactly(s, buffer, length, timeoutMs, &got, error);
    if (status == ReadStatus::kComplete) return true;
    if (status != ReadStatus::kFailed) *error = DescribeReadStatus(status);
    *error = "SOCKS5 proxy: " + *error;
    return false;
}

// The reply's bound address and port, which tell nothing oftpeer needs.
bool SkipBoundAddress(const Socket& s, uint8_t type, int timeoutMs, std::string* error) {
    uint8_t buffer[255 + 2];
    size_t length = 0;
    if (type == kIpv4) {
        length = 4;
    } else if (type == kIpv6) {
        length = 16;
    } else if (type == kName) {
        if (!Read(s, buffer, 1, timeoutMs, error)) return false;
        length = buffer[0];
    } else {
        *error = "SOCKS5 proxy: a reply with an unknown address type";
        return false;
    }
    return Read(s, buffer, length + 2, timeoutMs, error);
}

}  // namespace

std::string Socks5ReplyText(uint8_t code) {
    switch (code) {
        case 0x00: return "succeeded";
        case 0x01: return "general SOCKS server failure";
        case 0x02: return "connection not allowed by ruleset";
        case 0x03: return "network unreachable";
        case 0x04: return "host unreachable";
        case 0x05: return "connection refused";
        case 0x06: return "TTL expired";
        case 0x07: return "command not supported";
        case 0x08: return "address type not supported";
    }
    return "unassigned reply code";
}

Socket ConnectThroughSocks5(const Address& proxy, const Address& destination, int timeoutMs,
                            std::string* error) {
    const std::string request = ConnectRequest(destination);
    if (request.empty()) {
        *error = "SOCKS5: the name " + destination.host + " is longer than 255 bytes";
        return Socket();
    }
    Socket s = Connect(proxy, timeoutMs, error);
    if (!s.Valid()) return Socket();
    uint8_t reply[4];
    if (!SendAll(s, "\x05\x01\x00", 3, timeoutMs, error) || !Read(s, reply, 2, timeoutMs, error))
        return Socket();
    if (reply[0] != 5 || reply[1] != 0) {
        *error = "SOCKS5 proxy " + proxy.Text() + " wants authentication (or is no SOCKS5 proxy)";
        return Socket();
    }
    if (!SendAll(s, request.data(), request.size(), timeoutMs, error) || !Read(s, reply, 4, timeoutMs, error))
        return Socket();
    if (reply[0] != 5 || reply[1] != 0) {
        *error = "SOCKS5 proxy " + proxy.Text() + " cannot connect to " + destination.Text() + ": " +
                 Socks5ReplyText(reply[1]) + " (reply " + Hex(reply[1]) + ")";
        return Socket();
    }
    if (!SkipBoundAddress(s, reply[3], timeoutMs, error)) return Socket();
    return s;
}

}  // namespace oftpeer
