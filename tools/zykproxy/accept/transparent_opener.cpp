// Transparent mode: a firewall's REDIRECT rule has sent the client here, and the kernel
// still knows where it was going (its original destination). A connection that was
// going to zykproxy itself is refused: carried out, it would come back to it again.
#include "accept/opener.h"
#include "accept/reach.h"

namespace zykproxy {

namespace {

class TransparentOpener final : public Opener {
public:
    explicit TransparentOpener(DestinationRules rules) : m_rules(std::move(rules)) {}

    Result Open(net::Socket& client, int, net::SocketId cancel) override {
        Result r;
        net::IpEndpoint original, local;
        std::string error;
        if (!net::OriginalDestination(client.Get(), &original, &error)) {
            r.refused = true;
            r.failure = "no original destination (" + error + "); closed";
            return r;
        }
        r.destination = net::FormatIpEndpoint(original);
        net::LocalAddress(client.Get(), &local);
        if (original.address.Unmapped() == local.address.Unmapped() && original.port == local.port) {
            r.refused = true;
            r.failure = "the original destination " + r.destination +
                        " is zykproxy's own listening address, which would loop; closed";
            return r;
        }
        if (!m_rules.ports.Allows(original.port)) {
            r.refused = true;
            r.failure = "the destination " + r.destination + " is not allowed (--allow-ports); closed";
            return r;
        }
        accept::Destination destination;
        destination.address = original.address.Unmapped();
        destination.port = original.port;
        accept::Reached reached = accept::Reach(destination, m_rules.connectTimeoutMs, cancel);
        if (!reached.server.Valid()) {
            r.timedOut = reached.failure == accept::Failure::kTimedOut;
            r.failure = "cannot reach " + r.destination + " (" + reached.why + "); client closed";
            return r;
        }
        r.server = std::move(reached.server);
        return r;
    }

private:
    const DestinationRules m_rules;
};

}  // namespace

std::unique_ptr<Opener> MakeTransparentOpener(DestinationRules rules) {
    return std::make_unique<TransparentOpener>(std::move(rules));
}

}  // namespace zykproxy
