// The connection exports, the connection object and its callbacks, on real loopback
// sockets: what reaches the client and the server, what the host's scan callback sees,
// the trace lines, and that no lock or held file is left behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/connection_table.h"
#include "dispatch/sock_transfer.h"
#include "plugin/state.h"
#include "proxy/im_proxy.h"
#include "support/connection_fixture.h"
#include "support/oft2_stream.h"
#include "support/trace_capture.h"
#include "zykim/zykim.h"

using namespace zykim::test;

namespace {

std::string Oft2Transfer(const std::string& name, const std::string& body) {
    return Oft2Header(name, body.size()) + body;
}

size_t CountPrefix(const std::vector<std::string>& lines, const std::string& prefix) {
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.rfind(prefix, 0) == 0;
    }));
}

using Connections = ConnectionTest;

TEST_F(Connections, ClientBytesReachTheServerAtOnceInReadsOf65537) {
    TraceCapture trace(0);
    const std::string bytes = Str(MakeBody(65637, 7));
    // Everything is pending before the call, so one call drains it in two reads.
    ASSERT_TRUE(WriteAll(conn.MessengerClient(), bytes));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::string atServer;
    std::thread reader([&] { atServer = ReadExactly(conn.MessengerServer(), bytes.size()); });
    EXPECT_EQ(OnRequestFromApplication(&conn.app, &conn.server), 65637);
    reader.join();
    EXPECT_EQ(atServer, bytes);
    const std::string tag = "++++++++ [" + std::to_string(conn.app.socket) + ", " +
                            std::to_string(conn.server.socket) + "] OnRequestFromApplication ";
    const auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], tag + "recv 65537\n");
    EXPECT_EQ(lines[1], tag + "sent 1\n");
    EXPECT_EQ(lines[2], tag + "recv 100\n");
    EXPECT_EQ(lines[3], tag + "sent 1\n");
    // Nothing pending: 0 and no line.
    trace.Clear();
    EXPECT_EQ(OnRequestFromApplication(&conn.app, &conn.server), 0);
    EXPECT_TRUE(trace.Lines().empty());
}

TEST_F(Connections, ServerDataOfAnUnknownConnectionIsReadCountedAndDropped) {
    TraceCapture trace(2);
    int read = 0;
    const std::string got = FromServer("hello, client", 0, &read);
    EXPECT_EQ(read, 13);
    EXPECT_EQ(got, "");
    EXPECT_EQ(trace.Count(" OnRequestFromServer: cannot find in list\n"), 1u);
}

TEST_F(Connections, PlainTrafficPassesBothWaysUnchanged) {
    OnNewConnectionEx(77, 0, &conn.app);
    const std::string down = Str(MakeBody(300000, 3));
    EXPECT_EQ(FromServer(down, down.size()), down);
    const std::string up = Str(MakeBody(200000, 4));
    EXPECT_EQ(ClientToServer(conn, &OnRequestFromApplication, up), up);
    // Classified as no file transfer: a header now passes unsearched and is not held.
    const std::string late = Oft2Transfer("late.txt", "body");
    EXPECT_EQ(FromServer(late, late.size()), late);
    EXPECT_TRUE(ScanRecorder::Get().Checks().empty());
}

