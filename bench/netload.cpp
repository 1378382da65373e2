// netload: the traffic of the network benchmarks (Linux only): an upstream server that
// sends plain bytes, an OFT2 transfer or echoes, and the clients that time them.
//
//   netload serve source|oft2|echo|request [--bytes N]
//                                                prints "listening PORT"; ends when stdin closes;
//                                                request: for each 8-byte big-endian count the
//                                                client sends, sends that many bytes back
//   netload sink --port P --bytes N [--connections C]
//                                                reads N bytes on each of C connections (1),
//                                                opened at once; prints "seconds S" (the last
//                                                connection's end)
//   netload pingpong --port P [--count C] [--size S]
//                                                prints "p50_us X p99_us Y mean_us Z"
//   netload hold --port P --connections N        opens N connections, one round trip on
//                                                each, prints "ready", holds until stdin closes
//   netload streams --port P --connections N --streaming M --bytes B
//                                                (against serve request) opens N connections with
//                                                one 100-byte request each, prints "open", has M of
//                                                them take B bytes each at once, prints "seconds S"
//                                                (the last stream's end), holds until stdin closes
//   netload disk --dir D --bytes N               writes N bytes in 64 KiB blocks, reads them
//                                                back in 32 KiB blocks, deletes; prints "seconds S"
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/net.h"

namespace {

namespace net = zyk::net;

constexpr size_t kBlock = 65536;
constexpr size_t kReadBackBlock = 32768;

[[noreturn]] void Fail(const std::string& what) {
    std::fprintf(stderr, "netload: %s: %s\n", what.c_str(), std::strerror(errno));
    std::exit(1);
}

using Clock = std::chrono::steady_clock;
double Seconds(Clock::time_point since) {
    return std::chrono::duration<double>(Clock::now() - since).count();
}

// Owns one file descriptor.
class Fd {
public:
    explicit Fd(int fd = -1) : m_fd(fd) {}
    Fd(Fd&& o) noexcept : m_fd(o.m_fd) { o.m_fd = -1; }
    Fd& operator=(Fd&& o) noexcept {
        std::swap(m_fd, o.m_fd);
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (m_fd >= 0) ::close(m_fd);
    }
    int Get() const { return m_fd; }

private:
    int m_fd;
};

net::Socket ConnectLoopback(uint16_t port) {
    net::Socket s = net::ConnectLoopback(port);
    if (!s.Valid()) Fail("connect");
    return s;
}

bool SendAll(net::SocketId s, const uint8_t* data, size_t length) {
    return net::SendAll(s, reinterpret_cast<const char*>(data), length);
}

// Reads exactly length bytes (into a buffer that may be smaller: the bytes are dropped).
bool ReadExactly(net::SocketId s, uint8_t* buffer, size_t capacity, size_t length) {
    while (length > 0) {
        const int n = net::Receive(s, reinterpret_cast<char*>(buffer),
                                   static_cast<int>(std::min(capacity, length)));
        if (n <= 0) return false;
        length -= static_cast<size_t>(n);
    }
    return true;
}

void DrainUntilClosed(net::SocketId s) {
    char sink[4096];
    while (net::Receive(s, sink, sizeof sink) > 0) {
    }
}

// Random bytes in which "oft2" occurs in no letter case: traffic that carries no transfer.
std::vector<uint8_t> PlainBlock() {
    std::vector<uint8_t> b(kBlock);
    std::mt19937 rng(1);
    for (auto& x : b) x = static_cast<uint8_t>(rng());
    for (size_t i = 0; i + 4 <= b.size(); ++i)
        if ((b[i] | 0x20) == 'o' && (b[i + 1] | 0x20) == 'f' && (b[i + 2] | 0x20) == 't' && b[i + 3] == '2')
            b[i] = 'x';
    return b;
}

// The 256-byte header of a one-file transfer of `size` body bytes.
std::vector<uint8_t> Oft2Header(uint32_t size) {
    std::vector<uint8_t> h(256, 0);
    std::memcpy(h.data(), "OFT2\x01\x00\x01\x01", 8);
    h[20] = h[22] = 0;
    h[21] = h[23] = 1;  // one file, one left
    for (int i = 0; i < 4; ++i) {
        h[28 + i] = static_cast<uint8_t>(size >> (24 - 8 * i));  // total size
        h[32 + i] = static_cast<uint8_t>(size >> (24 - 8 * i));  // this file's size
    }
    std::memcpy(h.data() + 192, "bench.bin", 9);
    return h;
}

uint64_t ArgNumber(const std::vector<std::string>& args, const std::string& name, uint64_t fallback) {
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == name) return std::strtoull(args[i + 1].c_str(), nullptr, 10);
    return fallback;
}

