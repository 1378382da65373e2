// zykproxy: a TCP proxy host for the zykim plug-in, and a readable example of one.
// It loads the plug-in by path, registers a scan callback backed by the chosen
// scanner, and hands every proxied connection to the plug-in's exports.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "console.h"
#include "options.h"
#include "sockets.h"
#include "platform/notify.h"
#include "platform/system.h"
#include "platform/trace_relay.h"
#include "plugin_library.h"
#include "run/proxy_server.h"
#include "run/pump.h"
#include "scan/scan_service.h"
#include "scan/scanner.h"
#include "service/service.h"

namespace {

zykproxy::ProxyServer* g_server = nullptr;
void OnStopRequest() {
    if (g_server != nullptr) g_server->Stop();
}
void OnReportRequest() {
    if (g_server != nullptr) g_server->RequestReport();
}

std::unique_ptr<zykproxy::Scanner> MakeScanner(const zykproxy::Options& o,
                                               zykproxy::Console& console, std::string* error) {
    using zykproxy::ScannerKind;
    switch (o.scanner) {
        case ScannerKind::None:
            return zykproxy::MakeNoScanner();
        case ScannerKind::Clamd: {
            zykproxy::ClamdAddress address = zykproxy::DefaultClamdAddress();
            if (!o.clamdSocket.empty()) address.localSocket = o.clamdSocket;
            if (o.clamdTcpGiven) {
                address.localSocket.clear();
                address.tcp = o.clamdTcp;
            }
            return zykproxy::MakeClamdScanner(address, o.scanTimeoutSeconds * 1000, error);
        }
        case ScannerKind::Icap:
            return zykproxy::MakeIcapScanner(o.icapUrl, o.scanTimeoutSeconds * 1000, error);
        case ScannerKind::Command:
            return zykproxy::MakeCommandScanner(o.scanCommand, o.scanArgs,
                                                o.scanTimeoutSeconds * 1000, error);
        case ScannerKind::Clamav:
#ifdef ZYKPROXY_WITH_CLAMAV
            return zykproxy::MakeClamavScanner(
                o.clamavDatabases.empty() ? zykproxy::DefaultClamavDatabases() : o.clamavDatabases,
                [&console](const std::string& line) { console.Log(line); }, error);
#else
            break;
#endif
    }
    *error = "this scanner is not available in this build";
    return nullptr;
}

// What moves the bytes: the plug-in with its scan service, or the plain forwarder.
struct Mover {
    std::unique_ptr<zykproxy::Scanner> scanner;
    std::unique_ptr<zykproxy::ScanService> scans;
    zykproxy::PluginLibrary plugin;
    std::unique_ptr<zykproxy::Pump> pump;

    // 0, or the exit status after saying why on the console.
    int Start(const zykproxy::Options& o, zykproxy::Console& console) {
        using namespace zykproxy;
        if (o.noPlugin) {
            pump = std::make_unique<ForwardPump>();
            console.Log("no plug-in: bytes are forwarded unchanged");
            return 0;
        }
        std::string error;
        scanner = MakeScanner(o, console, &error);
        if (!scanner) {
            console.Log(error);
            // A scanning server named on the command line that does not work is treated
            // as --upstream is: status 2.
            return o.scanner == ScannerKind::Icap || o.scanner == ScannerKind::Clamd ? 2 : 1;
        }
        const std::string path = o.pluginPath.empty()
                                     ? platform::ExecutableFolder() + platform::PluginFileName()
                                     : o.pluginPath;
        if (!plugin.Load(path, &error)) {
            console.Log("cannot use the plug-in: " + error);
            return 1;
        }
        scans = std::make_unique<ScanService>(*scanner, console);
        scans->Activate();
        plugin.Exports().RegisterCallback(&ScanService::Callback);
        const int checks = AllowParallelChecks(o);
        pump = std::make_unique<PluginPump>(plugin.Exports());
        console.Log("plug-in " + path);
        console.Log("scanner " + scanner->Describe());
        console.Log(checks == 1 ? std::string("one file checked at a time")
                                : "up to " + std::to_string(checks) + " files checked at once");
        return 0;
    }

