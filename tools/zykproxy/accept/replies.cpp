// The replies to a client after its request: SOCKS5 replies (RFC 1928, section 6) and
// the HTTP answers to CONNECT.
//
// HTTP has no codes for the SOCKS5 failures, so they map to the nearest status:
//   not allowed (a refused port)              403 Forbidden
//   command not supported (a method)          405 Method Not Allowed, Allow: CONNECT
//   address type not supported (bad target)   400 Bad Request
//   time-out                                  504 Gateway Timeout
//   general failure, network or host
//   unreachable (also an unknown name),
//   connection refused                        502 Bad Gateway
// The proxy could not get an answer from the server in time (504) or got a failure in
// its place (502); the text of the log says which failure it was.
#include <cstring>

#include "accept/handshake.h"
#include "accept/parsers.h"

namespace zykproxy::accept {

namespace {

constexpr uint8_t kIpv4 = 1, kIpv6 = 4;

uint8_t Socks5Code(Failure failure) {
    switch (failure) {
        case Failure::kGeneral: return 0x01;
        case Failure::kNotAllowed: return 0x02;
        case Failure::kNetworkUnreachable: return 0x03;
        case Failure::kHostUnreachable: return 0x04;
        case Failure::kConnectionRefused: return 0x05;
        case Failure::kTimedOut: return 0x06;
        case Failure::kCommandNotSupported: return 0x07;
        case Failure::kAddressTypeNotSupported: return 0x08;
    }
    return 0x01;
}

int HttpStatus(Failure failure) {
    switch (failure) {
        case Failure::kNotAllowed: return 403;
        case Failure::kCommandNotSupported: return 405;
        case Failure::kAddressTypeNotSupported: return 400;
        case Failure::kTimedOut: return 504;
        default: return 502;
    }
}

const char* StatusText(int code) {
    switch (code) {
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 405: return "Method Not Allowed";
        case 407: return "Proxy Authentication Required";
        case 504: return "Gateway Timeout";
        default: return "Bad Gateway";
    }
}

// VER REP RSV ATYP BND.ADDR BND.PORT
std::string Socks5Reply(uint8_t code, const zyk::net::IpEndpoint& bound) {
    const zyk::net::IpAddress address = bound.address.Unmapped();
    std::string reply = {0x05, static_cast<char>(code), 0x00};
    if (address.IsV6()) {
        reply.push_back(static_cast<char>(kIpv6));
        reply.append(reinterpret_cast<const char*>(address.bytes.data()), 16);
    } else {
        // An IPv4 address, or 0.0.0.0 where none is known.
        reply.push_back(static_cast<char>(kIpv4));
        reply.append(reinterpret_cast<const char*>(address.bytes.data()), 4);
    }
    reply.push_back(static_cast<char>(bound.port >> 8));
    reply.push_back(static_cast<char>(bound.port & 0xFF));
    return reply;
}

}  // namespace

std::string HttpErrorReply(int code, const std::string& extraHeaders) {
    return "HTTP/1.1 " + std::to_string(code) + " " + StatusText(code) + "\r\n" + extraHeaders +
           "Content-Length: 0\r\nConnection: close\r\n\r\n";
}

std::string SuccessReply(Protocol protocol, const zyk::net::IpEndpoint& bound) {
    if (protocol == Protocol::kHttpConnect) return "HTTP/1.1 200 Connection established\r\n\r\n";
    return Socks5Reply(0x00, bound);
}

std::string FailureReply(Protocol protocol, Failure failure) {
    if (protocol == Protocol::kSocks5) return Socks5Reply(Socks5Code(failure), zyk::net::IpEndpoint());
    const int code = HttpStatus(failure);
    return HttpErrorReply(code, code == 405 ? "Allow: CONNECT\r\n" : "");
}

const char* FailureText(Failure failure) {
    switch (failure) {
        case Failure::kGeneral: return "general failure";
        case Failure::kNotAllowed: return "not allowed by the rules";
        case Failure::kNetworkUnreachable: return "network unreachable";
        case Failure::kHostUnreachable: return "host unreachable";
        case Failure::kConnectionRefused: return "connection refused";
        case Failure::kTimedOut: return "timed out";
        case Failure::kCommandNotSupported: return "command not supported";
        case Failure::kAddressTypeNotSupported: return "address type not supported";
    }
    return "general failure";
}

}  // namespace zykproxy::accept
