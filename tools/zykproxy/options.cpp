// Command-line parsing for zykproxy: every option is checked here, so the rest of the
// program can trust the values.
#include "options.h"

#include <algorithm>

#include <cstdlib>

#include "common/ip_address.h"

namespace zykproxy {

bool ClamavBuiltIn() {
#ifdef ZYKPROXY_WITH_CLAMAV
    return true;
#else
    return false;
#endif
}

std::string UsageText() {
#ifdef _WIN32
    const std::string plugin = "zykim.dll";
    const std::string traceNote = "the level is the machine's DebugLevel (read, never written)";
#else
    const std::string plugin = "libzykim.so";
    const std::string traceNote = "at LEVEL (0 to 4)";
#endif
#ifdef _WIN32
    const std::string clamdDefault = "none on Windows: --clamd-tcp 127.0.0.1:3310";
#else
    const std::string clamdDefault = "/var/run/clamav/clamd.ctl";
#endif
    const std::string scannerDefault =
        ClamavBuiltIn() ? "clamav" : "none chosen; clamav is not in this build";
    return "usage: zykproxy --listen HOST:PORT (--upstream HOST:PORT | --socks5 | --transparent)\n"
           "                [options]\n"
           "\n"
           "A TCP proxy that hands every connection to the zykim plug-in, which holds each\n"
           "file sent to the client until the scanner has checked it.\n"
           "\n"
           "  --listen HOST:PORT     where clients connect; port 0 takes a free port. The\n"
           "                         bound address is printed on stdout: listening HOST:PORT\n"
           "  --upstream HOST:PORT   the server each client is connected to (resolved at start:\n"
           "                         an unknown host or a bad port stops zykproxy, status 2)\n"
           "  --socks5               a proxy port instead: each client names its server with\n"
           "                         SOCKS5 or HTTP CONNECT (both on the one port). Off this\n"
           "                         machine's loopback it needs --allow-clients or --socks-users\n"
           "  --socks-users FILE     SOCKS5 username/password and HTTP Basic credentials, one\n"
           "                         user:password a line; the file must be its owner's alone\n"
           "  --transparent          behind a firewall's REDIRECT rule, each client goes where\n"
           "                         it was going (Linux)\n"
           "  --allow-clients CIDRS  only these clients, e.g. 192.168.0.0/16,10.1.2.3,fd00::/8;\n"
           "                         others are closed without a reply\n"
           "  --allow-ports LIST     with --socks5 or --transparent, only these destination\n"
           "                         ports, e.g. 5190,443,1024-65535 (default: all)\n"
           "  --plugin PATH          the plug-in library (default: " + plugin + " beside zykproxy)\n"
           "  --scanner KIND         clamav, clamd, icap, command or none (default: " + scannerDefault + ")\n"
           "  --clamd-socket PATH    clamd scanner: clamd's local socket (default: " + clamdDefault + ")\n"
           "  --clamd-tcp HOST:PORT  clamd scanner: clamd's TCP address instead\n"
           "  --icap-url URL         icap scanner: the ICAP service, icap://HOST[:PORT]/SERVICE[?ARGS]\n"
           "                         (port 1344 by default); c-icap's virus_scan scans every file\n"
           "                         only with ?allow204=on&force=on&sizelimit=off&mode=simple\n"
           "  --scan-command PROG    command scanner: runs PROG [ARGS...] FILE for each file;\n"
           "                         exit code 0 clean, 1 infected, anything else a failure\n"
           "  --scan-arg ARG         an argument put before FILE (repeatable)\n"
           "  --scan-timeout SEC     a check that takes longer fails (default 120); for the icap\n"
           "                         scanner, the whole check with its connection and answer\n"
           "  --clamav-db PATH       a signature file or folder (repeatable; default: the\n"
           "                         system's database folder if it holds any, plus the\n"
           "                         signatures shipped beside zykproxy)\n"
           "  --threads N            socket-watching loops to spread the connections over\n"
           "                         (default 1); the calls that may block (scans, sends to\n"
           "                         a slow client) always run on worker threads of their own\n"
           "  --max-connections N    at most N connections open at once (default 1000; lowered\n"
           "                         when the descriptor limit cannot hold them); further\n"
           "                         clients wait until one ends\n"
           "  --connect-timeout SEC  the connect to the server (default 10)\n"
           "  --send-timeout SEC     a side that takes no byte for SEC seconds while bytes wait\n"
           "                         for it ends its connection (default 300; 0: never)\n"
           "  --idle-timeout SEC     a connection with no byte in either direction for SEC\n"
           "                         seconds is ended (default 0: never)\n"
           "  --once                 serve one client, then exit\n"
           "  --trace LEVEL          show the plug-in's trace on stderr, " + traceNote + "\n"
           "  --no-plugin            forward bytes without any plug-in (a baseline)\n"
           "  --verbose              log every connection\n"
           "  --help                 this text\n"
           "\n"
           "A failed check (scanner error, time-out, unreadable file, clamd not running, an\n"
           "ICAP error answer) blocks the file: the client gets zeros in its place, and the log\n"
           "says why. A clamd or ICAP service that does not answer at start stops zykproxy\n"
           "with status 2, as an --upstream that does not work does.\n"
           "SIGUSR1 (Windows: Ctrl-Break) logs statistics; the summary at the end has them too.\n";
}

namespace {

bool ParseInt(const std::string& text, int low, int high, int* out) {
    if (text.empty()) return false;
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (*end != '\0' || value < low || value > high) return false;
    *out = static_cast<int>(value);
    return true;
}

}  // namespace

namespace {
bool CheckAccepting(const Options& o, bool haveListen, bool haveUpstream, bool allowPortsGiven,
                    std::string* error);
bool CheckScanner(Options* options, bool pluginGiven, std::string* error);
}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* out, std::string* error) {
    Options o;
    bool haveListen = false, haveUpstream = false, pluginGiven = false, allowPortsGiven = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&](std::string* v) {
            if (i + 1 >= args.size()) {
                *error = a + " needs a value";
                return false;
            }
            *v = args[++i];
            return true;
        };
        auto number = [&](int low, int high, int* v) {
            std::string text;
            if (!value(&text)) return false;
            if (!ParseInt(text, low, high, v)) {
                *error = a + ": expected a number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", got '" + text + "'";
                return false;
            }
            return true;
        };
        std::string v;
        if (a == "--help" || a == "-h") {
            o.help = true;
        } else if (a == "--listen") {
            if (!value(&v)) return false;
            if (!net::ParseEndpoint(v, &o.listen, error)) {
                *error = a + ": " + *error;
                return false;
            }
            haveListen = true;
        } else if (a == "--upstream") {
            // Checked when zykproxy starts, together with the name lookup.
            if (!value(&o.upstreamText)) return false;
            o.upstreamError.clear();
            if (!net::ParseEndpoint(o.upstreamText, &o.upstream, &o.upstreamError))
                o.upstream = net::Endpoint{};
            else if (o.upstream.port == 0)
                o.upstreamError = "port 0 in '" + o.upstreamText + "': the server needs a port";
            haveUpstream = true;
        } else if (a == "--plugin") {
            if (!value(&o.pluginPath)) return false;
            pluginGiven = true;
        } else if (a == "--scanner") {
            if (!value(&v)) return false;
            if (v == "clamav") o.scanner = ScannerKind::Clamav;
            else if (v == "clamd") o.scanner = ScannerKind::Clamd;
            else if (v == "icap") o.scanner = ScannerKind::Icap;
            else if (v == "command") o.scanner = ScannerKind::Command;
            else if (v == "none") o.scanner = ScannerKind::None;
            else {
                *error = "--scanner: expected clamav, clamd, icap, command or none, got '" + v + "'";
                return false;
            }
            o.scannerGiven = true;
        } else if (a == "--scan-command") {
            if (!value(&o.scanCommand)) return false;
        } else if (a == "--scan-arg") {
            if (!value(&v)) return false;
            o.scanArgs.push_back(v);
        } else if (a == "--scan-timeout") {
            if (!number(1, 86400, &o.scanTimeoutSeconds)) return false;
        } else if (a == "--clamav-db") {
            if (!value(&v)) return false;
            o.clamavDatabases.push_back(v);
        } else if (a == "--clamd-socket") {
            if (!value(&o.clamdSocket)) return false;
        } else if (a == "--clamd-tcp") {
            if (!value(&v)) return false;
            if (!net::ParseEndpoint(v, &o.clamdTcp, error)) {
                *error = a + ": " + *error;
                return false;
            }
            o.clamdTcpGiven = true;
        } else if (a == "--icap-url") {
            if (!value(&v)) return false;
            if (!icap::ParseUrl(v, &o.icapUrl, error)) {
                *error = a + ": " + *error;
                return false;
            }
            o.icapUrlGiven = true;
        } else if (a == "--threads") {
            if (!number(1, 64, &o.threads)) return false;
        } else if (a == "--connect-timeout") {
            if (!number(1, 3600, &o.connectTimeoutSeconds)) return false;
        } else if (a == "--send-timeout") {
            if (!number(0, 86400, &o.sendTimeoutSeconds)) return false;
        } else if (a == "--idle-timeout") {
            if (!number(0, 864000, &o.idleTimeoutSeconds)) return false;
        } else if (a == "--max-connections") {
            if (!number(1, 100000, &o.maxConnections)) return false;
        } else if (a == "--trace") {
            if (!number(-1, 100, &o.traceLevel)) return false;
            o.traceGiven = true;
        } else if (a == "--socks5" || a == "--transparent") {
            const AcceptKind kind = a == "--socks5" ? AcceptKind::ProxyPort : AcceptKind::Transparent;
            if (o.accepting != AcceptKind::Forward && o.accepting != kind) {
                *error = "give either --socks5 or --transparent, not both";
                return false;
            }
            o.accepting = kind;
        } else if (a == "--socks-users") {
            if (!value(&o.socksUsersPath)) return false;
        } else if (a == "--allow-clients" || a == "--allow-ports") {
            if (!value(&v)) return false;
            std::string why;
            if (a == "--allow-clients" ? !o.allowClients.Parse(v, &why) : !o.allowPorts.Parse(v, &why)) {
                *error = a + ": " + why;
                return false;
            }
            allowPortsGiven = allowPortsGiven || a == "--allow-ports";
        } else if (a == "--no-plugin") {
            o.noPlugin = true;
        } else if (a == "--once") {
            o.once = true;
        } else if (a == "--verbose" || a == "-v") {
            o.verbose = true;
        } else {
            *error = "unknown option '" + a + "'";
            return false;
        }
    }
    if (o.help) {
        *out = o;
        return true;
    }
    if (!CheckAccepting(o, haveListen, haveUpstream, allowPortsGiven, error) ||
        !CheckScanner(&o, pluginGiven, error))
        return false;
    *out = o;
    return true;
}

