// Inside the handshake: the two protocols' parsers behind Handshake, and what they share.
#pragma once

#include <memory>
#include <string>

#include "accept/handshake.h"

namespace zykproxy::accept {

class Handshake::Parser {
public:
    virtual ~Parser() = default;
    // As Handshake::Feed, before the end of the handshake.
    virtual Handshake::Progress Feed(const uint8_t* data, size_t size) = 0;
    virtual Protocol GetProtocol() const = 0;
    virtual size_t Held() const = 0;
    const Request& GetRequest() const { return m_request; }

protected:
    Request m_request;
};

// users: nullptr for no authentication (never an empty table).
std::unique_ptr<Handshake::Parser> NewSocks5Parser(const Users* users);
std::unique_ptr<Handshake::Parser> NewHttpConnectParser(const Users* users);

// A destination from a host text: an IP literal is taken as the address, anything else
// as a name. False for an empty name or one with NUL.
bool DestinationFromHost(const std::string& host, uint16_t port, Destination* out);

// "HTTP/1.1 <code> <text>" with the extra header lines given (each ending in CRLF), an
// empty body, and Connection: close.
std::string HttpErrorReply(int code, const std::string& extraHeaders = std::string());

}  // namespace zykproxy::accept
