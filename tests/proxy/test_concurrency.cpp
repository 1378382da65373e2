// Many host threads at once: data calls on many connections with file transfers, while
// other threads open, replace and end connections. Every checked connection must
// deliver exactly the expected stream, the scan callback must never be entered twice at
// once, and no held file may be left.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/loopback_connection.h"
#include "support/oft2_stream.h"
#include "support/scan_recorder.h"
#include "support/scratch_dir.h"
#include "zykim/zykim.h"

using namespace zykim::test;

namespace {

std::string Str(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// Plain traffic made of letters that never spell the magic.
std::string Plain(std::mt19937& rng, size_t n) {
    std::string s(n, 'a');
    for (char& c : s) c = static_cast<char>('a' + rng() % 5);
    return s;
}

struct Script {
    std::string sent;      // what the messenger server sends
    std::string expected;  // what the messenger client must receive
};

// Transfers named "*.bad" are answered as infected by the scan callback below.
Script MakeScript(unsigned seed, int transfers) {
    std::mt19937 rng(seed);
    Script s;
    for (int t = 0; t < transfers; ++t) {
        const std::string gap = Plain(rng, 1 + rng() % 50);
        Oft2HeaderFields f;
        const bool bad = rng() % 3 == 0;
        f.name = "f" + std::to_string(seed) + "_" + std::to_string(t) + (bad ? ".bad" : ".ok");
        const size_t size = rng() % 4 == 0 ? 0 : rng() % 150000;
        f.dwSize = static_cast<uint32_t>(size);
        const std::string header = Str(MakeOft2Header(f));
        const std::string body = Str(MakeBody(size, seed * 100 + t));
        s.sent += gap + header + body;
        s.expected += gap + header + (bad ? std::string(size, '\0') : body);
    }
    return s;
}

int ZYKIM_CALL VerdictByName(int kind, ScanCallbackInfo* info) {
    ScanRecorder::Callback(kind, info);
    static std::atomic<unsigned> calls{0};
    if (calls++ % 7 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (kind == ZYKIM_SCAN_CHECK_FILE) {
        const std::string name = info->szWebContentInfo ? info->szWebContentInfo : "";
        info->nResult = name.size() > 4 && name.compare(name.size() - 4, 4, ".bad") == 0 ? 1 : 0;
    }
    return 0;
}

TEST(Concurrency, ManyConnectionsOnManyThreadsKeepTheirStreams) {
    TempFolder temp;
    ScanRecorder::Get().Reset();
    RegisterCallback(&VerdictByName);

    constexpr int kConnections = 12;
    constexpr int kTransfers = 4;
    std::vector<std::unique_ptr<LoopbackConnection>> conns;
    for (int i = 0; i < kConnections; ++i) {
        conns.push_back(std::make_unique<LoopbackConnection>());
        ASSERT_TRUE(conns.back()->Valid());
        OnNewConnectionEx(i, 0, &conns.back()->app);
    }

    std::atomic<bool> stop{false};
    // Churn: connections of their own, opened, fed, replaced and ended over and over.
    std::thread churn([&] {
        LoopbackConnection c;
        std::mt19937 rng(99);
        while (!stop) {
            OnNewConnectionEx(1000, 0, &c.app);
            const Script s = MakeScript(rng(), 1);
            WriteAll(c.MessengerServer(), s.sent.substr(0, s.sent.size() / 2));
            if (WaitReadable(c.PluginServerSide(), 50)) OnRequestFromServer(&c.app, &c.server);
            if (rng() % 2) OnNewConnection(1001, &c.app);
            OnEndConnection(&c.app);
            ReadUntilQuiet(c.MessengerClient(), 1, 50);
            ReadUntilQuiet(c.PluginServerSide(), 1, 50);
        }
        OnEndConnection(&c.app);
    });

    std::vector<std::string> received(kConnections);
    std::vector<Script> scripts;
    for (int i = 0; i < kConnections; ++i) scripts.push_back(MakeScript(static_cast<unsigned>(i + 1), kTransfers));
    std::vector<std::thread> hosts;
    for (int i = 0; i < kConnections; ++i) {
        hosts.emplace_back([&, i] {
            LoopbackConnection& c = *conns[i];
            received[i] = ServerToClient(c, &OnRequestFromServer, scripts[i].sent,
                                         scripts[i].expected.size());
            // The other direction at the same time as other connections' deliveries.
            const std::string up = "client says " + std::to_string(i);
            if (ClientToServer(c, &OnRequestFromApplication, up) != up) received[i] += "<up lost>";
        });
    }
    for (auto& t : hosts) t.join();
    stop = true;
    churn.join();

    for (int i = 0; i < kConnections; ++i) {
        EXPECT_EQ(received[i].size(), scripts[i].expected.size()) << "connection " << i;
        EXPECT_TRUE(received[i] == scripts[i].expected) << "connection " << i;
        OnEndConnection(&conns[i]->app);
    }
    EXPECT_EQ(ScanRecorder::Get().Overlaps(), 0);
    EXPECT_GE(ScanRecorder::Get().Checks().size(), static_cast<size_t>(kConnections));
    EXPECT_TRUE(temp.HeldFiles().empty());
    RegisterCallback(nullptr);
}

}  // namespace