TEST_F(Connections, CleanFileIsHeldCheckedAndReleasedUnchanged) {
    TraceCapture trace(4);
    OnNewConnectionEx(77, 0, &conn.app);
    const std::string body = Str(MakeBody(150000, 9));
    const std::string stream = "pre" + Oft2Transfer("report.pdf", body) + "post";
    EXPECT_EQ(FromServer(stream, stream.size()), stream);
    const auto checks = ScanRecorder::Get().Checks();
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].webContentInfo, "report.pdf");
    EXPECT_TRUE(checks[0].heldFileReadable);
    EXPECT_EQ(checks[0].heldContent, body);
    EXPECT_NE(checks[0].fileName.find("icq_oscar_"), std::string::npos);
    const ScanCallbackInfo& info = checks[0].info;
    EXPECT_EQ(info.cbSize, sizeof(ScanCallbackInfo));
    EXPECT_EQ(info.reserved4, 3u);
    EXPECT_EQ(info.reserved1072, 4u);
    EXPECT_EQ(info.dwHostValue, 77u);
    EXPECT_EQ(info.dwAppSocket, static_cast<uint32_t>(conn.app.socket));
    // 150,000 bytes is above the progress threshold: reports of kind 3 came too.
    const auto records = ScanRecorder::Get().Records();
    const bool progress = std::any_of(records.begin(), records.end(), [](const ScanRecord& r) {
        return r.kind == ZYKIM_SCAN_PROGRESS && r.fileName == "szFileName" &&
               r.webContentInfo == "szWebContentInfo" && r.info.dwTotalKB == 146;
    });
    EXPECT_TRUE(progress);
    EXPECT_TRUE(trace.Contains("[CIMProxy] [vICQFileCheckFileCallback (ScanFile [" +
                               checks[0].fileName + "])]\n"));
}

TEST_F(Connections, InfectedFileReachesTheClientAsZerosBehindItsHeader) {
    ScanRecorder::Get().SetVerdict(1);
    OnNewConnectionEx(5, 0, &conn.app);
    const std::string body = Str(MakeBody(40000, 2));
    const std::string stream = Oft2Transfer("virus.exe", body);
    const std::string got = FromServer(stream, stream.size());
    ASSERT_EQ(got.size(), stream.size());
    EXPECT_EQ(got.substr(0, 256), stream.substr(0, 256));
    EXPECT_EQ(got.substr(256), std::string(body.size(), '\0'));
}

TEST_F(Connections, EndingAConnectionWhileABodyIsHeldDeletesItUnreleased) {
    TraceCapture trace(4);
    OnNewConnectionEx(5, 0, &conn.app);
    const std::string body = Str(MakeBody(150000, 5));
    const std::string stream = Oft2Transfer("half.bin", body);
    const std::string part = stream.substr(0, 256 + 60000);
    const std::string got = FromServer(part, 256);
    EXPECT_EQ(got, stream.substr(0, 256));
    EXPECT_EQ(temp.HeldFiles().size(), 1u);
    OnEndConnection(&conn.app);
    EXPECT_TRUE(temp.HeldFiles().empty());
    EXPECT_TRUE(ScanRecorder::Get().Checks().empty());
    // The closing progress report says dwSize of dwSize, in KiB.
    const auto records = ScanRecorder::Get().Records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.back().kind, ZYKIM_SCAN_PROGRESS);
    EXPECT_EQ(records.back().info.dwDoneKB, 146u);
    EXPECT_EQ(records.back().info.dwTotalKB, 146u);
    EXPECT_TRUE(ReadUntilQuiet(conn.MessengerClient(), 100).empty());
    const auto messages = trace.Messages();
    const std::string erase = "[" + std::string(5 - std::to_string(conn.app.socket).size(), '0') +
                              std::to_string(conn.app.socket) + "] OnEndConnect: erase from list\n";
    EXPECT_EQ(trace.Count(erase), 1u);
    EXPECT_EQ(CountPrefix(messages, "[CIcqOscarFileTrans] [bDeleteOFT2File (File: "), 1u);
}

