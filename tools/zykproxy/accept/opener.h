// How an accepted client gets its server. Forwarding connects every client to the one
// upstream server; other ways of accepting choose the server per client. Either way
// this runs on a worker, before the plug-in hears of the connection, and may block
// within its own time limits.
#pragma once

#include <memory>
#include <string>

#include "accept/access.h"
#include "sockets.h"

namespace zykproxy {

class Opener {
public:
    struct Result {
        net::Socket server;       // invalid: the client is to be closed
        std::string destination;  // where the connection goes, for the log
        std::string failure;      // with no server: why, for the log
        bool timedOut = false;    // with no server: the connect took too long
        bool refused = false;     // with no server: the client may not do what it asked
    };
    virtual ~Opener() = default;
    // `cancel` becomes readable when the proxy stops: give up at once then.
    virtual Result Open(net::Socket& client, int connectionId, net::SocketId cancel) = 0;
};

// Every client to the one upstream server, connected within connectTimeoutMs.
std::unique_ptr<Opener> MakeForwardOpener(const net::Endpoint& upstream, int connectTimeoutMs);

// What the ways of accepting that let the client choose its server allow.
struct DestinationRules {
    std::shared_ptr<accept::UsersHolder> users;  // null or empty: no authentication
    accept::PortRules ports;                     // the destination ports allowed
    int connectTimeoutMs = 10000;  // for the client's request, and again for the connect
};

// The proxy port: each client says where it goes with SOCKS5 or HTTP CONNECT.
std::unique_ptr<Opener> MakeProxyPortOpener(DestinationRules rules);

// Behind a firewall's REDIRECT rule: each client goes where it was going (Linux).
std::unique_ptr<Opener> MakeTransparentOpener(DestinationRules rules);

}  // namespace zykproxy
