// The acceptor and the workers. A worker polls its connections' two sockets plus two
// wake-up sockets (stop, new connection); a side that is readable is handed to the
// pump. A data call that reads nothing from a readable side means that side has ended
// its stream (passed on to the other side with a shutdown of its sending direction)
// or reset the connection (which ends it).
#include "run/proxy_server.h"

#include <mutex>
#include <thread>

namespace zykproxy {

class ProxyServer::Worker {
public:
    explicit Worker(ProxyServer& server) : m_server(server) {}

    bool Open(std::string* error) { return m_wake.Open(error); }
    void Start() { m_thread = std::thread([this] { Run(); }); }
    void Join() {
        if (m_thread.joinable()) m_thread.join();
    }

    // Hands a connection to this worker (from the acceptor thread).
    void Adopt(std::unique_ptr<HostConnection> c) {
        ++m_load;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_incoming.push_back(std::move(c));
        }
        m_wake.Signal();
    }
    int Load() const { return m_load.load(); }
    unsigned long Served() const { return m_served.load(); }

private:
    void Run();
    // Serves one connection's events of this round; false when it has to end.
    bool Serve(HostConnection& c, unsigned appEvents, unsigned serverEvents);
    // A data call read nothing from the side: true while the connection goes on.
    bool SideEnded(HostConnection& c, bool fromApp);
    void TakeIncoming(std::vector<std::unique_ptr<HostConnection>>* live);
    void Finish(std::unique_ptr<HostConnection> c);

    ProxyServer& m_server;
    std::thread m_thread;
    net::WakePair m_wake;
    std::mutex m_mutex;
    std::vector<std::unique_ptr<HostConnection>> m_incoming;  // guarded by m_mutex
    std::atomic<int> m_load{0};
    std::atomic<unsigned long> m_served{0};
};

void ProxyServer::Worker::TakeIncoming(std::vector<std::unique_ptr<HostConnection>>* live) {
    std::vector<std::unique_ptr<HostConnection>> incoming;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        incoming.swap(m_incoming);
    }
    for (auto& c : incoming) {
        m_server.m_pump.Begin(*c);
        ++m_served;
        live->push_back(std::move(c));
    }
}

void ProxyServer::Worker::Finish(std::unique_ptr<HostConnection> c) {
    m_server.m_pump.End(*c);
    const int id = c->id;
    if (c->wasReset) {
        net::ResetOnClose(c->appSocket.Get());
        net::ResetOnClose(c->serverSocket.Get());
    }
    c.reset();  // closes both sockets
    --m_load;
    m_server.ConnectionEnded(id);
}

bool ProxyServer::Worker::SideEnded(HostConnection& c, bool fromApp) {
    net::Socket& from = fromApp ? c.appSocket : c.serverSocket;
    net::Socket& to = fromApp ? c.serverSocket : c.appSocket;
    // This side's sending direction is still open unless the other direction ended.
    const bool otherEnded = fromApp ? c.fromServerEnded : c.fromAppEnded;
    switch (net::ProbePeer(from.Get(), !otherEnded)) {
        case net::PeerState::Open:
            return true;  // woken for nothing (or the plug-in stopped early): go on
        case net::PeerState::Reset:
            c.wasReset = true;
            if (m_server.m_config.verbose)
                m_server.Log("conn " + std::to_string(c.id) + ": the " +
                             (fromApp ? "client" : "server") + " reset the connection");
            return false;
        case net::PeerState::Ended:
            break;
    }
    (fromApp ? c.fromAppEnded : c.fromServerEnded) = true;
    if (otherEnded) return false;
    // Everything the side sent has gone through the pump (and any file it completed
    // has been checked and released): pass the end of its stream on.
    net::ShutdownSend(to.Get());
    if (m_server.m_config.verbose)
        m_server.Log("conn " + std::to_string(c.id) + ": end of the " +
                     (fromApp ? "client's stream passed on to the server"
                              : "server's stream passed on to the client"));
    return true;
}