std::string ArgText(const std::vector<std::string>& args, const std::string& name) {
    for (size_t i = 0; i + 1 < args.size(); ++i)
        if (args[i] == name) return args[i + 1];
    return {};
}

// Ends the process when the runner closes our standard input.
void ExitWhenStdinCloses() {
    std::thread([] {
        char c;
        while (::read(STDIN_FILENO, &c, 1) > 0) {
        }
        std::_Exit(0);
    }).detach();
}

// Sends n bytes of the plain block, again and again.
bool SendPlain(net::SocketId s, uint64_t n, const std::vector<uint8_t>& block) {
    for (uint64_t left = n; left > 0;) {
        const size_t chunk = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
        if (!SendAll(s, block.data(), chunk)) return false;
        left -= chunk;
    }
    return true;
}

// The request mode: each 8-byte big-endian count is answered with that many bytes.
void ServeRequests(net::SocketId s, const std::vector<uint8_t>& block) {
    uint8_t request[8];
    while (ReadExactly(s, request, sizeof request, sizeof request)) {
        uint64_t n = 0;
        for (uint8_t byte : request) n = n << 8 | byte;
        if (!SendPlain(s, n, block)) return;
    }
}

void ServeOne(net::Socket c, const std::string& mode, uint64_t bytes, const std::vector<uint8_t>* block) {
    if (mode == "request") return ServeRequests(c.Get(), *block);
    if (mode == "echo") {
        std::vector<uint8_t> buffer(kBlock);
        while (true) {
            const int n = net::Receive(c.Get(), reinterpret_cast<char*>(buffer.data()),
                                       static_cast<int>(buffer.size()));
            if (n <= 0 || !SendAll(c.Get(), buffer.data(), static_cast<size_t>(n))) return;
        }
    }
    if (mode == "oft2") {
        const auto header = Oft2Header(static_cast<uint32_t>(bytes));
        if (!SendAll(c.Get(), header.data(), header.size())) return;
    }
    if (!SendPlain(c.Get(), bytes, *block)) return;
    // Let the client read everything and close first.
    net::ShutdownSend(c.Get());
    DrainUntilClosed(c.Get());
}

int Serve(const std::vector<std::string>& args) {
    const std::string mode = args.size() > 1 ? args[1] : "";
    if (mode != "source" && mode != "oft2" && mode != "echo" && mode != "request") {
        std::fprintf(stderr, "netload serve: source, oft2, echo or request\n");
        return 64;
    }
    const uint64_t bytes = ArgNumber(args, "--bytes", 0);
    if (mode == "oft2" && bytes > 0xFFFFFFFFull) {
        std::fprintf(stderr, "netload serve oft2: a body has at most 4 GiB - 1 bytes\n");
        return 64;
    }
    static const std::vector<uint8_t> block = PlainBlock();
    const net::Socket listener = net::ListenLoopback(0, 1024);
    if (!listener.Valid()) Fail("listen");
    const uint16_t port = net::LocalPort(listener.Get());
    if (port == 0) Fail("getsockname");
    std::printf("listening %u\n", port);
    std::fflush(stdout);
    ExitWhenStdinCloses();
    while (true) {
        std::string error;
        net::Socket c = net::Accept(listener.Get(), &error);
        if (!c.Valid()) {
            if (errno == ECONNABORTED) continue;
            Fail("accept");
        }
        std::thread(ServeOne, std::move(c), mode, bytes, &block).detach();
    }
}

