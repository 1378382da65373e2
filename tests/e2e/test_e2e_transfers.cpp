// End to end: zykproxy with the real plug-in and the command scanner between two OFT2
// peers (and other traffic) on loopback, started once for all tests of this file.
#include <gtest/gtest.h>

#include <future>
#include <map>
#include <memory>
#include <set>
#include <thread>

#include "e2e/e2e_support.h"
#include "oft2.h"

namespace zykim::e2e {
namespace {

using zykim::test::ScratchDir;
using zykproxy::test::RandomBytes;

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        s_work = std::make_unique<ScratchDir>();
        s_held = std::make_unique<ScratchDir>();
        s_upstream = std::make_unique<ScriptedUpstream>();
        s_proxy = std::make_unique<ProxyProcess>();
        s_proxy->Start({"--listen", "127.0.0.1:0", "--upstream",
                        "127.0.0.1:" + std::to_string(s_upstream->Port()), "--threads", "4",
                        "--scanner", "command", "--scan-command", Built(ZYK_E2E_SCANNER),
                        "--scan-arg", "marker"},
                       s_held->Path(), s_work->File("zykproxy.log"));
    }
    static void TearDownTestSuite() {
        s_proxy->Stop();
        s_proxy.reset();
        s_upstream.reset();
        s_held.reset();
        s_work.reset();
    }

    void SetUp() override {
        ASSERT_NE(s_proxy->Port(), 0) << "zykproxy did not start";
        m_endedBefore = CountOf(s_proxy->Log(), " ended");
    }
    // Every test ends with its connections ended and no held file left behind.
    void TearDown() override {
        EXPECT_TRUE(s_proxy->WaitForEnded(m_endedBefore + m_connections)) << s_proxy->Log();
        EXPECT_EQ(s_held->Entries(), std::vector<std::string>{});
        s_upstream->Clear();
    }
    // A fresh folder for one test's files.
    std::string Folder(const std::string& name) {
        const std::string path = m_files.File(name);
        std::filesystem::create_directories(path);
        return path;
    }

    static ProxyProcess& Proxy() { return *s_proxy; }
    static ScriptedUpstream& Upstream() { return *s_upstream; }
    static const ScratchDir& Held() { return *s_held; }

    size_t m_connections = 1;  // what the test makes through the proxy
    ScratchDir m_files;

private:
    size_t m_endedBefore = 0;
    static std::unique_ptr<ScratchDir> s_work, s_held;
    static std::unique_ptr<ScriptedUpstream> s_upstream;
    static std::unique_ptr<ProxyProcess> s_proxy;
};
std::unique_ptr<ScratchDir> EndToEnd::s_work, EndToEnd::s_held;
std::unique_ptr<ScriptedUpstream> EndToEnd::s_upstream;
std::unique_ptr<ProxyProcess> EndToEnd::s_proxy;

TEST_F(EndToEnd, CleanFilesArriveIntactAndAnInfectedOneBlankedInOneSession) {
    ScratchDir out;
    const std::vector<std::string> files = {
        WriteFile(m_files, "note.txt", "See you at eight.\n"),
        WriteFile(m_files, "photo.jpg", RandomBytes(300000, 11)),  // progress reports
        WriteFile(m_files, "invoice.doc", InfectedContent(45000, 12)),
        WriteFile(m_files, "after.bin", RandomBytes(70000, 13)),  // the session goes on
    };
    const auto sender = PushSender(Upstream(), files);
    const ReceiverResult result = Receive(Proxy(), out.Path());
    ASSERT_TRUE(sender->Wait());
    std::lock_guard<std::mutex> guard(sender->mutex);
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_TRUE(sender->ok) << sender->error;
    ASSERT_EQ(result.received.size(), 4u);
    for (const char* name : {"note.txt", "photo.jpg", "after.bin"}) {
        const auto* got = result.Find(name);
        const auto* sent = sender->Find(name);
        ASSERT_TRUE(got && sent) << name;
        EXPECT_EQ(got->sha256, sent->sha256) << name;
        EXPECT_EQ(got->checksum, got->announcedChecksum) << name;
        EXPECT_EQ(ReadWholeFile(got->path), ReadWholeFile(m_files.File(name))) << name;
    }
    const auto* bad = result.Find("invoice.doc");
    ASSERT_NE(bad, nullptr);
    EXPECT_EQ(bad->size, 45000u);
    EXPECT_TRUE(bad->allZero);
    EXPECT_EQ(ReadWholeFile(bad->path), std::string(45000, '\0'));
    // The receiver's DONE tells the sender what arrived.
    const auto* badSent = sender->Find("invoice.doc");
    ASSERT_NE(badSent, nullptr);
    EXPECT_NE(badSent->receivedChecksum, badSent->checksum);

    const std::string log = Proxy().Log();
    EXPECT_NE(log.find("\"photo.jpg\" 300000 bytes: clean, passed"), std::string::npos) << log;
    EXPECT_NE(log.find("\"invoice.doc\" 45000 bytes: INFECTED (scanner exit code 1), blocked"),
              std::string::npos)
        << log;
}

