// zykstress: many host threads drive the plug-in in process over socket pairs, with OFT2
// transfers and plain traffic on every connection, while churn threads replace and end
// connections of their own and the scan callback sleeps now and then. Checks every
// connection's streams, that the scan callback is never entered twice at once, that no
// held file is left, and a watchdog fails the run when it stops making progress.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/module_state.h"
#include "plugin/trace.h"
#include "support/oft2_stream.h"
#include "support/fd_io.h"
#include "zykim/zykim.h"

namespace {

using zykim::test::WriteAll;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using zykim::test::MakeBody;
using zykim::test::MakeOft2Header;
using zykim::test::Oft2HeaderFields;

struct Options {
    int threads = 32;
    int connections = 1000;
    int transfers = 4;
    int churnThreads = 2;
    int maxBody = 150000;  // a quarter of the bodies are above 100000 bytes (progress reports)
    int stallSeconds = 60;
    unsigned seed = 1;
};

std::atomic<uint64_t> g_progress{0};
std::atomic<int> g_inside{0};
std::atomic<int> g_overlaps{0};
std::atomic<uint64_t> g_checks{0};
std::atomic<uint64_t> g_progressReports{0};

[[noreturn]] void Die(const char* what) {
    std::fprintf(stderr, "zykstress: %s\n", what);
    std::fflush(stderr);
    std::_Exit(3);
}

// Files named "*.bad" are infected. Every 16th call sleeps a little, so that other
// threads pile up behind the callback lock.
int ZYKIM_CALL ScanCallback(int kind, ScanCallbackInfo* info) {
    if (g_inside.fetch_add(1) != 0) ++g_overlaps;
    static std::atomic<unsigned> calls{0};
    if (calls++ % 16 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1 + calls % 3));
    if (kind == ZYKIM_SCAN_CHECK_FILE) {
        ++g_checks;
        const std::string name = info->szWebContentInfo ? info->szWebContentInfo : "";
        info->nResult = name.size() > 4 && name.compare(name.size() - 4, 4, ".bad") == 0 ? 1 : 0;
    } else {
        ++g_progressReports;
    }
    g_inside.fetch_sub(1);
    return 0;
}

// Plain traffic: letters that never spell the magic.
std::string Plain(std::mt19937& rng, size_t n) {
    std::string s(n, 'a');
    for (char& c : s) c = static_cast<char>('a' + rng() % 5);
    return s;
}

struct Connection {
    int appPlugin = -1, appClient = -1, serverPlugin = -1, serverPeer = -1;
    ZykConnection app{};
    ZykConnection server{};
    std::string sent, expected;        // server to client
    std::vector<size_t> segments;      // where the writes of `sent` end
    size_t nextSegment = 0, written = 0;
    std::string upExpected;            // client to server
    // Filled by the reader thread: bytes that agreed so far, and whether one did not.
    size_t nReceived = 0;
    bool bMismatch = false;
    std::string upReceived;
    int transfers = 0;

    ~Connection() {
        for (int fd : {appPlugin, appClient, serverPlugin, serverPeer})
            if (fd >= 0) ::close(fd);
    }
};

bool MakePair(int& a, int& b) {
    int sv[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) return false;
    a = sv[0];
    b = sv[1];
    return true;
}

