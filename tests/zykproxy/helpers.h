// Helpers for the proxy host's tests: a scripted upstream server on loopback, reading
// helpers, scratch files and the paths of the programs under test.
#pragma once

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "sockets.h"

namespace zykproxy::test {

// The socket library, started for the whole test program (Windows Sockets needs it).
inline net::NetworkSession g_network;

inline std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string out(n, '\0');
    for (char& c : out) c = static_cast<char>(rng() & 0xFF);
    return out;
}

// Reads until n bytes have come, the peer closes, or timeoutMs passes in silence.
inline std::string ReadUpTo(net::SocketId s, size_t n, int timeoutMs = 5000) {
    std::string out;
    std::vector<char> buffer(65536);
    while (out.size() < n) {
        const int want = static_cast<int>(std::min(buffer.size(), n - out.size()));
        const int got = net::ReceiveWait(s, buffer.data(), want, timeoutMs);
        if (got <= 0) break;
        out.append(buffer.data(), static_cast<size_t>(got));
    }
    return out;
}

// Reads until the peer closes; false when timeoutMs passes in silence first.
inline bool ReadToEnd(net::SocketId s, std::string* out, int timeoutMs = 5000) {
    std::vector<char> buffer(65536);
    for (;;) {
        const int got = net::ReceiveWait(s, buffer.data(), static_cast<int>(buffer.size()), timeoutMs);
        if (got == 0) return true;
        if (got < 0) return got == net::kFailed;  // a reset also ends the stream
        out->append(buffer.data(), static_cast<size_t>(got));
    }
}

inline net::Socket ConnectTo(uint16_t port) {
    std::string error;
    return net::Connect(net::Endpoint{"127.0.0.1", port}, 5000, &error);
}

// An upstream server on 127.0.0.1 with a free port; each accepted connection is given
// to the handler on its own thread.
class Upstream {
public:
    using Handler = std::function<void(net::Socket)>;
    explicit Upstream(Handler handler) : m_handler(std::move(handler)) {
        std::string error;
        m_listener = net::Listen(net::Endpoint{"127.0.0.1", 0}, 128, &error);
        m_stop.Open(&error);
        m_port = net::LocalPort(m_listener.Get());
        m_thread = std::thread([this] { AcceptLoop(); });
    }
    ~Upstream() {
        m_stop.Signal();
        m_thread.join();
        for (auto& t : m_handlers) t.join();
    }
    uint16_t Port() const { return m_port; }
    int Accepted() const { return m_accepted.load(); }

private:
    void AcceptLoop() {
        for (;;) {
            std::vector<net::PollEntry> entries{{m_stop.ReadSide()}, {m_listener.Get()}};
            if (net::Poll(entries, -1) < 0 || entries[0].events != 0) return;
            if (entries[1].events == 0) continue;
            std::string error;
            net::Socket s = net::Accept(m_listener.Get(), &error);
            if (!s.Valid()) continue;
            ++m_accepted;
            m_handlers.emplace_back(
                [this](net::Socket c) { m_handler(std::move(c)); }, std::move(s));
        }
    }
    Handler m_handler;
    net::Socket m_listener;
    net::WakePair m_stop;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::vector<std::thread> m_handlers;
    std::atomic<int> m_accepted{0};
};

// Sends back everything until the peer closes.
inline void Echo(net::Socket s) {
    std::vector<char> buffer(65536);
    for (;;) {
        const int n = net::ReceiveWait(s.Get(), buffer.data(), static_cast<int>(buffer.size()), 20000);
        if (n <= 0) return;
        if (!net::SendAll(s.Get(), buffer.data(), static_cast<size_t>(n))) return;
    }
}

// A file in the temporary folder, removed with the object.
class ScratchFile {
public:
    ScratchFile(const std::string& name, const std::string& content)
        : m_path((std::filesystem::temp_directory_path() /
                  ("zykproxy_test_" + std::to_string(Counter()++) + "_" + name))
                     .string()) {
        std::ofstream(m_path, std::ios::binary) << content;
    }
    ~ScratchFile() {
        std::error_code ec;
        std::filesystem::remove(m_path, ec);
    }
    const std::string& Path() const { return m_path; }

private:
    static std::atomic<int>& Counter() {
        static std::atomic<int> n{static_cast<int>(std::chrono::steady_clock::now().time_since_epoch().count() % 100000)};
        return n;
    }
    std::string m_path;
};

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The standard anti-virus test file, put together at run time so that this source
// does not itself hold it.
inline std::string EicarTestFile() {
    return std::string("X5O!P%@AP[4\\PZX54(P^)7CC)7}$") + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*";
}

// A program or library built beside the tests: by full path natively, by name on
// Windows (the folder of the running program is searched first there).
#ifdef _WIN32
#define ZYKPROXY_TEST_ARTIFACT(path, name) std::string(name)
#else
#define ZYKPROXY_TEST_ARTIFACT(path, name) std::string(path)
#endif

}  // namespace zykproxy::test
