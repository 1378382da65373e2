// Faults injected into a proxied connection on real loopback sockets: the disk fills,
// the temporary folder is missing, someone removes the held file, either side resets,
// the scan takes seconds, the host's socket interface misbehaves, no connection object
// can be made. Each says what the messenger client must get and what must be left.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <thread>

#ifndef _WIN32
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "dispatch/proxy_factory.h"
#include "reliability/fault_helpers.h"
#include "support/connection_fixture.h"
#include "support/trace_capture.h"

using namespace zykim::test;
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Besides what every connection test checks, no host socket interface stays installed
// and no process-wide lock stays held.
class Faults : public ConnectionTest {
protected:
    void TearDown() override {
        ConnectionTest::TearDown();
        SetISocket(nullptr);
        EXPECT_TRUE(PluginLocksAreFree());
    }
    // The transfer goes through and the client gets its header, then `size` zeros.
    void ExpectBlanked(const std::string& name, size_t size) {
        OnNewConnectionEx(1, 0, &conn.app);
        const std::string header = Oft2Header(name, size);
        const std::string got = FromServer(header + Str(MakeBody(size, 3)), header.size() + size);
        ASSERT_EQ(got.size(), header.size() + size);
        EXPECT_EQ(got.substr(0, header.size()), header);
        EXPECT_EQ(got.find_first_not_of('\0', header.size()), std::string::npos);
        EXPECT_TRUE(ScanRecorder::Get().Checks().empty()) << "nothing sound was there to check";
        OnEndConnection(&conn.app);
    }
};

#ifndef _WIN32
// A file-size limit is the disk filling up: writes beyond it fail with EFBIG.
TEST_F(Faults, WhenTheDiskFillsWhileABodyIsHeldTheClientGetsExactlyItsSizeInZeros) {
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit small = saved;
    small.rlim_cur = 70000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    ExpectBlanked("big.iso", 300000);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, oldHandler);
}
#endif

TEST_F(Faults, WhenTheTemporaryFolderIsMissingTheClientGetsZeros) {
    TempVariable missing((fs::path(temp.Path()) / "gone").string());
    ExpectBlanked("a.txt", 5000);
}

TEST_F(Faults, WhenTheTemporaryFolderIsAFileTheClientGetsZeros) {
    const fs::path file = fs::path(temp.Path()) / "plain-file";
    std::ofstream(file) << "x";
    TempVariable notAFolder(file.string());
    ExpectBlanked("a.txt", 5000);
    fs::remove(file);
}

#ifndef _WIN32
TEST_F(Faults, WhenTheTemporaryFolderIsNotWritableTheClientGetsZeros) {
    if (geteuid() == 0) GTEST_SKIP() << "the superuser writes into any folder";
    const fs::path locked = fs::path(temp.Path()) / "locked";
    fs::create_directory(locked);
    fs::permissions(locked, fs::perms::owner_read | fs::perms::owner_exec);
    TempVariable notWritable(locked.string());
    ExpectBlanked("a.txt", 5000);
    fs::permissions(locked, fs::perms::owner_all);
    EXPECT_TRUE(fs::is_empty(locked));
}
#endif

// The host's scanner removes or cuts the held file before the release.
std::atomic<long> g_keepBytes{-1};  // -1: remove the file, else cut it to this size
int ZYKIM_CALL Tamper(int kind, ScanCallbackInfo* info) {
    if (kind == ZYKIM_SCAN_CHECK_FILE && info->szFileName != nullptr) {
        std::error_code ec;
        if (g_keepBytes < 0)
            fs::remove(info->szFileName, ec);
        else
            fs::resize_file(info->szFileName, static_cast<uintmax_t>(g_keepBytes.load()), ec);
        info->nResult = 0;
    }
    return 0;
}

TEST_F(Faults, AHeldFileRemovedOrCutBeforeTheReleaseIsMadeUpWithZeros) {
    RegisterCallback(&Tamper);
    const std::string body = Str(MakeBody(100000, 4));
    for (long keep : {-1L, 0L, 1L, 40000L, 99999L}) {
        g_keepBytes = keep;
        OnNewConnectionEx(1, 0, &conn.app);
        const std::string header = Oft2Header("cut.bin", body.size());
        const std::string got = FromServer(header + body + "after", header.size() + body.size() + 5);
        const size_t kept = keep < 0 ? 0 : static_cast<size_t>(keep);
        const std::string want = header + body.substr(0, kept) + std::string(body.size() - kept, '\0') + "after";
        EXPECT_TRUE(got == want) << "kept " << keep << ": " << got.size() << " bytes";
        OnEndConnection(&conn.app);
    }
}

