// The loop of a set of connections. Everything about a connection's state happens on
// the loop's thread: workers only make the calls and report what they read (Post).
// A data call that reads nothing from a readable side means that side has ended its
// stream (passed on to the other side with a shutdown of its sending direction) or
// reset the connection (which ends it).
#include "run/connection_loop.h"

#include <algorithm>

namespace zykproxy {

struct ConnectionLoop::Live {
    // A data call in flight in one direction, and when its destination last took bytes.
    struct Call {
        bool busy = false;
        Clock::time_point progressAt;
        uint64_t acknowledged = 0;
    };
    std::unique_ptr<HostConnection> c;
    Call call[2];
    Clock::time_point activeAt;  // the last byte in either direction
    Ending ending = Ending::No;
    bool endStarted = false;               // OnEndConnection is on its way
    std::atomic<bool> interrupted{false};  // its sockets are shut down: no more calls
    bool Busy() const { return call[kFromClient].busy || call[kFromServer].busy; }
};

namespace {
constexpr unsigned kAny = net::kReadable | net::kHangUp | net::kError | net::kInvalid;
constexpr unsigned kGone = net::kHangUp | net::kError | net::kInvalid;
constexpr uint64_t kWakeKey = 0;

// A watched side's key: the connection's address with the side in its lowest bit.
template <typename Live>
uint64_t KeyOf(const Live& l, int side) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&l)) | static_cast<uint64_t>(side);
}
}  // namespace

ConnectionLoop::ConnectionLoop(LoopShared& shared) : m_shared(shared) {}

ConnectionLoop::~ConnectionLoop() {
    Join();
    // Connections whose calls never returned are still in use by their workers: they
    // are left to the process's end rather than freed under them.
    if (!m_settled)
        for (auto& l : m_live) l.release();
}

bool ConnectionLoop::Open(std::string* error) {
    if (!m_wake.Open(error) || !m_set.Open(error)) return false;
    m_set.Watch(m_wake.ReadSide(), kWakeKey, true);
    return true;
}

void ConnectionLoop::Start() {
    m_turnedAt = Clock::now().time_since_epoch().count();
    m_thread = std::thread([this] { Run(); });
}

void ConnectionLoop::Stop(int graceMs) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stopGraceMs = graceMs;
    }
    m_wake.Signal();
}

bool ConnectionLoop::Join() {
    if (m_thread.joinable()) m_thread.join();
    return m_settled;
}

void ConnectionLoop::Adopt(std::unique_ptr<HostConnection> c) {
    ++m_load;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_incoming.push_back(std::move(c));
    }
    m_wake.Signal();
}

void ConnectionLoop::Post(const Done& done) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_done.push_back(done);
    }
    m_wake.Signal();
}

std::string ConnectionLoop::Name(const Live& l) const { return "conn " + std::to_string(l.c->id); }

void ConnectionLoop::TakeMessages() {
    std::vector<std::unique_ptr<HostConnection>> incoming;
    std::vector<Done> done;
    int stopGraceMs;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        incoming.swap(m_incoming);
        done.swap(m_done);
        stopGraceMs = m_stopGraceMs;
    }
    const Clock::time_point now = Clock::now();
    for (auto& c : incoming) {
        auto l = std::make_unique<Live>();
        l->c = std::move(c);
        l->activeAt = now;
        ++m_served;
        Rewatch(*l, kFromClient);
        Rewatch(*l, kFromServer);
        if (m_stopping) End(*l, Ending::Stopped);
        m_live.push_back(std::move(l));
    }
    for (const Done& d : done) {
        if (d.side == kEnded) Release(d.live);
        else CallDone(*d.live, d.side, d.bytes);
    }
    if (stopGraceMs >= 0 && !m_stopping) BeginStop(now + std::chrono::milliseconds(stopGraceMs));
}

void ConnectionLoop::Rewatch(Live& l, int side) {
    if (l.ending != Ending::No || l.call[side].busy) return;
    const HostConnection& c = *l.c;
    const bool ended = side == kFromClient ? c.fromAppEnded : c.fromServerEnded;
    m_set.Watch(side == kFromClient ? c.appSocket.Get() : c.serverSocket.Get(), KeyOf(l, side), !ended);
}

void ConnectionLoop::Unwatch(Live& l) {
    m_set.Forget(l.c->appSocket.Get());
    m_set.Forget(l.c->serverSocket.Get());
}

void ConnectionLoop::Serve(Live& l, int side, unsigned events) {
    if (l.ending != Ending::No || l.call[side].busy) return;
    HostConnection& c = *l.c;
    if (events & net::kInvalid) {
        End(l, Ending::Normally);
        return;
    }
    const bool ended = side == kFromClient ? c.fromAppEnded : c.fromServerEnded;
    if (ended) {
        if (events & kGone) {
            c.wasReset = true;
            End(l, Ending::Reset);
        }
        return;
    }
    if (events & kAny) StartCall(l, side);
}

