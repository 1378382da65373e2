// Fuzzes the proxy port's handshake parser (SOCKS5 greeting, authentication and request;
// HTTP CONNECT) with the bytes a client sends, against its promises.
//
// Input: the client's bytes as they arrive on the proxy port, nothing else, so that a
// captured client session is a seed as it stands. Each input is run without users and
// with a users table, each time fed whole, one byte at a time (a cut after every byte),
// and in pieces whose sizes come from the input's hash. The oracle:
// - every way of feeding gives the same state, consumed count, replies and request;
// - no call consumes more than it was given; one that needs more takes all it was given;
//   once ended, a call takes nothing and reports the same state;
// - replies and the bytes held inside stay small (an HTTP header at most 8 KiB);
// - a request's reply and user fit the mode (SOCKS5 method selection and status), and
//   an HTTP request ends with the line feed of its empty line;
// - a request's destination comes out the same when sent again as a SOCKS5 request and
//   as an HTTP CONNECT request (a name or address of a valid form), and an address's
//   text reads back as the same address;
// - the reply builders give the RFC's layout for every failure and for the success.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "accept/access.h"
#include "accept/handshake.h"

namespace {

using namespace zykproxy::accept;
using State = Handshake::State;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "handshake check failed: %s\n", what.c_str());
    std::abort();
}

void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

const Users& TheUsers() {
    static const Users users = [] {
        Users u;
        std::string error;
        u.Add("alice", "secret", &error);
        u.Add("bob", "p:ss w\xC3\xA9", &error);
        return u;
    }();
    return users;
}

// What one way of feeding came to.
struct Outcome {
    State state = State::kNeedMore;
    size_t consumed = 0;
    std::string replies;
    std::string reason;
    Request request;
};

bool SameRequest(const Request& a, const Request& b) {
    return a.protocol == b.protocol && a.user == b.user && a.destination.address == b.destination.address &&
           a.destination.name == b.destination.name && a.destination.port == b.destination.port;
}

bool Same(const Outcome& a, const Outcome& b) {
    return a.state == b.state && a.consumed == b.consumed && a.replies == b.replies &&
           a.reason == b.reason && (a.state != State::kRequest || SameRequest(a.request, b.request));
}

// Feeds data in pieces of the sizes `next` gives (at least 1), checking each call.
template <typename NextPiece>
Outcome FeedInPieces(const Users* users, const uint8_t* data, size_t size, NextPiece next) {
    Handshake handshake(users);
    Outcome out;
    size_t at = 0;
    while (at < size && out.state == State::kNeedMore) {
        size_t piece = next();
        if (piece > size - at) piece = size - at;
        const Handshake::Progress p = handshake.Feed(data + at, piece);
        Check(p.consumed <= piece, "consumed more than it was given");
        Check(p.state != State::kNeedMore || p.consumed == piece, "needs more but left bytes");
        Check(p.state != State::kRefused || !p.reason.empty(), "refused without a reason");
        Check(handshake.Held() <= 8192, "holds more than a header's limit");
        out.state = p.state;
        out.consumed += p.consumed;
        out.replies += p.reply;
        out.reason = p.reason;
        at += piece;
    }
    if (out.state != State::kNeedMore) {
        const Handshake::Progress again = handshake.Feed(data, size);
        Check(again.consumed == 0 && again.reply.empty() && again.state == out.state,
              "an ended handshake took more");
        out.request = handshake.GetRequest();
    }
    return out;
}

uint64_t Hash(const uint8_t* data, size_t size) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 1099511628211ull;
    return h;
}

Outcome Fed(const Users* users, const std::string& bytes) {
    return FeedInPieces(users, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(),
                        [&] { return bytes.size() + 1; });
}

// The destination sent again as a SOCKS5 CONNECT (no authentication), with one byte
// of application data behind it.
void CheckSocks5RoundTrip(const Destination& d) {
    std::string bytes("\x05\x01\x00\x05\x01\x00", 6);
    if (d.IsName()) {
        bytes += '\x03';
        bytes += static_cast<char>(d.name.size());
        bytes += d.name;
    } else {
        bytes += d.address.IsV4() ? '\x01' : '\x04';
        bytes.append(reinterpret_cast<const char*>(d.address.bytes.data()), d.address.Size());
    }
    bytes += static_cast<char>(d.port >> 8);
    bytes += static_cast<char>(d.port & 0xFF);
    const Outcome again = Fed(nullptr, bytes + "X");
    Check(again.state == State::kRequest && again.consumed == bytes.size(), "SOCKS5 round trip ended otherwise");
    Check(again.request.destination.address == d.address && again.request.destination.name == d.name &&
              again.request.destination.port == d.port,
          "SOCKS5 round trip changed the destination");
}

