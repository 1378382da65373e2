// Replays inputs of the exports fuzzer through the built plug-in, loaded by path as a
// host loads it, and prints one line per input: a digest of what each messenger client
// and server received, the byte counts the data calls returned, and every check with
// its name, the held body and the verdict, the progress reports, and what each
// SetParallelChecks of the input returned. The same program built natively and for
// Windows (run under Wine) must print the same lines for the same inputs; ./zyk replay
// compares them.
//
// What comes from the platform is left out, so that only the plug-in's own behaviour is
// compared: every read and write goes through the host's socket interface, kept in
// memory here (the plug-in's own socket routines are platform code with tests of their
// own), so socket error codes never arise; held-file paths are not printed (the folder
// and the name's number differ). For the same reason the input's choice of the plug-in's
// own socket routines is replayed through the host interface ("the client stops
// reading" becomes "the client's sends fail"), and the two held-file faults that only
// the fuzz builds' in-memory files can have (a full disk, read-back faults) are replayed
// as a disk with room and a cut of the file.
//
// usage: replay_exports INPUT...
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include "common/win32/socket_headers.h"
#else
#include <unistd.h>
#endif

#include "support/exports_input.h"
#include "support/library.h"
#include "zykim/zykim.h"

namespace {

namespace fs = std::filesystem;

constexpr int kConnections = 4;
constexpr size_t kMaxServerBytes = 6 << 20;
constexpr int kAppSocket = 1000;     // + connection
constexpr int kServerSocket = 2000;  // + connection

// FNV-1a, 64 bits: enough to tell two byte streams apart in a digest.
struct Digest {
    uint64_t hash = 1469598103934665603ull;
    uint64_t size = 0;
    void Add(const void* data, size_t n) {
        const auto* p = static_cast<const uint8_t*>(data);
        for (size_t i = 0; i < n; ++i) hash = (hash ^ p[i]) * 1099511628211ull;
        size += n;
    }
    std::string Text() const {
        char text[48];
        std::snprintf(text, sizeof text, "%llu:%016llx", static_cast<unsigned long long>(size),
                      static_cast<unsigned long long>(hash));
        return text;
    }
};

struct Plan {
    int32_t verdict = 0;
    int64_t cut = -1;
    bool remove = false;
};

struct Connection {
    ZykConnection app{};
    ZykConnection server{};
    bool live = false;
    std::deque<char> fromServer;  // what the server sent, not yet read by the plug-in
    std::deque<char> fromClient;  // what the client sent, not yet read by the plug-in
    Digest client;                // what reached the messenger client
    Digest toServer;              // what reached the server
    int64_t readFromServer = 0;   // the sum of OnRequestFromServer's results
    int64_t readFromClient = 0;
    bool sendFails = false;
    int failReads = 0;
    int zeroReads = 0;
    int maxRead = 0;
    size_t shortReadBytes = 0;  // short reads stop after 65,536 bytes, as in the fuzzer
};

struct Run {
    Connection conns[kConnections];
    std::deque<Plan> plans;
    std::string checks;
    std::string parallel;  // what each SetParallelChecks returned
    Digest progress;  // every progress report: connection, done and total KB
    size_t serverBytes = 0;
} * g_run = nullptr;

class MemorySocket : public ISocket {
public:
    void Reserved0() override {}
    int Receive(int socket, char* buffer, int size) override {
        const bool server = socket >= kServerSocket;
        const int index = socket - (server ? kServerSocket : kAppSocket);
        if (g_run == nullptr || index < 0 || index >= kConnections) return -1;
        Connection& c = g_run->conns[index];
        if (server) {
            if (c.failReads > 0) return --c.failReads, -1;
            if (c.zeroReads > 0) return --c.zeroReads, 0;
            if (c.maxRead > 0 && size > c.maxRead && c.shortReadBytes < (1u << 16)) {
                size = c.maxRead;
                c.shortReadBytes += static_cast<size_t>(size);
            }
        }
        std::deque<char>& queue = server ? c.fromServer : c.fromClient;
        int n = 0;
        while (n < size && !queue.empty()) {
            buffer[n++] = queue.front();
            queue.pop_front();
        }
        return n;
    }
    int Send(int socket, const char* data, int length) override {
        const bool server = socket >= kServerSocket;
        const int index = socket - (server ? kServerSocket : kAppSocket);
        if (g_run == nullptr || index < 0 || index >= kConnections || length < 0) return 0;
        Connection& c = g_run->conns[index];
        if (server) {
            c.toServer.Add(data, static_cast<size_t>(length));
            return 1;
        }
        if (c.sendFails) return 0;
        c.client.Add(data, static_cast<size_t>(length));
        return 1;
    }
} g_socket;

int ZYKIM_CALL ScanCallback(int kind, ScanCallbackInfo* info) {
    if (g_run == nullptr || info == nullptr) return 0;
    if (kind == ZYKIM_SCAN_PROGRESS) {
        const uint32_t report[3] = {info->dwHostValue, info->dwDoneKB, info->dwTotalKB};
        g_run->progress.Add(report, sizeof report);
        return 0;
    }
    if (kind != ZYKIM_SCAN_CHECK_FILE) return 0;
    const std::string path = info->szFileName != nullptr ? info->szFileName : "";
    Digest body;
    bool exists = false;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
        exists = true;
        char buffer[65536];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) body.Add(buffer, n);
        std::fclose(f);
    }
    Plan plan;
    if (!g_run->plans.empty()) {
        plan = g_run->plans.front();
        g_run->plans.pop_front();
    }
    info->nResult = plan.verdict;
    std::string name = info->szWebContentInfo != nullptr ? info->szWebContentInfo : "";
    if (name.size() > 32) {  // a long name by its digest
        Digest d;
        d.Add(name.data(), name.size());
        name = "#" + d.Text();
    }
    g_run->checks += " check" + std::to_string(info->dwHostValue) + "='" + name + "'," +
                     (exists ? body.Text() : std::string("missing")) + ",v" + std::to_string(plan.verdict);
    std::error_code ec;
    if (plan.remove)
        fs::remove(path, ec);
    else if (plan.cut >= 0)
        fs::resize_file(path, static_cast<uintmax_t>(plan.cut), ec);
    return 0;
}