void ConnectionLoop::StartCall(Live& l, int side) {
    Live::Call& call = l.call[side];
    call.busy = true;
    // The direction is not watched while its call runs.
    m_set.Forget(side == kFromClient ? l.c->appSocket.Get() : l.c->serverSocket.Get());
    call.progressAt = Clock::now();
    if (m_shared.timeouts.sendMs > 0 || m_shared.timeouts.idleMs > 0) {
        const HostConnection& c = *l.c;
        call.acknowledged =
            net::GetSendProgress(side == kFromClient ? c.serverSocket.Get() : c.appSocket.Get())
                .acknowledged;
    }
    Live* const live = &l;
    m_shared.pool.Submit([this, live, side] { Post({live, side, Pump(*live, side)}); });
}

long long ConnectionLoop::Pump(Live& l, int side) {
    // While the side goes on sending, the worker goes on with it, up to a bound, rather
    // than going back through the loop after every call.
    constexpr int kCallsInARow = 32;
    zykproxy::Pump& pump = m_shared.pump;
    HostConnection& c = *l.c;
    const net::SocketId source = side == kFromClient ? c.appSocket.Get() : c.serverSocket.Get();
    long long total = 0;
    for (int call = 1;; ++call) {
        const int n = side == kFromClient ? pump.FromApplication(c) : pump.FromServer(c);
        if (n <= 0) return total;
        total += n;
        if (call == kCallsInARow || l.interrupted || net::Wait(source, false, 0) != 1) return total;
    }
}

void ConnectionLoop::CallDone(Live& l, int side, long long bytes) {
    l.call[side].busy = false;
    if (l.ending != Ending::No) return;
    if (bytes > 0) {
        (side == kFromClient ? m_shared.bytesFromClients : m_shared.bytesFromServers) +=
            static_cast<unsigned long long>(bytes);
        l.activeAt = Clock::now();
    } else if (!SideEnded(l, side)) {
        End(l, l.c->wasReset ? Ending::Reset : Ending::Normally);
        return;
    }
    Rewatch(l, side);
}

bool ConnectionLoop::SideEnded(Live& l, int side) {
    HostConnection& c = *l.c;
    const bool fromApp = side == kFromClient;
    net::Socket& from = fromApp ? c.appSocket : c.serverSocket;
    net::Socket& to = fromApp ? c.serverSocket : c.appSocket;
    // This side's sending direction is still open unless the other direction ended.
    const bool otherEnded = fromApp ? c.fromServerEnded : c.fromAppEnded;
    switch (net::ProbePeer(from.Get(), !otherEnded)) {
        case net::PeerState::Open:
            return true;  // woken for nothing (or the plug-in stopped early): go on
        case net::PeerState::Reset:
            c.wasReset = true;
            if (m_shared.verbose)
                m_shared.log(Name(l) + ": the " + (fromApp ? "client" : "server") +
                             " reset the connection");
            return false;
        case net::PeerState::Ended:
            break;
    }
    (fromApp ? c.fromAppEnded : c.fromServerEnded) = true;
    if (otherEnded) return false;
    // Everything the side sent has gone through the pump (and any file it completed
    // has been checked and released): pass the end of its stream on. Only this
    // direction's call writes to `to`, and it has returned.
    net::ShutdownSend(to.Get());
    if (m_shared.verbose)
        m_shared.log(Name(l) + ": end of the " +
                     (fromApp ? "client's stream passed on to the server"
                              : "server's stream passed on to the client"));
    return true;
}

void ConnectionLoop::End(Live& l, Ending how) {
    if (l.ending == Ending::No) Unwatch(l);
    if (l.ending == Ending::No) l.ending = how;
    // A connection cut short by a time-out is reset at both ends, so that neither peer
    // takes it for a complete stream (and the kernel drops what it still holds for them).
    if (how == Ending::TimedOut) l.c->wasReset = true;
    // A call blocked in a send (or a receive) fails once its sockets are shut down; the
    // plug-in then returns, and the connection ends the normal way.
    if ((how == Ending::TimedOut || how == Ending::Stopped) && l.Busy()) {
        l.interrupted = true;
        net::Interrupt(l.c->appSocket.Get());
        net::Interrupt(l.c->serverSocket.Get());
    }
}

bool ConnectionLoop::CheckSend(Live& l, int side, Clock::time_point now) {
    Live::Call& call = l.call[side];
    const HostConnection& c = *l.c;
    const net::SendProgress progress =
        net::GetSendProgress(side == kFromClient ? c.serverSocket.Get() : c.appSocket.Get());
    if (progress.writable || progress.acknowledged != call.acknowledged) {
        call.acknowledged = progress.acknowledged;
        call.progressAt = now;
        l.activeAt = now;
        return true;
    }
    const int limitMs = m_shared.timeouts.sendMs;
    if (limitMs <= 0 || now - call.progressAt < std::chrono::milliseconds(limitMs)) return true;
    ++m_shared.sendTimeouts;
    m_shared.log(Name(l) + ": the " + (side == kFromClient ? "server" : "client") +
                 " took no byte for " + std::to_string(limitMs / 1000) +
                 " s while bytes waited for it; connection closed");
    End(l, Ending::TimedOut);
    return false;
}