// The capture's PROMPT header in front of a body the scanner rejects, sent and read as
// raw bytes: the header reaches the client exactly as sent, the body as zeros.
TEST_F(EndToEnd, ABlankedBodyFollowsItsHeaderUnchanged) {
    const std::string stream = ReadWholeFile(CaptureFolder() + "/sender-to-receiver.bin");
    const std::string replies = ReadWholeFile(CaptureFolder() + "/receiver-to-sender.bin");
    ASSERT_EQ(stream.size(), 12264u);
    ASSERT_EQ(replies.size(), 512u);
    const std::string header = stream.substr(0, 256);
    const std::string body = InfectedContent(12008, 21);
    auto atServer = std::make_shared<std::promise<std::string>>();
    Upstream().Push([header, body, atServer](znet::Socket s) {
        std::string got;
        znet::SendAll(s.Get(), header.data(), header.size());
        got += zykproxy::test::ReadUpTo(s.Get(), 256);
        znet::SendAll(s.Get(), body.data(), body.size());
        got += zykproxy::test::ReadUpTo(s.Get(), 256);
        atServer->set_value(got);
        std::string rest;
        zykproxy::test::ReadToEnd(s.Get(), &rest);
    });
    znet::Socket client = Proxy().Connect();
    EXPECT_EQ(zykproxy::test::ReadUpTo(client.Get(), 256), header);
    znet::SendAll(client.Get(), replies.data(), 256);
    EXPECT_EQ(zykproxy::test::ReadUpTo(client.Get(), 12008), std::string(12008, '\0'));
    znet::SendAll(client.Get(), replies.data() + 256, 256);
    auto future = atServer->get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_EQ(future.get(), replies);  // the client's side passes unchanged
    client.Close();
}

// Bytes that are no file transfer pass unchanged, both ways at once.
TEST_F(EndToEnd, OtherTrafficPassesByteForByteInBothDirections) {
    const std::string up = RandomBytes(400000, 31);
    const std::string down = "HTTP/1.1 200 OK\r\n\r\n" + RandomBytes(400000, 32);
    auto atServer = std::make_shared<std::promise<std::string>>();
    Upstream().Push([up, down, atServer](znet::Socket s) {
        std::thread writer([&] { znet::SendAll(s.Get(), down.data(), down.size()); });
        atServer->set_value(zykproxy::test::ReadUpTo(s.Get(), up.size(), 20000));
        writer.join();
        std::string rest;
        zykproxy::test::ReadToEnd(s.Get(), &rest);
    });
    znet::Socket client = Proxy().Connect();
    std::thread writer([&] { znet::SendAll(client.Get(), up.data(), up.size()); });
    const std::string atClient = zykproxy::test::ReadUpTo(client.Get(), down.size(), 20000);
    writer.join();
    auto future = atServer->get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    const std::string got = future.get();
    EXPECT_EQ(got.size(), up.size());
    EXPECT_TRUE(got == up);
    EXPECT_EQ(atClient.size(), down.size());
    EXPECT_TRUE(atClient == down);
    client.Close();
}

