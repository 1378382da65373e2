// oftpeer: an OSCAR direct-connect (OFT2) file-transfer peer for trying a proxy with
// real clients' traffic: send files, receive them (directly or through a rendezvous
// proxy server, which it can also be), or replay a recorded transfer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "net.h"
#include "rendezvous.h"
#include "rendezvous_server.h"
#include "replay.h"
#include "session.h"
#include "socks5.h"

using namespace oftpeer;

namespace {

// Exit codes.
constexpr int kExitOk = 0;          // done (replay: identical)
constexpr int kExitFailed = 1;      // the transfer or replay could not be carried out
constexpr int kExitUsage = 2;       // wrong command line
constexpr int kExitBlanked = 3;     // replay: header plus zero bytes
constexpr int kExitDifferent = 4;   // replay: something else

void Usage(std::FILE* to) {
    std::fputs(
        "usage:\n"
        "  oftpeer send (--listen ADDR | --connect ADDR) [options] FILE...\n"
        "      sends the files one after the other in one session; as real clients do,\n"
        "      the sender usually listens and the receiver connects\n"
        "  oftpeer recv (--connect ADDR | --listen ADDR) --out FOLDER [options]\n"
        "      receives files into FOLDER; prints one line per file:\n"
        "      received NAME size=N sha256=HEX checksum=ok|mismatch zeros=yes|no path=PATH\n"
        "  oftpeer send --rv-proxy ADDR (--create | --join PIN) [options] FILE...\n"
        "  oftpeer recv --rv-proxy ADDR (--create | --join PIN) --out FOLDER [options]\n"
        "      the same through the rendezvous proxy server at ADDR: --create makes a\n"
        "      session and prints \"created pin=N address=A.B.C.D\" once the proxy has made\n"
        "      it, for the peer's --join; the transfer begins when both are there\n"
        "  oftpeer rv-proxy --listen ADDR [--gap-ms N] [--timeout SECONDS] [--sessions N]\n"
        "      a rendezvous proxy server: create gets created with a new pin, join by pin\n"
        "      and cookie gets ready to both sides, then it relays the two connections\n"
        "      until both directions have ended. Its frames go as separate writes,\n"
        "      --gap-ms apart; a session not joined within the time-out gets error\n"
        "      0x001a, a join without its session 0x000d. --sessions N: exit after N\n"
        "      sessions (default: run until stopped)\n"
        "  oftpeer replay (--proxy ADDR | --socks5 ADDR) [--listen ADDR] [--data FOLDER]\n"
        "                [options]\n"
        "      plays both sides of the recorded transfer in FOLDER (default: the copy in\n"
        "      the source tree): listens as the server at --listen (the proxy's upstream),\n"
        "      connects as the client to --proxy, or through the SOCKS5 proxy to the\n"
        "      server. Exit 0: the client got exactly what the server sent; 3: the header\n"
        "      and zero bytes in place of the body; 4: anything else; 1: the replay could\n"
        "      not be carried out.\n"
        "options:\n"
        "  --socks5 ADDR       connect (--connect, --rv-proxy, replay's client) through\n"
        "                      the SOCKS5 proxy at ADDR, without authentication; the\n"
        "                      destination goes as an address when it is one, else as a name\n"
        "  --timeout SECONDS   longest wait for the peer at any step (default 30)\n"
        "  --port-file PATH    when listening, write the chosen port to PATH\n"
        "  --gap-ms N          replay: pause between the server's segments (default 5);\n"
        "                      rv-proxy: between its frames (default 20)\n"
        "  --cookie HEX        --rv-proxy: the session's cookie, 16 hexadecimal digits, the\n"
        "                      same on both sides (default 3132333435363700)\n"
        "ADDR is HOST:PORT; port 0 when listening picks a free port (printed as\n"
        "\"listening HOST:PORT\" on standard output).\n",
        to);
}

struct CommandLine {
    std::string command;
    std::string listen, connect, proxy, socks5, out, data, portFile, rvProxy;
    int timeoutMs = 30000;
    int gapMs = -1;  // -1: the command's default
    bool create = false;
    int joinPin = -1;
    int sessions = 0;
    std::array<uint8_t, 8> cookie = DefaultRvCookie();
    std::vector<std::string> files;
};

bool ParseNumber(const char* text, int low, int high, int* value) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < low || v > high) return false;
    *value = static_cast<int>(v);
    return true;
}

