// The OFT2 peer tool: SHA-256, the OSCAR checksum and the headers against the recorded
// transfer, sender and receiver over loopback, and the replay through a forwarder.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "net.h"
#include "oft2.h"
#include "rendezvous.h"
#include "rendezvous_server.h"
#include "replay.h"
#include "session.h"
#include "accept/handshake.h"
#include "sha256.h"
#include "socks5.h"
#include "support/socket_pair.h"

namespace fs = std::filesystem;
using namespace oftpeer;

namespace {

const std::string kData = OFTPEER_TEST_DATA;

std::string ReadFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFileBytes(const fs::path& path, const std::string& data) {
    std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(data.size()));
}

std::string SenderStream() { return ReadFileBytes(fs::u8path(kData) / "sender-to-receiver.bin"); }
std::string ReceiverStream() { return ReadFileBytes(fs::u8path(kData) / "receiver-to-sender.bin"); }

// A scratch folder, removed with everything in it when the test ends.
class ScratchFolder {
public:
    ScratchFolder() {
        static std::atomic<int> counter{0};
        m_path = fs::temp_directory_path() /
                 ("oftpeer-test-" + std::to_string(std::random_device{}()) + "-" +
                  std::to_string(counter++));
        fs::create_directories(m_path);
    }
    ~ScratchFolder() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    const fs::path& Path() const { return m_path; }

private:
    fs::path m_path;
};

// The tool's socket type around a test socket (the tool's closes it).
Socket Adopt(zykim::test::Socket&& s) { return Socket(static_cast<intptr_t>(s.Release())); }

TEST(Sha256, KnownVectors) {
    const struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        // Lengths on each side of the padding boundaries.
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Sha256Hex(c.message.data(), c.message.size()), c.digest) << c.message.size();
}

TEST(Sha256, PiecesGiveTheSameDigestAsTheWhole) {
    std::string message;
    for (int i = 0; i < 3; ++i)
        for (int b = 0; b < 256; ++b) message += static_cast<char>(b);
    const char* expected = "f3a25aa93aa2fbba28d79260535bbd6a5eb0fc1c24a8b0f04e12b484c1dfe363";
    for (size_t split = 0; split <= message.size(); ++split) {
        Sha256 h;
        h.Update(message.data(), split);
        h.Update(message.data() + split, message.size() - split);
        ASSERT_EQ(h.FinalHex(), expected) << split;
    }
    Sha256 byByte;
    for (char c : message) byByte.Update(&c, 1);
    EXPECT_EQ(byByte.FinalHex(), expected);
}

TEST(Recording, CopiesAreTheRecordedStreams) {
    const std::string sent = SenderStream();
    const std::string back = ReceiverStream();
    EXPECT_EQ(Sha256Hex(sent.data(), sent.size()),
              "6d55249c7045fe33d7262817d68471047f6b47560bada38979aafd0e6aafa9bf");
    EXPECT_EQ(Sha256Hex(back.data(), back.size()),
              "dc05392f31deea5d264adbff0ac720673820fd0c0c64c858da6c2fb4733af26c");
    Recording recording;
    std::string error;
    ASSERT_TRUE(LoadRecording(kData, &recording, &error)) << error;
    EXPECT_EQ(recording.serverSegments.size(), 11u);
}

TEST(OscarChecksum, ReproducesTheRecordedBodyChecksum) {
    const std::string body = SenderStream().substr(256);
    ASSERT_EQ(body.size(), 12008u);
    EXPECT_EQ(ComputeOscarChecksum(body.data(), body.size()), 0xB1640000u);
    EXPECT_EQ(ComputeOscarChecksum("", 0), kOscarChecksumStart);
    // In pieces, odd and even lengths alike, as a body arrives over the network.
    for (size_t split = 0; split <= body.size(); split += (split < 64 ? 1 : 97)) {
        OscarChecksum c;
        c.Update(body.data(), split);
        c.Update(body.data() + split, body.size() - split);
        ASSERT_EQ(c.Value(), 0xB1640000u) << split;
    }
    // Byte order matters: a swapped pair of bytes changes the sum.
    std::string swapped = body;
    std::swap(swapped[0], swapped[1]);
    EXPECT_NE(ComputeOscarChecksum(swapped.data(), swapped.size()), 0xB1640000u);
    // Zeros in place of the body do not match the announced checksum.
    const std::string zeros(body.size(), '\0');
    EXPECT_NE(ComputeOscarChecksum(zeros.data(), zeros.size()), 0xB1640000u);
}

