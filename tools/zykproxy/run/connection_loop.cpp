// The loop of a set of connections. Everything about a connection's state happens on
// the thread that owns the loop; a call that was handed on only reports what it read
// (Post). A data call that reads nothing from a readable side means that side has ended
// its stream (passed on to the other side with a shutdown of its sending direction) or
// reset the connection (which ends it).
#include "run/connection_loop.h"

#include <algorithm>

#include "run/blocking.h"

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
    net::SocketId Source(int side) const {
        return side == kFromClient ? c->appSocket.Get() : c->serverSocket.Get();
    }
    net::SocketId Destination(int side) const {
        return side == kFromClient ? c->serverSocket.Get() : c->appSocket.Get();
    }
};

namespace {
constexpr unsigned kAny = net::kReadable | net::kHangUp | net::kError | net::kInvalid;
constexpr unsigned kGone = net::kHangUp | net::kError | net::kInvalid;
constexpr uint64_t kWakeKey = 0;
// What a call that runs on its loop's thread may read before it lets the loop's other
// connections have their turn: 16 of the plug-in's blocks.
constexpr long long kTurnBytes = 1 << 20;

// A watched side's key: the connection's address with the side in its lowest bit.
template <typename Live>
uint64_t KeyOf(const Live& l, int side) {
    return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&l)) | static_cast<uint64_t>(side);
}

uint64_t MicrosNow() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

// The data call this thread makes for a loop, while it makes it.
struct CallScope {
    ConnectionLoop* loop;
    uint64_t word;  // the loop's owner word for this call
    const std::atomic<bool>* interrupted;
    bool handedOn = false;
    bool sendFailed = false;
    bool drained = false;
    long long turnBytes = 0;
};
thread_local CallScope* t_call = nullptr;

class EnterCall {
public:
    explicit EnterCall(CallScope* scope) { t_call = scope; }
    ~EnterCall() { t_call = nullptr; }
    EnterCall(const EnterCall&) = delete;
    EnterCall& operator=(const EnterCall&) = delete;
};
}  // namespace

void BeforeBlocking() {
    CallScope* const call = t_call;
    if (call == nullptr || call->handedOn) return;
    call->handedOn = true;
    call->loop->HandOn(call->word);
}

bool CallInterrupted() {
    const CallScope* const call = t_call;
    return call != nullptr && call->interrupted->load();
}

bool ReadEnough() {
    const CallScope* const call = t_call;
    return call != nullptr && (call->drained || call->sendFailed ||
                               (!call->handedOn && call->turnBytes >= kTurnBytes));
}

void Received(int bytes, int asked) {
    CallScope* const call = t_call;
    if (call == nullptr) return;
    call->turnBytes += bytes;
    call->drained = bytes < asked;
}

void SendFailed() {
    if (CallScope* const call = t_call) call->sendFailed = true;
}

ConnectionLoop::ConnectionLoop(LoopShared& shared) : m_shared(shared) {}

ConnectionLoop::~ConnectionLoop() {
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
    m_shared.pool.Submit([this] { Run(); });
}

void ConnectionLoop::Stop(int graceMs) {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stopGraceMs = graceMs;
    }
    m_wake.Signal();
}

bool ConnectionLoop::Join(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool finished = m_finishedChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                                     [this] { return m_finished; });
    return finished && m_settled;
}

void ConnectionLoop::Finished() {
    m_settled = m_live.empty();
    std::lock_guard<std::mutex> guard(m_mutex);
    m_finished = true;
    m_finishedChanged.notify_all();
}

void ConnectionLoop::Adopt(std::unique_ptr<HostConnection> c) {
    // The loop's calls neither wait in a receive nor in a send that the peer can take.
    net::SetBlocking(c->appSocket.Get(), false);
    net::SetBlocking(c->serverSocket.Get(), false);
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

void ConnectionLoop::HandOn(uint64_t word) {
    uint64_t expected = word;
    if (!m_owner.compare_exchange_strong(expected, kHandedOn, std::memory_order_acq_rel)) return;
    // An idle worker of the pool is the standby that takes over; the pool starts a new
    // one when none is idle.
    m_shared.pool.Submit([this] { Run(); });
}

void ConnectionLoop::HandOnIfCallRunsLonger(int limitMs) {
    const uint64_t word = m_owner.load(std::memory_order_acquire);
    if ((word & 3) != 1) return;
    if (MicrosNow() - (word >> 2) >= static_cast<uint64_t>(limitMs) * 1000) HandOn(word);
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
        else CallDone(*d.live, d.side, d.bytes, false);
    }
    if (stopGraceMs >= 0 && !m_stopping) BeginStop(now + std::chrono::milliseconds(stopGraceMs));
}

