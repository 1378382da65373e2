// The monitor's thread: a look every few milliseconds while connections are open.
#include "run/loop_monitor.h"

#include <chrono>

namespace zykproxy {

LoopMonitor::LoopMonitor(const std::vector<std::unique_ptr<ConnectionLoop>>& loops,
                         const std::atomic<int>& open)
    : m_loops(loops), m_open(open) {}

LoopMonitor::~LoopMonitor() { Stop(); }

void LoopMonitor::Start() { m_thread = std::thread([this] { Run(); }); }

void LoopMonitor::Wake() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_changed.notify_all();
}

void LoopMonitor::Stop() {
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_stopping = true;
        m_changed.notify_all();
    }
    if (m_thread.joinable()) m_thread.join();
}

void LoopMonitor::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        if (m_open.load() == 0) {
            m_changed.wait(lock, [this] { return m_stopping || m_open.load() > 0; });
            continue;
        }
        m_changed.wait_for(lock, std::chrono::milliseconds(kCallLimitMs));
        for (const auto& loop : m_loops) loop->HandOnIfCallRunsLonger(kCallLimitMs);
    }
}

}  // namespace zykproxy