TEST(Oft2Header, PromptIsTheRecordedOne) {
    const std::string sent = SenderStream();
    const Oft2Header prompt =
        MakePrompt("recipe.docx", 12008, 0xB1640000u, 0, 1, 1, 12008, std::array<uint8_t, 8>{});
    const std::vector<uint8_t> bytes = SerializeOft2(prompt);
    ASSERT_EQ(bytes.size(), 256u);
    EXPECT_TRUE(std::memcmp(bytes.data(), sent.data(), 256) == 0);
}

TEST(Oft2Header, ParsesTheRecordedAcknowledgeAndDone) {
    const std::string back = ReceiverStream();
    Oft2Header ack, done;
    ASSERT_TRUE(ParseOft2(reinterpret_cast<const uint8_t*>(back.data()), 256, &ack));
    ASSERT_TRUE(ParseOft2(reinterpret_cast<const uint8_t*>(back.data()) + 256, 256, &done));
    EXPECT_EQ(ack.wType, kOft2Ack);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(ack.cookie.data()), 7), "7174647");
    EXPECT_EQ(ack.dwSize, 12008u);
    EXPECT_EQ(ack.bFlags, 0x20);
    EXPECT_EQ(ack.idString, "Cool FileXfer");
    EXPECT_EQ(ack.name, "recipe.docx");
    EXPECT_EQ(done.wType, kOft2Done);
    EXPECT_EQ(done.dwnRecvd, 12008u);
    EXPECT_EQ(done.dwRecvCsum, 0xB1640000u);
    // Serialising what was parsed gives the bytes back.
    EXPECT_TRUE(std::memcmp(SerializeOft2(done).data(), back.data() + 256, 256) == 0);
}

TEST(Oft2Header, RefusesWhatIsNoHeader) {
    std::vector<uint8_t> bytes = SerializeOft2(
        MakePrompt("a", 1, 0, 0, 1, 1, 1, std::array<uint8_t, 8>{}));
    Oft2Header h;
    EXPECT_TRUE(ParseOft2(bytes.data(), bytes.size(), &h));
    EXPECT_FALSE(ParseOft2(bytes.data(), bytes.size() - 1, &h));  // shorter than wHdrLen
    bytes[4] = 0x00;
    bytes[5] = 0xC0;  // 192: no room for a name
    EXPECT_EQ(Oft2HeaderLength(bytes.data()), 0u);
    bytes[4] = 0x01;
    bytes[5] = 0x00;
    bytes[0] = 'X';
    EXPECT_EQ(Oft2HeaderLength(bytes.data()), 0u);
    // A long name makes a longer header rather than being cut.
    const std::string longName(100, 'n');
    const std::vector<uint8_t> longHeader =
        SerializeOft2(MakePrompt(longName, 1, 0, 0, 1, 1, 1, std::array<uint8_t, 8>{}));
    EXPECT_EQ(longHeader.size(), 192u + 101u);
    ASSERT_TRUE(ParseOft2(longHeader.data(), longHeader.size(), &h));
    EXPECT_EQ(h.name, longName);
}

TEST(SafeFileName, KeepsTheReceiverInItsFolder) {
    EXPECT_EQ(SafeFileName("recipe.docx"), "recipe.docx");
    EXPECT_EQ(SafeFileName("../../etc/passwd"), "passwd");
    EXPECT_EQ(SafeFileName("C:\\Windows\\evil.dll"), "evil.dll");
    EXPECT_EQ(SafeFileName(".."), "file");
    EXPECT_EQ(SafeFileName(""), "file");
    EXPECT_EQ(SafeFileName("a:b?c"), "a_b_c");
}

