// The proxy host's server: one thread accepts clients; workers set each one up (its
// server connected, the plug-in told) and end it; one or more socket-watching loops
// (`threads`) watch the connections' sockets and make the data call of a readable side
// on the loop's own thread, handing the loop to another thread when a call would wait
// (see connection_loop.h). A connection stays on one loop for its whole life, and its
// calls never overlap in one direction: the plug-in sees OnNewConnectionEx first, at
// most one data call per direction at a time, and OnEndConnection after the last.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "accept/opener.h"
#include "run/connection_loop.h"
#include "run/loop_monitor.h"
#include "run/pump.h"
#include "run/worker_pool.h"
#include "sockets.h"

namespace zykproxy {

struct ServerConfig {
    net::Endpoint listen;
    net::Endpoint upstream;          // used when no opener is given
    std::shared_ptr<Opener> opener;  // how a client gets its server; null: forward to upstream
    // The clients that may connect (empty: all); others are closed without a word.
    std::shared_ptr<const accept::ClientRules> clients;
    int threads = 1;                 // socket-watching loops
    int maxConnections = 1000;       // open at once; further clients wait in the backlog
    bool once = false;               // serve one client, then end Run
    int connectTimeoutMs = 10000;
    RunTimeouts timeouts;
    int stopGraceMs = 1500;          // how long a stop waits for calls in flight
    size_t workerStackBytes = 256 * 1024;
    int heartbeatMs = 0;             // > 0: each loop turns at least this often (a watchdog)
    bool verbose = false;            // log every connection
    std::function<void(const std::string&)> log;
    // A connection has its server (before the plug-in hears of it), and has ended.
    std::function<void(int connectionId, const std::string& destination)> onConnectionOpen;
    std::function<void(int connectionId)> onConnectionEnd;
    std::function<void()> onReport;    // called on the Run thread after RequestReport
    std::function<void()> onStopping;  // called on the Run thread when a stop begins
};

class ProxyServer {
public:
    ProxyServer(ServerConfig config, Pump& pump);
    // Waits for the workers; when Run has returned false, nothing may be waited for, and
    // the process must end without destroying the server.
    ~ProxyServer();
    ProxyServer(const ProxyServer&) = delete;
    ProxyServer& operator=(const ProxyServer&) = delete;

    // Binds the listening socket. False and a reason when it cannot.
    bool Open(std::string* error);
    // The bound address (with the port chosen by the system for port 0).
    net::Endpoint Bound() const;
    // Serves until Stop (or, with once, until the first client has been served); every
    // open connection is then ended through the pump and closed, calls that block being
    // interrupted. True when all have ended; false when some call of the plug-in was
    // still running after stopGraceMs (the plug-in must then stay loaded).
    bool Run();
    // Ends Run; from any thread, and from a signal handler.
    void Stop();
    // Has Run call onReport soon; from any thread, and from a signal handler.
    void RequestReport();

    // When the loop that has gone longest without a turn last began one: with
    // heartbeatMs set, a time further back than that means a loop is stuck.
    std::chrono::steady_clock::time_point OldestLoopTurn() const;

    struct Stats {
        unsigned long accepted = 0;
        unsigned long opened = 0;                 // set up and handed to the plug-in
        unsigned long upstreamFailures = 0;
        unsigned long refused = 0;                // clients refused by the access rules
        unsigned long ended = 0;
        long open = 0;                            // connections being served now
        unsigned long long bytesFromClients = 0;  // read from clients (sent upstream)
        unsigned long long bytesFromServers = 0;  // read from the upstream server
        unsigned long connectTimeouts = 0, sendTimeouts = 0, idleTimeouts = 0;
        int workers = 0, peakWorkers = 0;         // worker threads now, and most at once
        std::vector<unsigned long> perLoop;       // connections each loop has served
    };
    Stats GetStats() const;

private:
    void Log(const std::string& text) const;
    bool AcceptOne();
    void SetUp(net::Socket client, int id);
    bool ClientAllowed(const net::Socket& client, int id);
    ConnectionLoop& LeastLoaded();
    void ConnectionEnded(int id);
    bool Finish();

    ServerConfig m_config;
    std::shared_ptr<Opener> m_opener;
    net::Socket m_listener;
    net::WakePair m_stop;      // never drained: once signalled, every thread sees it
    net::WakePair m_acceptor;  // a connection has ended, or a report is wanted
    WorkerPool m_pool;
    LoopShared m_shared;
    std::vector<std::unique_ptr<ConnectionLoop>> m_loops;
    LoopMonitor m_monitor;
    std::atomic<bool> m_stopping{false};
    std::atomic<int> m_nextId{1};
    std::atomic<unsigned long> m_accepted{0}, m_opened{0}, m_upstreamFailures{0}, m_refused{0},
        m_connectTimeouts{0}, m_ended{0};
    std::atomic<bool> m_reportWanted{false};
    std::chrono::steady_clock::time_point m_acceptErrorLoggedAt;
    bool m_settled = true;
};

}  // namespace zykproxy
