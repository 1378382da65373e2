// The threads that make the calls which may block: the plug-in's data calls (a scan, a
// send to a client that reads slowly), connection set-up and ending. A task never waits
// for a thread while fewer than the limit exist: a blocked call holds up only its own
// thread, never the tasks queued behind it. Threads that have been idle for a while go.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>

namespace zykproxy {

class WorkerPool {
public:
    struct Settings {
        int maxThreads = 2000;
        size_t stackBytes = 256 * 1024;
        int idleExitMs = 10000;  // an idle thread ends after this long
    };
    explicit WorkerPool(Settings settings);
    // Waits for every task and thread to finish: only call it once nothing blocks.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs task on a worker: an idle one, a new one while fewer than maxThreads exist,
    // else the next to come free. Tasks must not throw.
    void Submit(std::function<void()> task);
    // Waits up to timeoutMs (-1: no limit) until no task is queued or running; true then.
    bool WaitIdle(int timeoutMs);

    struct Counts {
        int threads = 0;      // alive now
        int busy = 0;         // running a task now
        int peakThreads = 0;  // most alive at once
    };
    Counts GetCounts() const;

private:
    void Work();
    bool StartThreadLocked();

    const Settings m_settings;
    mutable std::mutex m_mutex;
    std::condition_variable m_taskReady;  // a task was queued, or the pool is closing
    std::condition_variable m_changed;    // a task ended, or a thread did
    std::deque<std::function<void()>> m_tasks;
    int m_threads = 0, m_idle = 0, m_busy = 0, m_peak = 0;
    bool m_closing = false;
};

}  // namespace zykproxy
