// The acceptor and the set-up of each connection. The acceptor only accepts: the
// connect to the server (which may take up to the connect time-out) and the plug-in's
// OnNewConnectionEx run on a worker, so that no client waits for another's set-up.
#include "run/proxy_server.h"

#include "common/deadline.h"
#include "common/ip_address.h"

namespace zykproxy {

namespace {
WorkerPool::Settings PoolSettings(const ServerConfig& config) {
    WorkerPool::Settings s;
    // A connection has at most two calls in flight (one per direction), or its set-up,
    // or its end, and each loop has the thread that runs it: with a thread for each, no
    // blocked call ever holds up another.
    s.maxThreads = 2 * config.maxConnections + config.threads + 2;
    s.stackBytes = config.workerStackBytes;
    return s;
}
}  // namespace

ProxyServer::ProxyServer(ServerConfig config, Pump& pump)
    : m_config(std::move(config)),
      m_opener(m_config.opener ? m_config.opener
                               : std::shared_ptr<Opener>(MakeForwardOpener(
                                     m_config.upstream, m_config.connectTimeoutMs))),
      m_pool(PoolSettings(m_config)),
      m_shared{pump, m_pool},
      m_monitor(m_loops, m_shared.open) {
    m_shared.timeouts = m_config.timeouts;
    m_shared.heartbeatMs = m_config.heartbeatMs;
    m_shared.verbose = m_config.verbose;
    m_shared.log = [this](const std::string& line) { Log(line); };
    m_shared.ended = [this](int id) { ConnectionEnded(id); };
}

ProxyServer::~ProxyServer() {
    Stop();
    m_monitor.Stop();
    // Workers may still be reporting to the loops: let them finish before the loops go.
    if (m_settled) m_pool.WaitIdle(-1);
    m_loops.clear();
}

void ProxyServer::Log(const std::string& text) const {
    if (m_config.log) m_config.log(text);
}

bool ProxyServer::Open(std::string* error) {
    if (!m_stop.Open(error) || !m_acceptor.Open(error)) return false;
    m_listener = net::Listen(m_config.listen, 128, error);
    if (!m_listener.Valid()) return false;
    for (int i = 0; i < m_config.threads; ++i) {
        m_loops.push_back(std::make_unique<ConnectionLoop>(m_shared));
        if (!m_loops.back()->Open(error)) return false;
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

ConnectionLoop& ProxyServer::LeastLoaded() {
    ConnectionLoop* best = m_loops.front().get();
    for (auto& l : m_loops)
        if (l->Load() < best->Load()) best = l.get();
    return *best;
}

void ProxyServer::ConnectionEnded(int id) {
    if (m_config.verbose) Log("conn " + std::to_string(id) + " ended");
    if (m_config.onConnectionEnd) m_config.onConnectionEnd(id);
    ++m_ended;
    --m_shared.open;
    m_acceptor.Signal();
}

bool ProxyServer::ClientAllowed(const net::Socket& client, int id) {
    if (!m_config.clients || m_config.clients->Empty()) return true;
    net::IpEndpoint peer;
    if (net::PeerAddress(client.Get(), &peer) && m_config.clients->Allows(peer.address)) return true;
    ++m_refused;
    Log("conn " + std::to_string(id) + ": the client " +
        (peer.address.Valid() ? net::FormatIpAddress(peer.address) : std::string("(no address)")) +
        " is not allowed (--allow-clients); closed without a reply");
    return false;
}

void ProxyServer::SetUp(net::Socket client, int id) {
    if (!ClientAllowed(client, id)) {
        client.Close();
        ConnectionEnded(id);
        return;
    }
    Opener::Result r = m_opener->Open(client, id, m_stop.ReadSide());
    if (!r.server.Valid()) {
        ++(r.refused ? m_refused : m_upstreamFailures);
        if (r.timedOut) ++m_connectTimeouts;
        if (!m_stopping) Log("conn " + std::to_string(id) + ": " + r.failure);
        client.Close();
        ConnectionEnded(id);
        return;
    }
    if (m_stopping) {
        client.Close();
        r.server.Close();
        ConnectionEnded(id);
        return;
    }
    if (m_config.verbose) Log("conn " + std::to_string(id) + " to " + r.destination);
    if (m_config.onConnectionOpen) m_config.onConnectionOpen(id, r.destination);
    auto c = std::make_unique<HostConnection>(id, std::move(client), std::move(r.server));
    m_shared.pump.Begin(*c);
    ++m_opened;
    LeastLoaded().Adopt(std::move(c));
}

bool ProxyServer::AcceptOne() {
    std::string error;
    net::Socket client = net::Accept(m_listener.Get(), &error);
    if (!client.Valid()) {
        // Out of descriptors, typically: said once a second, while the open
        // connections go on being served.
        const auto now = std::chrono::steady_clock::now();
        if (now - m_acceptErrorLoggedAt >= std::chrono::seconds(1)) {
            Log(error);
            m_acceptErrorLoggedAt = now;
        }
        return false;
    }
    ++m_accepted;
    if (m_shared.open++ == 0) m_monitor.Wake();
    const int id = m_nextId++;
    // The task is copied around as a function object: the socket travels as its number.
    const net::SocketId raw = client.Release();
    m_pool.Submit([this, raw, id] { SetUp(net::Socket(raw), id); });
    return true;
}

bool ProxyServer::Run() {
    for (auto& l : m_loops) l->Start();
    m_monitor.Start();
    bool served = false;  // with once: the one client has been taken
    bool pauseAccept = false;
    std::vector<net::PollEntry> entries;
    for (;;) {
        if (m_config.once && served && m_shared.open.load() == 0) break;
        entries.clear();
        entries.push_back({m_stop.ReadSide()});
        entries.push_back({m_acceptor.ReadSide()});
        const bool accepting = m_listener.Valid() && !pauseAccept &&
                               m_shared.open.load() < m_config.maxConnections;
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
    return Finish();
}

// Ends every connection: set-ups still connecting give up, calls that block are
// interrupted, and what is open is ended through the pump.
bool ProxyServer::Finish() {
    m_stopping = true;
    Stop();
    m_listener.Close();
    if (m_config.onStopping) m_config.onStopping();
    const zyk::Deadline deadline(m_config.stopGraceMs);
    for (auto& l : m_loops) l->Stop(m_config.stopGraceMs);
    // A loop ends by itself once the grace time is over; the margin is for a loop whose
    // thread was handed on just then.
    bool settled = true;
    for (auto& l : m_loops) settled = l->Join(deadline.LeftMs() + 300) && settled;
    m_monitor.Stop();
    settled = settled && m_pool.WaitIdle(deadline.LeftMs()) &&
              m_shared.open.load() == 0;
    m_settled = settled;
    return settled;
}

std::chrono::steady_clock::time_point ProxyServer::OldestLoopTurn() const {
    auto oldest = std::chrono::steady_clock::time_point::max();
    for (const auto& l : m_loops) oldest = std::min(oldest, l->LastTurn());
    return oldest;
}

ProxyServer::Stats ProxyServer::GetStats() const {
    Stats s;
    s.accepted = m_accepted;
    s.opened = m_opened;
    s.upstreamFailures = m_upstreamFailures;
    s.refused = m_refused;
    s.ended = m_ended;
    s.open = m_shared.open;
    s.bytesFromClients = m_shared.bytesFromClients;
    s.bytesFromServers = m_shared.bytesFromServers;
    s.connectTimeouts = m_connectTimeouts;
    s.sendTimeouts = m_shared.sendTimeouts;
    s.idleTimeouts = m_shared.idleTimeouts;
    const WorkerPool::Counts workers = m_pool.GetCounts();
    s.workers = workers.threads;
    s.peakWorkers = workers.peakThreads;
    for (const auto& l : m_loops) s.perLoop.push_back(l->Served());
    return s;
}

}  // namespace zykproxy