bool Parse(int argc, char** argv, CommandLine* cl) {
    if (argc < 2) return false;
    cl->command = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](std::string* into) {
            if (i + 1 >= argc) return false;
            *into = argv[++i];
            return true;
        };
        if (arg == "--listen") { if (!value(&cl->listen)) return false; }
        else if (arg == "--connect") { if (!value(&cl->connect)) return false; }
        else if (arg == "--proxy") { if (!value(&cl->proxy)) return false; }
        else if (arg == "--socks5") { if (!value(&cl->socks5)) return false; }
        else if (arg == "--out") { if (!value(&cl->out)) return false; }
        else if (arg == "--data") { if (!value(&cl->data)) return false; }
        else if (arg == "--port-file") { if (!value(&cl->portFile)) return false; }
        else if (arg == "--rv-proxy") { if (!value(&cl->rvProxy)) return false; }
        else if (arg == "--create") { cl->create = true; }
        else if (arg == "--join") {
            if (i + 1 >= argc || !ParseNumber(argv[++i], 1, 65535, &cl->joinPin)) return false;
        } else if (arg == "--cookie") {
            if (i + 1 >= argc || !ParseCookie(argv[++i], &cl->cookie)) return false;
        } else if (arg == "--sessions") {
            if (i + 1 >= argc || !ParseNumber(argv[++i], 0, 1000000, &cl->sessions)) return false;
        }
        else if (arg == "--timeout") {
            int seconds = 0;
            if (i + 1 >= argc || !ParseNumber(argv[++i], 1, 86400, &seconds)) return false;
            cl->timeoutMs = seconds * 1000;
        } else if (arg == "--gap-ms") {
            if (i + 1 >= argc || !ParseNumber(argv[++i], 0, 10000, &cl->gapMs)) return false;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return false;
        } else {
            cl->files.push_back(arg);
        }
    }
    return true;
}

// Listens and tells where; an invalid socket after printing why.
Socket ListenAnnounced(const std::string& text, const std::string& portFile) {
    Address address;
    if (!ParseAddress(text, &address)) {
        std::fprintf(stderr, "oftpeer: not an address: %s\n", text.c_str());
        return Socket();
    }
    std::string error;
    Socket listener = Listen(address, &error);
    if (!listener.Valid()) {
        std::fprintf(stderr, "oftpeer: %s\n", error.c_str());
        return Socket();
    }
    address.port = LocalPort(listener);
    if (!portFile.empty()) {
        std::ofstream(portFile) << address.port << "\n";
    }
    std::printf("listening %s\n", address.Text().c_str());
    std::fflush(stdout);
    return listener;
}

// Reads an address of the command line; false after saying what is wrong.
bool AddressArgument(const std::string& text, Address* address) {
    if (ParseAddress(text, address)) return true;
    std::fprintf(stderr, "oftpeer: not an address: %s\n", text.c_str());
    return false;
}

// Connects to `destination`, through the SOCKS5 proxy when one is given.
Socket ConnectOut(const Address& destination, const std::string& socks5, int timeoutMs,
                  std::string* error) {
    if (socks5.empty()) return Connect(destination, timeoutMs, error);
    Address proxy;
    if (!AddressArgument(socks5, &proxy)) return Socket();
    return ConnectThroughSocks5(proxy, destination, timeoutMs, error);
}

// A connection to the rendezvous proxy that has entered the session: the peer is there.
Socket OpenRendezvous(const CommandLine& cl, std::string* error) {
    Address proxy;
    if (!AddressArgument(cl.rvProxy, &proxy)) return Socket();
    Socket s = ConnectOut(proxy, cl.socks5, cl.timeoutMs, error);
    if (!s.Valid()) return s;
    RvRequest request;
    request.join = cl.joinPin > 0;
    request.pin = static_cast<uint16_t>(request.join ? cl.joinPin : 0);
    request.cookie = cl.cookie;
    const bool entered = EnterRendezvous(s, request, cl.timeoutMs, [](const RvSession& session) {
        std::printf("created pin=%u address=%u.%u.%u.%u\n", session.pin, session.address >> 24,
                    (session.address >> 16) & 0xFF, (session.address >> 8) & 0xFF, session.address & 0xFF);
        std::fflush(stdout);
    }, error);
    return entered ? std::move(s) : Socket();
}

// The session's connection, by listening, connecting or meeting at a rendezvous proxy.
Socket OpenSession(const CommandLine& cl) {
    std::string error;
    Socket s;
    if (!cl.rvProxy.empty()) {
        s = OpenRendezvous(cl, &error);
    } else if (!cl.listen.empty()) {
        const Socket listener = ListenAnnounced(cl.listen, cl.portFile);
        if (!listener.Valid()) return Socket();
        s = Accept(listener, cl.timeoutMs, &error);
    } else {
        Address address;
        if (!AddressArgument(cl.connect, &address)) return Socket();
        s = ConnectOut(address, cl.socks5, cl.timeoutMs, &error);
    }
    if (!s.Valid()) std::fprintf(stderr, "oftpeer: %s\n", error.c_str());
    return s;
}

// Exactly one of --listen, --connect and --rv-proxy; --socks5 not with --listen; with
// --rv-proxy exactly one of --create and --join.
bool OneWayToConnect(const CommandLine& cl) {
    const int ways = !cl.listen.empty() + !cl.connect.empty() + !cl.rvProxy.empty();
    const bool rendezvous = cl.rvProxy.empty() ? !cl.create && cl.joinPin < 0 : cl.create != (cl.joinPin > 0);
    return ways == 1 && rendezvous && (cl.socks5.empty() || cl.listen.empty());
}

