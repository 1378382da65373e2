// What runs beside the proxy when it runs for months: the signatures and the users file
// read again (--db-check, SIGHUP) without a connection cut, the service manager's
// notifications and watchdog, and the metrics port (--metrics). main() only wires it.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "accept/access.h"
#include "platform/notify.h"
#include "run/proxy_server.h"
#include "scan/scan_service.h"
#include "service/figures.h"
#include "service/metrics_server.h"
#include "service/signature_reloader.h"
#include "service/supervisor.h"
#include "sockets.h"

namespace zykproxy::service {

struct ServiceSettings {
    platform::ServiceManager manager;  // taken from the environment before any thread started
    int dbCheckSeconds = 600;  // 0: the signatures are looked at on SIGHUP only
    bool metrics = false;
    net::Endpoint metricsAt;
    std::shared_ptr<const accept::ClientRules> clients;  // for the metrics port too
    std::string usersPath;                          // empty: no users file
    std::shared_ptr<accept::UsersHolder> users;     // what SIGHUP replaces
    std::function<void(const std::string&)> log;
};

class Service {
public:
    explicit Service(ServiceSettings settings);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    // How often the server's loops must turn, for the watchdog: 0 when there is none.
    int HeartbeatMs() const { return Supervisor::HeartbeatMs(m_settings.manager); }
    // The plug-in's scan service and its scanner, before the first check.
    void Watch(ScanService& scans, Scanner& scanner);
    // Once the server listens: the metrics port, the threads, the SIGHUP handler. False
    // and why when the metrics port cannot be opened.
    bool Start(const ProxyServer& server, std::string* error);
    // Where the metrics are served; port 0 when they are not.
    net::Endpoint MetricsBound() const;
    // The statistics line, from the same figures as the metrics.
    std::string StatisticsLine() const;
    void Ready();
    void Stopping();
    // Ends the threads. False when a signature load was still running after graceMs:
    // the process must then end at once, without destroying anything.
    bool Stop(int graceMs);

private:
    void ReloadUsers();
    static void OnHangup();

    const ServiceSettings m_settings;
    ScanTimes m_times;
    FigureSources m_sources;
    std::unique_ptr<SignatureReloader> m_reloader;
    std::unique_ptr<Supervisor> m_supervisor;
    std::unique_ptr<MetricsServer> m_metrics;
};

}  // namespace zykproxy::service
