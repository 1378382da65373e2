// The worker threads: detached, each counted while alive, so that the pool can wait
// for them at its end without holding a thread handle per worker.
#include "run/worker_pool.h"

#include <chrono>

#include "platform/thread.h"

namespace zykproxy {

WorkerPool::WorkerPool(Settings settings) : m_settings(settings) {}

WorkerPool::~WorkerPool() {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_closing = true;
    m_taskReady.notify_all();
    m_changed.wait(lock, [this] { return m_threads == 0; });
}

bool WorkerPool::StartThreadLocked() {
    if (!platform::StartDetachedThread(m_settings.stackBytes, [this] { Work(); })) return false;
    ++m_threads;
    if (m_threads > m_peak) m_peak = m_threads;
    return true;
}

void WorkerPool::Submit(std::function<void()> task) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_tasks.push_back(std::move(task));
    // Queued tasks beyond the idle threads each get a thread of their own. When the
    // system refuses one, the task waits for a thread that comes free.
    const int waiting = static_cast<int>(m_tasks.size());
    if (waiting > m_idle && m_threads < m_settings.maxThreads && StartThreadLocked()) return;
    m_taskReady.notify_one();
}

void WorkerPool::Work() {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto idleLimit = std::chrono::milliseconds(m_settings.idleExitMs);
    for (;;) {
        ++m_idle;
        const bool woken = m_taskReady.wait_for(lock, idleLimit, [this] {
            return !m_tasks.empty() || m_closing;
        });
        --m_idle;
        if (!woken || m_tasks.empty()) break;  // idle too long, or closing with nothing queued
        std::function<void()> task = std::move(m_tasks.front());
        m_tasks.pop_front();
        ++m_busy;
        lock.unlock();
        task();
        task = nullptr;  // whatever it holds goes before the pool may be told it is idle
        lock.lock();
        --m_busy;
        m_changed.notify_all();
    }
    --m_threads;
    m_changed.notify_all();
}

bool WorkerPool::WaitIdle(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    const auto idle = [this] { return m_tasks.empty() && m_busy == 0; };
    if (timeoutMs < 0) {
        m_changed.wait(lock, idle);
        return true;
    }
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), idle);
}

WorkerPool::Counts WorkerPool::GetCounts() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    return Counts{m_threads, m_busy, m_peak};
}

}  // namespace zykproxy