// The client resets while the body is being released: the send fails in the middle.
TEST_F(Faults, AClientResetDuringTheReleaseEndsTheCallAndLeavesNoLock) {
    LoopbackConnection c;
    ASSERT_TRUE(c.Valid());
    SetReceiveBuffer(c.appPair.client, 8192);
    TraceCapture trace(0);
    OnNewConnectionEx(2, 0, &c.app);
    const size_t size = 8 << 20;
    const std::string stream = Oft2Header("large.bin", size) + Str(MakeBody(size, 5));
    std::thread server([&] { WriteAll(c.MessengerServer(), stream); });
    std::atomic<bool> reset{false};
    std::thread client([&] {
        // Take the header and some of the body, then reset.
        ReadExactly(c.MessengerClient(), 256 + 100000, 30000);
        AbortiveClose(c.appPair.client);
        reset = true;
    });
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    bool sawException = false;
    while (!sawException && Clock::now() < deadline) {
        if (!WaitReadable(c.PluginServerSide(), 100)) {
            if (reset) break;
            continue;
        }
        OnRequestFromServer(&c.app, &c.server);
        for (const std::string& l : trace.Lines())
            sawException |= l.rfind("CWinSockException (OnRequestFromServer): ", 0) == 0;
    }
    server.join();
    client.join();
    EXPECT_TRUE(sawException);
    EXPECT_TRUE(PluginLocksAreFree());
    // The next call, on another connection, works.
    OnNewConnectionEx(3, 0, &conn.app);
    EXPECT_EQ(FromServer("still flowing", 13), "still flowing");
    // The held file that the failed release left goes with its connection.
    EXPECT_EQ(temp.HeldFiles().size(), 1u);
    OnEndConnection(&c.app);
    EXPECT_TRUE(temp.HeldFiles().empty());
}

TEST_F(Faults, AServerResetInTheMiddleOfABodyDeliversNoBodyByteAndLeavesNothing) {
    OnNewConnectionEx(4, 0, &conn.app);
    const std::string header = Oft2Header("half.bin", 200000);
    const std::string got = FromServer(header + Str(MakeBody(50000, 6)), header.size());
    EXPECT_EQ(got, header);
    EXPECT_EQ(temp.HeldFiles().size(), 1u);
    AbortiveClose(conn.serverPair.server);
    WaitReadable(conn.PluginServerSide(), 2000);
    // Linux reports the reset to the read, Wine an orderly end: either way the call ends.
    OnRequestFromServer(&conn.app, &conn.server);
    OnEndConnection(&conn.app);
    EXPECT_TRUE(ReadUntilQuiet(conn.MessengerClient(), 100).empty());
    EXPECT_TRUE(temp.HeldFiles().empty());
    EXPECT_TRUE(ScanRecorder::Get().Checks().empty());
}

// A host socket interface that always has data: every read reports a full buffer
// (filled once, as the plug-in reuses it for the whole call; nothing is copied per
// read), every send is taken at once. `limit` reads in all.
class EndlessSocket : public ISocket {
public:
    explicit EndlessSocket(int64_t limit) : m_left(limit) {}
    void Reserved0() override {}
    int Receive(int, char* buffer, int size) override {
        if (m_left-- <= 0) return 0;
        if (buffer != m_filled) std::memset(m_filled = buffer, 'x', static_cast<size_t>(size));
        return size;
    }
    int Send(int, const char*, int) override { return 1; }

private:
    int64_t m_left;
    char* m_filled = nullptr;
};

// Past 2 GiB in one call the total is capped, never wrapped: a host that reads 0 or less
// as "closed" would drop a healthy connection.
TEST_F(Faults, TotalsPastTwoGibibytesInOneCallAreCappedNotWrapped) {
    // 32,769 reads of 65,536 bytes and 32,768 of 65,537: just past 2^31 bytes each.
    EndlessSocket fromServer((int64_t{1} << 31) / 65536 + 1);
    SetISocket(&fromServer);
    OnNewConnectionEx(13, 0, &conn.app);
    EXPECT_EQ(OnRequestFromServer(&conn.app, &conn.server), 2147483647);
    EndlessSocket fromClient((int64_t{1} << 31) / 65537 + 1);
    SetISocket(&fromClient);
    EXPECT_EQ(OnRequestFromApplication(&conn.app, &conn.server), 2147483647);
    SetISocket(nullptr);
}

class HostSocketFaults : public Faults {
protected:
    void SetUp() override {
        Faults::SetUp();
        SetISocket(&socket);
    }
    // Pumps until `expect` bytes reached the client; the reads go through `socket`.
    std::string Pump(const std::string& bytes, size_t expect) {
        WriteAll(conn.MessengerServer(), bytes);
        std::string got;
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        while (got.size() < expect && Clock::now() < deadline) {
            OnRequestFromServer(&conn.app, &conn.server);
            got += ReadUntilQuiet(conn.MessengerClient(), 5, 100);
        }
        return got;
    }
    FaultySocket socket;
};

