// The event loop of the proxy host: one thread accepts clients and connects each to
// the upstream server; worker threads wait for readable sockets and call the pump.
// Every connection belongs to one worker for its whole life, so the plug-in never
// sees two calls for one connection at once. Each direction of a connection ends on
// its own: the end of one side's stream is passed on to the other side, and the
// connection ends when both directions have, or when either side resets it.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sockets.h"
#include "run/pump.h"

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
    std::function<void()> onReport;  // called on the Run thread after RequestReport
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
    // Has Run call onReport soon; from any thread, and from a signal handler.
    void RequestReport();

    struct Stats {
        unsigned long accepted = 0;
        unsigned long upstreamFailures = 0;
        unsigned long ended = 0;
        long open = 0;                           // connections being served now
        unsigned long long bytesFromClients = 0;  // read from clients (sent upstream)
        unsigned long long bytesFromServers = 0;  // read from the upstream server
        std::vector<unsigned long> perWorker;    // connections each worker has served
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
    std::atomic<unsigned long long> m_bytesFromClients{0}, m_bytesFromServers{0};
    std::atomic<bool> m_reportWanted{false};
};

}  // namespace zykproxy
