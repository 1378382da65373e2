// The event loop of the proxy host: one thread accepts clients and connects each to
// the upstream server; worker threads wait for readable sockets and call the pump.
// Every connection belongs to one worker for its whole life, so the plug-in never
// sees two calls for one connection at once.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/net.h"
#include "pump.h"

namespace zykproxy {

struct ServerConfig {
    net::Endpoint listen;
    net::Endpoint upstream;
    int threads = 1;
    int maxConnections = 1000;  // open at once; further clients wait in the backlog
    bool once = false;          // serve one client, then end Run
    int connectTimeoutMs = 10000;
    bool verbose = false;       // log every connection
    std::function<void(const std::string&)> log;
    std::function<void(int connectionId)> onConnectionEnd;
};

class ProxyServer {
public:
    ProxyServer(ServerConfig config, Pump& pump);
    ~ProxyServer();
    ProxyServer(const ProxyServer&) = delete;
    ProxyServer& operator=(const ProxyServer&) = delete;

    // Binds the listening socket. False and a reason when it cannot.
    bool Open(std::string* error);
    // The bound address (with the port chosen by the system for port 0).
    net::Endpoint Bound() const;
    // Serves until Stop (or, with once, until the first client has been served); every
    // open connection is then ended through the pump and closed. Returns when all
    // worker threads have finished.
    void Run();
    // Ends Run; from any thread, and from a signal handler.
    void Stop();

    struct Stats {
        unsigned long accepted = 0;
        unsigned long upstreamFailures = 0;
        unsigned long ended = 0;
        std::vector<unsigned long> perWorker;  // connections each worker has served
    };
    Stats GetStats() const;

private:
    class Worker;
    void Log(const std::string& text) const;
    bool AcceptOne();
    Worker& LeastLoaded();
    void ConnectionEnded(int id);

    ServerConfig m_config;
    Pump& m_pump;
    net::Socket m_listener;
    net::WakePair m_stop;      // never drained: once signalled, every thread sees it
    net::WakePair m_acceptor;  // a connection has ended
    std::vector<std::unique_ptr<Worker>> m_workers;
    std::atomic<int> m_open{0};
    std::atomic<int> m_nextId{1};
    std::atomic<unsigned long> m_accepted{0}, m_upstreamFailures{0}, m_ended{0};
};

}  // namespace zykproxy
