// A small host for the life-cycle tests: loads the built plug-in by path, opens
// connections on loopback sockets, holds a file body, and then either exits without
// unloading (optionally with other threads inside exports) or unloads with the
// connections still open. Exit status 0 means everything went as the mode expects.
//
// usage: lifecycle_host exit|exit-busy|unload LIBRARY TEMPFOLDER
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>

#include "support/library.h"
#include "support/oft2_stream.h"
#include "support/socket_pair.h"
#include "zykim/zykim.h"

using namespace zykim::test;
namespace fs = std::filesystem;

namespace {

using NewConnectionEx = void(ZYKIM_CALL*)(int, int, ZykConnection*);
using DataCall = int(ZYKIM_CALL*)(ZykConnection*, ZykConnection*);
using EndConnection = void(ZYKIM_CALL*)(ZykConnection*);
using Register = int(ZYKIM_CALL*)(ZykScanCallback);

struct Exports {
    NewConnectionEx newConnection = nullptr;
    DataCall fromApplication = nullptr;
    DataCall fromServer = nullptr;
    EndConnection end = nullptr;
    Register registerCallback = nullptr;
    bool Resolve(const PluginLibrary& lib) {
        newConnection = lib.Get<NewConnectionEx>("OnNewConnectionEx");
        fromApplication = lib.Get<DataCall>("OnRequestFromApplication");
        fromServer = lib.Get<DataCall>("OnRequestFromServer");
        end = lib.Get<EndConnection>("OnEndConnection");
        registerCallback = lib.Get<Register>("RegisterCallback");
        return newConnection && fromApplication && fromServer && end && registerCallback;
    }
};

// Everything a connection needs, on the heap and never freed: threads that are still
// inside an export while the process exits must find their sockets and records intact.
struct Connection {
    SocketPair appPair = MakeSocketPair();
    SocketPair serverPair = MakeSocketPair();
    ZykConnection app{0, appPair.server.Number()};
    ZykConnection server{0, serverPair.client.Number()};
    bool Valid() const { return appPair.Valid() && serverPair.Valid(); }
};

// Kept reachable from here, so that a leak check at exit finds nothing lost.
Connection* g_connections[4] = {};
std::atomic<int> g_churnRounds{0};

std::atomic<bool> g_blockScans{false};
std::atomic<bool> g_inScan{false};

int ZYKIM_CALL Scan(int kind, ScanCallbackInfo* info) {
    if (kind != ZYKIM_SCAN_CHECK_FILE) return 0;
    info->nResult = 0;
    if (!g_blockScans) return 0;
    g_inScan = true;
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));  // until the process ends
}

std::string Bytes(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

std::string Header(const char* name, uint32_t size) {
    Oft2HeaderFields f;
    f.name = name;
    f.dwSize = size;
    return Bytes(MakeOft2Header(f));
}

// Sends `bytes` from the messenger server and pumps them into the plug-in.
bool FromServer(const Exports& x, Connection& c, const std::string& bytes) {
    if (!WriteAll(c.serverPair.server, bytes)) return false;
    size_t read = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (read < bytes.size() && std::chrono::steady_clock::now() < deadline) {
        if (!WaitReadable(c.serverPair.client, 100)) continue;
        const int n = x.fromServer(&c.app, &c.server);
        if (n > 0) read += static_cast<size_t>(n);
    }
    return read == bytes.size();
}

size_t HeldFiles(const std::string& folder) {
    size_t n = 0;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        if (entry.path().filename().string().rfind("icq_oscar_", 0) == 0) ++n;
    return n;
}

// Connections that hold a body and carry plain traffic. Returns 0, or the exit status
// that says which step failed.
int OpenConnections(const Exports& x, const std::string& folder) {
    x.registerCallback(&Scan);
    auto* holding = g_connections[0] = new Connection;
    auto* plain = g_connections[1] = new Connection;
    if (!holding->Valid() || !plain->Valid()) return 20;
    x.newConnection(1, 0, &holding->app);
    x.newConnection(2, 0, &plain->app);
    const std::string header = Header("held.bin", 10000);
    if (!FromServer(x, *holding, header + std::string(4000, 'b'))) return 21;
    if (ReadExactly(holding->appPair.client, header.size()) != header) return 22;
    if (HeldFiles(folder) != 1) return 23;
    if (!FromServer(x, *plain, "plain bytes")) return 24;
    if (ReadExactly(plain->appPair.client, 11) != "plain bytes") return 25;
    return 0;
}

// One thread blocked in the scan callback (holding the callback lock and its connection's
// lock), another going in and out of every connection export without pause.
int StartBusyThreads(const Exports& x) {
    auto* scanned = g_connections[2] = new Connection;
    auto* churned = g_connections[3] = new Connection;
    if (!scanned->Valid() || !churned->Valid()) return 30;
    x.newConnection(3, 0, &scanned->app);
    g_blockScans = true;
    std::thread([x, scanned] { FromServer(x, *scanned, Header("blocks.bin", 100) + std::string(100, 'c')); })
        .detach();
    std::thread([x, churned] {
        for (;;) {
            x.newConnection(4, 0, &churned->app);
            WriteAll(churned->serverPair.server, std::string(500, 'd'));
            x.fromServer(&churned->app, &churned->server);
            WriteAll(churned->appPair.client, std::string(10, 'u'));
            x.fromApplication(&churned->app, &churned->server);
            x.end(&churned->app);
            ReadUntilQuiet(churned->appPair.client, 0, 10);
            ReadUntilQuiet(churned->serverPair.server, 0, 10);
            ++g_churnRounds;
        }
    }).detach();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((!g_inScan || g_churnRounds < 20) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return g_inScan && g_churnRounds >= 20 ? 0 : 31;
}

void SetTempFolder(const std::string& folder) {
#ifdef _WIN32
    SetEnvironmentVariableA("TMP", folder.c_str());
    SetEnvironmentVariableA("TEMP", folder.c_str());
#else
    setenv("TMPDIR", folder.c_str(), 1);
#endif
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) return 2;
    const std::string mode = argv[1];
    const std::string folder = argv[3];
    SetTempFolder(folder);
    if (!StartSockets()) return 3;
    Exports x;
    // Never unloaded in the exit modes: the process ends with the plug-in loaded.
    static PluginLibrary* lib = new PluginLibrary;
    if (!lib->Open(argv[2]) || !x.Resolve(*lib)) return 4;
    if (const int failed = OpenConnections(x, folder)) return failed;

    if (mode == "exit") return 0;
    if (mode == "exit-busy") return StartBusyThreads(x);
    if (mode != "unload") return 2;

    // Unload with both connections still in the table: the held file goes with them,
    // and nothing calls the scan callback, which lives on in this program.
    lib->Close();
    if (HeldFiles(folder) != 0) return 40;
    // Loaded again, the plug-in starts afresh.
    if (!lib->Open(argv[2]) || !x.Resolve(*lib)) return 41;
    Connection again;
    if (!again.Valid()) return 42;
    x.newConnection(5, 0, &again.app);
    if (!FromServer(x, again, "once more") || ReadExactly(again.appPair.client, 9) != "once more") return 43;
    x.end(&again.app);
    lib->Close();
    delete lib;
    return 0;
}