std::string g_dir;

void SetTempFolder(const std::string& folder) {
#ifdef _WIN32
    SetEnvironmentVariableA("TMP", folder.c_str());
    SetEnvironmentVariableA("TEMP", folder.c_str());
#else
    ::setenv("TMPDIR", folder.c_str(), 1);
#endif
}

struct Exports {
    decltype(&RegisterCallback) registerCallback;
    decltype(&SetParallelChecks) setParallelChecks;
    decltype(&SetISocket) setISocket;
    decltype(&OnNewConnection) onNewConnection;
    decltype(&OnNewConnectionEx) onNewConnectionEx;
    decltype(&OnRequestFromApplication) onRequestFromApplication;
    decltype(&OnRequestFromServer) onRequestFromServer;
    decltype(&OnEndConnection) onEndConnection;
} x;

void Start(int index, uint8_t operand, bool replace) {
    Connection& c = g_run->conns[index];
    if (replace && !c.live) return;
    SetTempFolder((operand & 1) != 0 ? (fs::path(g_dir) / "missing").string() : g_dir);
    c.live = true;
    if ((operand & 2) != 0 && !replace)
        x.onNewConnection(index, &c.app);
    else
        x.onNewConnectionEx(index, 0, &c.app);
    SetTempFolder(g_dir);
}

void ServerData(int index, const uint8_t* data, size_t n) {
    Connection& c = g_run->conns[index];
    if (g_run->serverBytes + n > kMaxServerBytes) return;
    g_run->serverBytes += n;
    c.fromServer.insert(c.fromServer.end(), data, data + n);
    c.readFromServer += x.onRequestFromServer(&c.app, &c.server);
}