void ConnectionLoop::CheckTimes(Clock::time_point now) {
    const int idleMs = m_shared.timeouts.idleMs;
    for (const auto& live : m_live) {
        Live& l = *live;
        if (l.ending != Ending::No) continue;
        if (l.call[kFromClient].busy && !CheckSend(l, kFromClient, now)) continue;
        if (l.call[kFromServer].busy && !CheckSend(l, kFromServer, now)) continue;
        if (idleMs > 0 && now - l.activeAt >= std::chrono::milliseconds(idleMs)) {
            ++m_shared.idleTimeouts;
            m_shared.log(Name(l) + ": no byte in either direction for " +
                         std::to_string(idleMs / 1000) + " s; connection closed");
            End(l, Ending::TimedOut);
            continue;
        }
        if (!net::kPollReportsResets) ProbeEndedSides(l);
    }
}

void ConnectionLoop::ProbeEndedSides(Live& l) {
    // Where the wait cannot see the reset of a side whose stream has ended, ask it.
    HostConnection& c = *l.c;
    const bool reset = (c.fromAppEnded && !l.call[kFromServer].busy &&
                        net::ProbePeer(c.appSocket.Get(), true) == net::PeerState::Reset) ||
                       (c.fromServerEnded && !l.call[kFromClient].busy &&
                        net::ProbePeer(c.serverSocket.Get(), true) == net::PeerState::Reset);
    if (reset) {
        c.wasReset = true;
        End(l, Ending::Reset);
    }
}

void ConnectionLoop::FinishEnding(Live& l) {
    if (l.ending == Ending::No || l.endStarted || l.Busy()) return;
    l.endStarted = true;
    Live* const live = &l;
    m_shared.pool.Submit([this, live] {
        m_shared.pump.End(*live->c);
        Post({live, kEnded, 0});
    });
}

void ConnectionLoop::Release(Live* l) {
    const auto it = std::find_if(m_live.begin(), m_live.end(),
                                 [l](const std::unique_ptr<Live>& p) { return p.get() == l; });
    if (it == m_live.end()) return;
    std::unique_ptr<Live> gone = std::move(*it);
    *it = std::move(m_live.back());
    m_live.pop_back();
    HostConnection& c = *gone->c;
    const int id = c.id;
    if (c.wasReset) {
        net::ResetOnClose(c.appSocket.Get());
        net::ResetOnClose(c.serverSocket.Get());
    }
    gone.reset();  // closes both sockets
    --m_load;
    m_shared.ended(id);
}

void ConnectionLoop::BeginStop(Clock::time_point deadline) {
    m_stopping = true;
    m_stopDeadline = deadline;
    // Connections already ending are interrupted too when a call of theirs still runs.
    for (const auto& l : m_live)
        if (l->ending == Ending::No || l->Busy()) End(*l, Ending::Stopped);
}

void ConnectionLoop::Run() {
    std::vector<net::SocketSet::Ready> ready;
    const RunTimeouts& t = m_shared.timeouts;
    // How often the loop looks at calls in flight and idle connections: often enough
    // for a time-out to end within a quarter of its length, at most once a second.
    int shortest = std::min(t.sendMs > 0 ? t.sendMs : 4000, t.idleMs > 0 ? t.idleMs : 4000);
    const int tickMs = std::max(50, std::min(1000, shortest / 4));
    const int heartbeatMs = m_shared.heartbeatMs;
    for (;;) {
        m_turnedAt = Clock::now().time_since_epoch().count();
        // Stopping, the loop also waits for other loops' connections (and set-ups) to end.
        const bool ticking = !m_live.empty() && (t.sendMs > 0 || t.idleMs > 0 || !net::kPollReportsResets);
        int waitMs = m_stopping ? 20 : ticking ? tickMs : -1;
        if (heartbeatMs > 0 && (waitMs < 0 || waitMs > heartbeatMs)) waitMs = heartbeatMs;
        if (m_set.Wait(&ready, waitMs) < 0) {
            m_shared.log("waiting for sockets failed: " + net::LastErrorText());
            Stop(0);
        }
        bool woken = false;
        for (const auto& r : ready) woken = woken || r.key == kWakeKey;
        if (woken) {
            m_wake.Drain();
            TakeMessages();
        }
        // A connection that ended meanwhile is no longer watched, but still here: its
        // end is on its way to a worker, and only that worker's report releases it.
        for (const auto& r : ready)
            if (r.key != kWakeKey)
                Serve(*reinterpret_cast<Live*>(static_cast<uintptr_t>(r.key & ~uint64_t{1})),
                      static_cast<int>(r.key & 1), r.events);
        const Clock::time_point now = Clock::now();
        CheckTimes(now);
        for (const auto& l : m_live) FinishEnding(*l);
        if (m_stopping && ((m_live.empty() && m_shared.open.load() == 0) || now >= m_stopDeadline))
            break;
    }
    m_settled = m_live.empty();
}

}  // namespace zykproxy
