// Command-line parsing for zykproxy: every option is checked here, so the rest of the
// program can trust the values.
#include "options.h"

#include <algorithm>

#include <cstdlib>

#include "common/ip_address.h"
#include "zykim/zykim.h"

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
           "  --parallel-checks N    check up to N files at once, each on its own connection's\n"
           "                         thread (1 to 256; default: as many as the scanner serves\n"
           "                         at once, at most 32: the ICAP service's Max-Connections,\n"
           "                         clamd's threads, else this machine's cores)\n"
           "  --clamav-db PATH       a signature file or folder (repeatable; default: the\n"
           "                         system's database folder if it holds any, plus the\n"
           "                         signatures shipped beside zykproxy)\n"
           "  --db-check SEC         clamav scanner: look for changed signature files every SEC\n"
           "                         seconds (default 600; 0: only on SIGHUP) and load them\n"
           "                         beside the ones in force, which checks use meanwhile\n"
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
           "  --metrics HOST:PORT    serve GET /metrics (Prometheus text format) there; off this\n"
           "                         machine's loopback it needs --allow-clients, which then\n"
           "                         applies to it too\n"
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
           "SIGUSR1 (Windows: Ctrl-Break) logs statistics; the summary at the end has them too.\n"
           "SIGHUP reads the --socks-users file and the clamav scanner's signatures again; open\n"
           "connections go on (not on Windows, which has no such signal).\n";
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

// The command line as it is read: the option at hand and its value.
class Reader {
public:
    Reader(const std::vector<std::string>& args, std::string* error) : error(error), m_args(args) {}
    bool Next() { return ++m_at < m_args.size(); }
    const std::string& Option() const { return m_args[m_at]; }
    bool Value(std::string* v) {
        if (m_at + 1 >= m_args.size()) return Fail("needs a value");
        *v = m_args[++m_at];
        return true;
    }
    bool Number(int low, int high, int* v) {
        std::string text;
        if (!Value(&text)) return false;
        if (ParseInt(text, low, high, v)) return true;
        return Fail("expected a number from " + std::to_string(low) + " to " + std::to_string(high) +
                    ", got '" + text + "'");
    }
    bool Endpoint(net::Endpoint* e) {
        std::string text, why;
        return Value(&text) && (net::ParseEndpoint(text, e, &why) || Fail(why));
    }
    // False, with the option named in the message.
    bool Fail(const std::string& why) {
        *error = Option() + (why.rfind("needs", 0) == 0 ? " " : ": ") + why;
        return false;
    }
    std::string* const error;

private:
    const std::vector<std::string>& m_args;
    size_t m_at = static_cast<size_t>(-1);
};

// What was given, for the checks of options that depend on each other.
struct Given {
    bool listen = false, upstream = false, plugin = false, allowPorts = false;
};

enum class Taken { No, Yes, Failed };
Taken Result(bool ok) { return ok ? Taken::Yes : Taken::Failed; }

// Where clients connect and how they get their servers.
Taken TakeAcceptOption(Reader& r, Options& o, Given& given) {
    const std::string& a = r.Option();
    if (a == "--listen") return Result((given.listen = true) && r.Endpoint(&o.listen));
    if (a == "--upstream") {
        // Checked when zykproxy starts, together with the name lookup.
        given.upstream = true;
        if (!r.Value(&o.upstreamText)) return Taken::Failed;
        o.upstreamError.clear();
        if (!net::ParseEndpoint(o.upstreamText, &o.upstream, &o.upstreamError))
            o.upstream = net::Endpoint{};
        else if (o.upstream.port == 0)
            o.upstreamError = "port 0 in '" + o.upstreamText + "': the server needs a port";
        return Taken::Yes;
    }
    if (a == "--socks5" || a == "--transparent") {
        const AcceptKind kind = a == "--socks5" ? AcceptKind::ProxyPort : AcceptKind::Transparent;
        if (o.accepting != AcceptKind::Forward && o.accepting != kind)
            return Result(r.Fail("give either --socks5 or --transparent, not both"));
        o.accepting = kind;
        return Taken::Yes;
    }
    if (a == "--socks-users") return Result(r.Value(&o.socksUsersPath));
    if (a != "--allow-clients" && a != "--allow-ports") return Taken::No;
    std::string v, why;
    if (!r.Value(&v)) return Taken::Failed;
    given.allowPorts = given.allowPorts || a == "--allow-ports";
    return Result((a == "--allow-clients" ? o.allowClients.Parse(v, &why) : o.allowPorts.Parse(v, &why)) ||
                  r.Fail(why));
}

