// One proxied connection on real loopback sockets, as a host has it: the messenger
// client, the plug-in's two sockets, and the messenger server. The pump helpers move
// bytes through the plug-in's data exports the way a host's event loop does.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "support/socket_pair.h"
#include "zykim/zykim.h"

namespace zykim::test {

using DataExport = int(ZYKIM_CALL*)(ZykConnection*, ZykConnection*);

struct LoopbackConnection {
    SocketPair appPair;     // client: the messenger client; server: the plug-in's app side
    SocketPair serverPair;  // client: the plug-in's server side; server: the messenger server
    ZykConnection app{};
    ZykConnection server{};

    LoopbackConnection() : appPair(MakeSocketPair()), serverPair(MakeSocketPair()) {
        app.socket = appPair.server.Number();
        server.socket = serverPair.client.Number();
    }
    bool Valid() const { return appPair.Valid() && serverPair.Valid(); }
    const Socket& MessengerClient() const { return appPair.client; }
    const Socket& MessengerServer() const { return serverPair.server; }
    const Socket& PluginAppSide() const { return appPair.server; }
    const Socket& PluginServerSide() const { return serverPair.client; }
};

// Writes `bytes` from one end while calling `pump` whenever the plug-in's socket is
// readable, until `expectRead` bytes were read by the plug-in (or the time limit); at
// the same time collects what arrives at `receiver` until `expectReceived` bytes came
// (or it stays quiet). Returns what the receiver got.
inline std::string PumpThrough(const Socket& writer, const Socket& pluginSide,
                               const Socket& receiver, const std::string& bytes,
                               size_t expectRead, size_t expectReceived,
                               const std::function<int()>& pump, int* readByPlugin = nullptr,
                               int limitMs = 20000) {
    std::thread write([&] { WriteAll(writer, bytes); });
    std::string received;
    std::thread read([&] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
        char buffer[65536];
        while (received.size() < expectReceived && std::chrono::steady_clock::now() < deadline) {
            if (!WaitReadable(receiver, 100)) continue;
            const int n = ReceiveSome(receiver, buffer, sizeof buffer);
            if (n <= 0) break;
            received.append(buffer, static_cast<size_t>(n));
        }
    });
    int total = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
    while (static_cast<size_t>(total) < expectRead && std::chrono::steady_clock::now() < deadline) {
        if (!WaitReadable(pluginSide, 100)) continue;
        const int n = pump();
        if (n <= 0) break;
        total += n;
    }
    write.join();
    read.join();
    if (readByPlugin != nullptr) *readByPlugin = total;
    return received;
}

// Server to client through OnRequestFromServer.
inline std::string ServerToClient(LoopbackConnection& c, DataExport fromServer,
                                  const std::string& bytes, size_t expectReceived,
                                  int* readByPlugin = nullptr) {
    return PumpThrough(c.MessengerServer(), c.PluginServerSide(), c.MessengerClient(), bytes,
                       bytes.size(), expectReceived,
                       [&] { return fromServer(&c.app, &c.server); }, readByPlugin);
}

// Client to server through OnRequestFromApplication.
inline std::string ClientToServer(LoopbackConnection& c, DataExport fromApp,
                                  const std::string& bytes, int* readByPlugin = nullptr) {
    return PumpThrough(c.MessengerClient(), c.PluginAppSide(), c.MessengerServer(), bytes,
                       bytes.size(), bytes.size(), [&] { return fromApp(&c.app, &c.server); },
                       readByPlugin);
}

}  // namespace zykim::test