TEST_F(HostSocketFaults, FailedAndEmptyReadsEndTheCallAndLoseNothing) {
    OnNewConnectionEx(7, 0, &conn.app);
    WriteAll(conn.MessengerServer(), std::string("queued"));
    WaitReadable(conn.PluginServerSide(), 2000);
    socket.failReads = 1;
    EXPECT_EQ(OnRequestFromServer(&conn.app, &conn.server), 0);
    socket.zeroReads = 1;
    EXPECT_EQ(OnRequestFromServer(&conn.app, &conn.server), 0);
    EXPECT_EQ(OnRequestFromServer(&conn.app, &conn.server), 6);
    EXPECT_EQ(ReadExactly(conn.MessengerClient(), 6), "queued");
}

TEST_F(HostSocketFaults, ShortReadsStillHoldCheckAndReleaseTheTransfer) {
    ScanRecorder::Get().SetVerdict(1);
    socket.maxRead = 7;
    OnNewConnectionEx(8, 0, &conn.app);
    const std::string header = Oft2Header("short.bin", 3000);
    const std::string got = Pump(header + Str(MakeBody(3000, 8)), header.size() + 3000);
    EXPECT_TRUE(got == header + std::string(3000, '\0')) << got.size() << " bytes";
    EXPECT_EQ(ScanRecorder::Get().Checks().size(), 1u);
}

TEST_F(HostSocketFaults, AReadCountAboveTheBufferIsCutToTheBuffer) {
    OnNewConnectionEx(9, 0, &conn.app);
    socket.overReport = 100;
    const std::string block(65536, 'p');
    WriteAll(conn.MessengerServer(), block);
    // Wait for the whole block, so that one read takes all of it.
    for (int i = 0; i < 100; ++i) {
        char probe[65536];
        const int queued = ::recv(conn.PluginServerSide().Get(), probe, sizeof probe, MSG_PEEK);
        if (queued >= 65536) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(OnRequestFromServer(&conn.app, &conn.server), 65536);
    EXPECT_EQ(ReadExactly(conn.MessengerClient(), 65536), block);
    EXPECT_TRUE(ReadUntilQuiet(conn.MessengerClient(), 100).empty());
}

TEST_F(HostSocketFaults, FailedSendsLoseTheirBytesButTheCallsGoOn) {
    OnNewConnectionEx(10, 0, &conn.app);
    for (int result : {0, 0x100, -1}) {
        socket.sendResult = result;
        WriteAll(conn.MessengerServer(), std::string("lost"));
        WaitReadable(conn.PluginServerSide(), 2000);
        EXPECT_EQ(OnRequestFromServer(&conn.app, &conn.server), 4);
    }
    socket.sendResult = FaultySocket::kSendForReal;
    EXPECT_TRUE(ReadUntilQuiet(conn.MessengerClient(), 100).empty());
    // The connection still carries data once sends work again.
    EXPECT_EQ(Pump("found", 5), "found");
}

std::shared_ptr<zykim::CIMProxy> NoMemory(int32_t, int32_t) { throw std::bad_alloc(); }

TEST_F(Faults, AConnectionObjectThatCannotBeMadeLeavesTheConnectionUnknown) {
    TraceCapture trace(2);
    const auto saved = zykim::SetProxyFactory(&NoMemory);
    OnNewConnectionEx(11, 0, &conn.app);
    zykim::SetProxyFactory(saved);
    EXPECT_TRUE(trace.Contains(" OnNewConnection: cannot create CIMProxy\n"));
    // Its server data is read and dropped, as for a connection never announced.
    int read = 0;
    const std::string got = ServerToClient(conn, &OnRequestFromServer, "dropped", 0, &read);
    EXPECT_EQ(read, 7);
    EXPECT_TRUE(got.empty());
    EXPECT_TRUE(ReadUntilQuiet(conn.MessengerClient(), 100).empty());
    EXPECT_TRUE(trace.Contains(" OnRequestFromServer: cannot find in list\n"));
    // Client data still reaches the server, and the end finds nothing to end.
    EXPECT_EQ(ClientToServer(conn, &OnRequestFromApplication, "up"), "up");
    OnEndConnection(&conn.app);
    EXPECT_TRUE(trace.Contains(" OnEndConnection: cannot find in list\n"));
    // The next connection is made as usual.
    OnNewConnectionEx(12, 0, &conn.app);
    EXPECT_EQ(FromServer("made", 4), "made");
}

}  // namespace
