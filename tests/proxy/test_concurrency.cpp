// Many host threads at once: data calls on many connections with file transfers, while
// other threads open, replace and end connections. Every checked connection must
// deliver exactly the expected stream, the scan callback must never be entered twice at
// once, and no held file may be left. And one connection whose client stops reading,
// or whose scan takes seconds, holds up no other connection. With parallel checks, up
// to the host's count of checks run at once, and RegisterCallback still waits for them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/loopback_connection.h"
#include "support/oft2_stream.h"
#include "support/scan_recorder.h"
#include "support/scratch_dir.h"
#include "zykim/zykim.h"

using namespace zykim::test;

namespace {

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

// --- stalls ----------------------------------------------------------------------------

using Clock = std::chrono::steady_clock;
constexpr int kSlowHost = 77;  // the host value of the connection whose scan is slow

std::atomic<int> g_slowScanMs{0};
std::atomic<bool> g_slowScanEntered{false};

int ZYKIM_CALL SlowForOneConnection(int kind, ScanCallbackInfo* info) {
    if (kind != ZYKIM_SCAN_CHECK_FILE) return 0;
    info->nResult = 0;
    if (info->dwHostValue == kSlowHost) {
        g_slowScanEntered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(g_slowScanMs.load()));
    }
    return 0;
}

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

bool WaitFor(const std::atomic<bool>& flag, int ms) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!flag && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return flag;
}

std::string Transfer(const std::string& name, size_t announced, size_t sent, unsigned seed) {
    Oft2HeaderFields f;
    f.name = name;
    f.dwSize = static_cast<uint32_t>(announced);
    return Str(MakeOft2Header(f)) + Str(MakeBody(sent, seed));
}

class Stalls : public ::testing::Test {
protected:
    void SetUp() override {
        g_slowScanMs = 0;
        g_slowScanEntered = false;
        RegisterCallback(&SlowForOneConnection);
    }
    void TearDown() override {
        RegisterCallback(nullptr);
        EXPECT_TRUE(temp.HeldFiles().empty());
    }
    TempFolder temp;
};

// A's client never reads, so the release of A's body blocks inside A's data call. B's
// body is held, checked and released, and B's other bytes flow, all the same.
TEST_F(Stalls, AClientThatStopsReadingHoldsUpNoOtherConnection) {
    LoopbackConnection a, b;
    ASSERT_TRUE(a.Valid() && b.Valid());
    SetReceiveBuffer(a.appPair.client, 8192);
    SetSendBuffer(a.appPair.server, 8192);
    OnNewConnectionEx(kSlowHost, 0, &a.app);
    OnNewConnectionEx(2, 0, &b.app);

    const std::string aStream = Transfer("stuck.bin", 4 << 20, 4 << 20, 1);
    std::thread aServer([&] { WriteAll(a.MessengerServer(), aStream); });
    std::atomic<bool> stop{false}, aInCall{false};
    std::thread aHost([&] {
        while (!stop) {
            if (!WaitReadable(a.PluginServerSide(), 50)) continue;
            aInCall = true;
            OnRequestFromServer(&a.app, &a.server);
            aInCall = false;
        }
    });
    ASSERT_TRUE(WaitFor(g_slowScanEntered, 20000));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_TRUE(aInCall) << "the release to A's client should be blocked by now";

    // B on a thread of its own, so that a B held up behind A fails the test instead of
    // hanging it: A's reset below lets it go on.
    const std::string bStream = "before" + Transfer("fine.bin", 50000, 50000, 2) + "after";
    std::atomic<bool> bDone{false};
    std::string got;
    const auto start = Clock::now();
    std::thread bHost([&] {
        got = ServerToClient(b, &OnRequestFromServer, bStream, bStream.size());
        bDone = true;
    });
    WaitFor(bDone, 5000);
    const double seconds = SecondsSince(start);
    EXPECT_TRUE(bDone) << "B is held up behind A's client";
    EXPECT_LT(seconds, 1.0);

    // A's client resets: the blocked send fails and A's call returns.
    stop = true;
    AbortiveClose(a.appPair.client);
    aHost.join();
    aServer.join();
    bHost.join();
    EXPECT_TRUE(got == bStream) << got.size() << " of " << bStream.size() << " bytes";
    std::printf("measured: B's held body and bytes delivered in %.3f s while A's release is blocked\n",
                seconds);
    OnEndConnection(&a.app);
    OnEndConnection(&b.app);
}