// The plug-in and the scanner behind its scan callback.
Taken TakeScanOption(Reader& r, Options& o, Given& given) {
    const std::string& a = r.Option();
    std::string v, why;
    if (a == "--plugin") return Result((given.plugin = true) && r.Value(&o.pluginPath));
    if (a == "--no-plugin") return Result(o.noPlugin = true);
    if (a == "--trace") return Result((o.traceGiven = true) && r.Number(-1, 100, &o.traceLevel));
    if (a == "--scanner") {
        if (!r.Value(&v)) return Taken::Failed;
        static const std::pair<const char*, ScannerKind> kKinds[] = {
            {"clamav", ScannerKind::Clamav}, {"clamd", ScannerKind::Clamd}, {"icap", ScannerKind::Icap},
            {"command", ScannerKind::Command}, {"none", ScannerKind::None}};
        for (const auto& [name, kind] : kKinds)
            if (v == name) {
                o.scanner = kind;
                return Result(o.scannerGiven = true);
            }
        return Result(r.Fail("expected clamav, clamd, icap, command or none, got '" + v + "'"));
    }
    if (a == "--scan-command") return Result(r.Value(&o.scanCommand));
    if (a == "--scan-arg") return Result(r.Value(&v) && (o.scanArgs.push_back(v), true));
    if (a == "--scan-timeout") return Result(r.Number(1, 86400, &o.scanTimeoutSeconds));
    if (a == "--parallel-checks") return Result(r.Number(1, ZYKIM_MAX_PARALLEL_CHECKS, &o.parallelChecks));
    if (a == "--clamav-db") return Result(r.Value(&v) && (o.clamavDatabases.push_back(v), true));
    if (a == "--db-check") return Result((o.dbCheckGiven = true) && r.Number(0, 31 * 86400, &o.dbCheckSeconds));
    if (a == "--clamd-socket") return Result(r.Value(&o.clamdSocket));
    if (a == "--clamd-tcp") return Result((o.clamdTcpGiven = true) && r.Endpoint(&o.clamdTcp));
    if (a == "--icap-url")
        return Result((o.icapUrlGiven = true) && r.Value(&v) && (icap::ParseUrl(v, &o.icapUrl, &why) || r.Fail(why)));
    return Taken::No;
}

// How connections are run.
Taken TakeRunOption(Reader& r, Options& o) {
    const std::string& a = r.Option();
    if (a == "--threads") return Result(r.Number(1, 64, &o.threads));
    if (a == "--connect-timeout") return Result(r.Number(1, 3600, &o.connectTimeoutSeconds));
    if (a == "--send-timeout") return Result(r.Number(0, 86400, &o.sendTimeoutSeconds));
    if (a == "--idle-timeout") return Result(r.Number(0, 864000, &o.idleTimeoutSeconds));
    if (a == "--max-connections") return Result(r.Number(1, 100000, &o.maxConnections));
    if (a == "--metrics") return Result((o.metricsGiven = true) && r.Endpoint(&o.metrics));
    if (a == "--once") return Result(o.once = true);
    if (a == "--verbose" || a == "-v") return Result(o.verbose = true);
    if (a == "--help" || a == "-h") return Result(o.help = true);
    return Taken::No;
}

bool CheckAccepting(const Options& o, const Given& given, std::string* error);
bool CheckScanner(Options* options, const Given& given, std::string* error);

}  // namespace

bool ParseOptions(const std::vector<std::string>& args, Options* out, std::string* error) {
    Options o;
    Given given;
    Reader r(args, error);
    while (r.Next()) {
        Taken taken = TakeAcceptOption(r, o, given);
        if (taken == Taken::No) taken = TakeScanOption(r, o, given);
        if (taken == Taken::No) taken = TakeRunOption(r, o);
        if (taken == Taken::Failed) return false;
        if (taken == Taken::No) {
            *error = "unknown option '" + r.Option() + "'";
            return false;
        }
    }
    if (!o.help && (!CheckAccepting(o, given, error) || !CheckScanner(&o, given, error))) return false;
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

bool CheckAccepting(const Options& o, const Given& given, std::string* error) {
    const bool forward = o.accepting == AcceptKind::Forward;
    if (!given.listen || forward != given.upstream) {
        *error = forward ? "--listen and --upstream are required (or --socks5 or --transparent "
                           "in place of --upstream)"
                         : !given.listen ? "--listen is required"
                                       : "--socks5 and --transparent take no --upstream: "
                                         "each client names its own server";
        return false;
    }
    if (o.accepting != AcceptKind::ProxyPort && !o.socksUsersPath.empty()) {
        *error = "--socks-users belongs to --socks5";
        return false;
    }
    if (forward && given.allowPorts) {
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
    // The figures tell who uses the proxy and how much: no more open than the proxy port.
    if (o.metricsGiven && !OnlyThisMachine(o.metrics.host) && o.allowClients.Empty()) {
        *error = "--metrics on " + net::FormatEndpoint(o.metrics) +
                 ", which other machines can reach, needs --allow-clients";
        return false;
    }
    return true;
}

bool CheckScanner(Options* options, const Given& given, std::string* error) {
    Options& o = *options;
    if (o.noPlugin) {
        if (given.plugin || o.scannerGiven || o.traceGiven || o.parallelChecks != 0) {
            *error = "--no-plugin runs no plug-in: --plugin, --scanner, --parallel-checks and --trace do not apply";
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
    if (o.scanner != ScannerKind::Clamav && (!o.clamavDatabases.empty() || o.dbCheckGiven)) {
        *error = "--clamav-db and --db-check belong to --scanner clamav";
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
