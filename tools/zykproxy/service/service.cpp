// The service's parts put together: what a hangup reads again, where the figures come
// from, and the order in which the threads start and stop.
#include "service/service.h"

#include <atomic>

#include "platform/system.h"

namespace zykproxy::service {

namespace {
std::atomic<Supervisor*> g_hangupTo{nullptr};
}

Service::Service(ServiceSettings settings)
    : m_settings(std::move(settings)) {
    m_sources.times = &m_times;
}

Service::~Service() { Stop(-1); }

void Service::Watch(ScanService& scans, Scanner& scanner) {
    m_sources.scans = &scans;
    ScanTimes* const times = &m_times;
    scans.SetCheckObserver([times](uint64_t micros) { times->Add(micros); });
    SignatureSet* const signatures = scanner.Signatures();
    m_sources.signatures = signatures;
    if (signatures != nullptr)
        m_reloader = std::make_unique<SignatureReloader>(*signatures, m_settings.dbCheckSeconds, m_settings.log);
}

void Service::OnHangup() {
    if (Supervisor* s = g_hangupTo.load()) s->Hangup();
}

bool Service::Start(const ProxyServer& server, std::string* error) {
    m_sources.server = &server;
    if (m_settings.metrics) {
        const FigureSources sources = m_sources;
        m_metrics = std::make_unique<MetricsServer>(
            m_settings.metricsAt, m_settings.clients,
            [sources] { return MetricsText(sources.Collect()); }, m_settings.log);
        if (!m_metrics->Open(error)) {
            *error = "--metrics " + net::FormatEndpoint(m_settings.metricsAt) + ": " + *error;
            return false;
        }
    }
    Supervisor::Settings s;
    s.manager = m_settings.manager;
    s.reloadSettings = [this] { ReloadUsers(); };
    s.signatures = m_reloader.get();
    s.status = [this] { return StatisticsLine(); };
    s.oldestLoopTurn = [&server] { return server.OldestLoopTurn(); };
    s.log = m_settings.log;
    m_supervisor = std::make_unique<Supervisor>(std::move(s));
    if (!m_supervisor->Open(error)) return false;
    if (m_reloader) m_reloader->Start();
    if (m_metrics) m_metrics->Start();
    m_supervisor->Start();
    g_hangupTo = m_supervisor.get();
    platform::InstallHangupHandler(&Service::OnHangup);
    return true;
}

net::Endpoint Service::MetricsBound() const { return m_metrics ? m_metrics->Bound() : net::Endpoint{}; }

std::string Service::StatisticsLine() const {
    return m_sources.server == nullptr ? std::string()
                                       : service::StatisticsLine(m_sources.server->GetStats(), m_sources.scans);
}

void Service::Ready() {
    if (m_supervisor) m_supervisor->Ready();
}

void Service::Stopping() {
    if (m_supervisor) m_supervisor->Stopping();
}

bool Service::Stop(int graceMs) {
    g_hangupTo = nullptr;
    if (m_metrics) m_metrics->Stop();
    // The reloader first: what it calls back when a load ends goes to the supervisor.
    if (m_reloader && !m_reloader->Stop(graceMs)) return false;
    if (m_supervisor) m_supervisor->Stop();
    return true;
}

void Service::ReloadUsers() {
    if (!m_settings.users) {
        if (!m_reloader)
            m_settings.log("SIGHUP: nothing to read again (no --socks-users, and the scanner "
                           "keeps no signatures of its own)");
        return;
    }
    const std::string& path = m_settings.usersPath;
    const size_t before = m_settings.users->Get()->Size();
    accept::Users users;
    std::string error;
    if (!accept::LoadUsersFile(path, &users, &error)) {
        m_settings.log("SIGHUP: " + error + "; the " + std::to_string(before) +
                       " user(s) read before stay in force");
        return;
    }
    const size_t after = users.Size();
    m_settings.users->Set(std::move(users));
    m_settings.log("SIGHUP: users file " + path + " read again: " + std::to_string(after) +
                   " user(s), " + std::to_string(before) + " before");
}

}  // namespace zykproxy::service