bool ProxyServer::Worker::Serve(HostConnection& c, unsigned appEvents, unsigned serverEvents) {
    constexpr unsigned kAny = net::kReadable | net::kHangUp | net::kError | net::kInvalid;
    constexpr unsigned kGone = net::kHangUp | net::kError | net::kInvalid;
    if ((appEvents | serverEvents) & net::kInvalid) return false;
    // A side whose stream has ended is watched only for a reset.
    if ((c.fromAppEnded && (appEvents & kGone)) || (c.fromServerEnded && (serverEvents & kGone))) {
        c.wasReset = true;
        return false;
    }
    if (!c.fromAppEnded && (appEvents & kAny)) {
        const int n = m_server.m_pump.FromApplication(c);
        if (n > 0) m_server.m_bytesFromClients += static_cast<unsigned long long>(n);
        else if (!SideEnded(c, true)) return false;
    }
    if (!c.fromServerEnded && (serverEvents & kAny)) {
        const int n = m_server.m_pump.FromServer(c);
        if (n > 0) m_server.m_bytesFromServers += static_cast<unsigned long long>(n);
        else if (!SideEnded(c, false)) return false;
    }
    if (!net::kPollReportsResets) {
        // The ended side is not in the wait here: ask it directly.
        if ((c.fromAppEnded && net::ProbePeer(c.appSocket.Get(), true) == net::PeerState::Reset) ||
            (c.fromServerEnded && net::ProbePeer(c.serverSocket.Get(), true) == net::PeerState::Reset)) {
            c.wasReset = true;
            return false;
        }
    }
    return true;
}

void ProxyServer::Worker::Run() {
    std::vector<std::unique_ptr<HostConnection>> live;
    std::vector<net::PollEntry> entries;
    for (;;) {
        entries.clear();
        entries.push_back({m_server.m_stop.ReadSide()});
        entries.push_back({m_wake.ReadSide()});
        bool halfClosed = false;
        for (const auto& c : live) {
            entries.push_back({c->appSocket.Get(), !c->fromAppEnded});
            entries.push_back({c->serverSocket.Get(), !c->fromServerEnded});
            halfClosed = halfClosed || c->fromAppEnded || c->fromServerEnded;
        }
        // Where the wait cannot see a reset of an ended side, look at it every second.
        const int timeoutMs = halfClosed && !net::kPollReportsResets ? 1000 : -1;
        if (net::Poll(entries, timeoutMs) < 0) {
            m_server.Log("poll failed: " + net::LastErrorText());
            break;
        }
        if (entries[0].events != 0) break;
        // Serve the sockets polled this round, then adopt newcomers, whose sockets are
        // not in this round's entries.
        size_t kept = 0;
        for (size_t i = 0; i < live.size(); ++i) {
            if (Serve(*live[i], entries[2 + 2 * i].events, entries[3 + 2 * i].events))
                live[kept++] = std::move(live[i]);
            else
                Finish(std::move(live[i]));
        }
        live.resize(kept);
        if (entries[1].events != 0) {
            m_wake.Drain();
            TakeIncoming(&live);
        }
    }
    // Stopping: end what is open. Connections never begun are only closed.
    for (auto& c : live) Finish(std::move(c));
    std::vector<std::unique_ptr<HostConnection>> unbegun;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        unbegun.swap(m_incoming);
    }
    for (auto& c : unbegun) {
        const int id = c->id;
        c.reset();
        --m_load;
        m_server.ConnectionEnded(id);
    }
}

ProxyServer::ProxyServer(ServerConfig config, Pump& pump)
    : m_config(std::move(config)), m_pump(pump) {}

ProxyServer::~ProxyServer() {
    Stop();
    for (auto& w : m_workers) w->Join();
}

void ProxyServer::Log(const std::string& text) const {
    if (m_config.log) m_config.log(text);
}