// The server's stream for one connection: gaps of plain traffic and transfers, cut into
// writes that never split the magic (a magic split across two reads is not found, and
// this run checks delivery, not classification).
void Script(Connection& c, unsigned seed, const Options& o) {
    std::mt19937 rng(seed);
    std::vector<size_t> magics;
    for (int t = 0; t < o.transfers; ++t) {
        const std::string gap = Plain(rng, 1 + rng() % 60);
        c.sent += gap;
        c.expected += gap;
        Oft2HeaderFields f;
        const bool bad = rng() % 3 == 0;
        f.name = "s" + std::to_string(seed) + "_" + std::to_string(t) + (bad ? ".bad" : ".ok");
        const unsigned big = static_cast<unsigned>(o.maxBody);
        const size_t size = rng() % 5 == 0   ? 0
                            : rng() % 4 == 0 ? big * 2 / 3 + rng() % (big / 3 + 1)
                                             : rng() % (big / 8 + 1);
        f.dwSize = static_cast<uint32_t>(size);
        const std::vector<uint8_t> h = MakeOft2Header(f);
        const std::vector<uint8_t> b = MakeBody(size, seed * 131 + static_cast<unsigned>(t));
        magics.push_back(c.sent.size());
        c.sent.append(h.begin(), h.end());
        c.expected.append(h.begin(), h.end());
        c.sent.append(b.begin(), b.end());
        if (bad)
            c.expected.append(size, '\0');
        else
            c.expected.append(b.begin(), b.end());
        ++c.transfers;
    }
    const std::string tail = Plain(rng, 1 + rng() % 100);
    c.sent += tail;
    c.expected += tail;
    size_t at = 0;
    size_t m = 0;
    while (at < c.sent.size()) {
        size_t end = std::min(c.sent.size(), at + 1 + rng() % 60000);
        while (m < magics.size() && magics[m] + 4 <= end) ++m;
        if (m < magics.size() && magics[m] < end && magics[m] > at) end = magics[m];
        c.segments.push_back(end);
        at = end;
    }
}

// Drains the clients' and servers' ends of a thread's connections until told to stop.
void Reader(std::vector<Connection*>& conns, std::atomic<bool>& stop) {
    std::vector<pollfd> fds;
    for (Connection* c : conns) {
        fds.push_back({c->appClient, POLLIN, 0});
        fds.push_back({c->serverPeer, POLLIN, 0});
    }
    char buffer[65536];
    for (;;) {
        const int r = ::poll(fds.data(), fds.size(), 20);
        if (r == 0 && stop) return;
        if (r <= 0) continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if ((fds[i].revents & POLLIN) == 0) continue;
            const ssize_t n = ::recv(fds[i].fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) continue;
            Connection* c = conns[i / 2];
            if (i % 2 == 1) {
                c->upReceived.append(buffer, static_cast<size_t>(n));
                continue;
            }
            const size_t k = static_cast<size_t>(n);
            if (c->nReceived + k > c->expected.size() ||
                std::memcmp(c->expected.data() + c->nReceived, buffer, k) != 0)
                c->bMismatch = true;
            c->nReceived += k;
        }
    }
}

// One host thread: round after round, the next write of each of its connections, through
// OnRequestFromServer, with client traffic now and then.
void Host(std::vector<Connection*>& conns, unsigned seed) {
    std::mt19937 rng(seed);
    bool busy = true;
    while (busy) {
        busy = false;
        for (Connection* c : conns) {
            if (c->nextSegment >= c->segments.size()) continue;
            busy = true;
            const size_t end = c->segments[c->nextSegment++];
            if (!WriteAll(c->serverPeer, c->sent.data() + c->written, end - c->written)) Die("a write to a server socket failed");
            size_t want = end - c->written;
            c->written = end;
            while (want > 0) {
                const int n = OnRequestFromServer(&c->app, &c->server);
                if (n < 0) Die("OnRequestFromServer returned a negative count");
                want -= std::min(want, static_cast<size_t>(n));
                if (n == 0) std::this_thread::yield();
            }
            if (rng() % 4 == 0) {
                const std::string up = "up" + std::to_string(rng() % 1000) + ";";
                c->upExpected += up;
                WriteAll(c->appClient, up.data(), up.size());
                size_t left = up.size();
                while (left > 0) {
                    const int n = OnRequestFromApplication(&c->app, &c->server);
                    left -= std::min(left, static_cast<size_t>(n > 0 ? n : 0));
                    if (n <= 0) std::this_thread::yield();
                }
            }
            ++g_progress;
        }
    }
}

