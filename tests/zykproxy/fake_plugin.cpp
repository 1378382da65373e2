// The stand-in plug-in (see fake_plugin.h). It reads its sockets with receives that do
// not wait, through the host's socket interface when the host has set one, as the real
// one does, so the host's event loop meets the same behaviour: a readable side that
// yields 0 bytes has closed.
#include "fake_plugin.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#ifdef _WIN32
#include "os/win32/win.h"
#else
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {

std::mutex g_mutex;
std::vector<FakeCall> g_calls;
std::unordered_map<const ZykConnection*, int> g_hostValues;
ZykScanCallback g_callback = nullptr;
std::atomic<ISocket*> g_hostSocket{nullptr};

// The host's promise, checked as the calls come: a connection is announced first, its
// data calls never overlap in one direction, and it is ended once, after the last.
struct Order {
    bool ended = false;
    int inFlight[2] = {0, 0};  // data calls running: from the application, from the server
};
std::unordered_map<const ZykConnection*, Order> g_order;  // guarded by g_mutex
int g_orderFaults = 0;

// Marks a data call of one direction as running for its lifetime.
class DataCall {
public:
    DataCall(const ZykConnection* app, int direction) : m_app(app), m_direction(direction) {
        std::lock_guard<std::mutex> guard(g_mutex);
        const auto it = g_order.find(app);
        if (it == g_order.end() || it->second.ended || it->second.inFlight[direction] > 0)
            ++g_orderFaults;
        ++g_order[app].inFlight[direction];
    }
    ~DataCall() {
        std::lock_guard<std::mutex> guard(g_mutex);
        --g_order[m_app].inFlight[m_direction];
    }

private:
    const ZykConnection* m_app;
    int m_direction;
};

void Record(const char* name, int hostValue, const ZykConnection* app,
            const ZykConnection* server, int result) {
    FakeCall c{};
    std::snprintf(c.name, sizeof c.name, "%s", name);
    c.hostValue = hostValue;
    c.app = app;
    c.appSocket = app != nullptr ? app->socket : -1;
    c.serverSocket = server != nullptr ? server->socket : -1;
    c.thread = std::hash<std::thread::id>()(std::this_thread::get_id());
    c.result = result;
    std::lock_guard<std::mutex> guard(g_mutex);
    g_calls.push_back(c);
}

void Trace(const char* text) {
#ifdef _WIN32
    OutputDebugStringA(text);
#else
    // The real plug-in's settings: a level and a sink read from the environment.
    const char* level = std::getenv("ZYKIM_DEBUG_LEVEL");
    const char* sink = std::getenv("ZYKIM_DEBUG_OUTPUT");
    if (level != nullptr && std::atoi(level) >= 4 && sink != nullptr &&
        std::strcmp(sink, "stderr") == 0)
        (void)!write(2, text, std::strlen(text));
#endif
}

// A receive that does not wait: > 0 bytes, 0 closed, -1 nothing or failed.
int ReceiveNow(int socket, char* buffer, int size) {
    if (ISocket* host = g_hostSocket.load()) return host->Receive(socket, buffer, size);
#ifdef _WIN32
    fd_set set;
    FD_ZERO(&set);
    FD_SET(static_cast<SOCKET>(socket), &set);
    timeval zero{0, 0};
    if (select(0, &set, nullptr, nullptr, &zero) != 1) return -1;
    const int n = recv(static_cast<SOCKET>(socket), buffer, size, 0);
    return n < 0 ? -1 : n;
#else
    const ssize_t n = recv(socket, buffer, static_cast<size_t>(size), MSG_DONTWAIT);
    return n < 0 ? -1 : static_cast<int>(n);
#endif
}

bool SendAll(int socket, const char* data, int length) {
    if (ISocket* host = g_hostSocket.load()) return static_cast<uint8_t>(host->Send(socket, data, length)) != 0;
    while (length > 0) {
#ifdef _WIN32
        const int n = send(static_cast<SOCKET>(socket), data, length, 0);
#else
        const int n = static_cast<int>(send(socket, data, static_cast<size_t>(length), MSG_NOSIGNAL));
#endif
        if (n <= 0) return false;
        data += n;
        length -= n;
    }
    return true;
}

int HostValueOf(const ZykConnection* app) {
    std::lock_guard<std::mutex> guard(g_mutex);
    const auto it = g_hostValues.find(app);
    return it == g_hostValues.end() ? 0 : it->second;
}

// Runs a command block; false when the block is data.
bool Command(const std::string& block, ZykConnection* app) {
    ScanCallbackInfo info{};
    info.cbSize = sizeof info;
    info.reserved4 = 3;
    info.dwHostValue = static_cast<uint32_t>(HostValueOf(app));
    info.dwAppSocket = static_cast<uint32_t>(app->socket);
    info.reserved1072 = 4;
    std::string reply;
    if (block.rfind("FAKE-CHECK ", 0) == 0) {
        const std::string path = block.substr(11, block.find('\n') - 11);
        info.szFileName = path.c_str();
        info.szWebContentInfo = "announced.txt";
        info.nResult = 0;
        if (g_callback != nullptr) g_callback(ZYKIM_SCAN_CHECK_FILE, &info);
        reply = "VERDICT " + std::to_string(info.nResult) + "\n";
    } else if (block.rfind("FAKE-PROGRESS ", 0) == 0) {
        unsigned done = 0, total = 0;
        std::sscanf(block.c_str() + 14, "%u %u", &done, &total);
        info.szFileName = "szFileName";
        info.szWebContentInfo = "szWebContentInfo";
        info.dwDoneKB = done / 1024;
        info.dwTotalKB = total / 1024;
        if (g_callback != nullptr) g_callback(ZYKIM_SCAN_PROGRESS, &info);
        reply = "PROGRESS\n";
    } else {
        return false;
    }
    SendAll(app->socket, reply.data(), static_cast<int>(reply.size()));
    return true;
}

}  // namespace