void ConnectionLoop::Rewatch(Live& l, int side) {
    if (l.ending != Ending::No || l.call[side].busy) return;
    const HostConnection& c = *l.c;
    const bool ended = side == kFromClient ? c.fromAppEnded : c.fromServerEnded;
    m_set.Watch(l.Source(side), KeyOf(l, side), !ended);
}

void ConnectionLoop::Unwatch(Live& l) {
    m_set.Forget(l.c->appSocket.Get());
    m_set.Forget(l.c->serverSocket.Get());
}

bool ConnectionLoop::Serve(Live& l, int side, unsigned events) {
    if (l.ending != Ending::No || l.call[side].busy) return true;
    HostConnection& c = *l.c;
    if (events & net::kInvalid) {
        End(l, Ending::Normally);
        return true;
    }
    const bool ended = side == kFromClient ? c.fromAppEnded : c.fromServerEnded;
    if (ended) {
        if (events & kGone) {
            c.wasReset = true;
            End(l, Ending::Reset);
        }
        return true;
    }
    return (events & kAny) == 0 || Call(l, side);
}

bool ConnectionLoop::Call(Live& l, int side) {
    l.call[side].busy = true;
    m_inFlight = InFlight{&l, side};
    const uint64_t started = MicrosNow();
    const uint64_t word = (started << 2) | 1;
    m_owner.store(word, std::memory_order_release);
    long long bytes;
    {
        CallScope scope{this, word, &l.interrupted};
        const EnterCall entered(&scope);
        bytes = side == kFromClient ? m_shared.pump.FromApplication(*l.c)
                                    : m_shared.pump.FromServer(*l.c);
    }
    uint64_t expected = word;
    if (m_owner.compare_exchange_strong(expected, 0, std::memory_order_acq_rel)) {
        m_inFlight = InFlight{};
        CallDone(l, side, bytes, true);
        return true;
    }
    // The loop went on on another thread meanwhile: this one reports like a worker.
    Post({&l, side, bytes});
    return false;
}

void ConnectionLoop::TakeOver() {
    m_owner.store(0, std::memory_order_relaxed);
    if (m_inFlight.live == nullptr) return;
    Live& l = *m_inFlight.live;
    const int side = m_inFlight.side;
    m_inFlight = InFlight{};
    // The previous owner's call goes on as a worker's: its direction is not watched until
    // it reports, and the send time-out counts from now.
    m_set.Forget(l.Source(side));
    Live::Call& call = l.call[side];
    call.progressAt = Clock::now();
    if (m_shared.timeouts.sendMs > 0) call.acknowledged = net::GetSendProgress(l.Destination(side)).acknowledged;
}

void ConnectionLoop::CallDone(Live& l, int side, long long bytes, bool watched) {
    l.call[side].busy = false;
    if (l.ending != Ending::No) return;
    if (bytes > 0) {
        (side == kFromClient ? m_shared.bytesFromClients : m_shared.bytesFromServers) +=
            static_cast<unsigned long long>(bytes);
        l.activeAt = Clock::now();
        if (!watched) Rewatch(l, side);
        return;
    }
    if (!SideEnded(l, side)) {
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
    // A call blocked in a send fails once the socket it sends to is shut down; the
    // plug-in then returns, and the connection ends the normal way. A shutdown sends the
    // peer an orderly end ahead of the reset, so on a time-out only the sockets that
    // calls send to are shut down: a stalled peer never sees that end behind the bytes
    // that wait for it, and the other peer gets the reset alone.
    if ((how == Ending::TimedOut || how == Ending::Stopped) && l.Busy()) {
        l.interrupted = true;
        const bool both = how == Ending::Stopped;
        if (both || l.call[kFromServer].busy) net::Interrupt(l.c->appSocket.Get());
        if (both || l.call[kFromClient].busy) net::Interrupt(l.c->serverSocket.Get());
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
    TakeOver();
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
            if (r.key != kWakeKey &&
                !Serve(*reinterpret_cast<Live*>(static_cast<uintptr_t>(r.key & ~uint64_t{1})),
                       static_cast<int>(r.key & 1), r.events))
                return;  // handed on: another thread runs the loop now
        const Clock::time_point now = Clock::now();
        CheckTimes(now);
        for (const auto& l : m_live) FinishEnding(*l);
        if (m_stopping && ((m_live.empty() && m_shared.open.load() == 0) || now >= m_stopDeadline))
            break;
    }
    Finished();
}

}  // namespace zykproxy