// Connections of its own, opened, fed half a transfer, replaced and ended over and over.
void Churn(std::atomic<bool>& stop, unsigned seed, std::atomic<uint64_t>& cycles) {
    std::mt19937 rng(seed);
    Connection c;
    if (!MakePair(c.appPlugin, c.appClient) || !MakePair(c.serverPlugin, c.serverPeer)) Die("no socket pair");
    c.app.socket = c.appPlugin;
    c.server.socket = c.serverPlugin;
    // The client reads all the time, as a real one does: the plug-in's sends wait for it.
    std::atomic<bool> done{false};
    std::thread drain([&] {
        char sink[65536];
        pollfd fds[2] = {{c.appClient, POLLIN, 0}, {c.serverPeer, POLLIN, 0}};
        while (!done) {
            if (::poll(fds, 2, 20) <= 0) continue;
            for (const pollfd& p : fds)
                if (p.revents & POLLIN) (void)::recv(p.fd, sink, sizeof sink, MSG_DONTWAIT);
        }
    });
    char sink[65536];
    while (!stop) {
        OnNewConnectionEx(static_cast<int>(seed), 0, &c.app);
        Oft2HeaderFields f;
        f.name = "churn.bin";
        f.dwSize = 50000 + rng() % 100000;
        std::vector<uint8_t> stream = MakeOft2Header(f);
        const std::vector<uint8_t> body = MakeBody(rng() % 60000, seed);
        stream.insert(stream.end(), body.begin(), body.end());
        WriteAll(c.serverPeer, reinterpret_cast<const char*>(stream.data()), stream.size());
        OnRequestFromServer(&c.app, &c.server);
        if (rng() % 2) OnNewConnection(static_cast<int>(seed) + 1, &c.app);
        OnEndConnection(&c.app);
        // What the plug-in left unread on the server side.
        while (::recv(c.serverPlugin, sink, sizeof sink, MSG_DONTWAIT) > 0) {
        }
        ++cycles;
        ++g_progress;
    }
    OnEndConnection(&c.app);
    done = true;
    drain.join();
}

