// The proxy port: the client's SOCKS5 or HTTP CONNECT request is read (within the
// connect time-out), checked against the rules, and carried out; the reply tells the
// client how it went. Whatever the client sent behind its request belongs to the
// application and goes to the server first. The plug-in sees none of the handshake.
#include <vector>

#include "accept/handshake.h"
#include "accept/opener.h"
#include "accept/reach.h"
#include "common/deadline.h"

namespace zykproxy {

namespace {

using accept::Handshake;
using zyk::Deadline;

// After a refusal: the reply is sent and the client's sending direction is read to its
// end (for a short while), so that the close does not reset the connection before the
// client has read the reply.
void SayAndClose(net::Socket& client, const std::string& reply) {
    if (!reply.empty()) net::SendAll(client.Get(), reply.data(), reply.size());
    net::ShutdownSend(client.Get());
    char sink[4096];
    const Deadline deadline(500);
    for (size_t drained = 0; drained < 65536;) {
        const int n = net::ReceiveWait(client.Get(), sink, sizeof sink, deadline.LeftMs());
        if (n <= 0) break;
        drained += static_cast<size_t>(n);
    }
    client.Close();
}

class ProxyPortOpener final : public Opener {
public:
    explicit ProxyPortOpener(DestinationRules rules) : m_rules(std::move(rules)) {}

    Result Open(net::Socket& client, int, net::SocketId cancel) override {
        Result r;
        // The users as they are now; a file read again meanwhile counts from the next client.
        const std::shared_ptr<const accept::Users> users = m_rules.users ? m_rules.users->Get() : nullptr;
        Handshake handshake(users.get());
        std::string kept;  // read but not consumed: the application's first bytes
        if (!ReadRequest(client, cancel, &handshake, &kept, &r)) return r;
        const accept::Request& request = handshake.GetRequest();
        r.destination = request.destination.Text();
        if (!m_rules.ports.Allows(request.destination.port)) {
            r.refused = true;
            r.failure = "the destination " + r.destination + " is not allowed (--allow-ports); refused";
            SayAndClose(client, accept::FailureReply(request.protocol, accept::Failure::kNotAllowed));
            return r;
        }
        accept::Reached reached = accept::Reach(request.destination, m_rules.connectTimeoutMs, cancel);
        if (!reached.server.Valid()) {
            r.timedOut = reached.failure == accept::Failure::kTimedOut;
            r.failure = "cannot reach " + r.destination + " (" + reached.why + "); the client was told: " +
                        accept::FailureText(reached.failure);
            SayAndClose(client, accept::FailureReply(request.protocol, reached.failure));
            return r;
        }
        net::IpEndpoint bound;
        net::LocalAddress(reached.server.Get(), &bound);
        const std::string reply = accept::SuccessReply(request.protocol, bound);
        if (!net::SendAll(client.Get(), reply.data(), reply.size()) ||
            !net::SendAll(reached.server.Get(), kept.data(), kept.size())) {
            r.failure = "the connection to " + r.destination + " ended before it began";
            return r;
        }
        r.server = std::move(reached.server);
        return r;
    }

private:
    // Reads the handshake up to the client's request; false with r->failure (and the
    // client closed) when it does not come to one.
    bool ReadRequest(net::Socket& client, net::SocketId cancel, Handshake* handshake,
                     std::string* kept, Result* r) const {
        const Deadline deadline(m_rules.connectTimeoutMs);
        char buffer[4096];
        for (;;) {
            std::vector<net::PollEntry> wait{{client.Get()}, {cancel}};
            const int ready = net::Poll(wait, deadline.LeftMs());
            if (ready == 0 && !deadline.Passed()) continue;  // interrupted
            if (ready <= 0 || wait[1].events != 0) {
                r->refused = ready == 0;
                r->failure = ready == 0 ? "no complete request within the connect time-out; closed"
                                        : wait[1].events != 0 ? "stopping" : "poll failed";
                client.Close();
                return false;
            }
            const int n = net::ReceiveNow(client.Get(), buffer, sizeof buffer);
            if (n == net::kNothingPending) continue;
            if (n <= 0) {
                r->failure = "the client left during its request";
                return false;
            }
            kept->append(buffer, static_cast<size_t>(n));
            const Handshake::Progress p = handshake->Feed(kept->data(), kept->size());
            kept->erase(0, p.consumed);
            if (p.state == Handshake::State::kRefused) {
                r->refused = true;
                r->failure = p.reason + "; refused";
                SayAndClose(client, p.reply);
                return false;
            }
            if (!p.reply.empty() && !net::SendAll(client.Get(), p.reply.data(), p.reply.size())) {
                r->failure = "the client left during its request";
                return false;
            }
            if (p.state == Handshake::State::kRequest) return true;
        }
    }

    const DestinationRules m_rules;
};

}  // namespace

std::unique_ptr<Opener> MakeProxyPortOpener(DestinationRules rules) {
    return std::make_unique<ProxyPortOpener>(std::move(rules));
}

}  // namespace zykproxy