// Many sessions at once, spread over zykproxy's four threads; each file comes out as
// its content says, whichever connection carried it.
TEST_F(EndToEnd, ManyConnectionsAtOnceOverSeveralThreads) {
    constexpr int kSessions = 12;
    m_connections = kSessions;
    struct Session {
        std::string name;
        std::string content;
        bool infected = false;
        std::shared_ptr<SenderResult> sender;
    };
    std::vector<Session> sessions(kSessions);
    for (int i = 0; i < kSessions; ++i) {
        Session& s = sessions[i];
        s.name = "file-" + std::to_string(i) + ".bin";
        s.infected = i % 4 == 3;
        const size_t size = 20000 + static_cast<size_t>(i) * 23000;
        s.content = s.infected ? InfectedContent(size, 100 + i) : RandomBytes(size, 100 + i);
        s.sender = PushSender(Upstream(), {WriteFile(m_files, s.name, s.content)});
    }
    // The upstream hands out the scripts in the order zykproxy connects, which need not
    // be the clients' order: each client reports what it got, checked by name.
    std::vector<ReceiverResult> received(kSessions);
    std::vector<std::thread> clients;
    for (int i = 0; i < kSessions; ++i) {
        const std::string out = Folder("out-" + std::to_string(i));
        clients.emplace_back([&, i, out] { received[i] = Receive(Proxy(), out); });
    }
    for (auto& t : clients) t.join();
    for (const auto& s : sessions) ASSERT_TRUE(s.sender->Wait()) << s.name;

    std::map<std::string, const Session*> byName;
    for (const auto& s : sessions) byName[s.name] = &s;
    std::set<std::string> seen;
    for (int i = 0; i < kSessions; ++i) {
        ASSERT_TRUE(received[i].ok) << i << ": " << received[i].error;
        ASSERT_EQ(received[i].received.size(), 1u);
        const auto& file = received[i].received.front();
        ASSERT_EQ(byName.count(file.name), 1u) << file.name;
        const Session& s = *byName[file.name];
        EXPECT_TRUE(seen.insert(file.name).second) << file.name << " arrived twice";
        const std::string got = ReadWholeFile(file.path);
        if (s.infected) {
            EXPECT_EQ(got, std::string(s.content.size(), '\0')) << file.name;
        } else {
            EXPECT_TRUE(got == s.content) << file.name;
        }
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(kSessions));
}

// A server that goes away in the middle of a body: the held part is deleted, and none
// of the unchecked body reaches the client.
TEST_F(EndToEnd, ABodyCutShortIsNeverReleasedAndItsHeldFileGoes) {
    const std::string body = RandomBytes(200000, 41);
    const std::string header = PromptFor("cut.bin", body);
    auto wasHeld = std::make_shared<std::promise<bool>>();
    const ScratchDir* held = &Held();  // lives for the whole suite
    Upstream().Push([header, body, wasHeld, held](znet::Socket s) {
        znet::SendAll(s.Get(), header.data(), header.size());
        zykproxy::test::ReadUpTo(s.Get(), header.size());  // ACK
        znet::SendAll(s.Get(), body.data(), 80000);
        // The part sent so far waits in a held file in zykproxy's temporary folder.
        wasHeld->set_value(WaitUntil([held] { return !held->HeldFiles().empty(); }, 10000));
    });  // and the server closes
    znet::Socket client = Proxy().Connect();
    EXPECT_EQ(zykproxy::test::ReadUpTo(client.Get(), header.size()), header);
    znet::SendAll(client.Get(), header.data(), header.size());  // stands in for the ACK
    std::string rest;
    EXPECT_TRUE(zykproxy::test::ReadToEnd(client.Get(), &rest, 20000));
    EXPECT_EQ(rest.size(), 0u);
    auto future = wasHeld->get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(future.get());
}

// A server that closes right after its last byte: everything it sent is delivered
// (released after the check), then the client's side is closed too.
TEST_F(EndToEnd, AServerThatClosesRightAfterABodyHasItDeliveredFirst) {
    const std::string body = RandomBytes(150000, 61);
    const std::string header = PromptFor("last.bin", body);
    Upstream().Push([header, body](znet::Socket s) {
        znet::SendAll(s.Get(), header.data(), header.size());
        zykproxy::test::ReadUpTo(s.Get(), header.size());  // ACK
        znet::SendAll(s.Get(), body.data(), body.size());
    });  // closes at once
    znet::Socket client = Proxy().Connect();
    EXPECT_EQ(zykproxy::test::ReadUpTo(client.Get(), header.size()), header);
    znet::SendAll(client.Get(), header.data(), header.size());
    std::string rest;
    EXPECT_TRUE(zykproxy::test::ReadToEnd(client.Get(), &rest, 20000));
    EXPECT_EQ(rest.size(), body.size());
    EXPECT_TRUE(rest == body);
}