std::string Replay(const std::vector<uint8_t>& input) {
    Run run;
    g_run = &run;
    for (int i = 0; i < kConnections; ++i) {
        run.conns[i].app.socket = kAppSocket + i;
        run.conns[i].server.socket = kServerSocket + i;
    }
    const uint8_t* data = input.data();
    const size_t size = input.size();
    const zykim::test::ExportsInputFlags flags = zykim::test::ExportsFlags(size > 0 ? data[0] : 0);
    x.setISocket(&g_socket);
    x.registerCallback(flags.bNoCallback ? nullptr : &ScanCallback);
    struct Actions {
        Run& run;
        bool host;
        void Start(int index, uint8_t operand, bool replace) { ::Start(index, operand, replace); }
        void ServerData(int index, const uint8_t* p, size_t n) { ::ServerData(index, p, n); }
        void ClientData(int index, size_t n) {
            Connection& c = run.conns[index];
            for (size_t i = 0; i < n; ++i) c.fromClient.push_back(static_cast<char>('a' + (i * 7 + index) % 26));
            c.readFromClient += x.onRequestFromApplication(&c.app, &c.server);
        }
        void End(int index) {
            x.onEndConnection(&run.conns[index].app);
            run.conns[index].live = false;
        }
        void Verdict(const zykim::test::ExportsVerdict& v) {
            Plan p;
            p.verdict = v.nVerdict;
            p.remove = v.bRemove;
            if (!v.bRemove) p.cut = v.nCut;  // a read-back fault of the fuzzer is a cut here
            run.plans.push_back(p);
        }
        void Fault(int index, uint8_t f) {
            Connection& c = run.conns[index];
            if (!host) {  // the client stops reading: its sends fail
                c.sendFails = true;
                return;
            }
            switch (f & 3) {
                case 0: c.sendFails = true; break;
                case 1: ++c.failReads; break;
                case 2: ++c.zeroReads; break;
                default: c.maxRead = (f >> 2) + 1; break;
            }
        }
        void EmptyCall(int index) {
            Connection& c = run.conns[index];
            c.readFromServer += x.onRequestFromServer(&c.app, &c.server);
        }
        void ParallelChecks(int32_t count) {
            run.parallel += (run.parallel.empty() ? "" : ",") + std::to_string(x.setParallelChecks(count));
        }
        bool AfterAction(int) { return true; }
    } actions{run, flags.bHostSocket};
    zykim::test::DecodeExportsInput(data, size, actions);
    for (Connection& c : run.conns)
        if (c.live) x.onEndConnection(&c.app);
    x.setISocket(nullptr);
    x.registerCallback(nullptr);
    x.setParallelChecks(1);
    g_run = nullptr;

    std::string line;
    for (int i = 0; i < kConnections; ++i) {
        const Connection& c = run.conns[i];
        if (c.client.size == 0 && c.toServer.size == 0 && c.readFromServer == 0 && c.readFromClient == 0) continue;
        line += " c" + std::to_string(i) + "=" + c.client.Text() + "/" + c.toServer.Text() + "/" +
                std::to_string(c.readFromServer) + "/" + std::to_string(c.readFromClient);
    }
    line += run.checks + " progress=" + run.progress.Text();
    if (!run.parallel.empty()) line += " parallel=" + run.parallel;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(g_dir, ec)) {
        line += " left:" + entry.path().filename().string();
        break;
    }
    return line;
}

bool ReadInput(const char* path, std::vector<uint8_t>& out) {
    FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    out.clear();
    uint8_t buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) out.insert(out.end(), buffer, buffer + n);
    std::fclose(f);
    return true;
}

template <typename Fn>
bool Resolve(const zykim::test::PluginLibrary& library, const char* name, Fn& fn) {
    fn = library.Get<Fn>(name);
    if (fn == nullptr) std::fprintf(stderr, "replay_exports: %s is not exported\n", name);
    return fn != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: replay_exports INPUT...\n");
        return 2;
    }
    // The held files go to a folder of this run, removed at the end.
    std::error_code ec;
#ifdef _WIN32
    const std::string pid = std::to_string(GetCurrentProcessId());
#else
    const std::string pid = std::to_string(::getpid());
#endif
    g_dir = (fs::temp_directory_path(ec) / ("zykim-replay-" + pid)).string();
    fs::create_directories(g_dir, ec);
    if (ec) {
        std::fprintf(stderr, "replay_exports: cannot create %s: %s\n", g_dir.c_str(), ec.message().c_str());
        return 1;
    }
    SetTempFolder(g_dir);

    zykim::test::PluginLibrary library;
#ifdef _WIN32
    const char* libraryPath = ZYKIM_LIBRARY_NAME;  // beside this program
#else
    const char* libraryPath = ZYKIM_LIBRARY_PATH;
#endif
    if (!library.Open(libraryPath)) {
        std::fprintf(stderr, "replay_exports: cannot load %s\n", libraryPath);
        return 1;
    }
    if (!Resolve(library, "RegisterCallback", x.registerCallback) ||
        !Resolve(library, "SetParallelChecks", x.setParallelChecks) || !Resolve(library, "SetISocket", x.setISocket) ||
        !Resolve(library, "OnNewConnection", x.onNewConnection) ||
        !Resolve(library, "OnNewConnectionEx", x.onNewConnectionEx) ||
        !Resolve(library, "OnRequestFromApplication", x.onRequestFromApplication) ||
        !Resolve(library, "OnRequestFromServer", x.onRequestFromServer) ||
        !Resolve(library, "OnEndConnection", x.onEndConnection))
        return 1;

    int status = 0;
    std::vector<uint8_t> input;
    for (int i = 1; i < argc; ++i) {
        if (!ReadInput(argv[i], input)) {
            std::fprintf(stderr, "replay_exports: cannot read %s\n", argv[i]);
            status = 1;
            continue;
        }
        std::printf("%s%s\n", fs::path(argv[i]).filename().string().c_str(), Replay(input).c_str());
        std::fflush(stdout);
    }
    library.Close();
    fs::remove_all(g_dir, ec);
    return status;
}