int Sink(const std::vector<std::string>& args) {
    const auto port = static_cast<uint16_t>(ArgNumber(args, "--port", 0));
    const uint64_t bytes = ArgNumber(args, "--bytes", 0);
    const auto connections = static_cast<size_t>(std::max<uint64_t>(1, ArgNumber(args, "--connections", 1)));
    std::vector<char> ok(connections, 0);
    const auto read = [&](size_t i) {
        std::vector<uint8_t> buffer(kBlock);
        net::Socket s = ConnectLoopback(port);
        ok[i] = ReadExactly(s.Get(), buffer.data(), buffer.size(), bytes);
    };
    const auto start = Clock::now();
    if (connections == 1) {
        read(0);
    } else {
        std::vector<std::thread> readers;
        for (size_t i = 0; i < connections; ++i) readers.emplace_back(read, i);
        for (auto& t : readers) t.join();
    }
    const double seconds = Seconds(start);
    if (std::find(ok.begin(), ok.end(), 0) != ok.end()) {
        std::fprintf(stderr, "netload sink: a stream ended early\n");
        return 1;
    }
    std::printf("seconds %.6f\n", seconds);
    return 0;
}

int PingPong(const std::vector<std::string>& args) {
    const auto port = static_cast<uint16_t>(ArgNumber(args, "--port", 0));
    const auto count = static_cast<size_t>(ArgNumber(args, "--count", 10000));
    const auto size = static_cast<size_t>(ArgNumber(args, "--size", 100));
    if (count == 0 || size == 0 || size > kBlock) {
        std::fprintf(stderr, "netload pingpong: count and size must be positive, size at most 65536\n");
        return 64;
    }
    net::Socket s = ConnectLoopback(port);
    const std::vector<uint8_t> block = PlainBlock();
    const std::vector<uint8_t> message(block.begin(), block.begin() + static_cast<long>(size));
    std::vector<uint8_t> reply(size);
    std::vector<double> micros;
    micros.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const auto start = Clock::now();
        if (!SendAll(s.Get(), message.data(), size) || !ReadExactly(s.Get(), reply.data(), size, size)) {
            std::fprintf(stderr, "netload pingpong: the connection ended after %zu round trips\n", i);
            return 1;
        }
        micros.push_back(Seconds(start) * 1e6);
        if (i == 0 && std::memcmp(reply.data(), message.data(), size) != 0) {
            std::fprintf(stderr, "netload pingpong: the echo differs from the message\n");
            return 1;
        }
    }
    double sum = 0;
    for (double m : micros) sum += m;
    std::sort(micros.begin(), micros.end());
    auto at = [&](double q) { return micros[std::min(micros.size() - 1, static_cast<size_t>(q * micros.size()))]; };
    std::printf("p50_us %.2f p99_us %.2f mean_us %.2f\n", at(0.50), at(0.99), sum / micros.size());
    return 0;
}