namespace {

// Whether only this machine can reach the address: a loopback address or "localhost".
bool OnlyThisMachine(const std::string& host) {
    net::IpAddress address;
    if (!net::ParseIpAddress(host, &address)) return host == "localhost";
    const net::IpAddress a = address.Unmapped();
    static const uint8_t kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    return a.IsV4() ? a.bytes[0] == 127 : std::equal(a.bytes.begin(), a.bytes.end(), kLoopback6);
}

bool CheckAccepting(const Options& o, bool haveListen, bool haveUpstream, bool allowPortsGiven,
                    std::string* error) {
    const bool forward = o.accepting == AcceptKind::Forward;
    if (!haveListen || forward != haveUpstream) {
        *error = forward ? "--listen and --upstream are required (or --socks5 or --transparent "
                           "in place of --upstream)"
                         : !haveListen ? "--listen is required"
                                       : "--socks5 and --transparent take no --upstream: "
                                         "each client names its own server";
        return false;
    }
    if (o.accepting != AcceptKind::ProxyPort && !o.socksUsersPath.empty()) {
        *error = "--socks-users belongs to --socks5";
        return false;
    }
    if (forward && allowPortsGiven) {
        *error = "--allow-ports belongs to --socks5 and --transparent";
        return false;
    }
    // An open proxy is found and abused within hours: on an address that other machines
    // reach, the proxy port needs a list of clients or a users file.
    if (o.accepting == AcceptKind::ProxyPort && !OnlyThisMachine(o.listen.host) &&
        o.allowClients.Empty() && o.socksUsersPath.empty()) {
        *error = "--socks5 on " + net::FormatEndpoint(o.listen) +
                 ", which other machines can reach, needs --allow-clients or --socks-users: "
                 "an open proxy is abused within hours";
        return false;
    }
    return true;
}

bool CheckScanner(Options* options, bool pluginGiven, std::string* error) {
    Options& o = *options;
    if (o.noPlugin) {
        if (pluginGiven || o.scannerGiven || o.traceGiven) {
            *error = "--no-plugin runs no plug-in: --plugin, --scanner and --trace do not apply";
            return false;
        }
    } else if (!o.scannerGiven) {
        if (!ClamavBuiltIn()) {
            *error = "choose a scanner: --scanner command or --scanner none";
            return false;
        }
        o.scanner = ScannerKind::Clamav;
    }
    if (o.scanner == ScannerKind::Clamav && !o.noPlugin && !ClamavBuiltIn()) {
        *error = "--scanner clamav is not available in this build";
        return false;
    }
    if (o.scanner == ScannerKind::Command && o.scanCommand.empty()) {
        *error = "--scanner command needs --scan-command PROG";
        return false;
    }
    if (o.scanner != ScannerKind::Command && (!o.scanCommand.empty() || !o.scanArgs.empty())) {
        *error = "--scan-command and --scan-arg belong to --scanner command";
        return false;
    }
    if (o.scanner != ScannerKind::Clamav && !o.clamavDatabases.empty()) {
        *error = "--clamav-db belongs to --scanner clamav";
        return false;
    }
    if (o.scanner != ScannerKind::Clamd && (!o.clamdSocket.empty() || o.clamdTcpGiven)) {
        *error = "--clamd-socket and --clamd-tcp belong to --scanner clamd";
        return false;
    }
    if (o.scanner == ScannerKind::Icap && !o.icapUrlGiven) {
        *error = "--scanner icap needs --icap-url icap://HOST[:PORT]/SERVICE[?ARGS]";
        return false;
    }
    if (o.scanner != ScannerKind::Icap && o.icapUrlGiven) {
        *error = "--icap-url belongs to --scanner icap";
        return false;
    }
    if (!o.clamdSocket.empty() && o.clamdTcpGiven) {
        *error = "give either --clamd-socket or --clamd-tcp, not both";
        return false;
    }
    return true;
}

}  // namespace

}  // namespace zykproxy
