// One socket-watching loop. The thread that runs it (its owner) waits for the sockets of
// its connections and makes the data call of a readable side itself, as a plain proxy
// reads and writes on the thread that saw the event. A call leaves the loop only when it
// would wait: at a scan, or at a send that finds its peer's socket full, the owner hands
// the loop to a standby thread first (BeforeBlocking), and then finishes its call as a
// worker and reports it. A call that waits where zykproxy cannot see it (inside the
// plug-in) is handed on the same way by the monitor, once it has run for a while. So a
// call that blocks holds up only its own connection, and a call that does not block
// costs no hand-off. While a handed-on call runs, the loop does not watch that
// direction; it watches the call's progress instead, for the time-outs.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "run/pump.h"
#include "common/socket_set.h"
#include "run/worker_pool.h"
#include "sockets.h"

namespace zykproxy {

// The time-outs of a running connection, in milliseconds; 0: none.
struct RunTimeouts {
    int sendMs = 300000;  // a peer takes no byte while bytes wait for it
    int idleMs = 0;       // no byte in either direction
};

// What the loops share with the server that owns them.
struct LoopShared {
    LoopShared(Pump& pumpUsed, WorkerPool& poolUsed) : pump(pumpUsed), pool(poolUsed) {}
    Pump& pump;
    WorkerPool& pool;
    RunTimeouts timeouts;
    // > 0: each loop turns at least this often, so that a watchdog can tell a loop that
    // is stuck from one that has nothing to do (LastTurn).
    int heartbeatMs = 0;
    bool verbose = false;
    std::function<void(const std::string&)> log;
    // A connection has ended and its sockets are closed (the loop has let it go).
    std::function<void(int id)> ended;
    std::atomic<unsigned long long> bytesFromClients{0}, bytesFromServers{0};
    std::atomic<unsigned long> sendTimeouts{0}, idleTimeouts{0};
    std::atomic<int> open{0};  // connections accepted and not yet ended, loops or not
};

class ConnectionLoop {
public:
    explicit ConnectionLoop(LoopShared& shared);
    ~ConnectionLoop();
    ConnectionLoop(const ConnectionLoop&) = delete;
    ConnectionLoop& operator=(const ConnectionLoop&) = delete;

    bool Open(std::string* error);
    // Starts the loop on a thread of the pool.
    void Start();
    // Ends every connection (a call that blocks is interrupted by shutting its sockets
    // down) and has the loop end once all have ended and no other is on its way, or
    // after graceMs; from any thread.
    void Stop(int graceMs);
    // Waits up to timeoutMs for the loop to end after Stop. False when it did not, or
    // when it gave up on connections whose calls did not return in time.
    bool Join(int timeoutMs);

    // Hands over a connection that the plug-in has been told of; from any thread.
    void Adopt(std::unique_ptr<HostConnection> c);
    int Load() const { return m_load.load(); }
    unsigned long Served() const { return m_served.load(); }
    // When the loop last began a turn (when it was started, before its first).
    std::chrono::steady_clock::time_point LastTurn() const {
        return Clock::time_point(Clock::duration(m_turnedAt.load()));
    }

    // For the monitor: hands the loop on when its owner has been inside one data call
    // for longer than limitMs. From any thread.
    void HandOnIfCallRunsLonger(int limitMs);
    // Hands the loop on from the data call whose owner word is `word` (see m_owner);
    // nothing when that call has returned or the loop has been handed on already.
    void HandOn(uint64_t word);

private:
    using Clock = std::chrono::steady_clock;
    enum Side { kFromClient = 0, kFromServer = 1 };
    enum class Ending { No, Normally, Reset, TimedOut, Stopped };
    struct Live;
    // What a call that was handed on reports back to the loop.
    struct Done {
        Live* live;
        int side;        // a Side, or kEnded
        long long bytes;  // read by the data call
    };
    static constexpr int kEnded = 2;

    // The loop, on its owner's thread. It returns when the loop ends, or when a call of
    // the owner's was handed on (the thread is then a worker that has reported).
    void Run();
    void TakeOver();
    void Finished();
    void Post(const Done& done);
    void TakeMessages();
    // Watches a side that has no call in flight (its reading end, or after the end of its
    // stream only a reset); forgets both sides of a connection that ends.
    void Rewatch(Live& l, int side);
    void Unwatch(Live& l);
    // False when the loop was handed on during a data call made here.
    bool Serve(Live& l, int side, unsigned events);
    bool Call(Live& l, int side);
    void CallDone(Live& l, int side, long long bytes, bool watched);
    bool SideEnded(Live& l, int side);
    void End(Live& l, Ending how);
    void CheckTimes(Clock::time_point now);
    bool CheckSend(Live& l, int side, Clock::time_point now);
    void ProbeEndedSides(Live& l);
    void FinishEnding(Live& l);
    void Release(Live* l);
    void BeginStop(Clock::time_point deadline);
    std::string Name(const Live& l) const;

    LoopShared& m_shared;
    net::WakePair m_wake;
    net::SocketSet m_set;  // the wake-up socket and the sides being watched
    std::mutex m_mutex;  // guards the two lists below, m_stopGraceMs and m_finished
    std::vector<std::unique_ptr<HostConnection>> m_incoming;
    std::vector<Done> m_done;
    int m_stopGraceMs = -1;  // >= 0 once Stop was asked for
    bool m_finished = false;
    std::condition_variable m_finishedChanged;
    // Who runs the loop: 0 while its owner is in the loop's own code; (start << 2) | 1
    // while the owner makes a data call that began at `start` (microseconds of the
    // steady clock); kHandedOn from the moment the loop is handed to another thread
    // until that thread takes over.
    static constexpr uint64_t kHandedOn = 2;
    std::atomic<uint64_t> m_owner{0};
    // The owner's own state, passed from owner to owner by the hand-on.
    struct InFlight {
        Live* live = nullptr;
        int side = 0;
    };
    InFlight m_inFlight;  // the owner's data call, for the thread that takes over from it
    std::vector<std::unique_ptr<Live>> m_live;
    bool m_stopping = false;
    Clock::time_point m_stopDeadline;
    std::atomic<bool> m_settled{true};
    std::atomic<int> m_load{0};
    std::atomic<unsigned long> m_served{0};
    std::atomic<Clock::rep> m_turnedAt{0};
};

}  // namespace zykproxy