// The receiver, fed the recorded sender's bytes, answers with the recorded receiver's.
TEST(Receiver, AnswersTheRecordedSenderAsTheRecordedReceiverDid) {
    ScratchFolder folder;
    zykim::test::SocketPair pair = zykim::test::MakeSocketPair();
    ASSERT_TRUE(pair.Valid());
    const std::string sent = SenderStream();
    const std::string back = ReceiverStream();
    std::string ackSeen, doneSeen;
    std::thread sender([&] {
        zykim::test::WriteAll(pair.server, sent.substr(0, 256));
        ackSeen = zykim::test::ReadExactly(pair.server, 256, 5000);
        zykim::test::WriteAll(pair.server, sent.substr(256));
        doneSeen = zykim::test::ReadExactly(pair.server, 256, 5000);
        pair.server.Reset();
    });
    ReceiveOptions options;
    options.folder = folder.Path().u8string();
    options.timeoutMs = 5000;
    std::memcpy(options.cookie.data(), "7174647", 8);
    std::vector<ReceivedFile> received;
    std::string error;
    const Socket connection = Adopt(std::move(pair.client));
    EXPECT_TRUE(RunReceiver(connection, options, &received, &error)) << error;
    sender.join();
    EXPECT_TRUE(ackSeen == back.substr(0, 256));
    EXPECT_TRUE(doneSeen == back.substr(256, 256));
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].name, "recipe.docx");
    EXPECT_EQ(received[0].size, 12008u);
    EXPECT_EQ(received[0].sha256, "f0f74a982a814640aedaa5fd6542ac810e8c5e257552bcc024a5c808343bccf9");
    EXPECT_EQ(received[0].checksum, 0xB1640000u);
    EXPECT_FALSE(received[0].allZero);
    EXPECT_TRUE(ReadFileBytes(folder.Path() / "recipe.docx") == sent.substr(256));
}

TEST(Receiver, ReportsABlankedBody) {
    ScratchFolder folder;
    zykim::test::SocketPair pair = zykim::test::MakeSocketPair();
    ASSERT_TRUE(pair.Valid());
    const std::string sent = SenderStream();
    std::thread sender([&] {
        zykim::test::WriteAll(pair.server, sent.substr(0, 256));
        zykim::test::ReadExactly(pair.server, 256, 5000);
        zykim::test::WriteAll(pair.server, std::string(12008, '\0'));
        zykim::test::ReadExactly(pair.server, 256, 5000);
        pair.server.Reset();
    });
    ReceiveOptions options;
    options.folder = folder.Path().u8string();
    options.timeoutMs = 5000;
    std::vector<ReceivedFile> received;
    std::string error;
    EXPECT_TRUE(RunReceiver(Adopt(std::move(pair.client)), options, &received, &error)) << error;
    sender.join();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_TRUE(received[0].allZero);
    EXPECT_EQ(received[0].size, 12008u);
    EXPECT_EQ(received[0].announcedChecksum, 0xB1640000u);
    EXPECT_NE(received[0].checksum, received[0].announcedChecksum);
}

TEST(Receiver, GivesUpWhenTheSenderGoesSilent) {
    ScratchFolder folder;
    zykim::test::SocketPair pair = zykim::test::MakeSocketPair();
    ASSERT_TRUE(pair.Valid());
    const std::string sent = SenderStream();
    // The prompt and part of the body, then nothing.
    ASSERT_TRUE(zykim::test::WriteAll(pair.server, sent.substr(0, 1000)));
    ReceiveOptions options;
    options.folder = folder.Path().u8string();
    options.timeoutMs = 300;
    std::vector<ReceivedFile> received;
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(RunReceiver(Adopt(std::move(pair.client)), options, &received, &error));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_NE(error.find("744 of 12008"), std::string::npos) << error;
    EXPECT_TRUE(received.empty());
}

// The sender announces the recorded body as the recorded client did (but for its
// own modification time) and finishes on the recorded receiver's answers.
TEST(Sender, SendsTheRecordedPromptAndBody) {
    ScratchFolder folder;
    const std::string sent = SenderStream();
    const fs::path file = folder.Path() / "recipe.docx";
    WriteFileBytes(file, sent.substr(256));
    zykim::test::SocketPair pair = zykim::test::MakeSocketPair();
    ASSERT_TRUE(pair.Valid());
    const std::string back = ReceiverStream();
    std::string promptSeen, bodySeen;
    std::thread receiver([&] {
        promptSeen = zykim::test::ReadExactly(pair.server, 256, 5000);
        zykim::test::WriteAll(pair.server, back.substr(0, 256));
        bodySeen = zykim::test::ReadExactly(pair.server, 12008, 5000);
        zykim::test::WriteAll(pair.server, back.substr(256, 256));
        pair.server.Reset();
    });
    SendOptions options;
    options.files = {file.u8string()};
    options.timeoutMs = 5000;
    std::vector<SentFile> done;
    std::string error;
    EXPECT_TRUE(RunSender(Adopt(std::move(pair.client)), options, &done, &error)) << error;
    receiver.join();
    ASSERT_EQ(promptSeen.size(), 256u);
    std::string expected = sent.substr(0, 256);
    std::memcpy(&expected[36], &promptSeen[36], 4);  // the file's modification time
    EXPECT_TRUE(promptSeen == expected);
    EXPECT_NE(promptSeen.substr(36, 4), std::string(4, '\0'));
    EXPECT_TRUE(bodySeen == sent.substr(256));
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].checksum, 0xB1640000u);
    EXPECT_EQ(done[0].receivedChecksum, 0xB1640000u);
    EXPECT_EQ(done[0].receivedBytes, 12008u);
}

