// End to end: zykproxy as the proxy that messengers are pointed at. SOCKS5 and HTTP
// CONNECT on one port, driven by curl (natively) and by oftpeer's SOCKS5 client; a
// transfer through a rendezvous proxy server behind it; the refusals with the replies
// their RFCs give and nothing forwarded; and transparent mode behind an nftables
// redirect in a network namespace of the test's own.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "e2e/e2e_support.h"
#include "rendezvous.h"
#include "rendezvous_server.h"
#include "socks5.h"

namespace zykim::e2e {
namespace {

using zykim::test::ScratchDir;
using zykproxy::test::RandomBytes;
using zykproxy::test::ReadToEnd;
using zykproxy::test::ReadUpTo;

// zykproxy's proxy port with the given options, and a server behind it.
struct ProxyPort {
    // The scanner of the transfer tests, and the file it finds: natively the clamav
    // scanner inside zykproxy with the shipped signatures and the EICAR test file.
    static std::vector<std::string> ScannerOptions() {
#ifdef _WIN32
        // No clamav inside zykproxy.exe: the command scanner stands in for it.
        return {"--scanner", "command", "--scan-command", Built(ZYK_E2E_SCANNER), "--scan-arg", "marker"};
#else
        return {};
#endif
    }
    static std::string TestFile() {
#ifdef _WIN32
        return InfectedContent(4000, 3);
#else
        return zykproxy::test::EicarTestFile();
#endif
    }

    ScratchDir work, held;
    ScriptedUpstream upstream;
    ProxyProcess proxy;

