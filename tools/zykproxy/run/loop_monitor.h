// Watches the loops' owners: one that has been inside a single data call for a while
// waits where zykproxy cannot see it (for a lock inside the plug-in, or a slow disk), and
// its loop is handed on, so that the call holds up only its own connection.
#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "run/connection_loop.h"

namespace zykproxy {

class LoopMonitor {
public:
    // A call is handed on once it has run this long; the monitor looks as often.
    static constexpr int kCallLimitMs = 5;

    // `open`: the connections being served; while there are none the monitor sleeps.
    LoopMonitor(const std::vector<std::unique_ptr<ConnectionLoop>>& loops, const std::atomic<int>& open);
    ~LoopMonitor();
    LoopMonitor(const LoopMonitor&) = delete;
    LoopMonitor& operator=(const LoopMonitor&) = delete;

    void Start();
    // Has a sleeping monitor look again: a connection came while none was open.
    void Wake();
    void Stop();

private:
    void Run();

    const std::vector<std::unique_ptr<ConnectionLoop>>& m_loops;
    const std::atomic<int>& m_open;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_stopping = false;
    std::thread m_thread;
};

}  // namespace zykproxy