TEST_F(Connections, ReplacingAConnectionEndsTheOldObjectFirst) {
    TraceCapture trace(4);
    OnNewConnectionEx(1, 0, &conn.app);
    trace.Clear();
    OnNewConnection(2, &conn.app);
    char id[16];
    std::snprintf(id, sizeof id, "[%05d] ", conn.app.socket);
    std::vector<std::string> order;
    for (const std::string& m : trace.Messages())
        if (m.rfind(id, 0) == 0 && m.find("OnNewConnect") != std::string::npos) order.push_back(m);
    ASSERT_EQ(order.size(), 3u);
    EXPECT_EQ(order[0], std::string(id) + "OnNewConnect: erase from list\n");
    EXPECT_EQ(order[1], std::string(id) + "OnNewConnect: delete\n");
    EXPECT_EQ(order[2], std::string(id) + "OnNewConnect: insert\n");
    {
        zykim::LockGuard guard(zykim::g_tableLock);
        EXPECT_EQ(zykim::g_pConnectionTable->Size(), 1u);
        EXPECT_EQ(zykim::g_pConnectionTable->Find(&conn.app)->nHostValue(), 2);
    }
}

TEST_F(Connections, NullAndUnknownHandlesOnlyWarn) {
    TraceCapture trace(2);
    OnNewConnectionEx(1, 0, nullptr);
    OnEndConnection(nullptr);
    ZykConnection stranger{0, 4242};
    OnEndConnection(&stranger);
    EXPECT_TRUE(trace.Contains(" call OnNewConnect( 0x00000000 )\n"));
    EXPECT_TRUE(trace.Contains(" call OnEndConnection( 0x00000000 )\n"));
    EXPECT_TRUE(trace.Contains(" OnEndConnection: cannot find in list\n"));
}

TEST_F(Connections, ASocketErrorEndsTheCallAndLeavesNoLockHeld) {
    TraceCapture trace(0);
    OnNewConnectionEx(1, 0, &conn.app);
    // The messenger client resets its connection: delivering to it fails.
    AbortiveClose(conn.appPair.client);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    bool sawException = false;
    for (int i = 0; i < 20 && !sawException; ++i) {
        WriteAll(conn.MessengerServer(), std::string(1000, 'x'));
        WaitReadable(conn.PluginServerSide(), 1000);
        OnRequestFromServer(&conn.app, &conn.server);
        for (const std::string& l : trace.Lines())
            sawException |= l.rfind("CWinSockException (OnRequestFromServer): ", 0) == 0;
    }
    EXPECT_TRUE(sawException);
    // Neither the callback lock nor the proxy lock stays held: another thread takes both.
    int callbackLock = -1, proxyLock = -1;
    std::thread([&] {
        callbackLock = zykim::g_callbackLock.Wait(1000);
        if (callbackLock == 1) zykim::g_callbackLock.Release();
        std::shared_ptr<zykim::CIMProxy> proxy;
        {
            zykim::LockGuard guard(zykim::g_tableLock);
            proxy = zykim::g_pConnectionTable->Find(&conn.app);
        }
        proxyLock = proxy && proxy->bTryLock() ? 1 : 0;
        if (proxyLock == 1) proxy->vUnlock();
    }).join();
    EXPECT_EQ(callbackLock, 1);
    EXPECT_EQ(proxyLock, 1);
    // Another connection still works.
    LoopbackConnection other;
    OnNewConnectionEx(2, 0, &other.app);
    EXPECT_EQ(ServerToClient(other, &OnRequestFromServer, "still fine", 10), "still fine");
    OnEndConnection(&other.app);
}

TEST_F(Connections, AReceiveErrorOnTheFirstReadReturnsZeroWithTheErrorText) {
    TraceCapture trace(0);
    ZykConnection closed{0, -1};  // not a socket
    EXPECT_EQ(OnRequestFromApplication(&closed, &conn.server), 0);
    const auto lines = trace.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], std::string("CWinSockException (OnRequestFromApplication): ") +
                            zykim::GetWinSockErrorText(10038) + "\n");
}

// The callbacks on their own, with a connection object that has no socket yet.
class Callbacks : public ::testing::Test {
protected:
    void SetUp() override {
        ScanRecorder::Get().Reset();
        RegisterCallback(&ScanRecorder::Callback);
    }
    void TearDown() override { RegisterCallback(nullptr); }
    zykim::CIMProxy proxy{9, 1234, zykim::SockClientSocket()};
};