TEST(Session, SeveralFilesOneAfterTheOtherOverLoopback) {
    ScratchFolder from, to;
    std::mt19937 random(7);
    std::string large(1536 * 1024 + 3, '\0');
    for (char& c : large) c = static_cast<char>(random());
    const std::vector<std::pair<std::string, std::string>> files = {
        {"first.txt", "hello\n"}, {"large.bin", large}, {"empty", ""}, {"sub first.txt", "x"}};
    SendOptions sendOptions;
    for (const auto& f : files) {
        WriteFileBytes(from.Path() / f.first, f.second);
        sendOptions.files.push_back((from.Path() / f.first).u8string());
    }
    // The same name twice in one session does not overwrite the first file.
    fs::create_directories(from.Path() / "again");
    WriteFileBytes(from.Path() / "again" / "first.txt", "second copy");
    sendOptions.files.push_back((from.Path() / "again" / "first.txt").u8string());
    sendOptions.cookie = MakeCookie();
    sendOptions.timeoutMs = 10000;

    std::string error;
    const Socket listener = Listen(Address{"127.0.0.1", 0}, &error);
    ASSERT_TRUE(listener.Valid()) << error;
    const uint16_t port = LocalPort(listener);
    std::vector<SentFile> sent;
    std::string sendError;
    bool sendOk = false;
    std::thread sender([&] {
        const Socket connection = Accept(listener, 10000, &sendError);
        if (connection.Valid()) sendOk = RunSender(connection, sendOptions, &sent, &sendError);
    });
    ReceiveOptions receiveOptions;
    receiveOptions.folder = to.Path().u8string();
    receiveOptions.timeoutMs = 10000;
    std::vector<ReceivedFile> received;
    const Socket connection = Connect(Address{"127.0.0.1", port}, 5000, &error);
    ASSERT_TRUE(connection.Valid()) << error;
    EXPECT_TRUE(RunReceiver(connection, receiveOptions, &received, &error)) << error;
    sender.join();
    EXPECT_TRUE(sendOk) << sendError;

    ASSERT_EQ(received.size(), 5u);
    ASSERT_EQ(sent.size(), 5u);
    for (size_t i = 0; i < files.size(); ++i) {
        EXPECT_EQ(received[i].name, files[i].first);
        EXPECT_EQ(received[i].size, files[i].second.size());
        EXPECT_EQ(received[i].sha256, Sha256Hex(files[i].second.data(), files[i].second.size()));
        EXPECT_EQ(received[i].sha256, sent[i].sha256);
        EXPECT_EQ(received[i].checksum, received[i].announcedChecksum);
        EXPECT_EQ(sent[i].receivedChecksum, sent[i].checksum);
        EXPECT_TRUE(ReadFileBytes(fs::u8path(received[i].path)) == files[i].second) << files[i].first;
    }
    EXPECT_EQ(received[4].name, "first.txt");
    EXPECT_NE(received[4].path, received[0].path);
    EXPECT_EQ(ReadFileBytes(fs::u8path(received[4].path)), "second copy");
    EXPECT_EQ(ReadFileBytes(fs::u8path(received[0].path)), "hello\n");
}

// A plain TCP forwarder on loopback standing in for the proxy: one connection, bytes
// from upstream to the client through `transform` (given the stream offset). As a
// SOCKS5 proxy, it first takes the client's handshake with zykproxy's parser, records
// the request, and connects to its upstream whatever the destination; when refusing,
// it answers "connection refused" instead.
class Forwarder {
public:
    using Transform = std::function<void(size_t offset, std::string* bytes)>;
    enum class Mode { kPlain, kSocks5, kSocks5Refusing };

