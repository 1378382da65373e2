// The service manager's side of a running proxy, on a thread of its own: READY=1 once it
// serves, RELOADING=1 and READY=1 around a reload (SIGHUP), STOPPING=1, a STATUS= line
// with the statistics, and WATCHDOG=1 for as long as every socket-watching loop turns.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/notify.h"
#include "service/signature_reloader.h"
#include "sockets.h"

namespace zykproxy::service {

class Supervisor {
public:
    struct Settings {
        platform::ServiceManager manager;
        // Reads the settings that can change without a new socket (the users file), on
        // the supervisor's thread.
        std::function<void()> reloadSettings;
        SignatureReloader* signatures = nullptr;  // null: no signatures of our own
        std::function<std::string()> status;      // the statistics line
        // When the loop that has gone longest without a turn last began one.
        std::function<std::chrono::steady_clock::time_point()> oldestLoopTurn;
        std::function<void(const std::string&)> log;
    };
    explicit Supervisor(Settings settings);
    ~Supervisor();
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    // How often each loop must turn for the watchdog to tell a stuck one: 0 with no watchdog.
    static int HeartbeatMs(const platform::ServiceManager& manager);

    bool Open(std::string* error);
    void Start();
    // The proxy listens and its scanner answers.
    void Ready();
    // Read the settings and the signatures again; safe in a signal handler.
    void Hangup();
    // The proxy has begun to stop; from any thread.
    void Stopping();
    void Stop();

private:
    using Clock = std::chrono::steady_clock;
    void Run();
    void BeginReload();
    void Watchdog(Clock::time_point now);
    void Notify(const std::string& message) const;

    const Settings m_settings;
    const Clock::duration m_watchdogEvery;  // zero: no watchdog
    net::WakePair m_wake;
    std::atomic<bool> m_stop{false}, m_hangup{false};
    std::atomic<int> m_pendingLoads{0};  // signature looks asked for and not yet done
    bool m_reloading = false;            // the supervisor thread's own
    bool m_stuckLogged = false;
    std::thread m_thread;
};

}  // namespace zykproxy::service
