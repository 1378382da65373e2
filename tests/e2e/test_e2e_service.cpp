// End to end: zykproxy as a service that runs for months. Signatures added to its
// database folder are used without a restart (--db-check, SIGHUP) and a corrupt one
// keeps the old ones; SIGHUP reads a new users file while a connection goes on; the
// service manager's socket hears READY=1, RELOADING=1 and STOPPING=1; promtool accepts
// the metrics during a transfer, and they move.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>

#include "common/deadline.h"
#include "e2e/e2e_support.h"
#include "support/md5.h"

#ifndef _WIN32
#include <sys/un.h>

#include "common/sockets.h"
#endif

namespace zykim::e2e {
namespace {

namespace fs = std::filesystem;
using zykim::test::ScratchDir;
using zykproxy::test::RandomBytes;
using zykproxy::test::ReadToEnd;
using zykproxy::test::ReadUpTo;

// Sets an environment variable for the programs started while the object lives.
class EnvironmentOverride {
public:
    EnvironmentOverride(const char* name, const std::string& value) : m_name(name) {
        zykproxy::platform::SetEnvironment(name, value.c_str());
    }
    ~EnvironmentOverride() { zykproxy::platform::SetEnvironment(m_name, ""); }

private:
    const char* m_name;
};

bool Intact(const ReceiverResult& r, const std::string& name, const std::string& content) {
    const auto* f = r.Find(name);
    return f != nullptr && ReadWholeFile(f->path) == content;
}

#ifndef _WIN32

bool Blocked(const ReceiverResult& r, const std::string& name, size_t size) {
    const auto* f = r.Find(name);
    return f != nullptr && ReadWholeFile(f->path) == std::string(size, '\0');
}

// A signature line (MD5 of the whole file) that the clamav scanner loads from a .hdb file.
std::string HashSignature(const std::string& content, const std::string& name) {
    return zykim::test::Md5Hex(std::vector<uint8_t>(content.begin(), content.end())) + ":" +
           std::to_string(content.size()) + ":" + name + "\n";
}

// Parameter: true, the signatures are looked at on SIGHUP only; false, every second.
class SignatureReload : public ::testing::TestWithParam<bool> {};

TEST_P(SignatureReload, ANewSignatureBlocksItsFileAndACorruptDatabaseKeepsTheOldOnes) {
    const bool onHangup = GetParam();
    ScratchDir work, held, files, db;
    for (const auto& entry : fs::directory_iterator(Built("zykproxy-signatures")))
        fs::copy_file(entry.path(), db.File(entry.path().filename().string()));
    ScriptedUpstream upstream;
    ProxyProcess proxy;
    ASSERT_TRUE(proxy.Start({"--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:" + std::to_string(upstream.Port()),
                             "--scanner", "clamav", "--clamav-db", db.Path(), "--db-check", onHangup ? "0" : "1"},
                            held.Path(), work.File("zykproxy.log")));
    const std::string threat = RandomBytes(120000, 91), clean = RandomBytes(50000, 92);
    const std::string threatFile = WriteFile(files, "new-threat.bin", threat);
    // Waits (after a SIGHUP, or for the next look) until the log has `text` `count` times.
    auto lookAgain = [&](const std::string& text, size_t count) {
        if (onHangup) {
            EXPECT_TRUE(proxy.Hangup());
        }
        return WaitUntil([&] { return CountOf(proxy.Log(), text) >= count; }, 15000);
    };

    const ReceiverResult before = Session(upstream, proxy, work.File("before"), {threatFile});
    EXPECT_TRUE(Intact(before, "new-threat.bin", threat)) << before.error;

    // The new threat's signature arrives, as an update brings it.
    std::ofstream(db.File("update.hdb")) << HashSignature(threat, "Zyk.Test.NewThreat");
    ASSERT_TRUE(lookAgain("signatures reloaded: 3 before, 4 after, loaded in ", 1)) << proxy.Log();
    const ReceiverResult after = Session(upstream, proxy, work.File("after"), {threatFile});
    EXPECT_TRUE(Blocked(after, "new-threat.bin", threat.size())) << after.error;

    // A database made corrupt: the signatures in force stay, and files are still checked.
    std::ofstream(db.File("broken.ndb")) << "Zyk.Test.Broken:0:*:not-hex\n";
    ASSERT_TRUE(lookAgain("signature reload failed", 1)) << proxy.Log();
    const ReceiverResult corrupt = Session(upstream, proxy, work.File("corrupt"),
                                           {threatFile, WriteFile(files, "clean.bin", clean)});
    EXPECT_TRUE(Blocked(corrupt, "new-threat.bin", threat.size())) << corrupt.error;
    EXPECT_TRUE(Intact(corrupt, "clean.bin", clean)) << corrupt.error;

    // Once it is mended the next look loads again, though the folder is as it was.
    fs::remove(db.File("broken.ndb"));
    ASSERT_TRUE(lookAgain("signatures reloaded: 4 before, 4 after", 1)) << proxy.Log();

    ASSERT_TRUE(proxy.WaitForEnded(3));
    proxy.Stop();
    const std::string log = proxy.Log();
    EXPECT_NE(log.find("check 1 \"new-threat.bin\" 120000 bytes: clean, passed"), std::string::npos) << log;
    EXPECT_NE(log.find("check 2 \"new-threat.bin\" 120000 bytes: INFECTED (Zyk.Test.NewThreat"), std::string::npos)
        << log;
    EXPECT_NE(log.find("the 4 signatures loaded before stay in force"), std::string::npos) << log;
    EXPECT_NE(log.find("check 3 \"new-threat.bin\" 120000 bytes: INFECTED (Zyk.Test.NewThreat"), std::string::npos)
        << log;
    EXPECT_EQ(held.HeldFiles(), std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(Looks, SignatureReload, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("OnHangup") : std::string("EverySecond");
                         });

// SOCKS5 with username and password (RFC 1929) to 127.0.0.1:port; the connection, or an
// invalid socket when the proxy refused.
znet::Socket Socks5As(uint16_t proxyPort, const std::string& user, const std::string& password,
                      uint16_t port) {
    znet::Socket s = zykproxy::test::ConnectTo(proxyPort);
    const std::string login = std::string("\x01", 1) + static_cast<char>(user.size()) + user +
                              static_cast<char>(password.size()) + password;
    const std::string connect = std::string("\x05\x01\x00\x01\x7F\x00\x00\x01", 8) +
                                static_cast<char>(port >> 8) + static_cast<char>(port & 0xFF);
    if (!znet::SendAll(s.Get(), "\x05\x01\x02", 3) || ReadUpTo(s.Get(), 2) != std::string("\x05\x02", 2) ||
        !znet::SendAll(s.Get(), login.data(), login.size()) ||
        ReadUpTo(s.Get(), 2) != std::string("\x01\x00", 2) ||
        !znet::SendAll(s.Get(), connect.data(), connect.size()) ||
        ReadUpTo(s.Get(), 10, 10000).substr(0, 2) != std::string("\x05\x00", 2))
        return znet::Socket();
    return s;
}

// curl through the proxy port as this user: whether it got the server's "hello".
bool CurlAs(uint16_t proxyPort, const std::string& user, uint16_t serverPort) {
    zykproxy::process::ChildProcess curl;
    zykproxy::process::StartOptions options;
    options.captureStdout = true;
    std::string error, out, line;
    if (!curl.Start("curl", {"--silent", "--max-time", "10", "--noproxy", "", "--socks5",
                             "127.0.0.1:" + std::to_string(proxyPort), "--proxy-user", user,
                             "http://127.0.0.1:" + std::to_string(serverPort) + "/"},
                    options, &error)) {
        ADD_FAILURE() << error;
        return false;
    }
    while (curl.ReadStdoutLine(&line, 15000)) out += line;
    int code = -1;
    curl.Wait(15000, &code);
    return code == 0 && out == "hello";
}

void PushHello(ScriptedUpstream& upstream) {
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

void WriteUsers(const std::string& path, const std::string& text, fs::perms perms) {
    std::ofstream(path, std::ios::trunc) << text;
    fs::permissions(path, perms);
}

TEST(Hangup, ANewUsersFileTakesEffectAndAnOpenConnectionKeepsGoing) {
    ScratchDir work, held;
    ScriptedUpstream upstream;
    ProxyProcess proxy;
    const std::string users = work.File("users");
    const fs::perms mine = fs::perms::owner_read | fs::perms::owner_write;
    WriteUsers(users, "alice:old-secret\n", mine);
    ASSERT_TRUE(proxy.Start({"--listen", "127.0.0.1:0", "--socks5", "--socks-users", users, "--scanner", "none"},
                            held.Path(), work.File("zykproxy.log")));
    // Alice's connection, to a server that echoes, stays open across the hangups.
    upstream.Push(&zykproxy::test::Echo);
    znet::Socket open = Socks5As(proxy.Port(), "alice", "old-secret", upstream.Port());
    ASSERT_TRUE(open.Valid());
    auto echoes = [&](const std::string& text) {
        return znet::SendAll(open.Get(), text.data(), text.size()) && ReadUpTo(open.Get(), text.size()) == text;
    };
    EXPECT_TRUE(echoes("before the hangup"));

    // Bob in place of Alice.
    WriteUsers(users, "bob:new-secret\n", mine);
    ASSERT_TRUE(proxy.Hangup());
    ASSERT_TRUE(WaitUntil([&] { return CountOf(proxy.Log(), "read again: 1 user(s), 1 before") == 1; }, 10000))
        << proxy.Log();
    PushHello(upstream);
    EXPECT_TRUE(CurlAs(proxy.Port(), "bob:new-secret", upstream.Port()));
    EXPECT_FALSE(CurlAs(proxy.Port(), "alice:old-secret", upstream.Port()));
    EXPECT_TRUE(echoes("after the hangup"));

    // A file that others may read is refused: Bob stays, Carol is not let in.
    WriteUsers(users, "carol:pw\n", mine | fs::perms::others_read);
    ASSERT_TRUE(proxy.Hangup());
    ASSERT_TRUE(WaitUntil([&] { return CountOf(proxy.Log(), "the 1 user(s) read before stay in force") == 1; },
                          10000))
        << proxy.Log();
    PushHello(upstream);
    EXPECT_TRUE(CurlAs(proxy.Port(), "bob:new-secret", upstream.Port()));
    EXPECT_FALSE(CurlAs(proxy.Port(), "carol:pw", upstream.Port()));
    EXPECT_TRUE(echoes("after the second hangup"));
    open.Close();
    proxy.Stop();
    const std::string log = proxy.Log();
    EXPECT_NE(log.find("can be read or changed by other users than its owner"), std::string::npos) << log;
    EXPECT_NE(log.find("(0 upstream unreachable, 2 refused)"), std::string::npos) << log;
}

// The service manager's side: a datagram socket in a scratch folder as NOTIFY_SOCKET.
class NotifySocket {
public:
    explicit NotifySocket(const std::string& path) : m_path(path) {
        m_fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        m_bound = m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() {
        if (m_fd >= 0) close(m_fd);
    }
    bool Bound() const { return m_bound; }
    // The next message that is neither a watchdog ping nor a status update alone; empty
    // after timeoutMs. Counts the pings.
    std::string Next(int timeoutMs = 10000) {
        const zyk::Deadline deadline(timeoutMs);
        for (;;) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, deadline.LeftMs()) != 1) return "";
            char buffer[4096];
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) return "";
            const std::string message(buffer, static_cast<size_t>(n));
            if (message == "WATCHDOG=1") ++pings;
            else if (message.rfind("STATUS=", 0) != 0) return message;
        }
    }
    int pings = 0;

private:
    std::string m_path;
    int m_fd = -1;
    bool m_bound = false;
};

TEST(ServiceManager, ReadyAfterTheListeningLineReloadingAroundAHangupStoppingOnTerm) {
    ScratchDir work, held;
    NotifySocket notify(work.File("notify.sock"));
    ASSERT_TRUE(notify.Bound());
    ScriptedUpstream upstream;
    ProxyProcess proxy;
    {
        EnvironmentOverride socket("NOTIFY_SOCKET", work.File("notify.sock"));
        EnvironmentOverride watchdog("WATCHDOG_USEC", "400000");
        // The default clamav scanner: READY=1 after a reload waits for its signatures.
        ASSERT_TRUE(proxy.Start({"--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:" + std::to_string(upstream.Port())},
                                held.Path(), work.File("zykproxy.log")));
    }
    const std::string ready = notify.Next();
    EXPECT_EQ(ready.rfind("READY=1\nSTATUS=connections 0 open, 0 total; ", 0), 0u) << ready;
    EXPECT_NE(proxy.Log().find("listening on 127.0.0.1:" + std::to_string(proxy.Port())), std::string::npos)
        << proxy.Log();
    // Pinged twice per period, for as long as the loop turns.
    EXPECT_TRUE(WaitUntil([&] { return notify.Next(100).empty() && notify.pings >= 3; }, 5000)) << notify.pings;

    ASSERT_TRUE(proxy.Hangup());
    const std::string reloading = notify.Next();
    ASSERT_EQ(reloading.rfind("RELOADING=1\nMONOTONIC_USEC=", 0), 0u) << reloading;
    EXPECT_GT(std::stoll(reloading.substr(reloading.find('=', 12) + 1)), 0);
    EXPECT_EQ(notify.Next().rfind("READY=1\nSTATUS=", 0), 0u);
    EXPECT_NE(proxy.Log().find("signatures unchanged"), std::string::npos) << proxy.Log();

    proxy.RequestStop();
    EXPECT_EQ(notify.Next(), "STOPPING=1");
    EXPECT_EQ(proxy.WaitForExit(), 0);
}

#endif  // _WIN32

// The metrics port's answer to one request: the whole HTTP answer.
std::string Scrape(uint16_t port, const std::string& path = "/metrics") {
    znet::Socket s = zykproxy::test::ConnectTo(port);
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::string answer;
    if (znet::SendAll(s.Get(), request.data(), request.size())) ReadToEnd(s.Get(), &answer, 10000);
    return answer;
}

// The value of one sample ("name{labels}") in a metrics answer; -1 when it is not there.
double Sample(const std::string& answer, const std::string& sample) {
    const size_t at = answer.find("\n" + sample + " ");
    return at == std::string::npos ? -1 : std::stod(answer.substr(at + sample.size() + 2));
}

#ifndef _WIN32  // promtool is not there under Wine
// promtool's verdict on the metrics text: its exit code, 0 when it accepts them.
int Promtool(const ScratchDir& work, const std::string& answer) {
    const std::string text = work.File("metrics.txt");
    std::ofstream(text, std::ios::binary) << answer.substr(answer.find("\r\n\r\n") + 4);
    zykproxy::process::ChildProcess promtool;
    zykproxy::process::StartOptions options;
    options.stderrPath = work.File("promtool.err");
    std::string error;
    if (!promtool.Start("/bin/sh", {"-c", "exec promtool check metrics < '" + text + "'"}, options, &error))
        return -1;
    int code = -1;
    promtool.Wait(20000, &code);
    EXPECT_EQ(code, 0) << ReadWholeFile(work.File("promtool.err")) << answer;
    return code;
}
#endif

TEST(Metrics, PromtoolAcceptsThemDuringATransferAndTheyMove) {
    ScratchDir work, held, files;
    ScriptedUpstream upstream;
    ProxyProcess proxy;
    ASSERT_TRUE(proxy.Start({"--listen", "127.0.0.1:0", "--upstream", "127.0.0.1:" + std::to_string(upstream.Port()),
                             "--scanner", "none", "--metrics", "127.0.0.1:0"},
                            held.Path(), work.File("zykproxy.log")));
    std::string line;
    ASSERT_TRUE(proxy.ReadStdoutLine(&line) && line.rfind("metrics 127.0.0.1:", 0) == 0) << line;
    const uint16_t metrics = static_cast<uint16_t>(std::stoi(line.substr(line.rfind(':') + 1)));

    // A transfer under way: the server sends 64 KiB, then 64 KiB more when told to.
    auto more = std::make_shared<std::atomic<bool>>(false);
    const std::string half = RandomBytes(65536, 93);
    upstream.Push([more, half](znet::Socket s) {
        znet::SendAll(s.Get(), half.data(), half.size());
        WaitUntil([&] { return more->load(); }, 20000);
        znet::SendAll(s.Get(), half.data(), half.size());
        ReadUpTo(s.Get(), 1, 20000);  // until the client closes
    });
    // The bytes are counted once the call that moved them has returned to its loop.
    const std::string toClient = "zykproxy_bytes_total{direction=\"server_to_client\"}";
    auto scrapeUntil = [&](double bytes) {
        std::string answer;
        WaitUntil([&] { return Sample(answer = Scrape(metrics), toClient) >= bytes; }, 5000);
        return answer;
    };
    znet::Socket client = proxy.Connect();
    ASSERT_EQ(ReadUpTo(client.Get(), half.size()).size(), half.size());
    const std::string first = scrapeUntil(65536);
    ASSERT_EQ(first.rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << first;
    EXPECT_NE(first.find("Content-Type: text/plain; version=0.0.4"), std::string::npos) << first;
    EXPECT_EQ(Sample(first, "zykproxy_connections_open"), 1);
    EXPECT_EQ(Sample(first, toClient), 65536) << first;

    // A metrics client that sends nothing holds up neither the transfer nor, for longer
    // than its time limit (2 s), the next metrics client.
    znet::Socket stalled = zykproxy::test::ConnectTo(metrics);
    more->store(true);
    EXPECT_EQ(ReadUpTo(client.Get(), half.size()).size(), half.size());
    const auto asked = std::chrono::steady_clock::now();
    EXPECT_FALSE(Scrape(metrics).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
    const std::string second = scrapeUntil(2 * 65536.0);
    EXPECT_EQ(Sample(second, toClient), 2 * 65536.0) << second;
    client.Close();
    EXPECT_EQ(Scrape(metrics, "/").rfind("HTTP/1.1 404 ", 0), 0u);

    // A check moves the verdicts and the histogram.
    const ReceiverResult r = Session(upstream, proxy, work.File("out"), {WriteFile(files, "a.bin", half)});
    EXPECT_TRUE(Intact(r, "a.bin", half)) << r.error;
    ASSERT_TRUE(proxy.WaitForEnded(2));
    const std::string third = Scrape(metrics);
    EXPECT_EQ(Sample(third, "zykproxy_checks_total{verdict=\"unscanned\"}"), 1) << third;
    EXPECT_EQ(Sample(third, "zykproxy_check_duration_seconds_count"), 1) << third;
    EXPECT_EQ(Sample(third, "zykproxy_check_duration_seconds_bucket{le=\"+Inf\"}"), 1) << third;
    EXPECT_EQ(Sample(third, "zykproxy_connections_total{result=\"served\"}"), 2) << third;
    EXPECT_EQ(Sample(third, "zykproxy_connections_open"), 0) << third;
#ifndef _WIN32  // promtool is not there under Wine
    Promtool(work, first);
    Promtool(work, third);
#endif
    proxy.Stop();
}

}  // namespace
}  // namespace zykim::e2e