    Forwarder(uint16_t upstreamPort, Transform transform, Mode mode = Mode::kPlain)
        : m_upstreamPort(upstreamPort), m_transform(std::move(transform)), m_mode(mode) {
        EXPECT_TRUE(m_listener.Open());
        m_thread = std::thread([this] { Run(); });
    }
    ~Forwarder() { Finish(); }
    uint16_t Port() const { return m_listener.Port(); }
    // Waits for the connection to end; then the SOCKS5 request is there to look at.
    void Finish() {
        if (m_thread.joinable()) m_thread.join();
    }
    const zykproxy::accept::Request& Request() const { return m_request; }

private:
    static void Pump(const zykim::test::Socket& from, const zykim::test::Socket& to,
                     const Transform& transform) {
        char buffer[4096];
        size_t offset = 0;
        while (zykim::test::WaitReadable(from, 10000)) {
            const int n = zykim::test::ReceiveSome(from, buffer, sizeof buffer);
            if (n <= 0) break;
            std::string bytes(buffer, static_cast<size_t>(n));
            if (transform) transform(offset, &bytes);
            offset += static_cast<size_t>(n);
            if (!zykim::test::WriteAll(to, bytes)) break;
        }
        zykim::test::ShutdownWrite(to);
    }
    // The SOCKS5 handshake up to the request; *early gets what the client sent after it.
    bool TakeHandshake(const zykim::test::Socket& client, std::string* early) {
        using State = zykproxy::accept::Handshake::State;
        zykproxy::accept::Handshake handshake(nullptr);
        std::string kept;
        char buffer[512];
        while (handshake.GetState() == State::kNeedMore && zykim::test::WaitReadable(client, 10000)) {
            const int n = zykim::test::ReceiveSome(client, buffer, sizeof buffer);
            if (n <= 0) break;
            kept.append(buffer, static_cast<size_t>(n));
            const auto progress = handshake.Feed(kept.data(), kept.size());
            kept.erase(0, progress.consumed);
            if (!zykim::test::WriteAll(client, progress.reply)) break;
        }
        m_request = handshake.GetRequest();
        *early = kept;
        return handshake.GetState() == State::kRequest;
    }
    void Run() {
        using namespace zykproxy::accept;
        zykim::test::Socket client = m_listener.Accept(10000);
        if (!client.Valid()) return;
        std::string early;
        if (m_mode != Mode::kPlain && !TakeHandshake(client, &early)) return;
        if (m_mode == Mode::kSocks5Refusing) {
            zykim::test::WriteAll(client, FailureReply(Protocol::kSocks5, Failure::kConnectionRefused));
            return;
        }
        zykim::test::Socket upstream = zykim::test::ConnectLoopback(m_upstreamPort);
        if (!upstream.Valid()) return;
        zyk::net::IpEndpoint bound;
        if (m_mode == Mode::kSocks5 &&
            (!zyk::net::LocalAddress(upstream.Get(), &bound) ||
             !zykim::test::WriteAll(client, SuccessReply(Protocol::kSocks5, bound)) ||
             !zykim::test::WriteAll(upstream, early)))
            return;
        std::thread up([&] { Pump(client, upstream, nullptr); });
        Pump(upstream, client, m_transform);
        up.join();
    }

    zykim::test::Listener m_listener;
    uint16_t m_upstreamPort;
    Transform m_transform;
    Mode m_mode;
    zykproxy::accept::Request m_request;
    std::thread m_thread;
};

ReplayOutcome ReplayThrough(const Forwarder::Transform& transform, std::string* report,
                            int timeoutMs = 5000) {
    Recording recording;
    std::string error;
    EXPECT_TRUE(LoadRecording(kData, &recording, &error)) << error;
    const Socket listener = Listen(Address{"127.0.0.1", 0}, &error);
    EXPECT_TRUE(listener.Valid()) << error;
    Forwarder forwarder(LocalPort(listener), transform);
    ReplayOptions options;
    options.proxy = Address{"127.0.0.1", forwarder.Port()};
    options.timeoutMs = timeoutMs;
    options.segmentGapMs = 1;
    return RunReplay(listener, recording, options, report);
}

