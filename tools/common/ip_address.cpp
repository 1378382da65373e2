// The IP address value: construction, comparison and IPv4-mapped forms.
#include "common/ip_address.h"

#include <algorithm>
#include <cstring>

namespace zyk::net {

namespace {

constexpr uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};

}  // namespace

IpAddress IpAddress::V4(const uint8_t* four) {
    IpAddress a;
    a.family = Family::kV4;
    std::copy(four, four + 4, a.bytes.begin());
    return a;
}

IpAddress IpAddress::V6(const uint8_t* sixteen) {
    IpAddress a;
    a.family = Family::kV6;
    std::copy(sixteen, sixteen + 16, a.bytes.begin());
    return a;
}

size_t IpAddress::Size() const {
    switch (family) {
        case Family::kV4: return 4;
        case Family::kV6: return 16;
        case Family::kNone: break;
    }
    return 0;
}

bool IpAddress::IsV4Mapped() const {
    return IsV6() && std::memcmp(bytes.data(), kMappedPrefix, sizeof kMappedPrefix) == 0;
}

IpAddress IpAddress::Unmapped() const { return IsV4Mapped() ? V4(bytes.data() + 12) : *this; }

IpAddress IpAddress::Mapped() const {
    if (!IsV4()) return *this;
    uint8_t v6[16];
    std::memcpy(v6, kMappedPrefix, sizeof kMappedPrefix);
    std::memcpy(v6 + 12, bytes.data(), 4);
    return V6(v6);
}

bool operator==(const IpAddress& a, const IpAddress& b) {
    return a.family == b.family && a.bytes == b.bytes;
}

std::string FormatIpEndpoint(const IpEndpoint& endpoint) {
    const std::string host = FormatIpAddress(endpoint.address);
    return (endpoint.address.IsV6() ? "[" + host + "]" : host) + ":" + std::to_string(endpoint.port);
}

}  // namespace zyk::net