    // The scan service is safe to enter from several threads at once: the plug-in is
    // told to check up to --parallel-checks files at once, or as many as the scanner
    // serves. Returns the count in effect.
    int AllowParallelChecks(const zykproxy::Options& o) {
        const int wanted = o.parallelChecks != 0 ? o.parallelChecks : zykproxy::DefaultParallelChecks(*scanner);
        const auto set = plugin.Exports().SetParallelChecks;
        return set != nullptr ? set(wanted) : 1;
    }
};

// --max-connections as the descriptor limit allows: each connection holds two sockets
// and a held file, and some descriptors are kept for the listener, scanners and logs.
int ConnectionsTheLimitHolds(int wanted, zykproxy::Console& console) {
    constexpr long kSpare = 64, kPerConnection = 3;
    const long limit = zykproxy::platform::RaiseDescriptorLimit();
    if (limit < 0) return wanted;
    const long holds = limit > kSpare ? (limit - kSpare) / kPerConnection : 1;
    if (holds >= wanted) return wanted;
    const int lowered = static_cast<int>(holds < 1 ? 1 : holds);
    console.Log("the descriptor limit (" + std::to_string(limit) + ") holds " +
                std::to_string(lowered) + " connections: --max-connections lowered from " +
                std::to_string(wanted));
    return lowered;
}

// How clients get their servers; null after saying why (status 2: the command line names
// something that does not work). *users: the users of --socks-users, which SIGHUP replaces.
std::shared_ptr<zykproxy::Opener> MakeOpener(const zykproxy::Options& o, zykproxy::Console& console,
                                             std::shared_ptr<zykproxy::accept::UsersHolder>* users) {
    using namespace zykproxy;
    if (o.accepting == AcceptKind::Forward)
        return MakeForwardOpener(o.upstream, o.connectTimeoutSeconds * 1000);
    DestinationRules rules;
    rules.ports = o.allowPorts;
    rules.connectTimeoutMs = o.connectTimeoutSeconds * 1000;
    if (o.accepting == AcceptKind::Transparent) {
#ifdef _WIN32
        console.Log("--transparent needs Linux: only its firewall tells a proxy where a "
                    "redirected connection was going");
        return nullptr;
#else
        return MakeTransparentOpener(std::move(rules));
#endif
    }
    if (!o.socksUsersPath.empty()) {
        accept::Users loaded;
        std::string error;
        if (!accept::LoadUsersFile(o.socksUsersPath, &loaded, &error)) {
            console.Log("--socks-users " + o.socksUsersPath + ": " + error);
            return nullptr;
        }
        *users = std::make_shared<accept::UsersHolder>(std::move(loaded));
        rules.users = *users;
    }
    return MakeProxyPortOpener(std::move(rules));
}

// What the start-up log says about where connections go.
std::string AcceptingText(const zykproxy::Options& o) {
    using zykproxy::AcceptKind;
    switch (o.accepting) {
        case AcceptKind::Forward: return "upstream " + zykproxy::net::FormatEndpoint(o.upstream);
        case AcceptKind::ProxyPort:
            return std::string("SOCKS5 and HTTP CONNECT, ") +
                   (o.socksUsersPath.empty() ? "no authentication" : "users of " + o.socksUsersPath);
        case AcceptKind::Transparent: break;
    }
    return "transparent: each redirected client to its original destination";
}

zykproxy::ServerConfig MakeServerConfig(const zykproxy::Options& o, zykproxy::Console& console) {
    zykproxy::ServerConfig config;
    config.listen = o.listen;
    config.upstream = o.upstream;
    config.clients = std::make_shared<const zykproxy::accept::ClientRules>(o.allowClients);
    config.threads = o.threads;
    config.maxConnections = ConnectionsTheLimitHolds(o.maxConnections, console);
    config.once = o.once;
    config.connectTimeoutMs = o.connectTimeoutSeconds * 1000;
    config.timeouts.sendMs = o.sendTimeoutSeconds * 1000;
    config.timeouts.idleMs = o.idleTimeoutSeconds * 1000;
    // Scans run on the workers: libclamav in this process wants the stack it has on the
    // threads of its own daemon.
    if (!o.noPlugin && o.scanner == zykproxy::ScannerKind::Clamav)
        config.workerStackBytes = 8 * 1024 * 1024;
    config.verbose = o.verbose;
    config.log = [&console](const std::string& line) { console.Log(line); };
    config.onConnectionEnd = [&console](int) { console.EndProgress(); };
    return config;
}

zykproxy::service::ServiceSettings ServiceSettingsFor(
    const zykproxy::Options& o, const zykproxy::ServerConfig& config,
    std::shared_ptr<zykproxy::accept::UsersHolder> users,
    const zykproxy::platform::ServiceManager& manager, zykproxy::Console& console) {
    zykproxy::service::ServiceSettings s;
    s.manager = manager;
    s.dbCheckSeconds = o.dbCheckSeconds;
    s.metrics = o.metricsGiven;
    s.metricsAt = o.metrics;
    s.clients = config.clients;
    s.usersPath = o.socksUsersPath;
    s.users = std::move(users);
    s.log = [&console](const std::string& line) { console.Log(line); };
    return s;
}

// The bound addresses, machine-readable on stdout for scripts that asked for port 0,
// and in the log.
void AnnounceListening(const zykproxy::Options& o, const zykproxy::ProxyServer& server,
                       const zykproxy::service::Service& service, zykproxy::Console& console) {
    using zykproxy::net::FormatEndpoint;
    std::printf("listening %s\n", FormatEndpoint(server.Bound()).c_str());
    if (o.metricsGiven) std::printf("metrics %s\n", FormatEndpoint(service.MetricsBound()).c_str());
    std::fflush(stdout);
    console.Log("listening on " + FormatEndpoint(server.Bound()) + ", " + AcceptingText(o) + ", " +
                std::to_string(o.threads) + (o.threads == 1 ? " loop" : " loops"));
    if (o.metricsGiven)
        console.Log("metrics on http://" + FormatEndpoint(service.MetricsBound()) + "/metrics");
}

// The summary, then everything let go. When some call of the plug-in (or a signature
// load) has not ended in the stop's grace time, nothing can be unloaded or freed under
// it: the process then ends at once, after the summary.
int Finish(std::unique_ptr<zykproxy::ProxyServer> server, bool settled, Mover& mover,
           zykproxy::Console& console, zykproxy::platform::TraceRelay& trace) {
    using namespace zykproxy;
    const ProxyServer::Stats stats = server->GetStats();
    console.Log("stopped after " + std::to_string(stats.accepted) + " connection(s); " +
                service::StatisticsLine(stats, mover.scans.get()));
    if (!settled) {
        console.Log("calls of the plug-in or a signature load still running after the stop: "
                    "exiting without unloading anything");
        std::fflush(stdout);
        std::_Exit(0);
    }
    server.reset();
    mover.plugin.Unload();
    if (mover.scans) mover.scans->Deactivate();
    trace.Stop();
    return 0;
}

// Serves until a stop.
int RunServer(const zykproxy::Options& o, zykproxy::Console& console, Mover& mover,
              zykproxy::platform::TraceRelay& trace, const zykproxy::platform::ServiceManager& manager) {
    using namespace zykproxy;
    ServerConfig config = MakeServerConfig(o, console);
    std::shared_ptr<accept::UsersHolder> users;
    config.opener = MakeOpener(o, console, &users);
    if (!config.opener) return 2;
    service::Service service(ServiceSettingsFor(o, config, std::move(users), manager, console));
    ScanService* scans = mover.scans.get();
    if (scans != nullptr) service.Watch(*scans, *mover.scanner);
    config.heartbeatMs = service.HeartbeatMs();
    // Where each client chose to go, in the log lines of its checks.
    if (scans != nullptr && o.accepting != AcceptKind::Forward) {
        config.onConnectionOpen = [scans](int id, const std::string& destination) {
            scans->NameConnection(id, destination);
        };
        config.onConnectionEnd = [scans, &console](int id) {
            console.EndProgress();
            scans->ForgetConnection(id);
        };
    }
    config.onReport = [&] { console.Log("statistics: " + service.StatisticsLine()); };
    config.onStopping = [scans, &service] {
        service.Stopping();
        if (scans != nullptr) scans->Abandon();
    };
    auto server = std::make_unique<ProxyServer>(config, *mover.pump);
    std::string error;
    if (!server->Open(&error) || !service.Start(*server, &error)) {
        console.Log(error);
        return 1;
    }
    AnnounceListening(o, *server, service, console);
    g_server = server.get();
    platform::InstallStopHandler(&OnStopRequest);
    platform::InstallReportHandler(&OnReportRequest);
    service.Ready();
    bool settled = server->Run();
    g_server = nullptr;
    settled = service.Stop(config.stopGraceMs) && settled;
    return Finish(std::move(server), settled, mover, console, trace);
}

int Serve(const zykproxy::Options& o) {
    using namespace zykproxy;
    // Before any thread starts: it changes the environment.
    const platform::ServiceManager manager = platform::TakeServiceManager();
    net::NetworkSession network;
    if (!network.Ok()) {
        std::fprintf(stderr, "zykproxy: the socket library did not start\n");
        return 1;
    }
    platform::IgnoreBrokenPipe();
    Console console(platform::StderrIsTerminal());

    // The upstream server is checked before anything else starts: a typing error
    // should stop zykproxy here, not show up once per client.
    if (o.accepting == AcceptKind::Forward) {
        std::string error = o.upstreamError;
        if (error.empty()) net::Resolves(o.upstream, &error);
        if (!error.empty()) {
            console.Log("--upstream " + o.upstreamText + ": " + error);
            return 2;
        }
    }

    // The trace settings are read by the plug-in when it loads: set them up first.
    platform::TraceRelay trace;
    if (o.traceGiven) {
        std::string error;
        if (!trace.Start(o.traceLevel, [&console](const std::string& l) { console.Raw(l); },
                         &error))
            console.Log("trace: " + error);
    }
    Mover mover;
    if (const int status = mover.Start(o, console)) return status;
    return RunServer(o, console, mover, trace, manager);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    zykproxy::Options options;
    std::string error;
    if (!zykproxy::ParseOptions(args, &options, &error)) {
        std::fprintf(stderr, "zykproxy: %s\n\n%s", error.c_str(), zykproxy::UsageText().c_str());
        return 64;
    }
    if (options.help) {
        std::fputs(zykproxy::UsageText().c_str(), stdout);
        return 0;
    }
    try {
        return Serve(options);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zykproxy: %s\n", e.what());
        return 1;
    }
}