    bool Start(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"--listen", "127.0.0.1:0", "--socks5"};
        args.insert(args.end(), extra.begin(), extra.end());
        return proxy.Start(args, held.Path(), work.File("zykproxy.log"));
    }
    std::string Server() const { return "127.0.0.1:" + std::to_string(upstream.Port()); }
    // The server answers one HTTP request with "hello".
    void PushHello() {
        upstream.Push([](znet::Socket s) {
            std::string request;
            while (request.find("\r\n\r\n") == std::string::npos) {
                const std::string more = ReadUpTo(s.Get(), 1, 5000);
                if (more.empty()) return;
                request += more;
            }
            const std::string reply = "HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nhello\n";
            znet::SendAll(s.Get(), reply.data(), reply.size());
        });
    }
};

// SOCKS5 bytes by hand, for what no client here sends: the reply to `request` after a
// greeting without authentication; empty when the proxy closed without a word.
std::string Socks5Reply(uint16_t proxyPort, const std::string& request, znet::Socket* keep = nullptr) {
    znet::Socket s = zykproxy::test::ConnectTo(proxyPort);
    znet::SendAll(s.Get(), "\x05\x01\x00", 3);
    const std::string method = ReadUpTo(s.Get(), 2, 5000);
    if (method != std::string("\x05\x00", 2)) return method;
    znet::SendAll(s.Get(), request.data(), request.size());
    const std::string reply = ReadUpTo(s.Get(), 10, 10000);
    if (keep != nullptr) *keep = std::move(s);
    return reply;
}

std::string Port16(uint16_t port) {
    return std::string{static_cast<char>(port >> 8), static_cast<char>(port & 0xFF)};
}

// CONNECT to a name (address type 3).
std::string ConnectToName(const std::string& name, uint16_t port) {
    return std::string("\x05\x01\x00\x03", 4) + static_cast<char>(name.size()) + name + Port16(port);
}

TEST(ProxyPort, RefusalsGetTheirRepliesAndNothingIsForwarded) {
    ProxyPort p;
    ASSERT_TRUE(p.Start({"--scanner", "none", "--allow-ports", "1-1023"}));
    const uint16_t port = p.proxy.Port();
    const std::string ipv4 = std::string("\x05\x01\x00\x01\x7F\x00\x00\x01", 8);
    // A destination port outside --allow-ports: 02, not allowed.
    EXPECT_EQ(Socks5Reply(port, ipv4 + Port16(p.upstream.Port())).substr(0, 2), std::string("\x05\x02", 2));
    // BIND: 07, command not supported.
    EXPECT_EQ(Socks5Reply(port, std::string("\x05\x02\x00\x01\x7F\x00\x00\x01", 8) + Port16(80)).substr(0, 2),
              std::string("\x05\x07", 2));
    // Nothing listens on port 9 here: 05, connection refused.
    EXPECT_EQ(Socks5Reply(port, ipv4 + Port16(9)).substr(0, 2), std::string("\x05\x05", 2));
    // A name that does not resolve: 04, host unreachable.
    EXPECT_EQ(Socks5Reply(port, ConnectToName("nohost.invalid", 80)).substr(0, 2), std::string("\x05\x04", 2));
    // HTTP CONNECT to a refused port: 403.
    {
        znet::Socket s = p.proxy.Connect();
        const std::string request = "CONNECT " + p.Server() + " HTTP/1.1\r\nHost: " + p.Server() + "\r\n\r\n";
        znet::SendAll(s.Get(), request.data(), request.size());
        std::string reply;
        ReadToEnd(s.Get(), &reply, 5000);
        EXPECT_EQ(reply.rfind("HTTP/1.1 403 ", 0), 0u) << reply;
    }
    EXPECT_EQ(p.upstream.Accepted(), 0);

    // A client outside --allow-clients is closed without a reply.
    ProxyPort q;
    ASSERT_TRUE(q.Start({"--scanner", "none", "--allow-clients", "192.0.2.0/24"}));
    EXPECT_EQ(Socks5Reply(q.proxy.Port(), ipv4 + Port16(q.upstream.Port())), "");
    EXPECT_EQ(q.upstream.Accepted(), 0);

    p.proxy.Stop();
    q.proxy.Stop();
    const std::string log = p.proxy.Log() + q.proxy.Log();
    EXPECT_NE(log.find("is not allowed (--allow-clients); closed without a reply"), std::string::npos) << log;
#ifndef _WIN32  // there the stop is a termination: no summary
    EXPECT_NE(log.find("(2 upstream unreachable, 3 refused)"), std::string::npos) << log;
    EXPECT_NE(log.find("(0 upstream unreachable, 1 refused)"), std::string::npos) << log;
#endif
}

// A client may send its first bytes without waiting for the reply, in the same segment
// as its SOCKS5 or CONNECT request: they reach the server, and its answer comes back
// behind the proxy's reply.
TEST(ProxyPort, BytesSentWithTheRequestGoToTheServerFirst) {
    ProxyPort p;
    ASSERT_TRUE(p.Start({"--scanner", "none"}));
    const std::string socks5 = std::string("\x05\x01\x00\x05\x01\x00\x01\x7F\x00\x00\x01", 11) +
                               Port16(p.upstream.Port());
    const std::string http = "CONNECT " + p.Server() + " HTTP/1.1\r\nHost: " + p.Server() + "\r\n\r\n";
    const std::string httpReply = "HTTP/1.1 200 Connection established\r\n\r\n";
    for (const auto& [request, replySize] : {std::make_pair(socks5, size_t{2 + 10}),
                                             std::make_pair(http, httpReply.size())}) {
        p.upstream.Push([](znet::Socket s) {
            const std::string first = ReadUpTo(s.Get(), 10, 5000);
            znet::SendAll(s.Get(), ("got " + first).data(), 4 + first.size());
            std::string rest;
            ReadToEnd(s.Get(), &rest, 5000);
        });
        znet::Socket s = p.proxy.Connect();
        const std::string segment = request + "first-byte";
        ASSERT_TRUE(znet::SendAll(s.Get(), segment.data(), segment.size()));
        const std::string reply = ReadUpTo(s.Get(), replySize, 5000);
        if (request == http) EXPECT_EQ(reply, httpReply);
        else EXPECT_EQ(reply.substr(0, 6), std::string("\x05\x00\x05\x00\x00\x01", 6));
        EXPECT_EQ(ReadUpTo(s.Get(), 14, 5000), "got first-byte") << request.substr(0, 7);
    }
    EXPECT_EQ(p.upstream.Accepted(), 2);
}

// An OFT2 session through the proxy port: the test file arrives as zeros, the other one
// intact, and the check's log line names where the connection went.
TEST(ProxyPort, AFileTransferThroughSocks5IsScannedLikeAForwardedOne) {
    ProxyPort p;
    const std::string bad = ProxyPort::TestFile();
    ASSERT_TRUE(p.Start(ProxyPort::ScannerOptions()));
    ScratchDir files, out;
    const std::string good = RandomBytes(150000, 4);
    const auto sender = PushSender(p.upstream, {WriteFile(files, "song.mp3", good), WriteFile(files, "eicar.com", bad)});
    std::string error;
    oftpeer::Socket s = oftpeer::ConnectThroughSocks5(oftpeer::Address{"127.0.0.1", p.proxy.Port()},
                                                      oftpeer::Address{"127.0.0.1", p.upstream.Port()},
                                                      10000, &error);
    ASSERT_TRUE(s.Valid()) << error;
    oftpeer::ReceiveOptions options;
    options.folder = out.Path();
    options.timeoutMs = 20000;
    std::vector<oftpeer::ReceivedFile> received;
    ASSERT_TRUE(oftpeer::RunReceiver(std::move(s), options, &received, &error)) << error;
    ASSERT_TRUE(sender->Wait());
    ASSERT_EQ(received.size(), 2u);
    EXPECT_TRUE(ReadWholeFile(received[0].path) == good);
    EXPECT_EQ(ReadWholeFile(received[1].path), std::string(bad.size(), '\0'));
    ASSERT_TRUE(p.proxy.WaitForEnded(1));
    EXPECT_EQ(p.held.HeldFiles(), std::vector<std::string>{});
    const std::string log = p.proxy.Log();
    EXPECT_NE(log.find("(to " + p.Server() + ") check 2 \"eicar.com\""), std::string::npos) << log;
    EXPECT_NE(log.find(": INFECTED ("), std::string::npos) << log;
}

// One side of a session through oftpeer's rendezvous proxy server: creates the session
// (and tells its pin) or joins it by the pin it is told, then runs its transfer.
struct RendezvousSide {
    bool create = false;
    std::promise<uint16_t>* pin = nullptr;
    bool Enter(const oftpeer::Socket& s, std::string* error) const {
        oftpeer::RvRequest request;
        request.join = !create;
        request.cookie = oftpeer::DefaultRvCookie();
        if (!create) {
            std::future<uint16_t> told = pin->get_future();
            if (told.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
                *error = "no pin to join";
                return false;
            }
            request.pin = told.get();
        }
        return oftpeer::EnterRendezvous(s, request, 20000, [this](const oftpeer::RvSession& session) {
            pin->set_value(session.pin);
        }, error);
    }
};

// The receiver reaches the rendezvous proxy through the proxy port, as a messenger set to
// always use the rendezvous proxy, with zykproxy as its SOCKS5 proxy, does; the sender
// reaches it directly. Whichever side creates the session, the proxy's frames come first,
// each in a read of its own, and the files are still checked.
class Rendezvous : public ::testing::TestWithParam<bool> {};

TEST_P(Rendezvous, ThroughTheProxyPortTheTestFileArrivesAsZerosAndACleanOneIntact) {
    const bool receiverCreates = GetParam();
    ProxyPort p;
    ASSERT_TRUE(p.Start(ProxyPort::ScannerOptions()));
    std::string error;
    oftpeer::Socket listener = oftpeer::Listen(oftpeer::Address{"127.0.0.1", 0}, &error);
    ASSERT_TRUE(listener.Valid()) << error;
    const oftpeer::Address rvAddress{"127.0.0.1", oftpeer::LocalPort(listener)};
    oftpeer::RvServerOptions rvOptions;
    rvOptions.timeoutMs = 20000;
    oftpeer::RendezvousServer rv(rvOptions);
    rv.Start(std::move(listener));

    ScratchDir files, out;
    const std::string good = RandomBytes(150000, 5), bad = ProxyPort::TestFile();
    std::promise<uint16_t> pin;
    const RendezvousSide senderSide{!receiverCreates, &pin}, receiverSide{receiverCreates, &pin};
    oftpeer::SendOptions sendOptions;
    sendOptions.files = {WriteFile(files, "song.mp3", good), WriteFile(files, "eicar.com", bad)};
    sendOptions.timeoutMs = 20000;
    std::string sendError;
    bool sendOk = false;
    std::thread sender([&] {
        const oftpeer::Socket s = oftpeer::Connect(rvAddress, 10000, &sendError);
        std::vector<oftpeer::SentFile> sent;
        sendOk = s.Valid() && senderSide.Enter(s, &sendError) && oftpeer::RunSender(s, sendOptions, &sent, &sendError);
    });
    oftpeer::Socket s = oftpeer::ConnectThroughSocks5(oftpeer::Address{"127.0.0.1", p.proxy.Port()}, rvAddress,
                                                      10000, &error);
    oftpeer::ReceiveOptions options;
    options.folder = out.Path();
    options.timeoutMs = 20000;
    std::vector<oftpeer::ReceivedFile> received;
    const bool receiveOk = s.Valid() && receiverSide.Enter(s, &error) && oftpeer::RunReceiver(s, options, &received, &error);
    sender.join();
    ASSERT_TRUE(receiveOk) << error;
    ASSERT_TRUE(sendOk) << sendError;
    ASSERT_EQ(received.size(), 2u);
    EXPECT_TRUE(ReadWholeFile(received[0].path) == good);
    EXPECT_EQ(ReadWholeFile(received[1].path), std::string(bad.size(), '\0'));
    ASSERT_TRUE(p.proxy.WaitForEnded(1));
    EXPECT_EQ(p.held.HeldFiles(), std::vector<std::string>{});
    const std::string log = p.proxy.Log();
    EXPECT_NE(log.find("\"song.mp3\" 150000 bytes: clean, passed"), std::string::npos) << log;
    EXPECT_NE(log.find("\"eicar.com\" " + std::to_string(bad.size()) + " bytes: INFECTED ("), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(ReceiverSide, Rendezvous, ::testing::Bool(), [](const ::testing::TestParamInfo<bool>& info) {
    return std::string(info.param ? "ReceiverCreates" : "ReceiverJoins");
});

#ifdef _WIN32
TEST(Transparent, NeedsLinuxAndSaysSo) {
    ScratchDir work;
    zykproxy::process::ChildProcess proxy;
    zykproxy::process::StartOptions options;
    options.stderrPath = work.File("err");
    std::string error;
    ASSERT_TRUE(proxy.Start(Built(ZYK_E2E_ZYKPROXY), {"--listen", "127.0.0.1:0", "--transparent", "--scanner", "none"},
                            options, &error));
    int code = -1;
    ASSERT_TRUE(proxy.Wait(20000, &code));
    EXPECT_EQ(code, 2);
    EXPECT_NE(ReadWholeFile(work.File("err")).find("--transparent needs Linux"), std::string::npos);
}
#else

struct CurlRun {
    int code = -1;
    std::string out;
};

CurlRun Curl(std::vector<std::string> args) {
    CurlRun r;
    args.insert(args.begin(), {"--silent", "--show-error", "--max-time", "10", "--noproxy", ""});
    zykproxy::process::ChildProcess curl;
    zykproxy::process::StartOptions options;
    options.captureStdout = true;
    std::string error;
    if (!curl.Start("curl", args, options, &error)) {
        ADD_FAILURE() << error;
        return r;
    }
    for (std::string line; curl.ReadStdoutLine(&line, 15000);) r.out += line;
    curl.Wait(15000, &r.code);
    return r;
}

TEST(ProxyPort, CurlGoesThroughWithEveryWayOfNamingItsServer) {
    ProxyPort p;
    ASSERT_TRUE(p.Start({"--scanner", "none"}));
    const std::string proxy = "127.0.0.1:" + std::to_string(p.proxy.Port());
    const std::string port = std::to_string(p.upstream.Port());
    for (const std::vector<std::string>& way : {
             std::vector<std::string>{"--socks5", proxy, "http://127.0.0.1:" + port + "/"},
             std::vector<std::string>{"--socks5-hostname", proxy, "http://localhost:" + port + "/"},
             std::vector<std::string>{"--proxytunnel", "--proxy", "http://" + proxy, "http://127.0.0.1:" + port + "/"}}) {
        p.PushHello();
        const CurlRun r = Curl(way);
        EXPECT_EQ(r.code, 0) << way[0];
        EXPECT_EQ(r.out, "hello") << way[0];
    }
    // An IP literal sent as a name is taken as the address (curl sends it as one).
    p.PushHello();
    znet::Socket s;
    EXPECT_EQ(Socks5Reply(p.proxy.Port(), ConnectToName("127.0.0.1", p.upstream.Port()), &s).substr(0, 2),
              std::string("\x05\x00", 2));
    znet::SendAll(s.Get(), "GET / HTTP/1.0\r\n\r\n", 18);
    std::string reply;
    ReadToEnd(s.Get(), &reply, 5000);
    EXPECT_NE(reply.find("hello"), std::string::npos) << reply;
    const std::string log = p.proxy.Log();
    EXPECT_NE(log.find("to localhost:" + port), std::string::npos) << log;
    EXPECT_EQ(CountOf(log, "to 127.0.0.1:" + port), 3u) << log;
}

TEST(ProxyPort, CurlWithTheRightUserGoesThroughAndWithAWrongOneDoesNot) {
    ProxyPort p;
    const std::string users = p.work.File("users");
    std::ofstream(users) << "alice:secret\n";
    std::filesystem::permissions(users, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    ASSERT_TRUE(p.Start({"--scanner", "none", "--socks-users", users}));
    const std::string proxy = "127.0.0.1:" + std::to_string(p.proxy.Port());
    const std::string url = "http://127.0.0.1:" + std::to_string(p.upstream.Port()) + "/";
    for (const char* user : {"alice:secret", "alice:wrong"}) {
        const bool right = std::string(user) == "alice:secret";
        for (const std::vector<std::string>& way :
             {std::vector<std::string>{"--socks5", proxy}, std::vector<std::string>{"--proxytunnel", "--proxy", "http://" + proxy}}) {
            if (right) p.PushHello();
            std::vector<std::string> args = way;
            args.insert(args.end(), {"--proxy-user", user, url});
            const CurlRun r = Curl(args);
            EXPECT_EQ(r.code == 0, right) << user << " " << way[0] << ": " << r.code;
            EXPECT_EQ(r.out, right ? "hello" : "") << user << " " << way[0];
        }
    }
    EXPECT_EQ(p.upstream.Accepted(), 2);
    // A users file that others may read is refused at start.
    ProxyPort open;
    std::ofstream(open.work.File("users")) << "bob:pw\n";
    std::filesystem::permissions(open.work.File("users"), std::filesystem::perms::others_read,
                                 std::filesystem::perm_options::add);
    zykproxy::process::ChildProcess refused;
    zykproxy::process::StartOptions options;
    options.stderrPath = open.work.File("err");
    std::string error;
    ASSERT_TRUE(refused.Start(Built(ZYK_E2E_ZYKPROXY), {"--listen", "127.0.0.1:0", "--socks5", "--socks-users",
                                                        open.work.File("users")},
                              options, &error));
    int code = -1;
    ASSERT_TRUE(refused.Wait(20000, &code));
    EXPECT_EQ(code, 2);
    EXPECT_NE(ReadWholeFile(open.work.File("err")).find("--socks-users"), std::string::npos);
}

// Transparent mode as on one machine whose own messenger connections a firewall sends to
// zykproxy: a network namespace with a veth pair, an nftables OUTPUT redirect that
// exempts zykproxy's user (nobody), the sender listening on the veth address and the
// receiver connecting to it. Needs root (for the namespace and for zykproxy's own user).
TEST(Transparent, ARedirectedTransferGoesToItsOriginalDestinationAndIsScanned) {
    const char* missing = nullptr;
    std::string tool;
    if (::geteuid() != 0) missing = "root";
    for (const char* t : {"unshare", "ip", "nft", "setpriv"})
        if (missing == nullptr && !zykproxy::process::FindProgram(t, &tool) &&
            !zykproxy::process::FindProgram(std::string("/usr/sbin/") + t, &tool))
            missing = t;
    if (missing != nullptr) GTEST_SKIP() << "transparent mode is not tested here: no " << missing;
    if (std::system("unshare -n true 2>/dev/null") != 0)
        GTEST_SKIP() << "transparent mode is not tested here: network namespaces are not allowed";

    ScratchDir work, held, files, out;
    std::filesystem::permissions(held.Path(), std::filesystem::perms::all | std::filesystem::perms::sticky_bit);
    WriteFile(files, "note.txt", "See you at eight.\n");
    WriteFile(files, "eicar.com", zykproxy::test::EicarTestFile());
    std::ofstream(work.File("run.sh"))
        << "set -e\n"
           "ip link set lo up\n"
           "ip link add zyk0 type veth peer name zyk1\n"
           "ip addr add 10.77.0.1/24 dev zyk0; ip addr add 10.77.0.2/24 dev zyk1\n"
           "ip link set zyk0 up; ip link set zyk1 up\n"
           "nft add table ip zyk\n"
           "nft 'add chain ip zyk out { type nat hook output priority -100; }'\n"
           "nft add rule ip zyk out meta skuid != 65534 ip daddr 10.77.0.2 tcp dport 5190 redirect to :15190\n"
           "TMPDIR='" << held.Path() << "' setpriv --reuid 65534 --regid 65534 --clear-groups '"
        << Built(ZYK_E2E_ZYKPROXY) << "' --transparent --listen 127.0.0.1:15190 --plugin '"
        << Built(ZYK_E2E_PLUGIN) << "' --verbose >'" << work.File("proxy.out") << "' 2>'" << work.File("proxy.log")
        << "' &\nproxy=$!\n"
           "(cd '" << files.Path() << "' && exec '" << Built(ZYK_E2E_OFTPEER)
        << "' send --listen 10.77.0.2:5190 --timeout 30 note.txt eicar.com) >'" << work.File("send.out") << "' &\n"
           "for i in $(seq 200); do grep -q listening '" << work.File("proxy.out") << "' && grep -q listening '"
        << work.File("send.out") << "' && break; sleep 0.1; done\n"
           "'" << Built(ZYK_E2E_OFTPEER) << "' recv --connect 10.77.0.2:5190 --out '" << out.Path()
        << "' --timeout 30 >'" << work.File("recv.out") << "'\n"
           "wait %2 || true\nkill -TERM $proxy; wait $proxy\n";
    const int rc = std::system(("unshare -n sh '" + work.File("run.sh") + "' 2>'" + work.File("run.err") + "'").c_str());
    const std::string log = ReadWholeFile(work.File("proxy.log"));
    ASSERT_EQ(rc, 0) << ReadWholeFile(work.File("run.err")) << log;
    const std::string received = ReadWholeFile(work.File("recv.out"));
    EXPECT_NE(received.find("received note.txt size=18 "), std::string::npos) << received;
    EXPECT_NE(received.find(" checksum=ok zeros=no"), std::string::npos) << received;
    EXPECT_NE(received.find("received eicar.com size=68 "), std::string::npos) << received;
    EXPECT_NE(received.find(" zeros=yes"), std::string::npos) << received;
    EXPECT_NE(log.find("conn 1 to 10.77.0.2:5190"), std::string::npos) << log;
    EXPECT_NE(log.find("(to 10.77.0.2:5190) check 2 \"eicar.com\" 68 bytes: INFECTED"), std::string::npos) << log;
    EXPECT_EQ(held.HeldFiles(), std::vector<std::string>{});
}

#endif

}  // namespace
}  // namespace zykim::e2e
