// What moves the bytes of one proxied connection: the plug-in, or for a baseline a
// plain forwarder that reads and writes as the plug-in does.
#pragma once

#include "sockets.h"
#include "plugin_library.h"
#include "zykim/zykim.h"

namespace zykproxy {

// One proxied connection. The two records are what the plug-in sees; the address of
// `app` is the connection's identity, so a HostConnection never moves.
struct HostConnection {
    HostConnection(int connectionId, net::Socket client, net::Socket upstream);
    HostConnection(const HostConnection&) = delete;
    HostConnection& operator=(const HostConnection&) = delete;

    const int id;
    net::Socket appSocket;     // the client's side
    net::Socket serverSocket;  // the upstream server's side
    ZykConnection app{};
    ZykConnection server{};
    // Each direction ends on its own (half-close): client to server when the client
    // has ended its sending direction, server to client likewise.
    bool fromAppEnded = false;
    bool fromServerEnded = false;
    bool wasReset = false;  // a side reset the connection: the other side is reset too
};

class Pump {
public:
    virtual ~Pump() = default;
    virtual void Begin(HostConnection& c) = 0;
    // Drain the named side and pass the bytes on; return the bytes read. 0 after the
    // socket was reported readable means the side has closed (or failed).
    virtual int FromApplication(HostConnection& c) = 0;
    virtual int FromServer(HostConnection& c) = 0;
    virtual void End(HostConnection& c) = 0;
};

// Drives the plug-in's connection exports; the plug-in reads and writes the sockets.
class PluginPump final : public Pump {
public:
    // Hands the plug-in the host's socket interface (host_socket.h).
    explicit PluginPump(const PluginExports& exports);
    void Begin(HostConnection& c) override;
    int FromApplication(HostConnection& c) override;
    int FromServer(HostConnection& c) override;
    void End(HostConnection& c) override;

private:
    const PluginExports& m_exports;
};

// Forwards bytes both ways without inspection, with the plug-in's buffer sizes.
class ForwardPump final : public Pump {
public:
    static constexpr int kApplicationBuffer = 65537;
    static constexpr int kServerBuffer = 65536;
    void Begin(HostConnection&) override {}
    int FromApplication(HostConnection& c) override;
    int FromServer(HostConnection& c) override;
    void End(HostConnection&) override {}
};

}  // namespace zykproxy
