// The proxy host's event loop with the plain forwarder (--no-plugin), over real
// sockets on loopback: bytes both ways, many connections over several threads, either
// side closing, the connection limit; and the program itself, started as a host would.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "platform/process.h"
#include "platform/system.h"
#include "run/proxy_server.h"
#include "run/pump.h"
#include "zykproxy/helpers.h"

using namespace zykproxy;
using namespace zykproxy::test;

namespace {

// A ProxyServer running on its own thread for the life of the object.
class RunningProxy {
public:
    RunningProxy(uint16_t upstreamPort, int threads, int maxConnections = 1000, bool once = false) {
        ServerConfig config;
        config.listen = net::Endpoint{"127.0.0.1", 0};
        config.upstream = net::Endpoint{"127.0.0.1", upstreamPort};
        config.threads = threads;
        config.maxConnections = maxConnections;
        config.once = once;
        config.connectTimeoutMs = 3000;
        m_server = std::make_unique<ProxyServer>(config, m_pump);
        std::string error;
        opened = m_server->Open(&error);
        EXPECT_TRUE(opened) << error;
        if (opened) m_thread = std::thread([this] {
            m_server->Run();
            finished = true;
        });
    }
    ~RunningProxy() { StopAndJoin(); }
    void StopAndJoin() {
        m_server->Stop();
        if (m_thread.joinable()) m_thread.join();
    }
    bool WaitFinished(int ms) {
        for (int i = 0; i < ms / 10 && !finished; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return finished;
    }
    uint16_t Port() const { return m_server->Bound().port; }
    ProxyServer::Stats Stats() const { return m_server->GetStats(); }
    // Waits until the server has ended n connections.
    bool WaitEnded(unsigned long n, int ms = 5000) {
        for (int i = 0; i < ms / 10; ++i) {
            if (Stats().ended >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }

    bool opened = false;
    std::atomic<bool> finished{false};

private:
    ForwardPump m_pump;
    std::unique_ptr<ProxyServer> m_server;
    std::thread m_thread;
};

// Sends data and reads the echo of it at the same time (an echo upstream).
std::string RoundTrip(net::SocketId s, const std::string& data) {
    std::string got;
    std::thread reader([&] { got = ReadUpTo(s, data.size(), 10000); });
    const bool sent = net::SendAll(s, data.data(), data.size());
    reader.join();
    EXPECT_TRUE(sent);
    return got;
}

TEST(Forwarder, MovesBytesBothWaysUnchanged) {
    Upstream upstream(Echo);
    RunningProxy proxy(upstream.Port(), 1);
    ASSERT_TRUE(proxy.opened);
    net::Socket client = ConnectTo(proxy.Port());
    ASSERT_TRUE(client.Valid());
    // More than one plug-in-sized block each way, and a few small ones.
    const std::string big = RandomBytes(3 * 65537 + 11, 1);
    EXPECT_TRUE(RoundTrip(client.Get(), big) == big);
    for (const std::string& small : {std::string("a"), std::string(1, '\0'), RandomBytes(700, 2)})
        EXPECT_TRUE(RoundTrip(client.Get(), small) == small);
}

TEST(Forwarder, ServesManyConnectionsAtOnceOverSeveralThreads) {
    Upstream upstream(Echo);
    constexpr int kThreads = 4, kClients = 24;
    RunningProxy proxy(upstream.Port(), kThreads);
    ASSERT_TRUE(proxy.opened);
    // All connections open at once, then all transfer at once. Each is set up on a
    // worker of its own, and set-ups that finish together may both see the same loop as
    // the least loaded: one byte through each before the next connects makes the spread
    // exact.
    std::vector<net::Socket> clients;
    for (int i = 0; i < kClients; ++i) {
        clients.push_back(ConnectTo(proxy.Port()));
        ASSERT_TRUE(clients.back().Valid());
        ASSERT_EQ(RoundTrip(clients.back().Get(), "s"), "s");
    }
    std::atomic<int> intact{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kClients; ++i)
        threads.emplace_back([&, i] {
            const std::string data = RandomBytes(100000 + 977 * static_cast<size_t>(i), 100 + i);
            if (RoundTrip(clients[static_cast<size_t>(i)].Get(), data) == data) ++intact;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(intact.load(), kClients);

    const ProxyServer::Stats busy = proxy.Stats();
    ASSERT_EQ(busy.perLoop.size(), static_cast<size_t>(kThreads));
    unsigned long total = 0;
    for (unsigned long n : busy.perLoop) {
        EXPECT_EQ(n, static_cast<unsigned long>(kClients / kThreads));  // least-loaded spread
        total += n;
    }
    EXPECT_EQ(total, static_cast<unsigned long>(kClients));
    clients.clear();
    EXPECT_TRUE(proxy.WaitEnded(kClients));
    EXPECT_EQ(upstream.Accepted(), kClients);
}

// Each side's end of stream is passed on while the other direction keeps flowing: a
// client that ends its request still gets the whole reply, and a server that has
// ended its reply still gets what the client sends after it.
TEST(Forwarder, AHalfCloseIsPassedOnAndTheOtherDirectionKeepsFlowing) {
    const std::string request = RandomBytes(150000, 3);
    const std::string reply = RandomBytes(300000, 4);
    {
        // The client ends first: the server reads the request to its end, then replies.
        std::string atServer;
        Upstream upstream([&](net::Socket s) {
            ReadToEnd(s.Get(), &atServer);
            net::SendAll(s.Get(), reply.data(), reply.size());
        });
        RunningProxy proxy(upstream.Port(), 2);
        ASSERT_TRUE(proxy.opened);
        net::Socket client = ConnectTo(proxy.Port());
        ASSERT_TRUE(net::SendAll(client.Get(), request.data(), request.size()));
        net::ShutdownSend(client.Get());
        std::string got;
        EXPECT_TRUE(ReadToEnd(client.Get(), &got, 10000));
        EXPECT_TRUE(got == reply) << got.size();
        EXPECT_TRUE(atServer == request) << atServer.size();
        EXPECT_TRUE(proxy.WaitEnded(1));  // both directions have ended
        EXPECT_EQ(proxy.Stats().bytesFromClients, request.size());
        EXPECT_EQ(proxy.Stats().bytesFromServers, reply.size());
    }
    {
        // The server ends first: the client still sends after the reply has ended.
        std::promise<std::string> atServer;
        Upstream upstream([&](net::Socket s) {
            net::SendAll(s.Get(), reply.data(), reply.size());
            net::ShutdownSend(s.Get());
            std::string got;
            ReadToEnd(s.Get(), &got, 10000);
            atServer.set_value(got);
        });
        RunningProxy proxy(upstream.Port(), 1);
        ASSERT_TRUE(proxy.opened);
        net::Socket client = ConnectTo(proxy.Port());
        std::string got;
        EXPECT_TRUE(ReadToEnd(client.Get(), &got, 10000));
        EXPECT_TRUE(got == reply) << got.size();
        EXPECT_EQ(proxy.Stats().ended, 0u);
        ASSERT_TRUE(net::SendAll(client.Get(), request.data(), request.size()));
        client.Close();
        auto future = atServer.get_future();
        ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
        EXPECT_TRUE(future.get() == request);
        EXPECT_TRUE(proxy.WaitEnded(1));
    }
}

// A reset by the side whose stream has already ended still ends the connection, and
// is passed on as a reset (not as an orderly end the server could take for a request).
TEST(Forwarder, AResetAfterAHalfCloseEndsTheConnectionAndIsPassedOn) {
    std::atomic<bool> serverSawReset{false};
    Upstream upstream([&](net::Socket s) {
        std::string got;
        ReadToEnd(s.Get(), &got);  // the client's end of stream
        net::SendAll(s.Get(), "tick", 4);
        // The server's direction stays open. An orderly close of the proxy's side would
        // show as nothing new here (its end of stream came before); a reset fails a send.
        for (int i = 0; i < 200 && !serverSawReset; ++i) {
            serverSawReset = net::ProbePeer(s.Get(), true) == net::PeerState::Reset;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    });
    RunningProxy proxy(upstream.Port(), 1);
    ASSERT_TRUE(proxy.opened);
    net::Socket client = ConnectTo(proxy.Port());
    net::ShutdownSend(client.Get());
    EXPECT_EQ(ReadUpTo(client.Get(), 4), "tick");
    net::ResetOnClose(client.Get());
    client.Close();
    EXPECT_TRUE(proxy.WaitEnded(1, 10000));
    for (int i = 0; i < 1000 && !serverSawReset; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(serverSawReset);
}

TEST(Forwarder, AClientThatClosesEndsTheServerSideToo) {
    std::string atServer;
    std::atomic<bool> serverSawEnd{false};
    Upstream upstream([&](net::Socket s) {
        serverSawEnd = ReadToEnd(s.Get(), &atServer, 5000);
    });
    RunningProxy proxy(upstream.Port(), 1);
    ASSERT_TRUE(proxy.opened);
    {
        net::Socket client = ConnectTo(proxy.Port());
        ASSERT_TRUE(net::SendAll(client.Get(), "bye", 3));
    }
    EXPECT_TRUE(proxy.WaitEnded(1));
    for (int i = 0; i < 300 && !serverSawEnd; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_TRUE(serverSawEnd);
    EXPECT_EQ(atServer, "bye");
}

TEST(Forwarder, AnUnreachableServerClosesTheClient) {
    uint16_t deadPort;
    {
        std::string error;
        net::Socket probe = net::Listen(net::Endpoint{"127.0.0.1", 0}, 1, &error);
        deadPort = net::LocalPort(probe.Get());
    }  // closed: nothing listens there now
    RunningProxy proxy(deadPort, 1);
    ASSERT_TRUE(proxy.opened);
    net::Socket client = ConnectTo(proxy.Port());
    std::string got;
    EXPECT_TRUE(ReadToEnd(client.Get(), &got));
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(proxy.Stats().upstreamFailures, 1u);
}

TEST(Forwarder, ClientsBeyondTheLimitWaitUntilOneEnds) {
    Upstream upstream(Echo);
    RunningProxy proxy(upstream.Port(), 2, /*maxConnections=*/2);
    ASSERT_TRUE(proxy.opened);
    net::Socket first = ConnectTo(proxy.Port());
    net::Socket second = ConnectTo(proxy.Port());
    EXPECT_EQ(RoundTrip(first.Get(), "1"), "1");
    EXPECT_EQ(RoundTrip(second.Get(), "2"), "2");
    net::Socket third = ConnectTo(proxy.Port());  // queued by the system, not yet taken
    ASSERT_TRUE(net::SendAll(third.Get(), "3", 1));
    EXPECT_EQ(ReadUpTo(third.Get(), 1, 300), "");
    first.Close();
    EXPECT_EQ(ReadUpTo(third.Get(), 1, 5000), "3");
    EXPECT_EQ(proxy.Stats().accepted, 3u);
}

TEST(Forwarder, OnceServesOneClientAndEnds) {
    Upstream upstream(Echo);
    RunningProxy proxy(upstream.Port(), 1, 1000, /*once=*/true);
    ASSERT_TRUE(proxy.opened);
    {
        net::Socket client = ConnectTo(proxy.Port());
        EXPECT_EQ(RoundTrip(client.Get(), "only"), "only");
        EXPECT_FALSE(proxy.finished);
    }
    EXPECT_TRUE(proxy.WaitFinished(5000));
    EXPECT_FALSE(ConnectTo(proxy.Port()).Valid());  // the listener is gone
}

TEST(Forwarder, StoppingEndsOpenConnections) {
    Upstream upstream(Echo);
    RunningProxy proxy(upstream.Port(), 3);
    ASSERT_TRUE(proxy.opened);
    std::vector<net::Socket> clients;
    for (int i = 0; i < 5; ++i) {
        clients.push_back(ConnectTo(proxy.Port()));
        EXPECT_EQ(RoundTrip(clients.back().Get(), "x"), "x");
    }
    proxy.StopAndJoin();
    EXPECT_EQ(proxy.Stats().ended, 5u);
    for (auto& c : clients) {
        std::string rest;
        EXPECT_TRUE(ReadToEnd(c.Get(), &rest, 2000));
    }
}

// --- the program ----------------------------------------------------------------------

const std::string kProxy = platform::ExecutableFolder() + ZYKPROXY_EXE_NAME;

std::string StderrPath(const char* name) {
    return (std::filesystem::temp_directory_path() / ("zykproxy_test_" + std::string(name) + ".err"))
        .string();
}

TEST(Program, PrintsItsPortForwardsAndExitsCleanly) {
    Upstream upstream(Echo);
    const std::string errPath = StderrPath("forwarder");
    std::filesystem::remove(errPath);
    process::ChildProcess proxy;
    process::StartOptions options;
    options.captureStdout = true;
    options.stderrPath = errPath;
    std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--upstream",
                                     "127.0.0.1:" + std::to_string(upstream.Port()),
                                     "--no-plugin", "--threads", "2"};
#ifdef _WIN32
    args.push_back("--once");  // a console control event cannot be sent to it here
#endif
    std::string error;
    ASSERT_TRUE(proxy.Start(kProxy, args, options, &error)) << error;
    std::string line;
    ASSERT_TRUE(proxy.ReadStdoutLine(&line, 20000));
    ASSERT_EQ(line.rfind("listening 127.0.0.1:", 0), 0u) << line;
    const int port = std::stoi(line.substr(line.rfind(':') + 1));
    ASSERT_GT(port, 0);
    {
        net::Socket client = ConnectTo(static_cast<uint16_t>(port));
        const std::string data = RandomBytes(200000, 9);
        EXPECT_TRUE(RoundTrip(client.Get(), data) == data);
    }
#ifndef _WIN32
    // Let the proxy notice the end of the connection before it is asked to stop.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    proxy.RequestStop();  // SIGTERM
#endif
    int code = -1;
    ASSERT_TRUE(proxy.Wait(20000, &code));
    EXPECT_EQ(code, 0);
    const std::string log = ReadWholeFile(errPath);
    EXPECT_NE(log.find("zykproxy: stopped after 1 connection(s)"), std::string::npos) << log;
    std::filesystem::remove(errPath);
}

// A server address that cannot work stops zykproxy at once, before it listens.
TEST(Program, AnUpstreamThatCannotWorkStopsItAtStart) {
    const std::string errPath = StderrPath("upstream");
    for (const char* upstream : {"nohost.invalid:5190", "127.0.0.1:0", "127.0.0.1:99999"}) {
        std::filesystem::remove(errPath);
        process::ChildProcess proxy;
        process::StartOptions options;
        options.captureStdout = true;
        options.stderrPath = errPath;
        std::string error;
        ASSERT_TRUE(proxy.Start(kProxy, {"--listen", "127.0.0.1:0", "--upstream", upstream, "--no-plugin"},
                                options, &error));
        std::string line;
        EXPECT_FALSE(proxy.ReadStdoutLine(&line, 20000)) << line;  // never listened
        int code = -1;
        ASSERT_TRUE(proxy.Wait(20000, &code));
        EXPECT_EQ(code, 2) << upstream;
        const std::string log = ReadWholeFile(errPath);
        EXPECT_EQ(log.rfind("zykproxy: --upstream " + std::string(upstream) + ": ", 0), 0u) << log;
    }
    std::filesystem::remove(errPath);
}

TEST(Program, RejectsABadCommandLineWithUsage) {
    const std::string errPath = StderrPath("usage");
    std::filesystem::remove(errPath);
    process::ChildProcess proxy;
    process::StartOptions options;
    options.stderrPath = errPath;
    std::string error;
    ASSERT_TRUE(proxy.Start(kProxy, {"--listen", "127.0.0.1:0", "--threads", "2"}, options, &error));
    int code = -1;
    ASSERT_TRUE(proxy.Wait(20000, &code));
    EXPECT_EQ(code, 64);
    const std::string log = ReadWholeFile(errPath);
    EXPECT_NE(log.find("--listen and --upstream are required"), std::string::npos) << log;
    EXPECT_NE(log.find("usage: zykproxy"), std::string::npos) << log;
    std::filesystem::remove(errPath);
}

}  // namespace