int Hold(const std::vector<std::string>& args) {
    const auto port = static_cast<uint16_t>(ArgNumber(args, "--port", 0));
    const auto n = static_cast<size_t>(ArgNumber(args, "--connections", 1000));
    std::vector<net::Socket> open;
    uint8_t message[100], reply[100];
    std::memset(message, 'm', sizeof message);
    for (size_t i = 0; i < n; ++i) {
        open.push_back(ConnectLoopback(port));
        // One round trip: the connection is set up on both sides of the proxy.
        if (!SendAll(open.back().Get(), message, sizeof message) ||
            !ReadExactly(open.back().Get(), reply, sizeof reply, sizeof reply)) {
            std::fprintf(stderr, "netload hold: connection %zu failed\n", i);
            return 1;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}

// Asks the request server for n bytes and reads them.
bool Take(net::SocketId s, uint64_t n, std::vector<uint8_t>* buffer) {
    uint8_t request[8];
    for (int i = 0; i < 8; ++i) request[i] = static_cast<uint8_t>(n >> (56 - 8 * i));
    return SendAll(s, request, sizeof request) && ReadExactly(s, buffer->data(), buffer->size(), n);
}

int Streams(const std::vector<std::string>& args) {
    const auto port = static_cast<uint16_t>(ArgNumber(args, "--port", 0));
    const auto n = static_cast<size_t>(ArgNumber(args, "--connections", 1000));
    const auto streaming = static_cast<size_t>(ArgNumber(args, "--streaming", 100));
    const uint64_t bytes = ArgNumber(args, "--bytes", 64ull << 20);
    if (streaming > n) {
        std::fprintf(stderr, "netload streams: --streaming is at most --connections\n");
        return 64;
    }
    std::vector<net::Socket> open;
    std::vector<uint8_t> buffer(kBlock);
    for (size_t i = 0; i < n; ++i) {
        open.push_back(ConnectLoopback(port));
        if (!Take(open.back().Get(), 100, &buffer)) {
            std::fprintf(stderr, "netload streams: connection %zu failed\n", i);
            return 1;
        }
    }
    std::printf("open\n");
    std::fflush(stdout);
    std::vector<std::thread> streams;
    std::vector<char> ok(streaming, 0);
    const auto start = Clock::now();
    for (size_t i = 0; i < streaming; ++i)
        streams.emplace_back([&, i] {
            std::vector<uint8_t> own(kBlock);
            ok[i] = Take(open[i * (n / streaming)].Get(), bytes, &own);
        });
    for (auto& t : streams) t.join();
    const double seconds = Seconds(start);
    if (std::find(ok.begin(), ok.end(), 0) != ok.end()) {
        std::fprintf(stderr, "netload streams: a stream ended early\n");
        return 1;
    }
    std::printf("seconds %.6f\n", seconds);
    std::fflush(stdout);
    char c;
    while (::read(STDIN_FILENO, &c, 1) > 0) {
    }
    return 0;
}

int Disk(const std::vector<std::string>& args) {
    const std::string dir = ArgText(args, "--dir");
    const uint64_t bytes = ArgNumber(args, "--bytes", 0);
    if (dir.empty()) {
        std::fprintf(stderr, "netload disk: --dir is needed\n");
        return 64;
    }
    const std::string path = dir + "/netload_disk_" + std::to_string(::getpid()) + ".tmp";
    std::vector<uint8_t> block = PlainBlock();
    const auto start = Clock::now();
    {
        Fd f(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        if (f.Get() < 0) Fail("open " + path);
        for (uint64_t left = bytes; left > 0;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, kBlock));
            if (::write(f.Get(), block.data(), n) != static_cast<ssize_t>(n)) Fail("write");
            left -= n;
        }
    }
    {
        Fd f(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (f.Get() < 0) Fail("open " + path);
        uint64_t total = 0;
        while (true) {
            const ssize_t n = ::read(f.Get(), block.data(), kReadBackBlock);
            if (n < 0) Fail("read");
            if (n == 0) break;
            total += static_cast<uint64_t>(n);
        }
        if (total != bytes) {
            std::fprintf(stderr, "netload disk: read back %llu of %llu bytes\n",
                         static_cast<unsigned long long>(total), static_cast<unsigned long long>(bytes));
            return 1;
        }
    }
    ::unlink(path.c_str());
    std::printf("seconds %.6f\n", Seconds(start));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const std::string command = args.empty() ? "" : args[0];
    if (command == "serve") return Serve(args);
    if (command == "sink") return Sink(args);
    if (command == "pingpong") return PingPong(args);
    if (command == "hold") return Hold(args);
    if (command == "streams") return Streams(args);
    if (command == "disk") return Disk(args);
    std::fprintf(stderr, "usage: netload serve|sink|pingpong|hold|streams|disk ... (see the top of netload.cpp)\n");
    return 64;
}
