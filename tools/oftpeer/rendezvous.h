// The rendezvous proxy that OSCAR clients meet at when neither can reach the other: its
// frames, and entering a session through it as the client that creates the session or
// as the one that joins it. After `ready` the connection carries the peer's bytes.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "net.h"

namespace oftpeer {

// A frame: u16 length of the rest (big-endian), u16 version, u16 command, u32 0, u16
// flags, then the payload.
constexpr uint16_t kRvVersion = 0x044a;
constexpr size_t kRvHeadSize = 12;
constexpr uint16_t kRvError = 0x0001;    // proxy: u16 code
constexpr uint16_t kRvCreate = 0x0002;   // client: name, cookie, capability
constexpr uint16_t kRvCreated = 0x0003;  // proxy: u16 pin, IPv4 address
constexpr uint16_t kRvJoin = 0x0004;     // client: name, pin, cookie, capability
constexpr uint16_t kRvReady = 0x0005;    // proxy: the peer is there; no payload
// Error codes.
constexpr uint16_t kRvBadRequest = 0x000d;
constexpr uint16_t kRvRequestTimedOut = 0x0010;
constexpr uint16_t kRvAcceptTimedOut = 0x001a;

struct RvFrame {
    uint16_t command = 0;
    uint16_t flags = 0;
    std::vector<uint8_t> payload;
};
std::vector<uint8_t> SerializeRvFrame(const RvFrame& frame);
// Reads one whole frame of version 0x044a; false and *error otherwise.
bool ReadRvFrame(const Socket& s, int timeoutMs, RvFrame* frame, std::string* error);
// What an error code means.
std::string RvErrorText(uint16_t code);

// What a client asks for: a new session, or to join the one with this pin. The cookie is
// the one the two clients' rendezvous messages share.
struct RvRequest {
    bool join = false;
    std::string screenName = "oftpeer";
    uint16_t pin = 0;  // join only
    std::array<uint8_t, 8> cookie{};
};
// create or join, with the send-file capability.
RvFrame MakeRvRequest(const RvRequest& request);
// The request in a create or join frame; false for anything else.
bool ParseRvRequest(const RvFrame& frame, RvRequest* request);

// What `created` tells the creating client, to pass on to its peer.
struct RvSession {
    uint16_t pin = 0;
    uint32_t address = 0;  // IPv4, host byte order
};
RvFrame MakeRvCreated(const RvSession& session);
RvFrame MakeRvError(uint16_t code);

// On a connection to the rendezvous proxy: sends the request, then reads the proxy's
// frames until `ready`. For a new session `onCreated` gets its pin and address as soon as
// the proxy tells them. False and *error when the proxy refuses or the connection ends.
bool EnterRendezvous(const Socket& s, const RvRequest& request, int timeoutMs,
                     const std::function<void(const RvSession&)>& onCreated, std::string* error);

// The default cookie of both sides: seven digits and a zero, as clients make them.
std::array<uint8_t, 8> DefaultRvCookie();
// 16 hexadecimal digits; false for anything else.
bool ParseCookie(const std::string& text, std::array<uint8_t, 8>* cookie);

}  // namespace oftpeer
