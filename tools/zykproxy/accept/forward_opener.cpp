// Forwarding: each client is connected to the upstream server named at start.
#include "accept/opener.h"

namespace zykproxy {

namespace {

class ForwardOpener final : public Opener {
public:
    ForwardOpener(const net::Endpoint& upstream, int connectTimeoutMs)
        : m_upstream(upstream), m_connectTimeoutMs(connectTimeoutMs) {}

    Result Open(net::Socket&, int, net::SocketId cancel) override {
        Result r;
        r.destination = net::FormatEndpoint(m_upstream);
        net::ConnectAttempt attempt;
        attempt.timeoutMs = m_connectTimeoutMs;
        attempt.cancel = cancel;
        std::string error;
        r.server = net::Connect(m_upstream, &attempt, &error);
        if (!r.server.Valid()) {
            r.timedOut = attempt.error == net::ConnectError::TimedOut;
            if (r.timedOut) error += " after " + std::to_string((m_connectTimeoutMs + 999) / 1000) + " s";
            r.failure = "cannot reach the upstream server (" + error + "); client closed";
        }
        return r;
    }

private:
    const net::Endpoint m_upstream;
    const int m_connectTimeoutMs;
};

}  // namespace

std::unique_ptr<Opener> MakeForwardOpener(const net::Endpoint& upstream, int connectTimeoutMs) {
    return std::make_unique<ForwardOpener>(upstream, connectTimeoutMs);
}

}  // namespace zykproxy