TEST_F(Callbacks, ProgressIsReportedOnlyAbove100000Bytes) {
    TraceCapture trace(4);
    zykim::vICQFileProgressCallback(50000, 100000, &proxy);
    EXPECT_TRUE(ScanRecorder::Get().Records().empty());
    EXPECT_EQ(CountPrefix(trace.Messages(), "[CIMProxy] [vICQFileProgressCallback"), 0u);
    zykim::vICQFileProgressCallback(50000, 100001, &proxy);
    const auto records = ScanRecorder::Get().Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, ZYKIM_SCAN_PROGRESS);
    EXPECT_EQ(records[0].info.dwDoneKB, 48u);
    EXPECT_EQ(records[0].info.dwTotalKB, 97u);
    EXPECT_EQ(records[0].info.dwHostValue, 9u);
    EXPECT_EQ(records[0].info.dwAppSocket, 1234u);
    EXPECT_EQ(records[0].info.nResult, 0);
    EXPECT_TRUE(trace.Contains("[CIMProxy] [vICQFileProgressCallback (48 von 97 Bytes )]\n"));
}

TEST_F(Callbacks, FileCheckHandsOverPathAndNameAndReturnsTheVerdict) {
    TraceCapture trace(4);
    int32_t verdict = -1;
    zykim::vICQFileCheckFileCallback(nullptr, "C:\\x.tmp", 8, &proxy, &verdict);
    EXPECT_EQ(verdict, -1);
    EXPECT_TRUE(ScanRecorder::Get().Records().empty());
    EXPECT_TRUE(trace.Lines().empty());

    ScanRecorder::Get().SetVerdict(1);
    zykim::vICQFileCheckFileCallback("a.doc", "held.tmp", 8, &proxy, &verdict);
    EXPECT_EQ(verdict, 1);
    ScanRecorder::Get().SetVerdict(-5);
    zykim::vICQFileCheckFileCallback("a.doc", "held.tmp", 8, &proxy, &verdict);
    EXPECT_EQ(verdict, -5);
    const auto checks = ScanRecorder::Get().Checks();
    ASSERT_EQ(checks.size(), 2u);
    EXPECT_EQ(checks[0].fileName, "held.tmp");
    EXPECT_EQ(checks[0].webContentInfo, "a.doc");

    RegisterCallback(nullptr);
    verdict = -1;
    zykim::vICQFileCheckFileCallback("a.doc", "held.tmp", 8, &proxy, &verdict);
    EXPECT_EQ(verdict, -1);  // no host callback: the caller's value stays
}

TEST_F(Callbacks, SendNeedsDataALengthAndAnOwner) {
    const uint8_t byte = 1;
    EXPECT_EQ(zykim::bICQSendData2IcqClientCallback(&byte, 0, &proxy), 0);
    EXPECT_EQ(zykim::bICQSendData2IcqClientCallback(nullptr, 1, &proxy), 0);
    EXPECT_EQ(zykim::bICQSendData2IcqClientCallback(&byte, 1, nullptr), 0);
    // With no client handle yet nothing is sent, and the call still reports 1.
    EXPECT_EQ(zykim::bICQSendData2IcqClientCallback(&byte, 1, &proxy), 1);
    EXPECT_FALSE(proxy.bICQSendData2IcqClient(&byte, 1));
}

TEST_F(Callbacks, ServerBlocksStoreTheHandleOnlyWithData) {
    ZykConnection a{0, 1}, b{0, 2};
    proxy.vRequestFromServer(nullptr, 5, &a);
    EXPECT_EQ(proxy.pAppConnection(), nullptr);
    const uint8_t byte = 'x';
    proxy.vRequestFromServer(&byte, 0, &a);
    EXPECT_EQ(proxy.pAppConnection(), &a);
    proxy.vRequestFromServer(nullptr, 1, &b);
    EXPECT_EQ(proxy.pAppConnection(), &a);
}

}  // namespace