TEST_F(EndToEnd, AServerThatClosesRightAfterOtherTrafficHasItDeliveredFirst) {
    const std::string down = RandomBytes(300000, 62);
    Upstream().Push([down](znet::Socket s) { znet::SendAll(s.Get(), down.data(), down.size()); });
    znet::Socket client = Proxy().Connect();
    std::string got;
    EXPECT_TRUE(zykproxy::test::ReadToEnd(client.Get(), &got, 20000));
    EXPECT_EQ(got.size(), down.size());
    EXPECT_TRUE(got == down);
}

// A client that ends its sending direction after its request still gets the whole
// reply: the server answers only after the request's end, with a file the plug-in
// holds, checks and releases, and closes right after; the end reaches the client
// only after everything before it.
TEST_F(EndToEnd, AClientThatEndsItsRequestStillGetsTheWholeReply) {
    const std::string request = RandomBytes(100000, 64);
    const std::string body = RandomBytes(120000, 65);
    const std::string reply = PromptFor("reply.bin", body) + body + "and the rest";
    auto atServer = std::make_shared<std::promise<std::string>>();
    Upstream().Push([reply, atServer](znet::Socket s) {
        std::string got;
        zykproxy::test::ReadToEnd(s.Get(), &got, 20000);
        atServer->set_value(got);
        znet::SendAll(s.Get(), reply.data(), reply.size());
    });  // closes at once
    znet::Socket client = Proxy().Connect();
    ASSERT_TRUE(znet::SendAll(client.Get(), request.data(), request.size()));
    znet::ShutdownSend(client.Get());
    std::string got;
    EXPECT_TRUE(zykproxy::test::ReadToEnd(client.Get(), &got, 20000));
    EXPECT_EQ(got.size(), reply.size());
    EXPECT_TRUE(got == reply);
    auto future = atServer->get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(future.get() == request);
    EXPECT_NE(Proxy().Log().find("\"reply.bin\" 120000 bytes: clean, passed"), std::string::npos);
}

// A receiver that goes away while its file is held: the held file is deleted and the
// proxy goes on serving.
TEST_F(EndToEnd, AClientThatLeavesDuringABodyLeavesNoHeldFile) {
    const std::string body = RandomBytes(200000, 63);
    const std::string header = PromptFor("gone.bin", body);
    auto sentPart = std::make_shared<std::promise<void>>();
    Upstream().Push([header, body, sentPart](znet::Socket s) {
        znet::SendAll(s.Get(), header.data(), header.size());
        zykproxy::test::ReadUpTo(s.Get(), header.size());
        znet::SendAll(s.Get(), body.data(), 100000);
        sentPart->set_value();
        std::string rest;
        zykproxy::test::ReadToEnd(s.Get(), &rest, 20000);  // until the proxy closes
    });
    znet::Socket client = Proxy().Connect();
    EXPECT_EQ(zykproxy::test::ReadUpTo(client.Get(), header.size()), header);
    znet::SendAll(client.Get(), header.data(), header.size());
    auto future = sentPart->get_future();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    EXPECT_TRUE(WaitUntil([] { return !Held().HeldFiles().empty(); }, 10000));
    client.Close();
}

// The oftpeer program as the receiving client, against the sending client here.
TEST_F(EndToEnd, TheOftpeerProgramReceivesThroughTheProxy) {
    ScratchDir out;
    const std::string content = RandomBytes(150000, 51);
    const auto sender = PushSender(Upstream(), {WriteFile(m_files, "song.mp3", content),
                                                WriteFile(m_files, "virus.exe", InfectedContent(3000, 52))});
    zykproxy::process::ChildProcess peer;
    zykproxy::process::StartOptions options;
    options.captureStdout = true;
    std::string error;
    ASSERT_TRUE(peer.Start(Built(ZYK_E2E_OFTPEER),
                           {"recv", "--connect", "127.0.0.1:" + std::to_string(Proxy().Port()),
                            "--out", out.Path(), "--timeout", "20"},
                           options, &error))
        << error;
    std::vector<std::string> lines;
    for (std::string line; peer.ReadStdoutLine(&line, 30000);) lines.push_back(line);
    int code = -1;
    ASSERT_TRUE(peer.Wait(20000, &code));
    EXPECT_EQ(code, 0);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("received song.mp3 size=150000 sha256=", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" checksum=ok zeros=no "), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1].rfind("received virus.exe size=3000 ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(" checksum=mismatch zeros=yes "), std::string::npos) << lines[1];
    EXPECT_TRUE(ReadWholeFile(out.File("song.mp3")) == content);
    EXPECT_TRUE(sender->Wait());
}

}  // namespace
}  // namespace zykim::e2e