ZYKIM_API int ZYKIM_CALL RegisterCallback(ZykScanCallback callback) {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_callback = callback;
    return 1;
}

ZYKIM_API ISocket* ZYKIM_CALL SetISocket(ISocket* socketInterface) {
    g_hostSocket.store(socketInterface);
    return socketInterface;
}

ZYKIM_API void ZYKIM_CALL OnNewConnectionEx(int hostValue, int, ZykConnection* app) {
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        g_hostValues[app] = hostValue;
        // A record's address may come back for a later connection once the last ended.
        const auto it = g_order.find(app);
        if (it != g_order.end() && !it->second.ended) ++g_orderFaults;
        g_order[app] = Order{};
    }
    Record("OnNewConnectionEx", hostValue, app, nullptr, 0);
    Trace("++++++++  fake: OnNewConnectionEx\n");
}

ZYKIM_API void ZYKIM_CALL OnNewConnection(int hostValue, ZykConnection* app) {
    OnNewConnectionEx(hostValue, 0, app);
}

ZYKIM_API int ZYKIM_CALL OnRequestFromApplication(ZykConnection* app, ZykConnection* server) {
    const DataCall running(app, 0);
    std::vector<char> buffer(65537);
    int total = 0;
    for (;;) {
        const int n = ReceiveNow(app->socket, buffer.data(), static_cast<int>(buffer.size()));
        if (n <= 0) break;
        total += n;
        if (!SendAll(server->socket, buffer.data(), n)) break;
    }
    Record("OnRequestFromApplication", 0, app, server, total);
    return total;
}

ZYKIM_API int ZYKIM_CALL OnRequestFromServer(ZykConnection* app, ZykConnection* server) {
    const DataCall running(app, 1);
    std::vector<char> buffer(65536);
    int total = 0;
    for (;;) {
        const int n = ReceiveNow(server->socket, buffer.data(), static_cast<int>(buffer.size()));
        if (n <= 0) break;
        total += n;
        if (!Command(std::string(buffer.data(), static_cast<size_t>(n)), app) &&
            !SendAll(app->socket, buffer.data(), n))
            break;
    }
    Record("OnRequestFromServer", 0, app, server, total);
    return total;
}

#ifndef FAKE_WITHOUT_END_CONNECTION
ZYKIM_API void ZYKIM_CALL OnEndConnection(ZykConnection* app) {
    {
        std::lock_guard<std::mutex> guard(g_mutex);
        const auto it = g_order.find(app);
        if (it == g_order.end() || it->second.ended || it->second.inFlight[0] + it->second.inFlight[1] > 0)
            ++g_orderFaults;
        else
            it->second.ended = true;
    }
    Record("OnEndConnection", 0, app, nullptr, 0);
}
#endif

extern "C" ZYKIM_EXPORT int FakePluginCallCount() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return static_cast<int>(g_calls.size());
}

extern "C" ZYKIM_EXPORT int FakePluginGetCall(int index, FakeCall* out) {
    std::lock_guard<std::mutex> guard(g_mutex);
    if (index < 0 || index >= static_cast<int>(g_calls.size())) return 0;
    *out = g_calls[static_cast<size_t>(index)];
    return 1;
}

extern "C" ZYKIM_EXPORT int FakePluginOrderFaults() {
    std::lock_guard<std::mutex> guard(g_mutex);
    return g_orderFaults;
}

extern "C" ZYKIM_EXPORT void FakePluginReset() {
    std::lock_guard<std::mutex> guard(g_mutex);
    g_calls.clear();
    g_hostValues.clear();
    g_order.clear();
    g_orderFaults = 0;
}
