// Network endpoints as the tools take them on their command lines: "host:port", or
// "[v6-address]:port" for an address that has colons of its own.
#pragma once

#include <cstdint>
#include <string>

namespace zyk::net {

struct Endpoint {
    std::string host;
    uint16_t port = 0;
};

// False with a reason for anything but a non-empty host and a port of 0 to 65535
// written in decimal digits.
bool ParseEndpoint(const std::string& text, Endpoint* out, std::string* error);
// The text ParseEndpoint reads back: a host with colons goes in brackets.
std::string FormatEndpoint(const Endpoint& endpoint);

}  // namespace zyk::net