int Send(const CommandLine& cl) {
    if (!OneWayToConnect(cl) || cl.files.empty()) return kExitUsage;
    const Socket connection = OpenSession(cl);
    if (!connection.Valid()) return kExitFailed;
    SendOptions options;
    options.files = cl.files;
    options.cookie = MakeCookie();
    options.timeoutMs = cl.timeoutMs;
    std::vector<SentFile> sent;
    std::string error;
    const bool ok = RunSender(connection, options, &sent, &error, [](const SentFile& f) {
        std::printf("sent %s size=%llu sha256=%s checksum=0x%08X receiver-checksum=%s\n",
                    f.name.c_str(), static_cast<unsigned long long>(f.size), f.sha256.c_str(),
                    f.checksum,
                    f.receivedChecksum == f.checksum && f.receivedBytes == f.size ? "ok" : "mismatch");
        std::fflush(stdout);
    });
    if (!ok) {
        std::fprintf(stderr, "oftpeer: %s\n", error.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

int Receive(const CommandLine& cl) {
    if (!OneWayToConnect(cl) || cl.out.empty() || !cl.files.empty()) return kExitUsage;
    const Socket connection = OpenSession(cl);
    if (!connection.Valid()) return kExitFailed;
    ReceiveOptions options;
    options.folder = cl.out;
    options.timeoutMs = cl.timeoutMs;
    std::vector<ReceivedFile> received;
    std::string error;
    const bool ok = RunReceiver(connection, options, &received, &error, [](const ReceivedFile& f) {
        std::printf("received %s size=%llu sha256=%s checksum=%s zeros=%s path=%s\n",
                    f.name.c_str(), static_cast<unsigned long long>(f.size), f.sha256.c_str(),
                    f.checksum == f.announcedChecksum ? "ok" : "mismatch", f.allZero ? "yes" : "no",
                    f.path.c_str());
        std::fflush(stdout);
    });
    if (!ok) {
        std::fprintf(stderr, "oftpeer: %s\n", error.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

int Replay(const CommandLine& cl) {
    ReplayOptions options;
    const bool viaSocks5 = !cl.socks5.empty();
    if (cl.proxy.empty() == !viaSocks5 || !cl.files.empty()) return kExitUsage;
    if (!AddressArgument(viaSocks5 ? cl.socks5 : cl.proxy, viaSocks5 ? &options.socks5 : &options.proxy))
        return kExitFailed;
    options.timeoutMs = cl.timeoutMs;
    options.segmentGapMs = cl.gapMs < 0 ? 5 : cl.gapMs;
    Recording recording;
    std::string error;
    if (!LoadRecording(cl.data.empty() ? OFTPEER_DEFAULT_RECORDING : cl.data, &recording, &error)) {
        std::fprintf(stderr, "oftpeer: %s\n", error.c_str());
        return kExitFailed;
    }
    const std::string listen = cl.listen.empty() ? "127.0.0.1:0" : cl.listen;
    const Socket listener = ListenAnnounced(listen, cl.portFile);
    if (!listener.Valid()) return kExitFailed;
    if (viaSocks5) {
        ParseAddress(listen, &options.proxy);  // the server side, for the SOCKS5 proxy
        options.proxy.port = LocalPort(listener);
    }
    std::string report;
    const ReplayOutcome outcome = RunReplay(listener, recording, options, &report);
    if (!report.empty() && report.back() != '\n') report += '\n';
    std::printf("%s%s\n", report.c_str(), OutcomeName(outcome));
    switch (outcome) {
        case ReplayOutcome::kIdentical: return kExitOk;
        case ReplayOutcome::kBlanked: return kExitBlanked;
        case ReplayOutcome::kDifferent: return kExitDifferent;
        case ReplayOutcome::kFailed: break;
    }
    return kExitFailed;
}

// The rendezvous proxy server, until it has relayed the sessions asked for.
int RendezvousProxy(const CommandLine& cl) {
    if (cl.listen.empty() || !cl.connect.empty() || !cl.rvProxy.empty() || !cl.files.empty()) return kExitUsage;
    Socket listener = ListenAnnounced(cl.listen, cl.portFile);
    if (!listener.Valid()) return kExitFailed;
    RvServerOptions options;
    options.gapMs = cl.gapMs < 0 ? 20 : cl.gapMs;
    options.timeoutMs = cl.timeoutMs;
    RendezvousServer server(options);
    server.Start(std::move(listener));
    server.WaitForRelayed(cl.sessions > 0 ? cl.sessions : 0x7FFFFFFF, -1);
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    CommandLine cl;
    if (!Parse(argc, argv, &cl)) {
        Usage(stderr);
        return kExitUsage;
    }
    if (cl.command == "-h" || cl.command == "--help" || cl.command == "help") {
        Usage(stdout);
        return kExitOk;
    }
    if (!StartNetwork()) {
        std::fprintf(stderr, "oftpeer: cannot start Windows Sockets\n");
        return kExitFailed;
    }
    int rc = kExitUsage;
    if (cl.command == "send") rc = Send(cl);
    else if (cl.command == "recv") rc = Receive(cl);
    else if (cl.command == "replay") rc = Replay(cl);
    else if (cl.command == "rv-proxy") rc = RendezvousProxy(cl);
    if (rc == kExitUsage) Usage(stderr);
    return rc;
}