// A's scan takes 3 s. Meanwhile a new connection is made, B (which holds part of a small
// body) ends, and plain bytes flow on D, each at once; E, which holds part of a body
// large enough for progress reports, ends on another thread and may wait for the scan,
// but holds up none of the others while it does.
TEST_F(Stalls, ALongScanHoldsUpNoOtherConnection) {
    LoopbackConnection a, b, c, d, e;
    ASSERT_TRUE(a.Valid() && b.Valid() && c.Valid() && d.Valid() && e.Valid());
    OnNewConnectionEx(kSlowHost, 0, &a.app);
    OnNewConnectionEx(2, 0, &b.app);
    OnNewConnectionEx(4, 0, &d.app);
    OnNewConnectionEx(5, 0, &e.app);
    const std::string bPart = Transfer("partial.bin", 90000, 50000, 3);
    EXPECT_EQ(ServerToClient(b, &OnRequestFromServer, bPart, 256).size(), 256u);
    const std::string ePart = Transfer("large.bin", 400000, 150000, 4);
    EXPECT_EQ(ServerToClient(e, &OnRequestFromServer, ePart, 256).size(), 256u);
    EXPECT_EQ(ServerToClient(d, &OnRequestFromServer, "no transfer here", 16), "no transfer here");
    EXPECT_EQ(temp.HeldFiles().size(), 2u);

    g_slowScanMs = 3000;
    const auto scanStart = Clock::now();
    const std::string aStream = Transfer("slow.bin", 1000, 1000, 5);
    std::thread aHost([&] { ServerToClient(a, &OnRequestFromServer, aStream, aStream.size()); });
    ASSERT_TRUE(WaitFor(g_slowScanEntered, 10000));
    std::thread eEnd([&] { OnEndConnection(&e.app); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));

    auto start = Clock::now();
    OnNewConnectionEx(3, 0, &c.app);
    const double newSeconds = SecondsSince(start);
    start = Clock::now();
    OnEndConnection(&b.app);
    const double endSeconds = SecondsSince(start);
    start = Clock::now();
    const std::string passed = ServerToClient(d, &OnRequestFromServer, "plain bytes", 11);
    const double dataSeconds = SecondsSince(start);
    const bool scanStillRunning = SecondsSince(scanStart) < 2.5;

    aHost.join();
    eEnd.join();
    const double scanSeconds = SecondsSince(scanStart);
    EXPECT_TRUE(scanStillRunning) << "the three calls ran after the scan had ended";
    EXPECT_LT(newSeconds, 0.5);
    EXPECT_LT(endSeconds, 0.5);
    EXPECT_LT(dataSeconds, 0.5);
    EXPECT_EQ(passed, "plain bytes");
    EXPECT_TRUE(ReadUntilQuiet(b.MessengerClient(), 50).empty()) << "B's partial body stays held back";
    std::printf("measured during a %.3f s scan: new connection %.3f s, end with a held body %.3f s, "
                "pass-through %.3f s\n", scanSeconds, newSeconds, endSeconds, dataSeconds);
    for (LoopbackConnection* x : {&a, &c, &d}) OnEndConnection(&x->app);
}

// --- parallel checks -------------------------------------------------------------------

