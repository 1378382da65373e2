// GET /metrics over HTTP on an address of its own (--metrics), served on a thread of its
// own: one client at a time, each within a short time limit, so that a slow or stalled
// client holds up the next one for at most that long, and the proxy's connections not
// at all.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "accept/access.h"
#include "sockets.h"

namespace zykproxy::service {

class MetricsServer {
public:
    using Render = std::function<std::string()>;
    using Log = std::function<void(const std::string&)>;
    // clients: those that may ask (null or empty: all).
    MetricsServer(net::Endpoint where, std::shared_ptr<const accept::ClientRules> clients,
                  Render render, Log log);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    bool Open(std::string* error);
    net::Endpoint Bound() const;
    void Start();
    void Stop();

    // The whole HTTP answer to a request head (the request line and its fields).
    static std::string Answer(const std::string& head, const Render& render);

private:
    void Run();
    void Serve(net::Socket client);
    bool Allowed(const net::Socket& client) const;
    bool ReadHead(net::SocketId client, int timeoutMs, std::string* head) const;

    const net::Endpoint m_where;
    const std::shared_ptr<const accept::ClientRules> m_clients;
    const Render m_render;
    const Log m_log;
    net::Socket m_listener;
    net::WakePair m_stop;
    std::thread m_thread;
};

}  // namespace zykproxy::service
