// The proxy host as the plug-in sees it, against a stand-in plug-in that records its
// calls: loading by path and finding the exports by name, the order and arguments of
// the connection calls, ending on either side's close; and
// the program with its scan callback, scanners and trace on the terminal.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "fake_plugin.h"
#include "platform/process.h"
#include "platform/system.h"
#include "plugin_library.h"
#include "run/proxy_server.h"
#include "run/pump.h"
#include "zykproxy/helpers.h"

using namespace zykproxy;
using namespace zykproxy::test;

namespace {

const std::string kFake = ZYKPROXY_TEST_ARTIFACT(ZYKPROXY_FAKE_PLUGIN, ZYKPROXY_FAKE_PLUGIN_NAME);
const std::string kPartial = ZYKPROXY_TEST_ARTIFACT(ZYKPROXY_FAKE_PARTIAL, ZYKPROXY_FAKE_PARTIAL_NAME);

// The fake's record, read through its own exports.
class FakeRecord {
public:
    explicit FakeRecord(const std::string& path) {
        std::string error;
        EXPECT_TRUE(m_library.Open(path, &error)) << error;
        m_count = reinterpret_cast<FakePluginCallCountFn>(m_library.Find("FakePluginCallCount"));
        m_get = reinterpret_cast<FakePluginGetCallFn>(m_library.Find("FakePluginGetCall"));
        m_reset = reinterpret_cast<FakePluginResetFn>(m_library.Find("FakePluginReset"));
        m_orderFaults = reinterpret_cast<FakePluginOrderFaultsFn>(m_library.Find("FakePluginOrderFaults"));
        if (m_reset) m_reset();
    }
    std::vector<FakeCall> Calls() const {
        std::vector<FakeCall> out;
        const int n = m_count ? m_count() : 0;
        for (int i = 0; i < n; ++i) {
            FakeCall c{};
            if (m_get(i, &c)) out.push_back(c);
        }
        return out;
    }
    int OrderFaults() const { return m_orderFaults ? m_orderFaults() : -1; }

private:
    zyk::DynamicLibrary m_library;  // keeps the same loaded copy as the host's
    FakePluginCallCountFn m_count = nullptr;
    FakePluginGetCallFn m_get = nullptr;
    FakePluginResetFn m_reset = nullptr;
    FakePluginOrderFaultsFn m_orderFaults = nullptr;
};

TEST(PluginLibrary, FindsTheExportsByTheirPlainNames) {
    PluginLibrary plugin;
    std::string error;
    ASSERT_TRUE(plugin.Load(kFake, &error)) << error;
    const PluginExports& e = plugin.Exports();
    EXPECT_NE(e.RegisterCallback, nullptr);
    EXPECT_NE(e.OnNewConnectionEx, nullptr);
    EXPECT_NE(e.OnRequestFromApplication, nullptr);
    EXPECT_NE(e.OnRequestFromServer, nullptr);
    EXPECT_NE(e.OnEndConnection, nullptr);
    plugin.Unload();
    EXPECT_FALSE(plugin.Loaded());
}

TEST(PluginLibrary, SaysWhatIsMissingAndKeepsNothingLoaded) {
    PluginLibrary plugin;
    std::string error;
    EXPECT_FALSE(plugin.Load(kPartial, &error));
    EXPECT_NE(error.find("does not export OnEndConnection"), std::string::npos) << error;
    EXPECT_FALSE(plugin.Loaded());
    EXPECT_EQ(plugin.Exports().OnNewConnectionEx, nullptr);

    EXPECT_FALSE(plugin.Load("zykproxy-no-such-plugin" + std::string(ZYKPROXY_TEST_ARTIFACT(".so", ".dll")), &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(plugin.Loaded());
}

class HostedByFake : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(m_plugin.Load(kFake, &error)) << error;
        m_record = std::make_unique<FakeRecord>(kFake);
        m_pump = std::make_unique<PluginPump>(m_plugin.Exports());
    }
    void Start(uint16_t upstreamPort, int threads) {
        ServerConfig config;
        config.listen = net::Endpoint{"127.0.0.1", 0};
        config.upstream = net::Endpoint{"127.0.0.1", upstreamPort};
        config.threads = threads;
        m_server = std::make_unique<ProxyServer>(config, *m_pump);
        std::string error;
        ASSERT_TRUE(m_server->Open(&error)) << error;
        m_thread = std::thread([this] { m_server->Run(); });
    }
    void TearDown() override { StopServer(); }
    void StopServer() {
        if (m_server) m_server->Stop();
        if (m_thread.joinable()) m_thread.join();
    }
    bool WaitEnded(unsigned long n) {
        for (int i = 0; i < 500; ++i) {
            if (m_server->GetStats().ended >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
    uint16_t Port() const { return m_server->Bound().port; }

    PluginLibrary m_plugin;
    std::unique_ptr<FakeRecord> m_record;
    std::unique_ptr<PluginPump> m_pump;
    std::unique_ptr<ProxyServer> m_server;
    std::thread m_thread;
};

// Per connection (keyed by its application-side record): the calls in order.
std::map<const ZykConnection*, std::vector<FakeCall>> ByConnection(const std::vector<FakeCall>& calls) {
    std::map<const ZykConnection*, std::vector<FakeCall>> out;
    for (const FakeCall& c : calls) out[c.app].push_back(c);
    return out;
}

TEST_F(HostedByFake, EachConnectionIsAnnouncedServedAndEndedInOrder) {
    Upstream upstream(Echo);
    constexpr int kClients = 6;
    Start(upstream.Port(), 3);
    {
        // One connection at a time, each served before the next comes: set-ups that run
        // at once may pick the same least-loaded loop.
        std::vector<net::Socket> clients;
        for (int i = 0; i < kClients; ++i) {
            clients.push_back(ConnectTo(Port()));
            const std::string data = RandomBytes(70000 + static_cast<size_t>(i), 40 + i);
            std::string echoed;
            std::thread reader([&] { echoed = ReadUpTo(clients[static_cast<size_t>(i)].Get(), data.size()); });
            EXPECT_TRUE(net::SendAll(clients[static_cast<size_t>(i)].Get(), data.data(), data.size()));
            reader.join();
            EXPECT_TRUE(echoed == data) << i;
        }
    }
    ASSERT_TRUE(WaitEnded(kClients));

    const auto connections = ByConnection(m_record->Calls());
    ASSERT_EQ(connections.size(), static_cast<size_t>(kClients));
    std::set<int> hostValues;
    for (const auto& [app, calls] : connections) {
        ASSERT_GE(calls.size(), 4u);
        EXPECT_STREQ(calls.front().name, "OnNewConnectionEx");
        EXPECT_STREQ(calls.back().name, "OnEndConnection");
        hostValues.insert(calls.front().hostValue);
        long long fromApp = 0, fromServer = 0;
        for (size_t i = 0; i < calls.size(); ++i) {
            const FakeCall& c = calls[i];
            EXPECT_EQ(c.appSocket, calls.front().appSocket);
            if (i > 0 && i + 1 < calls.size()) {
                EXPECT_TRUE(std::string(c.name) == "OnRequestFromApplication" ||
                            std::string(c.name) == "OnRequestFromServer")
                    << c.name;
                EXPECT_NE(c.serverSocket, c.appSocket);
                (std::string(c.name) == "OnRequestFromApplication" ? fromApp : fromServer) += c.result;
            } else if (i > 0) {
                EXPECT_EQ(c.app, calls.front().app);
            }
        }
        EXPECT_EQ(fromApp, fromServer);  // everything sent came back through the echo
        EXPECT_GE(fromApp, 70000);
        // The call that noticed the close read nothing from a readable side.
        EXPECT_EQ(calls[calls.size() - 2].result, 0);
    }
    EXPECT_EQ(hostValues.size(), static_cast<size_t>(kClients));  // one id per connection
    EXPECT_EQ(m_record->OrderFaults(), 0);
    for (unsigned long n : m_server->GetStats().perLoop) EXPECT_EQ(n, 2u);  // spread over the loops
}

TEST_F(HostedByFake, AServerThatClosesAndAClientThatFollowsEndTheConnectionOnce) {
    Upstream upstream([](net::Socket s) { net::SendAll(s.Get(), "hello", 5); });
    Start(upstream.Port(), 1);
    net::Socket client = ConnectTo(Port());
    std::string got;
    EXPECT_TRUE(ReadToEnd(client.Get(), &got));
    EXPECT_EQ(got, "hello");
    client.Close();  // the client's direction stays open until it ends too
    ASSERT_TRUE(WaitEnded(1));
    const auto connections = ByConnection(m_record->Calls());
    ASSERT_EQ(connections.size(), 1u);
    const auto& calls = connections.begin()->second;
    int ends = 0;
    for (const FakeCall& c : calls) ends += std::string(c.name) == "OnEndConnection";
    EXPECT_EQ(ends, 1);
    EXPECT_STREQ(calls.back().name, "OnEndConnection");
}

TEST_F(HostedByFake, StoppingEndsEveryOpenConnectionThroughThePlugin) {
    Upstream upstream(Echo);
    Start(upstream.Port(), 2);
    std::vector<net::Socket> clients;
    for (int i = 0; i < 4; ++i) {
        clients.push_back(ConnectTo(Port()));
        ASSERT_TRUE(net::SendAll(clients.back().Get(), "ping", 4));
        EXPECT_EQ(ReadUpTo(clients.back().Get(), 4), "ping");
    }
    StopServer();
    const auto connections = ByConnection(m_record->Calls());
    ASSERT_EQ(connections.size(), 4u);
    for (const auto& [app, calls] : connections) EXPECT_STREQ(calls.back().name, "OnEndConnection");
}

// --- the program with a plug-in ---------------------------------------------------------

const std::string kProxy = platform::ExecutableFolder() + ZYKPROXY_EXE_NAME;
const std::string kHelper = platform::ExecutableFolder() + ZYKPROXY_SCAN_HELPER_NAME;

// zykproxy started with the fake plug-in and the given extra arguments; the upstream
// sends the given commands to the fake, one per connection.
class ProgramRun {
public:
    explicit ProgramRun(const std::vector<std::string>& extra) : m_upstream(ServeCommand(this)) {
        m_errPath = (std::filesystem::temp_directory_path() /
                     ("zykproxy_test_host_" + std::to_string(Counter()++) + ".err"))
                        .string();
        std::filesystem::remove(m_errPath);
        std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--upstream",
                                         "127.0.0.1:" + std::to_string(m_upstream.Port()),
                                         "--plugin", kFake};
        args.insert(args.end(), extra.begin(), extra.end());
        process::StartOptions options;
        options.captureStdout = true;
        options.stderrPath = m_errPath;
        std::string error;
        started = m_proxy.Start(kProxy, args, options, &error);
        EXPECT_TRUE(started) << error;
        std::string line;
        if (started && m_proxy.ReadStdoutLine(&line, 20000) && line.rfind("listening ", 0) == 0)
            port = static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));
    }
    ~ProgramRun() {
        m_proxy.Kill();
        std::filesystem::remove(m_errPath);
    }
    // One connection: the server side sends command, the client reads one reply line.
    std::string Ask(const std::string& command) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_command = command;
        }
        net::Socket client = ConnectTo(port);
        std::string reply;
        for (;;) {
            const std::string c = ReadUpTo(client.Get(), 1, 10000);
            if (c.empty() || c == "\n") break;
            reply += c;
        }
        return reply;
    }
    // Ends the program (the last connection has been served with --once) and returns
    // its standard error.
    std::string Finish() {
        int code = -1;
        EXPECT_TRUE(m_proxy.Wait(20000, &code));
        EXPECT_EQ(code, 0);
        return ReadWholeFile(m_errPath);
    }
    bool started = false;
    uint16_t port = 0;

