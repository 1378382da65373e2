// The proxy host's command line.
#pragma once

#include <string>
#include <vector>

#include "accept/access.h"
#include "scan/icap_url.h"
#include "sockets.h"

namespace zykproxy {

enum class ScannerKind { Clamav, Clamd, Icap, Command, None };
// How a client gets its server: the one --upstream, the one it asks for on the proxy
// port (SOCKS5, HTTP CONNECT), or the one it was going to (a firewall's redirect).
enum class AcceptKind { Forward, ProxyPort, Transparent };

struct Options {
    net::Endpoint listen;
    AcceptKind accepting = AcceptKind::Forward;
    std::string socksUsersPath;         // --socks-users: read when zykproxy starts
    accept::ClientRules allowClients;   // --allow-clients; empty: every client
    accept::PortRules allowPorts;       // --allow-ports
    net::Endpoint upstream;
    std::string upstreamText;   // as given; checked (and resolved) when zykproxy starts
    std::string upstreamError;  // why upstreamText is no usable address, or empty
    std::string pluginPath;  // empty: the plug-in beside the executable
    bool noPlugin = false;
    bool scannerGiven = false;
    ScannerKind scanner = ScannerKind::None;
    std::string scanCommand;
    std::vector<std::string> scanArgs;
    int scanTimeoutSeconds = 120;
    int parallelChecks = 0;  // --parallel-checks: files checked at once; 0: what the scanner serves
    std::vector<std::string> clamavDatabases;  // empty: the default set
    bool dbCheckGiven = false;
    int dbCheckSeconds = 600;  // --db-check: how often the signature files are looked at; 0: never
    std::string clamdSocket;                   // --clamd-socket
    bool clamdTcpGiven = false;
    net::Endpoint clamdTcp;                    // --clamd-tcp
    bool icapUrlGiven = false;
    icap::Url icapUrl;                         // --icap-url
    int threads = 1;             // socket-watching loops
    int connectTimeoutSeconds = 10;
    int sendTimeoutSeconds = 300;  // 0: none
    int idleTimeoutSeconds = 0;    // 0: none
    bool traceGiven = false;
    int traceLevel = 0;
    int maxConnections = 1000;
    bool metricsGiven = false;
    net::Endpoint metrics;  // --metrics: where GET /metrics is served
    bool once = false;
    bool verbose = false;
    bool help = false;
};

// Parses argv[1..]; false with a message on a usage error. After success, options
// that depend on each other are consistent (e.g. a scanner is chosen unless
// --no-plugin).
bool ParseOptions(const std::vector<std::string>& args, Options* out, std::string* error);
std::string UsageText();
bool ClamavBuiltIn();

}  // namespace zykproxy