bool ProxyServer::Open(std::string* error) {
    if (!m_stop.Open(error) || !m_acceptor.Open(error)) return false;
    m_listener = net::Listen(m_config.listen, 128, error);
    if (!m_listener.Valid()) return false;
    for (int i = 0; i < m_config.threads; ++i) {
        m_workers.push_back(std::make_unique<Worker>(*this));
        if (!m_workers.back()->Open(error)) return false;
    }
    return true;
}

net::Endpoint ProxyServer::Bound() const {
    net::Endpoint e = m_config.listen;
    if (m_listener.Valid()) e.port = net::LocalPort(m_listener.Get());
    return e;
}

void ProxyServer::Stop() { m_stop.Signal(); }

void ProxyServer::RequestReport() {
    m_reportWanted = true;
    m_acceptor.Signal();
}

ProxyServer::Worker& ProxyServer::LeastLoaded() {
    Worker* best = m_workers.front().get();
    for (auto& w : m_workers)
        if (w->Load() < best->Load()) best = w.get();
    return *best;
}

void ProxyServer::ConnectionEnded(int id) {
    if (m_config.verbose) Log("conn " + std::to_string(id) + " ended");
    if (m_config.onConnectionEnd) m_config.onConnectionEnd(id);
    ++m_ended;
    --m_open;
    m_acceptor.Signal();
}

bool ProxyServer::AcceptOne() {
    std::string error;
    net::Socket client = net::Accept(m_listener.Get(), &error);
    if (!client.Valid()) {
        Log(error);
        return false;
    }
    ++m_accepted;
    const int id = m_nextId++;
    net::Socket upstream = net::Connect(m_config.upstream, m_config.connectTimeoutMs, &error);
    if (!upstream.Valid()) {
        ++m_upstreamFailures;
        Log("conn " + std::to_string(id) + ": cannot reach the upstream server (" + error +
            "); client closed");
        return true;
    }
    if (m_config.verbose)
        Log("conn " + std::to_string(id) + " to " + net::FormatEndpoint(m_config.upstream));
    ++m_open;
    LeastLoaded().Adopt(std::make_unique<HostConnection>(id, std::move(client), std::move(upstream)));
    return true;
}

void ProxyServer::Run() {
    for (auto& w : m_workers) w->Start();
    bool served = false;  // with once: the one client has been taken
    bool pauseAccept = false;
    std::vector<net::PollEntry> entries;
    for (;;) {
        if (m_config.once && served && m_open.load() == 0) break;
        entries.clear();
        entries.push_back({m_stop.ReadSide()});
        entries.push_back({m_acceptor.ReadSide()});
        const bool accepting = m_listener.Valid() && !pauseAccept &&
                               m_open.load() < m_config.maxConnections;
        if (accepting) entries.push_back({m_listener.Get()});
        // After a failed accept (out of descriptors, say) wait a little before retrying.
        if (net::Poll(entries, pauseAccept ? 100 : -1) < 0) {
            Log("poll failed: " + net::LastErrorText());
            break;
        }
        pauseAccept = false;
        if (entries[0].events != 0) break;
        if (entries[1].events != 0) m_acceptor.Drain();
        if (m_reportWanted.exchange(false) && m_config.onReport) m_config.onReport();
        if (accepting && entries[2].events != 0) {
            if (!AcceptOne()) {
                pauseAccept = true;
                continue;
            }
            if (m_config.once) {
                served = true;
                m_listener.Close();  // later clients are refused, not left waiting
            }
        }
    }
    Stop();
    for (auto& w : m_workers) w->Join();
}

ProxyServer::Stats ProxyServer::GetStats() const {
    Stats s;
    s.accepted = m_accepted;
    s.upstreamFailures = m_upstreamFailures;
    s.ended = m_ended;
    s.open = m_open;
    s.bytesFromClients = m_bytesFromClients;
    s.bytesFromServers = m_bytesFromServers;
    for (const auto& w : m_workers) s.perWorker.push_back(w->Served());
    return s;
}

}  // namespace zykproxy