private:
    static std::atomic<int>& Counter() {
        static std::atomic<int> n{0};
        return n;
    }
    static Upstream::Handler ServeCommand(ProgramRun* self) {
        return [self](net::Socket s) {
            std::string command;
            {
                std::lock_guard<std::mutex> guard(self->m_mutex);
                command = self->m_command;
            }
            net::SendAll(s.Get(), command.data(), command.size());
            std::string rest;
            ReadToEnd(s.Get(), &rest, 10000);  // until the proxy closes this side
        };
    }
    std::mutex m_mutex;
    std::string m_command;
    Upstream m_upstream;
    process::ChildProcess m_proxy;
    std::string m_errPath;
};

TEST(ProgramWithPlugin, TheCommandScannerDecidesAndEachCheckIsLogged) {
    ScratchFile clean("clean.txt", "fine");
    ScratchFile dirty("dirty.txt", "INFECTED-MARKER");
    ProgramRun run({"--scanner", "command", "--scan-command", kHelper, "--scan-arg", "marker",
                    "--threads", "2", "--once"});
    ASSERT_TRUE(run.started);
    ASSERT_NE(run.port, 0);
    // The fake calls the host's scan callback; the reply carries the nResult written.
    EXPECT_EQ(run.Ask("FAKE-CHECK " + dirty.Path() + "\n"), "VERDICT 1");
    const std::string log = run.Finish();
    EXPECT_NE(log.find("scanner command: "), std::string::npos) << log;
    EXPECT_NE(log.find("conn 1 check 1 \"announced.txt\" 15 bytes: INFECTED (scanner exit code 1), blocked"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("1 check(s): 0 clean, 1 infected"), std::string::npos) << log;
}

TEST(ProgramWithPlugin, AFailingScannerBlocksAndSaysSo) {
    ScratchFile file("f.txt", "fine");
    ProgramRun run({"--scanner", "command", "--scan-command", kHelper, "--scan-arg", "2", "--once"});
    ASSERT_NE(run.port, 0);
    EXPECT_EQ(run.Ask("FAKE-CHECK " + file.Path() + "\n"), "VERDICT 2");
    const std::string log = run.Finish();
    EXPECT_NE(log.find("SCAN FAILED (scanner exited with code 2), blocked"), std::string::npos) << log;
}

TEST(ProgramWithPlugin, NoScannerLetsFilesThroughButLogsThem) {
    ScratchFile file("f.txt", "INFECTED-MARKER");
    ProgramRun run({"--scanner", "none", "--once"});
    ASSERT_NE(run.port, 0);
    EXPECT_EQ(run.Ask("FAKE-CHECK " + file.Path() + "\n"), "VERDICT 0");
    EXPECT_NE(run.Finish().find("not scanned (--scanner none), passed"), std::string::npos);
}

#ifdef ZYKPROXY_WITH_CLAMAV
TEST(ProgramWithPlugin, ClamavFindsTheEicarFileByDefault) {
    ScratchFile eicar("eicar.com", EicarTestFile());
    ProgramRun run({"--once"});
    ASSERT_NE(run.port, 0);
    EXPECT_EQ(run.Ask("FAKE-CHECK " + eicar.Path() + "\n"), "VERDICT 1");
    const std::string log = run.Finish();
    EXPECT_NE(log.find("scanner clamav "), std::string::npos) << log;
    EXPECT_NE(log.find("68 bytes: INFECTED (Zykproxy.Test.EICAR"), std::string::npos) << log;
}
#endif

TEST(ProgramWithPlugin, RefusesToStartWithAScannerThatIsNotThere) {
    process::ChildProcess proxy;
    std::string error;
    const std::string errPath = (std::filesystem::temp_directory_path() / "zykproxy_test_noscan.err").string();
    std::filesystem::remove(errPath);
    process::StartOptions options;
    options.stderrPath = errPath;
    ASSERT_TRUE(proxy.Start(kProxy, {"--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:1",
                                     "--plugin", kFake, "--scanner", "command",
                                     "--scan-command", "zykproxy-no-such-scanner"},
                            options, &error));
    int code = 0;
    ASSERT_TRUE(proxy.Wait(20000, &code));
    EXPECT_EQ(code, 1);
    EXPECT_NE(ReadWholeFile(errPath).find("scan command 'zykproxy-no-such-scanner' not found"),
              std::string::npos);
    std::filesystem::remove(errPath);
}

TEST(ProgramWithPlugin, TraceShowsThePluginsLinesOnStandardError) {
    ProgramRun run({"--scanner", "none", "--trace", "4", "--once"});
    ASSERT_NE(run.port, 0);
    EXPECT_EQ(run.Ask("FAKE-PROGRESS 1000 3000000\n"), "PROGRESS");
    const std::string log = run.Finish();
    EXPECT_NE(log.find("++++++++  fake: OnNewConnectionEx"), std::string::npos) << log;
#ifdef _WIN32
    // The level is the machine's; zykproxy reads it and says how to change it.
    EXPECT_NE(log.find("DebugLevel"), std::string::npos) << log;
#endif
}

}  // namespace
