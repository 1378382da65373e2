// One socket-watching loop: it waits for the sockets of its connections and hands a
// side that is readable to a worker, which makes the data call. The loop itself never
// calls the plug-in and never sends, so a call that blocks (a scan, a client that does
// not read) holds up only its own connection. While a call runs, the loop does not
// watch that direction; it watches the call's progress instead, for the time-outs.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
    void Start();
    // Ends every connection (a call that blocks is interrupted by shutting its sockets
    // down) and returns once all have ended and no other is on its way, or after
    // graceMs; from any thread.
    void Stop(int graceMs);
    // False when the loop gave up on connections whose calls did not return in time.
    bool Join();

    // Hands over a connection that the plug-in has been told of; from any thread.
    void Adopt(std::unique_ptr<HostConnection> c);
    int Load() const { return m_load.load(); }
    unsigned long Served() const { return m_served.load(); }
    // When the loop last began a turn (when it was started, before its first).
    std::chrono::steady_clock::time_point LastTurn() const {
        return Clock::time_point(Clock::duration(m_turnedAt.load()));
    }

private:
    using Clock = std::chrono::steady_clock;
    enum Side { kFromClient = 0, kFromServer = 1 };
    enum class Ending { No, Normally, Reset, TimedOut, Stopped };
    struct Live;
    // What a worker reports back to the loop.
    struct Done {
        Live* live;
        int side;        // a Side, or kEnded
        long long bytes;  // read by the data calls
    };
    static constexpr int kEnded = 2;

    void Run();
    void Post(const Done& done);
    void TakeMessages();
    // Watches a side that has no call in flight (its reading end, or after the end of its
    // stream only a reset); forgets both sides of a connection that ends.
    void Rewatch(Live& l, int side);
    void Unwatch(Live& l);
    void Serve(Live& l, int side, unsigned events);
    void StartCall(Live& l, int side);
    // The data calls of one turn of a worker; the bytes they read.
    long long Pump(Live& l, int side);
    void CallDone(Live& l, int side, long long bytes);
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
    std::thread m_thread;
    net::WakePair m_wake;
    net::SocketSet m_set;  // the wake-up socket and the sides being watched
    std::mutex m_mutex;  // guards the two lists below and m_stopGraceMs
    std::vector<std::unique_ptr<HostConnection>> m_incoming;
    std::vector<Done> m_done;
    int m_stopGraceMs = -1;  // >= 0 once Stop was asked for
    // The loop thread's own state.
    std::vector<std::unique_ptr<Live>> m_live;
    bool m_stopping = false;
    Clock::time_point m_stopDeadline;
    std::atomic<bool> m_settled{true};
    std::atomic<int> m_load{0};
    std::atomic<unsigned long> m_served{0};
    std::atomic<Clock::rep> m_turnedAt{0};
};

}  // namespace zykproxy
