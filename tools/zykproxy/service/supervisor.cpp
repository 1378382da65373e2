// The supervisor's thread wakes for a hangup, for a finished signature load, for the next
// watchdog ping and for the next status line, whichever comes first.
#include "service/supervisor.h"

#include <algorithm>
#include <vector>

namespace zykproxy::service {

namespace {
constexpr auto kStatusEvery = std::chrono::seconds(10);
}

Supervisor::Supervisor(Settings settings)
    : m_settings(std::move(settings)),
      // Pinged twice per period, as the service manager's documentation advises.
      m_watchdogEvery(std::chrono::microseconds(HeartbeatMs(m_settings.manager) > 0
                                                    ? m_settings.manager.watchdogUsec / 2
                                                    : 0)) {}

Supervisor::~Supervisor() { Stop(); }

int Supervisor::HeartbeatMs(const platform::ServiceManager& manager) {
    if (!manager.Present() || manager.watchdogUsec <= 0) return 0;
    return static_cast<int>(std::max<long long>(10, manager.watchdogUsec / 4000));
}

bool Supervisor::Open(std::string* error) { return m_wake.Open(error); }

void Supervisor::Start() { m_thread = std::thread([this] { Run(); }); }

void Supervisor::Notify(const std::string& message) const {
    platform::NotifyServiceManager(m_settings.manager, message);
}

void Supervisor::Ready() { Notify("READY=1\nSTATUS=" + m_settings.status()); }

void Supervisor::Hangup() {
    m_hangup = true;
    m_wake.Signal();
}

void Supervisor::Stopping() { Notify("STOPPING=1"); }

void Supervisor::Stop() {
    if (!m_thread.joinable()) return;
    m_stop = true;
    m_wake.Signal();
    m_thread.join();
}

void Supervisor::BeginReload() {
    // Newer service managers (Type=notify-reload) want the moment of the request.
    Notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(platform::MonotonicMicros()));
    m_reloading = true;
    if (m_settings.reloadSettings) m_settings.reloadSettings();
    if (m_settings.signatures == nullptr) return;
    ++m_pendingLoads;
    m_settings.signatures->CheckSoon([this] {
        --m_pendingLoads;
        m_wake.Signal();
    });
}

void Supervisor::Watchdog(Clock::time_point now) {
    const auto since = now - m_settings.oldestLoopTurn();
    if (since <= m_watchdogEvery) {
        Notify("WATCHDOG=1");
        m_stuckLogged = false;
        return;
    }
    if (m_stuckLogged) return;
    m_stuckLogged = true;
    m_settings.log("a socket-watching loop has not turned for " +
                   std::to_string(std::chrono::duration_cast<std::chrono::milliseconds>(since).count()) +
                   " ms: no watchdog ping until it does");
}

void Supervisor::Run() {
    const bool watchdog = m_watchdogEvery > Clock::duration::zero();
    const bool manager = m_settings.manager.Present();
    Clock::time_point nextPing = Clock::now(), nextStatus = Clock::now() + kStatusEvery;
    std::string lastStatus;
    while (!m_stop) {
        const Clock::time_point now = Clock::now();
        if (m_hangup.exchange(false)) BeginReload();
        if (m_reloading && m_pendingLoads.load() == 0) {
            m_reloading = false;
            Ready();
        }
        if (watchdog && now >= nextPing) {
            Watchdog(now);
            nextPing = now + m_watchdogEvery;
        }
        if (manager && now >= nextStatus) {
            const std::string status = m_settings.status();
            if (status != lastStatus) Notify("STATUS=" + status);
            lastStatus = status;
            nextStatus = now + kStatusEvery;
        }
        const Clock::time_point next = watchdog ? std::min(nextPing, nextStatus) : nextStatus;
        const auto waitMs = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
        std::vector<net::PollEntry> wait{{m_wake.ReadSide()}};
        net::Poll(wait, manager ? static_cast<int>(std::max<long long>(1, waitMs)) : -1);
        m_wake.Drain();
    }
}

}  // namespace zykproxy::service