// oftpeer's SOCKS5 client against zykproxy's parser: the destination as a name and as
// addresses, the reply's bound address taken off whole (the replay would differ by its
// bytes otherwise), and a failure reply told with its meaning.
TEST(Socks5, ReplayThroughAProxyOfZykproxysParser) {
    Recording recording;
    std::string error;
    ASSERT_TRUE(LoadRecording(kData, &recording, &error)) << error;
    const Socket listener = Listen(Address{"127.0.0.1", 0}, &error);
    ASSERT_TRUE(listener.Valid()) << error;
    Forwarder forwarder(LocalPort(listener), nullptr, Forwarder::Mode::kSocks5);
    ReplayOptions options;
    options.socks5 = Address{"127.0.0.1", forwarder.Port()};
    options.proxy = Address{"localhost", LocalPort(listener)};
    options.timeoutMs = 5000;
    std::string report;
    EXPECT_EQ(RunReplay(listener, recording, options, &report), ReplayOutcome::kIdentical) << report;
    forwarder.Finish();
    EXPECT_EQ(forwarder.Request().destination.name, "localhost");
    EXPECT_EQ(forwarder.Request().destination.port, LocalPort(listener));

    const struct {
        const char* host;
        const char* seen;
    } refused[] = {{"203.0.113.5", "203.0.113.5:5190"}, {"2001:db8::5", "[2001:db8::5]:5190"}};
    for (const auto& c : refused) {
        Forwarder refusing(0, nullptr, Forwarder::Mode::kSocks5Refusing);
        const Socket s = ConnectThroughSocks5(Address{"127.0.0.1", refusing.Port()}, Address{c.host, 5190},
                                              5000, &error);
        EXPECT_FALSE(s.Valid());
        EXPECT_NE(error.find("connection refused (reply 05)"), std::string::npos) << error;
        refusing.Finish();
        EXPECT_FALSE(refusing.Request().destination.IsName());
        EXPECT_EQ(refusing.Request().destination.Text(), c.seen);
    }
}

TEST(Replay, ThroughAPlainForwarderTheClientGetsExactlyWhatWasSent) {
    std::string report;
    EXPECT_EQ(ReplayThrough(nullptr, &report), ReplayOutcome::kIdentical) << report;
    EXPECT_NE(report.find("identical to what the server sent"), std::string::npos) << report;
}

TEST(Replay, ABlankingForwarderIsReportedAsBlanked) {
    std::string report;
    const auto blank = [](size_t offset, std::string* bytes) {
        for (size_t i = 0; i < bytes->size(); ++i)
            if (offset + i >= 256) (*bytes)[i] = '\0';
    };
    EXPECT_EQ(ReplayThrough(blank, &report), ReplayOutcome::kBlanked) << report;
    EXPECT_NE(report.find("the header and 12008 zero bytes"), std::string::npos) << report;
}

TEST(Replay, AnythingElseIsDifferent) {
    std::string report;
    // One changed byte in the body.
    const auto flip = [](size_t offset, std::string* bytes) {
        if (offset <= 5000 && 5000 < offset + bytes->size()) (*bytes)[5000 - offset] ^= 1;
    };
    EXPECT_EQ(ReplayThrough(flip, &report), ReplayOutcome::kDifferent) << report;
    EXPECT_NE(report.find("from byte 5000"), std::string::npos) << report;
    // The header blanked as well: not the blanked outcome.
    const auto blankAll = [](size_t, std::string* bytes) { bytes->assign(bytes->size(), '\0'); };
    EXPECT_EQ(ReplayThrough(blankAll, &report, 1000), ReplayOutcome::kDifferent) << report;
    // A body cut short: the client waits out the time-out and says so.
    const auto cut = [](size_t offset, std::string* bytes) {
        if (offset + bytes->size() > 12000) bytes->resize(offset >= 12000 ? 0 : 12000 - offset);
    };
    EXPECT_EQ(ReplayThrough(cut, &report, 500), ReplayOutcome::kDifferent) << report;
    EXPECT_NE(report.find("received 12000 of 12264"), std::string::npos) << report;
}

TEST(Replay, NoProxyMeansTheReplayFailed) {
    Recording recording;
    std::string error;
    ASSERT_TRUE(LoadRecording(kData, &recording, &error)) << error;
    const Socket listener = Listen(Address{"127.0.0.1", 0}, &error);
    ASSERT_TRUE(listener.Valid());
    // A port nobody listens on: take a free one and let it go.
    uint16_t unused = 0;
    {
        zykim::test::Listener probe;
        ASSERT_TRUE(probe.Open());
        unused = probe.Port();
    }
    ReplayOptions options;
    options.proxy = Address{"127.0.0.1", unused};
    options.timeoutMs = 300;
    std::string report;
    EXPECT_EQ(RunReplay(listener, recording, options, &report), ReplayOutcome::kFailed);
    EXPECT_NE(report.find("client side"), std::string::npos) << report;
}

