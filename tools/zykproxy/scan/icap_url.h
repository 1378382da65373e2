// The address of an ICAP service as the command line gives it:
// icap://HOST[:PORT]/SERVICE[?ARGS], the port 1344 when none is given.
#pragma once

#include <cstdint>
#include <string>

namespace zykproxy::icap {

constexpr uint16_t kDefaultPort = 1344;

struct Url {
    std::string host;     // a name or an address; an IPv6 address without brackets
    uint16_t port = kDefaultPort;
    std::string service;  // the path after the first '/', never empty
    std::string args;     // what follows '?', without it; may be empty

    // The URI of the request line: icap://HOST:PORT/SERVICE[?ARGS].
    std::string Uri() const;
    // The value of the Host header: HOST, or HOST:PORT when the port is not 1344.
    std::string HostHeader() const;
};

// False and a reason for anything but an icap:// URL with a host, an optional port
// from 1 to 65535, a service name and optional arguments. Spaces, control bytes,
// user information and fragments are refused: the URI goes into a request line as
// it is.
bool ParseUrl(const std::string& text, Url* out, std::string* error);

}  // namespace zykproxy::icap
