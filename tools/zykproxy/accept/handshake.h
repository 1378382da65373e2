// What a client says on the proxy port before its connection is relayed: a SOCKS5
// handshake (RFC 1928, with username/password of RFC 1929) or an HTTP CONNECT request,
// told apart by the first byte (0x05: SOCKS5, anything else: HTTP). The parser knows no
// socket: the caller feeds it the client's bytes as they come, in any split, and gets
// the same answers whatever the split.
//
// Driving it with a socket:
//
//     Handshake handshake(users);  // nullptr: no authentication
//     std::string kept;            // bytes read but not consumed
//     for (;;) {
//         read some bytes (within the connect time-out) and append them to `kept`;
//         Handshake::Progress p = handshake.Feed(kept.data(), kept.size());
//         kept.erase(0, p.consumed);
//         send p.reply to the client (when not empty);
//         if (p.state == Handshake::State::kRefused) { log p.reason; close; stop; }
//         if (p.state == Handshake::State::kRequest) break;
//     }
//     connect to handshake.GetRequest().destination (after the access rules), then send
//     SuccessReply(protocol, LocalAddress(outgoing socket)) or FailureReply(...).
//
// The parser never consumes a byte past the end of the request: what is left in `kept`
// after kRequest was sent by the application behind the handshake (a client may send it
// without waiting for the reply) and goes to the server first, before anything read
// later. Feeding from a peek (MSG_PEEK) and then reading exactly `consumed` bytes works
// as well, since the parser keeps the part of a message it has seen.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "common/ip_address.h"

namespace zykproxy::accept {

class Users;

enum class Protocol { kSocks5, kHttpConnect };

// Where the client wants to go.
struct Destination {
    zyk::net::IpAddress address;  // an address, also one sent as a name ("203.0.113.5")
    std::string name;             // else a host name to resolve: 1 to 255 bytes, no NUL
    uint16_t port = 0;            // as sent; 0 is for the port rules to refuse
    bool IsName() const { return !address.Valid(); }
    // For the log: "203.0.113.5:5190", "[2001:db8::5]:5190", "files.example.net:5190";
    // a name's bytes outside printable ASCII are written as \xHH.
    std::string Text() const;
};

struct Request {
    Protocol protocol = Protocol::kSocks5;
    Destination destination;
    std::string user;  // the authenticated user; empty without a users table
};

// Why a request cannot be carried out; each has its SOCKS5 reply code (in brackets)
// and an HTTP status (see FailureReply).
enum class Failure {
    kGeneral,                  // 01
    kNotAllowed,               // 02: a refused destination port
    kNetworkUnreachable,       // 03
    kHostUnreachable,          // 04: also a name that does not resolve
    kConnectionRefused,        // 05
    kTimedOut,                 // 06: the connect time-out passed
    kCommandNotSupported,      // 07: BIND, UDP ASSOCIATE
    kAddressTypeNotSupported,  // 08
};

class Handshake {
public:
    // The users table (not owned; it must outlive the handshake), or nullptr or an
    // empty table for no authentication. With users, SOCKS5 clients must authenticate
    // with username/password, and HTTP clients with Proxy-Authorization Basic.
    explicit Handshake(const Users* users);
    ~Handshake();
    Handshake(const Handshake&) = delete;
    Handshake& operator=(const Handshake&) = delete;

    enum class State { kNeedMore, kRequest, kRefused };
    struct Progress {
        State state = State::kNeedMore;
        // Bytes of the given data taken: all of them for kNeedMore; with kRequest, the
        // rest belongs to the application.
        size_t consumed = 0;
        // For the client now, whatever the state: SOCKS5 method selection and
        // authentication status, or the refusal's reply (then close; it may be empty).
        std::string reply;
        std::string reason;  // kRefused: what was wrong, for the log
    };
    // Takes the client's next bytes. Once the state is kRequest or kRefused, further
    // calls take nothing and report that state again (with an empty reply).
    Progress Feed(const uint8_t* data, size_t size);
    Progress Feed(const char* data, size_t size) {
        return Feed(reinterpret_cast<const uint8_t*>(data), size);
    }

    State GetState() const;
    // Which protocol the client speaks (known after its first byte).
    Protocol GetProtocol() const;
    // The request, once the state is kRequest.
    const Request& GetRequest() const;
    // Bytes of an unfinished message held inside (at most the 8 KiB header limit).
    size_t Held() const;

    class Parser;

private:
    const Users* m_users;
    std::unique_ptr<Parser> m_parser;
    Progress m_final;
};

// The reply after a successful connect: SOCKS5 success with the address the outgoing
// socket is bound to (IPv4 or IPv6; an IPv4-mapped one as IPv4), or HTTP 200.
std::string SuccessReply(Protocol protocol, const zyk::net::IpEndpoint& bound);
// The reply for a request that cannot be carried out; close the connection after it.
std::string FailureReply(Protocol protocol, Failure failure);
// A short text of the failure, for the log ("connection refused").
const char* FailureText(Failure failure);

}  // namespace zykproxy::accept
