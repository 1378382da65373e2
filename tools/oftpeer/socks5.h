// oftpeer's way through a SOCKS5 proxy (RFC 1928): CONNECT without authentication.
#pragma once

#include <cstdint>
#include <string>

#include "net.h"

namespace oftpeer {

// Connects to the SOCKS5 proxy (trying again until timeoutMs, as Connect does) and has
// it connect to `destination`: sent as an IPv4 or IPv6 address when it is one, else as
// a name for the proxy to resolve. An invalid socket and *error (with the meaning of a
// failure reply) when that fails.
Socket ConnectThroughSocks5(const Address& proxy, const Address& destination, int timeoutMs,
                            std::string* error);

// What a SOCKS5 reply code means.
std::string Socks5ReplyText(uint8_t code);

}  // namespace oftpeer
