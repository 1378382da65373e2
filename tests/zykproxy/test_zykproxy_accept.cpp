// The proxy port's handshake and access rules, for what the fuzzer cannot judge: the
// exact replies of each RFC case, credentials, the users file's permissions, the client
// and port lists' edges, and a socket's addresses.
#include <gtest/gtest.h>

#include <filesystem>

#include "accept/access.h"
#include "accept/handshake.h"
#include "zykproxy/helpers.h"

using namespace zykproxy;
using namespace zykproxy::accept;
using zykproxy::test::ScratchFile;
using State = Handshake::State;

namespace {

std::string Bytes(std::initializer_list<int> bytes) {
    std::string out;
    for (const int b : bytes) out.push_back(static_cast<char>(b));
    return out;
}

net::IpAddress Ip(const std::string& text) {
    net::IpAddress a;
    EXPECT_TRUE(net::ParseIpAddress(text, &a)) << text;
    return a;
}

Users TwoUsers() {
    Users users;
    std::string error;
    EXPECT_TRUE(ParseUsers("# proxy users\n\nalice:secret\r\nbob:p:ss word\n", &users, &error)) << error;
    return users;
}

// Everything a client sends at once: the replies of all steps and the final state.
struct Result {
    Handshake::Progress progress;
    Request request;
};
Result Shake(const Users* users, const std::string& bytes) {
    Handshake h(users);
    Result r{h.Feed(bytes.data(), bytes.size()), Request()};
    r.request = h.GetRequest();
    return r;
}

const std::string kNoAuth = Bytes({5, 1, 0});
const std::string kRequestIpv4 = Bytes({5, 1, 0, 1, 203, 0, 113, 5, 0x14, 0x46});

TEST(Socks5, RepliesAsTheRfcSays) {
    const Result ok = Shake(nullptr, kNoAuth + kRequestIpv4 + "OFT2");
    EXPECT_EQ(ok.progress.state, State::kRequest);
    EXPECT_EQ(ok.progress.reply, Bytes({5, 0}));
    EXPECT_EQ(ok.progress.consumed, 13u);  // not the application's "OFT2"
    EXPECT_EQ(ok.request.destination.Text(), "203.0.113.5:5190");

    const std::string refused07 = Bytes({5, 0, 5, 7, 0, 1, 0, 0, 0, 0, 0, 0});
    const Result bind = Shake(nullptr, kNoAuth + Bytes({5, 2, 0, 1, 10, 0, 0, 1, 0, 80}));
    EXPECT_EQ(bind.progress.state, State::kRefused);
    EXPECT_EQ(bind.progress.reply, refused07);
    EXPECT_EQ(Shake(nullptr, kNoAuth + Bytes({5, 3, 0, 1, 0, 0, 0, 0, 0, 0})).progress.reply, refused07);
    EXPECT_EQ(Shake(nullptr, kNoAuth + Bytes({5, 1, 0, 9})).progress.reply,
              Bytes({5, 0, 5, 8, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(Shake(nullptr, kNoAuth + Bytes({5, 1, 0, 3, 0, 0, 80})).progress.state, State::kRefused);

    // A name that is an IP literal is that address; others stay names.
    const Result literal = Shake(nullptr, kNoAuth + Bytes({5, 1, 0, 3, 11}) + "2001:db8::5" + Bytes({0, 80}));
    EXPECT_EQ(literal.request.destination.address, Ip("2001:db8::5"));
    const Result name = Shake(nullptr, kNoAuth + Bytes({5, 1, 0, 3, 4}) + "a\nb." + Bytes({1, 0}));
    EXPECT_EQ(name.request.destination.Text(), "a\\x0Ab.:256");

    const net::IpEndpoint v4{Ip("192.0.2.1"), 40000}, v6{Ip("2001:db8::1"), 443};
    EXPECT_EQ(SuccessReply(Protocol::kSocks5, v4), Bytes({5, 0, 0, 1, 192, 0, 2, 1, 0x9C, 0x40}));
    EXPECT_EQ(SuccessReply(Protocol::kSocks5, {Ip("::ffff:192.0.2.1"), 40000}), SuccessReply(Protocol::kSocks5, v4));
    EXPECT_EQ(SuccessReply(Protocol::kSocks5, v6),
              Bytes({5, 0, 0, 4, 0x20, 1, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 0xBB}));
    const Failure kinds[] = {Failure::kGeneral, Failure::kNotAllowed, Failure::kNetworkUnreachable,
                             Failure::kHostUnreachable, Failure::kConnectionRefused, Failure::kTimedOut};
    for (int code = 1; code <= 6; ++code)
        EXPECT_EQ(FailureReply(Protocol::kSocks5, kinds[code - 1]), Bytes({5, code, 0, 1, 0, 0, 0, 0, 0, 0}));
}

TEST(Socks5, UsernamePasswordRightAndWrong) {
    const Users users = TwoUsers();
    const std::string greeting = Bytes({5, 3, 0, 1, 2});  // what curl offers with --proxy-user
    const std::string bob = Bytes({1, 3}) + "bob" + Bytes({9}) + "p:ss word";
    const Result ok = Shake(&users, greeting + bob + kRequestIpv4);
    EXPECT_EQ(ok.progress.state, State::kRequest);
    EXPECT_EQ(ok.progress.reply, Bytes({5, 2, 1, 0}));
    EXPECT_EQ(ok.request.user, "bob");

    for (const std::string password : {"p:ss wor", "p:ss words", "secret", "p"}) {
        const std::string wrong = Bytes({1, 3}) + "bob" + static_cast<char>(password.size()) + password;
        const Result r = Shake(&users, greeting + wrong + kRequestIpv4);
        EXPECT_EQ(r.progress.state, State::kRefused) << password;
        EXPECT_EQ(r.progress.reply, Bytes({5, 2, 1, 1})) << password;
    }
    // With users, a client that cannot authenticate gets "no acceptable method".
    EXPECT_EQ(Shake(&users, kNoAuth).progress.reply, Bytes({5, 0xFF}));
    EXPECT_EQ(Shake(nullptr, Bytes({5, 1, 2})).progress.reply, Bytes({5, 0xFF}));
    // The method count is no method: no methods offered, or none of them the one wanted.
    EXPECT_EQ(Shake(nullptr, Bytes({5, 0})).progress.reply, Bytes({5, 0xFF}));
    EXPECT_EQ(Shake(&users, Bytes({5, 2, 0, 1})).progress.reply, Bytes({5, 0xFF}));
}

TEST(HttpConnect, AnswersAndCredentials) {
    const Users users = TwoUsers();
    const std::string connect = "CONNECT [2001:db8::5]:5190 HTTP/1.1\r\nHost: x\r\n";
    const Result open = Shake(nullptr, connect + "\r\nOFT2");
    EXPECT_EQ(open.progress.state, State::kRequest);
    EXPECT_EQ(open.progress.consumed, connect.size() + 2);
    EXPECT_EQ(open.request.destination.Text(), "[2001:db8::5]:5190");
    EXPECT_EQ(SuccessReply(Protocol::kHttpConnect, {}), "HTTP/1.1 200 Connection established\r\n\r\n");

    const std::string challenge = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                                  "Proxy-Authenticate: Basic realm=\"zykproxy\"\r\n";
    EXPECT_EQ(Shake(&users, connect + "\r\n").progress.reply.compare(0, challenge.size(), challenge), 0);
    // alice:wrong, then alice:secret as curl sends it.
    EXPECT_EQ(Shake(&users, connect + "Proxy-Authorization: Basic YWxpY2U6d3Jvbmc=\r\n\r\n").progress.state,
              State::kRefused);
    const Result ok = Shake(&users, connect + "proxy-authorization: basic  YWxpY2U6c2VjcmV0\r\n\r\n");
    EXPECT_EQ(ok.progress.state, State::kRequest);
    EXPECT_EQ(ok.request.user, "alice");

    auto status = [](const std::string& reply) { return reply.substr(0, 12); };
    EXPECT_EQ(status(Shake(nullptr, "GET http://x/ HTTP/1.1\r\n\r\n").progress.reply), "HTTP/1.1 405");
    EXPECT_EQ(status(Shake(nullptr, "CONNECT x HTTP/1.1\r\n\r\n").progress.reply), "HTTP/1.1 400");
    EXPECT_EQ(status(Shake(nullptr, "CONNECT ::1:80 HTTP/1.1\r\n\r\n").progress.reply), "HTTP/1.1 400");
    const Result huge = Shake(nullptr, "CONNECT x:1 HTTP/1.1\r\nX: " + std::string(8200, 'a') + "\r\n\r\n");
    EXPECT_EQ(huge.progress.state, State::kRefused);
    EXPECT_TRUE(huge.progress.reply.empty());
    EXPECT_EQ(huge.progress.consumed, 8193u);
    // A host name is at most 255 bytes, as in SOCKS5.
    const std::string longest = std::string(251, 'h') + ".net";
    EXPECT_EQ(Shake(nullptr, "CONNECT " + longest + ":80 HTTP/1.1\r\n\r\n").request.destination.name, longest);
    EXPECT_EQ(status(Shake(nullptr, "CONNECT h" + longest + ":80 HTTP/1.1\r\n\r\n").progress.reply), "HTTP/1.1 400");
    EXPECT_EQ(status(FailureReply(Protocol::kHttpConnect, Failure::kNotAllowed)), "HTTP/1.1 403");
    EXPECT_EQ(status(FailureReply(Protocol::kHttpConnect, Failure::kConnectionRefused)), "HTTP/1.1 502");
    EXPECT_EQ(status(FailureReply(Protocol::kHttpConnect, Failure::kTimedOut)), "HTTP/1.1 504");
}

TEST(Access, UsersFile) {
    ScratchFile file("users", "# name:password\nalice:secret\n");
    Users users;
    std::string error;
#ifndef _WIN32
    namespace fs = std::filesystem;
    fs::permissions(file.Path(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_FALSE(LoadUsersFile(file.Path(), &users, &error));
    EXPECT_NE(error.find("chmod 600"), std::string::npos) << error;
    fs::permissions(file.Path(), fs::perms::owner_read | fs::perms::owner_write);
#endif
    ASSERT_TRUE(LoadUsersFile(file.Path(), &users, &error)) << error;
    EXPECT_TRUE(users.Check("alice", "secret"));
    EXPECT_FALSE(users.Check("alice", "secre"));
    EXPECT_FALSE(users.Check("alic", "secret"));
    EXPECT_FALSE(users.Check("", ""));

    for (const char* bad : {"alice\n", ":pw\n", "a:1\na:2\n", "a:\n"}) {
        Users u;
        EXPECT_FALSE(ParseUsers(bad, &u, &error)) << bad;
    }
}

TEST(Access, ClientNetworksAndPorts) {
    ClientRules rules;
    std::string error;
    ASSERT_TRUE(rules.Parse("192.168.0.0/16,10.1.2.3,::1/128,fd00::/8", &error)) << error;
    EXPECT_TRUE(rules.Allows(Ip("192.168.255.1")));
    EXPECT_TRUE(rules.Allows(Ip("10.1.2.3")));
    EXPECT_FALSE(rules.Allows(Ip("10.1.2.4")));
    EXPECT_TRUE(rules.Allows(Ip("::ffff:192.168.0.9")));  // an IPv4 client of a dual-stack listener
    EXPECT_TRUE(rules.Allows(Ip("fdff::1")));
    EXPECT_FALSE(rules.Allows(Ip("fe00::1")));
    EXPECT_FALSE(rules.Allows(Ip("::2")));

    ASSERT_TRUE(rules.Parse("0.0.0.0/0", &error));
    EXPECT_TRUE(rules.Allows(Ip("203.0.113.5")));
    EXPECT_FALSE(rules.Allows(Ip("2001:db8::1")));
    ASSERT_TRUE(rules.Parse("::/0", &error));
    EXPECT_TRUE(rules.Allows(Ip("203.0.113.5")));
    ASSERT_TRUE(rules.Parse("::ffff:10.0.0.0/104", &error));
    EXPECT_TRUE(rules.Allows(Ip("10.9.9.9")));
    for (const char* bad : {"", "10.0.0.0/33", "::/129", "10.0.0.0/", "10.0.0.0,", "host.example", "10.0.0.0/-1"})
        EXPECT_FALSE(rules.Parse(bad, &error)) << bad;

    PortRules ports;
    EXPECT_TRUE(ports.Allows(1) && ports.Allows(65535));
    EXPECT_FALSE(ports.Allows(0));
    ASSERT_TRUE(ports.Parse("5190,443,1024-1030", &error)) << error;
    EXPECT_TRUE(ports.Allows(443) && ports.Allows(1024) && ports.Allows(1030));
    EXPECT_FALSE(ports.Allows(80) || ports.Allows(1031) || ports.Allows(1023));
    for (const char* bad : {"", "0", "65536", "10-9", "1,,2", "-5", "5-"})
        EXPECT_FALSE(ports.Parse(bad, &error)) << bad;
}

// Prefixes that end inside a byte, and the edges: the first and last address of each
// network are let in, the addresses just outside it are not.
TEST(Access, PrefixesEndWhereTheySay) {
    const struct {
        const char* network;
        std::vector<const char*> inside, outside;
    } cases[] = {
        {"192.168.16.0/20", {"192.168.16.0", "192.168.31.255"}, {"192.168.15.255", "192.168.32.0"}},
        {"172.16.0.0/12", {"172.16.0.0", "172.31.255.255"}, {"172.15.255.255", "172.32.0.0", "44.16.0.1"}},
        {"203.0.113.32/27", {"203.0.113.32", "203.0.113.63"}, {"203.0.113.31", "203.0.113.64"}},
        {"10.0.0.2/31", {"10.0.0.2", "10.0.0.3"}, {"10.0.0.1", "10.0.0.4"}},
        {"128.0.0.0/1", {"128.0.0.0", "255.255.255.255"}, {"127.255.255.255", "0.0.0.0"}},
        {"192.168.20.9/20", {"192.168.16.0", "192.168.31.255"}, {"192.168.15.255", "192.168.32.0"}},
        {"2001:db8:abc0::/44", {"2001:db8:abc0::", "2001:db8:abcf:ffff:ffff:ffff:ffff:ffff"},
         {"2001:db8:abbf:ffff:ffff:ffff:ffff:ffff", "2001:db8:abd0::"}},
        {"2001:db8::8000:0:0:0/65", {"2001:db8::8000:0:0:0", "2001:db8::ffff:ffff:ffff:ffff"},
         {"2001:db8::7fff:ffff:ffff:ffff", "2001:db8:0:1::"}},
        {"0.0.0.0/0", {"0.0.0.0", "255.255.255.255"}, {"::", "2001:db8::1"}},
        {"::/0", {"::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", "10.0.0.1"}, {}},
        {"198.51.100.7/32", {"198.51.100.7", "::ffff:198.51.100.7"}, {"198.51.100.6", "198.51.100.8"}},
        {"2001:db8::7/128", {"2001:db8::7"}, {"2001:db8::6", "2001:db8::8", "::7"}},
        {"198.51.100.7", {"198.51.100.7"}, {"198.51.100.6", "198.51.100.8"}},  // one host
        {"2001:db8::7", {"2001:db8::7"}, {"2001:db8::6", "2001:db8::8"}},
    };
    for (const auto& c : cases) {
        ClientRules rules;
        std::string error;
        ASSERT_TRUE(rules.Parse(c.network, &error)) << c.network << ": " << error;
        for (const char* address : c.inside) EXPECT_TRUE(rules.Allows(Ip(address))) << c.network << " " << address;
        for (const char* address : c.outside) EXPECT_FALSE(rules.Allows(Ip(address))) << c.network << " " << address;
    }
}

TEST(IpAddresses, TextsAndSocketAddresses) {
    for (const char* bad : {"01.2.3.4", "1.2.3", "fe80::1%eth0", "[::1]", "::1:80:", " 1.2.3.4"}) {
        net::IpAddress a;
        EXPECT_FALSE(net::ParseIpAddress(bad, &a)) << bad;
    }
    EXPECT_EQ(net::FormatIpAddress(Ip("::FFFF:10.0.0.1")), "::ffff:10.0.0.1");
    EXPECT_EQ(net::FormatIpAddress(Ip("2001:0db8:0:0:0:0:0:5")), "2001:db8::5");

    net::Socket listener = net::ListenLoopback(0, 1);
    net::Socket client = net::ConnectLoopback(net::LocalPort(listener.Get()));
    std::string error;
    net::Socket server = net::Accept(listener.Get(), &error);
    net::IpEndpoint clientSide, serverSeen, serverSide;
    ASSERT_TRUE(net::LocalAddress(client.Get(), &clientSide));
    ASSERT_TRUE(net::PeerAddress(server.Get(), &serverSeen));
    ASSERT_TRUE(net::LocalAddress(server.Get(), &serverSide));
    EXPECT_TRUE(clientSide == serverSeen);
    EXPECT_EQ(net::FormatIpEndpoint(serverSide), "127.0.0.1:" + std::to_string(net::LocalPort(listener.Get())));
    // Not redirected: the system knows no other destination than the listener's own
    // (where connection tracking runs), or none.
    net::IpEndpoint original;
    if (net::OriginalDestination(server.Get(), &original, &error))
        EXPECT_TRUE(original == serverSide);
    else
        EXPECT_FALSE(error.empty());
}

}  // namespace