// A scan callback whose checks take g_checkMs and count how many run at once.
struct CheckCounts {
    std::atomic<int> checkMs{0};
    std::atomic<int> inside{0};    // checks running now
    std::atomic<int> most{0};      // the most that ran at once
    std::atomic<int> entered{0};
    std::atomic<int> returned{0};
    std::atomic<int> progress{0};  // progress reports
    std::atomic<int> progressBesideFullSlots{0};  // reports while `most` checks ran
} g_counts;

int ZYKIM_CALL CountingCheck(int kind, ScanCallbackInfo* info) {
    if (kind == ZYKIM_SCAN_PROGRESS) {
        ++g_counts.progress;
        if (g_counts.inside == g_counts.most && g_counts.most > 0) ++g_counts.progressBesideFullSlots;
        return 0;
    }
    ++g_counts.entered;
    const int now = ++g_counts.inside;
    for (int most = g_counts.most; now > most && !g_counts.most.compare_exchange_weak(most, now);) {
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(g_counts.checkMs.load()));
    info->nResult = 0;
    --g_counts.inside;
    ++g_counts.returned;
    return 0;
}

class ParallelChecks : public ::testing::Test {
protected:
    void SetUp() override {
        g_counts.checkMs = 0;
        for (auto* n : {&g_counts.inside, &g_counts.most, &g_counts.entered, &g_counts.returned,
                        &g_counts.progress, &g_counts.progressBesideFullSlots})
            *n = 0;
        RegisterCallback(&CountingCheck);
    }
    void TearDown() override {
        RegisterCallback(nullptr);
        EXPECT_EQ(SetParallelChecks(1), 1);
        EXPECT_TRUE(temp.HeldFiles().empty());
    }
    // Each connection's stream on a thread of its own; returns when every client has
    // received its stream (or the time limit).
    void DeliverAll(std::vector<std::unique_ptr<LoopbackConnection>>& conns,
                    const std::vector<std::string>& streams, std::vector<std::string>& got) {
        got.assign(conns.size(), "");
        std::vector<std::thread> hosts;
        for (size_t i = 0; i < conns.size(); ++i)
            hosts.emplace_back([&, i] { got[i] = ServerToClient(*conns[i], &OnRequestFromServer, streams[i], streams[i].size()); });
        for (auto& t : hosts) t.join();
    }
    std::vector<std::unique_ptr<LoopbackConnection>> Open(int n) {
        std::vector<std::unique_ptr<LoopbackConnection>> conns;
        for (int i = 0; i < n; ++i) {
            conns.push_back(std::make_unique<LoopbackConnection>());
            EXPECT_TRUE(conns.back()->Valid());
            OnNewConnectionEx(i, 0, &conns.back()->app);
        }
        return conns;
    }
    static void EndAll(std::vector<std::unique_ptr<LoopbackConnection>>& conns) {
        for (auto& c : conns) OnEndConnection(&c->app);
    }
    TempFolder temp;
};

// (count asked for, 0: SetParallelChecks never called; connections; milliseconds a check
// takes). Every connection's file completes at once; they are checked in
// ceil(connections / count) rounds, never with more than count checks at once.
class ParallelCheckRounds : public ParallelChecks,
                            public ::testing::WithParamInterface<std::tuple<int, int, int>> {};

TEST_P(ParallelCheckRounds, AtMostCountChecksRunAtOnce) {
    const auto [count, connections, checkMs] = GetParam();
    const int allowed = count < 1 ? 1 : count;
    if (count != 0) {
        ASSERT_EQ(SetParallelChecks(count), count);
    }
    g_counts.checkMs = checkMs;
    auto conns = Open(connections);
    std::vector<std::string> streams;
    for (int i = 0; i < connections; ++i)
        streams.push_back(Transfer("file" + std::to_string(i) + ".bin", 3000, 3000, 10 + i) + "after");

    const auto start = Clock::now();
    std::vector<std::string> got;
    DeliverAll(conns, streams, got);
    const double seconds = SecondsSince(start);

    const int rounds = (connections + allowed - 1) / allowed;
    for (int i = 0; i < connections; ++i) EXPECT_TRUE(got[i] == streams[i]) << "connection " << i;
    EXPECT_EQ(g_counts.entered, connections);
    EXPECT_LE(g_counts.most, allowed);
    // Fewer rounds than this would mean more checks at once than allowed; the upper bound
    // is what parallel checks are for (at 1 s a check: four files within 1.5 s).
    EXPECT_GE(seconds, rounds * checkMs / 1000.0 - 0.05);
    EXPECT_LT(seconds, rounds * checkMs / 1000.0 + 0.5);
    std::printf("measured: %d files, count %d, %d ms a check: %.3f s, at most %d at once\n",
                connections, allowed, checkMs, seconds, g_counts.most.load());
    EndAll(conns);
}