bool ParseInt(const char* text, int& out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 1000000) return false;
    out = static_cast<int>(v);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        int* target = nullptr;
        if (a == "--threads") target = &o.threads;
        else if (a == "--connections") target = &o.connections;
        else if (a == "--transfers") target = &o.transfers;
        else if (a == "--churn") target = &o.churnThreads;
        else if (a == "--max-body") target = &o.maxBody;
        else if (a == "--stall") target = &o.stallSeconds;
        int seed = 0;
        if (a == "--seed" && i + 1 < argc && ParseInt(argv[i + 1], seed)) {
            o.seed = static_cast<unsigned>(seed);
            ++i;
            continue;
        }
        if (target == nullptr || i + 1 >= argc || !ParseInt(argv[++i], *target)) {
            std::fprintf(stderr,
                         "usage: zykstress [--threads N] [--connections N] [--transfers N] [--churn N]\n"
                         "                 [--max-body BYTES] [--stall SECONDS] [--seed N]\n");
            return 64;
        }
    }
    if (o.threads < 1 || o.maxBody < 1) return 64;

    // Held files go to a folder of this run, checked at the end.
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    const fs::path tmp = base / ("zykstress-" + std::to_string(::getpid()));
    fs::create_directories(tmp);
    ::setenv("TMPDIR", tmp.c_str(), 1);
    zykim::ModuleStartup();
    zykim::SetTraceLevel(0);
    RegisterCallback(&ScanCallback);

    std::vector<std::unique_ptr<Connection>> all;
    for (int i = 0; i < o.connections; ++i) {
        auto c = std::make_unique<Connection>();
        if (!MakePair(c->appPlugin, c->appClient) || !MakePair(c->serverPlugin, c->serverPeer)) Die("no socket pair (descriptor limit?)");
        c->app.socket = c->appPlugin;
        c->server.socket = c->serverPlugin;
        Script(*c, o.seed * 100003u + static_cast<unsigned>(i), o);
        OnNewConnectionEx(i, 0, &c->app);
        all.push_back(std::move(c));
    }

    const auto start = Clock::now();
    std::atomic<bool> finished{false};
    std::thread watchdog([&] {
        uint64_t last = g_progress;
        auto lastChange = Clock::now();
        while (!finished) {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            const uint64_t now = g_progress;
            if (now != last) {
                last = now;
                lastChange = Clock::now();
            } else if (Clock::now() - lastChange > std::chrono::seconds(o.stallSeconds)) {
                Die("watchdog: no progress, a deadlock?");
            }
        }
    });
    std::atomic<bool> stopChurn{false};
    std::atomic<uint64_t> churnCycles{0};
    std::vector<std::thread> churn;
    for (int i = 0; i < o.churnThreads; ++i)
        churn.emplace_back(Churn, std::ref(stopChurn), 5000u + static_cast<unsigned>(i), std::ref(churnCycles));

    std::vector<std::vector<Connection*>> shares(static_cast<size_t>(o.threads));
    for (size_t i = 0; i < all.size(); ++i) shares[i % shares.size()].push_back(all[i].get());
    std::vector<std::thread> hosts, readers;
    std::vector<std::unique_ptr<std::atomic<bool>>> stopReaders;
    for (size_t t = 0; t < shares.size(); ++t) {
        stopReaders.push_back(std::make_unique<std::atomic<bool>>(false));
        readers.emplace_back(Reader, std::ref(shares[t]), std::ref(*stopReaders.back()));
        hosts.emplace_back(Host, std::ref(shares[t]), o.seed + static_cast<unsigned>(t));
    }
    for (auto& t : hosts) t.join();
    stopChurn = true;
    for (auto& t : churn) t.join();
    // Everything has been sent; the readers stop once their sockets stay quiet.
    for (auto& s : stopReaders) *s = true;
    for (auto& t : readers) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    finished = true;
    watchdog.join();

    for (auto& c : all) OnEndConnection(&c->app);
    RegisterCallback(nullptr);

    int failures = 0;
    uint64_t down = 0, up = 0, transfers = 0;
    for (size_t i = 0; i < all.size(); ++i) {
        const Connection& c = *all[i];
        down += c.sent.size();
        up += c.upExpected.size();
        transfers += static_cast<uint64_t>(c.transfers);
        if (c.bMismatch || c.nReceived != c.expected.size() || c.upReceived != c.upExpected) {
            if (++failures <= 5)
                std::fprintf(stderr, "zykstress: connection %zu: client got %zu of %zu bytes%s, server %zu of %zu\n", i,
                             c.nReceived, c.expected.size(), c.bMismatch ? " (different)" : "",
                             c.upReceived.size(), c.upExpected.size());
        }
    }
    size_t left = 0;
    for (const auto& e : fs::directory_iterator(tmp)) {
        (void)e;
        ++left;
    }
    std::printf("zykstress: %d host threads, %d churn threads, %zu connections, %llu transfers, "
                "%llu bytes server to client, %llu bytes client to server, %llu checks, "
                "%llu progress reports, %llu churn cycles, %.1f s\n",
                o.threads, o.churnThreads, all.size(), static_cast<unsigned long long>(transfers),
                static_cast<unsigned long long>(down), static_cast<unsigned long long>(up),
                static_cast<unsigned long long>(g_checks.load()),
                static_cast<unsigned long long>(g_progressReports.load()),
                static_cast<unsigned long long>(churnCycles.load()), seconds);
    std::error_code ec;
    fs::remove_all(tmp, ec);
    all.clear();
    zykim::ModuleShutdown();
    bool ok = true;
    if (failures > 0) {
        std::printf("zykstress: FAILED: %d connections did not get their streams\n", failures);
        ok = false;
    }
    if (g_overlaps > 0) {
        std::printf("zykstress: FAILED: the scan callback was entered by two threads at once %d times\n",
                    g_overlaps.load());
        ok = false;
    }
    if (left > 0) {
        std::printf("zykstress: FAILED: %zu held files left\n", left);
        ok = false;
    }
    if (ok) std::printf("zykstress: ok\n");
    return ok ? 0 : 1;
}