// The rendezvous proxy's frames as OSCAR clients write them, and a session through
// oftpeer's server: a join with the wrong cookie refused, the right one relayed both
// ways until both directions have ended, a session nobody joins timed out.
TEST(Rendezvous, FramesAndASessionRelayedBothWays) {
    const std::vector<uint8_t> ready = {0x00, 0x0a, 0x04, 0x4a, 0x00, 0x05, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(SerializeRvFrame(RvFrame{kRvReady, 0, {}}), ready);
    RvRequest create;
    create.screenName = "me";
    create.cookie = DefaultRvCookie();
    std::vector<uint8_t> expected = {0x00, 0x29, 0x04, 0x4a, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 2, 'm', 'e',
                                     '1', '2', '3', '4', '5', '6', '7', 0, 0x00, 0x01, 0x00, 0x10,
                                     0x09, 0x46, 0x13, 0x43, 0x4C, 0x7F, 0x11, 0xD1, 0x82, 0x22, 0x44, 0x45, 0x53, 0x54, 0, 0};
    EXPECT_EQ(SerializeRvFrame(MakeRvRequest(create)), expected);

    std::string error;
    Socket listener = Listen(Address{"127.0.0.1", 0}, &error);
    ASSERT_TRUE(listener.Valid()) << error;
    const Address at{"127.0.0.1", LocalPort(listener)};
    RvServerOptions options;
    options.gapMs = 1;
    options.timeoutMs = 2000;
    RendezvousServer server(options);
    server.Start(std::move(listener));

    const Socket creator = Connect(at, 5000, &error);
    std::atomic<uint16_t> pin{0};
    std::string creatorError;
    bool entered = false;
    std::thread creating([&] {
        entered = EnterRendezvous(creator, create, 5000, [&](const RvSession& s) { pin = s.pin; }, &creatorError);
    });
    // The pin is known once `created` has come; a join with the wrong cookie is refused.
    for (int i = 0; i < 100 && pin == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    RvRequest join = create;
    join.join = true;
    join.pin = pin;
    join.cookie[0] = '9';
    EXPECT_FALSE(EnterRendezvous(Connect(at, 5000, &error), join, 5000, nullptr, &error));
    EXPECT_NE(error.find("error 0x000D, bad request"), std::string::npos) << error;
    join.cookie = create.cookie;
    const Socket joiner = Connect(at, 5000, &error);
    ASSERT_TRUE(EnterRendezvous(joiner, join, 5000, nullptr, &error)) << error;
    creating.join();
    ASSERT_TRUE(entered) << creatorError;
    ASSERT_TRUE(SendAll(joiner, "ping", 4, 5000, &error));
    ShutdownSend(joiner);
    char got[8];
    size_t n = 0;
    EXPECT_EQ(ReadExactly(creator, got, 4, 5000, &n, &error), ReadStatus::kComplete);
    EXPECT_EQ(std::string(got, n), "ping");
    EXPECT_EQ(ReadExactly(creator, got, 1, 5000, &n, &error), ReadStatus::kClosed);
    ASSERT_TRUE(SendAll(creator, "pong", 4, 5000, &error));
    ShutdownSend(creator);
    EXPECT_EQ(ReadExactly(joiner, got, 5, 5000, &n, &error), ReadStatus::kClosed);
    EXPECT_EQ(std::string(got, n), "pong");
    EXPECT_TRUE(server.WaitForRelayed(1, 5000));

    // Nobody joins: the accept period runs out.
    EXPECT_FALSE(EnterRendezvous(Connect(at, 5000, &error), create, 5000, nullptr, &error));
    EXPECT_NE(error.find("error 0x001A, accept period timed out"), std::string::npos) << error;
}

TEST(Address, Parsing) {
    Address a;
    EXPECT_TRUE(ParseAddress("127.0.0.1:5190", &a));
    EXPECT_EQ(a.host, "127.0.0.1");
    EXPECT_EQ(a.port, 5190);
    EXPECT_TRUE(ParseAddress("localhost:0", &a));
    EXPECT_FALSE(ParseAddress("127.0.0.1", &a));
    EXPECT_FALSE(ParseAddress(":80", &a));
    EXPECT_FALSE(ParseAddress("host:", &a));
    EXPECT_FALSE(ParseAddress("host:65536", &a));
    EXPECT_FALSE(ParseAddress("host:12x", &a));
}

}  // namespace