// The destination as an HTTP CONNECT target, where the name can be one.
void CheckHttpRoundTrip(const Destination& d) {
    const std::string nameChars = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_";
    if (d.IsName() && d.name.find_first_not_of(nameChars) != std::string::npos) return;
    const std::string target = d.Text();
    const Outcome again = Fed(nullptr, "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n");
    Check(again.state == State::kRequest, "HTTP round trip not taken");
    Check(again.request.destination.address == d.address && again.request.destination.name == d.name &&
              again.request.destination.port == d.port,
          "HTTP round trip changed the destination");
    if (!d.IsName()) {
        zyk::net::IpAddress parsed;
        Check(zyk::net::ParseIpAddress(zyk::net::FormatIpAddress(d.address), &parsed) && parsed == d.address,
              "an address's text does not read back");
    }
}

void CheckReplies(const Request& request) {
    const Failure failures[] = {Failure::kGeneral, Failure::kNotAllowed, Failure::kNetworkUnreachable,
                                Failure::kHostUnreachable, Failure::kConnectionRefused, Failure::kTimedOut,
                                Failure::kCommandNotSupported, Failure::kAddressTypeNotSupported};
    for (size_t i = 0; i < sizeof failures / sizeof failures[0]; ++i) {
        const std::string socks = FailureReply(Protocol::kSocks5, failures[i]);
        Check(socks.size() == 10 && socks[0] == 5 && socks[1] == static_cast<char>(i + 1),
              "SOCKS5 failure reply");
        Check(FailureReply(Protocol::kHttpConnect, failures[i]).compare(0, 9, "HTTP/1.1 ") == 0,
              "HTTP failure reply");
    }
    const zyk::net::IpEndpoint bound{request.destination.address, request.destination.port};
    const std::string success = SuccessReply(Protocol::kSocks5, bound);
    const bool v6 = bound.address.IsV6() && !bound.address.IsV4Mapped();
    Check(success.size() == (v6 ? 22u : 10u) && success[1] == 0, "SOCKS5 success reply");
}

void CheckRequest(const Outcome& o, const uint8_t* data, bool withUsers) {
    const Request& r = o.request;
    if (r.protocol == Protocol::kSocks5) {
        Check(o.replies == (withUsers ? std::string("\x05\x02\x01\x00", 4) : std::string("\x05\x00", 2)),
              "SOCKS5 request after other replies");
    } else {
        Check(o.replies.empty() && o.consumed <= 8192, "HTTP request with a reply or past 8 KiB");
        Check(o.consumed >= 4 && data[o.consumed - 1] == '\n', "HTTP request not ended by its empty line");
    }
    Check(withUsers == !r.user.empty(), "user and mode disagree");
    Check(r.destination.IsName() ? !r.destination.name.empty() && r.destination.name.size() <= 255
                                 : r.destination.name.empty(),
          "destination neither name nor address");
    CheckSocks5RoundTrip(r.destination);
    CheckHttpRoundTrip(r.destination);
    CheckReplies(r);
}

void RunMode(const uint8_t* data, size_t size, const Users* users) {
    const Outcome whole = FeedInPieces(users, data, size, [&] { return size; });
    const Outcome bytewise = FeedInPieces(users, data, size, [] { return size_t{1}; });
    uint64_t state = Hash(data, size) | 1;
    const Outcome split = FeedInPieces(users, data, size, [&] {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        const size_t cap = (state >> 60) < 4 ? 3 : 600;
        return static_cast<size_t>((state >> 33) % cap) + 1;
    });
    Check(Same(whole, bytewise), "fed whole and byte by byte differ");
    Check(Same(whole, split), "fed whole and in pieces differ");
    Check(whole.replies.size() <= 256, "replies too long");
    if (whole.state == State::kRequest) CheckRequest(whole, data, users != nullptr);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    RunMode(data, size, nullptr);
    RunMode(data, size, &TheUsers());
    return 0;
}