INSTANTIATE_TEST_SUITE_P(Counts, ParallelCheckRounds,
                         ::testing::Values(std::make_tuple(0, 4, 250),     // the default
                                           std::make_tuple(4, 4, 1000),    // all at once
                                           std::make_tuple(2, 5, 400)));   // three rounds

// While every slot is taken, another connection's large body goes on: its progress
// reports reach the host beside the running checks, and its data call does not wait.
TEST_F(ParallelChecks, ProgressReportsWaitForNoSlot) {
    ASSERT_EQ(SetParallelChecks(2), 2);
    g_counts.checkMs = 1500;
    auto conns = Open(3);
    std::vector<std::thread> hosts;
    std::vector<std::string> streams;
    for (int i = 0; i < 2; ++i) streams.push_back(Transfer("slow" + std::to_string(i), 1000, 1000, 20 + i));
    for (int i = 0; i < 2; ++i)
        hosts.emplace_back([&, i] { ServerToClient(*conns[i], &OnRequestFromServer, streams[i], streams[i].size()); });
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (g_counts.inside < 2 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(g_counts.inside, 2);

    const auto start = Clock::now();
    const std::string large = Transfer("large.bin", 400000, 200000, 30);
    EXPECT_EQ(ServerToClient(*conns[2], &OnRequestFromServer, large, 256).size(), 256u);
    const double seconds = SecondsSince(start);
    const bool checksStillRunning = g_counts.returned == 0;
    for (auto& t : hosts) t.join();
    EXPECT_TRUE(checksStillRunning) << "the large body went on only after the checks";
    EXPECT_GT(g_counts.progressBesideFullSlots, 0);
    EXPECT_LT(seconds, 1.0);
    EndAll(conns);
}

// RegisterCallback(NULL) while four checks run and a fifth waits for a slot: it returns
// once the four have returned, and the fifth, which gets its slot only then, calls
// nobody (its file goes through unchanged, as with no callback).
TEST_F(ParallelChecks, RegisterCallbackWaitsForTheChecksUnderWay) {
    ASSERT_EQ(SetParallelChecks(4), 4);
    g_counts.checkMs = 1000;
    auto conns = Open(5);
    std::vector<std::string> streams;
    for (int i = 0; i < 5; ++i) streams.push_back(Transfer("f" + std::to_string(i), 2000, 2000, 40 + i) + "end");
    std::vector<std::string> got;
    std::thread deliver([&] { DeliverAll(conns, streams, got); });
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (g_counts.inside < 4 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(g_counts.inside, 4);

    RegisterCallback(nullptr);
    const int insideAtReturn = g_counts.inside;
    const int returnedAtReturn = g_counts.returned;
    const int enteredAtReturn = g_counts.entered;
    deliver.join();
    EXPECT_EQ(insideAtReturn, 0);
    EXPECT_EQ(returnedAtReturn, 4);
    EXPECT_EQ(g_counts.entered, enteredAtReturn) << "a call started after RegisterCallback returned";
    EXPECT_EQ(g_counts.entered, 4);
    for (int i = 0; i < 5; ++i) EXPECT_TRUE(got[i] == streams[i]) << "connection " << i;
    EndAll(conns);
}

}  // namespace
