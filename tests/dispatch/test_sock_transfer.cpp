// Socket transfer on real loopback sockets: time-outs, closes and resets, partial
// sends, the host's socket interface, and the error codes and their texts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "dispatch/sock_transfer.h"
#include "os/socket.h"
#include "plugin/state.h"
#include "support/socket_pair.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/resource.h>
#endif

using namespace zykim;
using namespace zykim::test;
using Clock = std::chrono::steady_clock;

namespace {

int64_t MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Bytes that tell their own offset, so a lost or reordered stretch shows.
std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

void SetNonBlocking(const Socket& s) {
#ifdef _WIN32
    u_long on = 1;
    ioctlsocket(s.Get(), FIONBIO, &on);
#else
    fcntl(s.Get(), F_SETFL, fcntl(s.Get(), F_GETFL) | O_NONBLOCK);
#endif
}

// Runs `body`, which must throw CWinSockException; returns its code (0 if none).
template <typename Body>
int32_t ThrownCode(Body body) {
    try {
        body();
    } catch (CWinSockException e) {
        EXPECT_EQ(e.m_nReserved, 0);
        return e.m_nError;
    }
    ADD_FAILURE() << "no CWinSockException";
    return 0;
}

class SockTransfer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(StartSockets());
        g_pHostSocket.store(nullptr);
        m_pair = MakeSocketPair();
        ASSERT_TRUE(m_pair.Valid());
    }
    SocketPair m_pair;
};

TEST_F(SockTransfer, PollWithNothingPendingReturnsAtOnce) {
    char buffer[16];
    const auto start = Clock::now();
    // A blocking recv here would hang: the time-out 0 must keep it from being called.
    EXPECT_EQ(RecvTimeout(m_pair.client.Number(), buffer, sizeof buffer, 0, false), 0);
    EXPECT_LT(MillisecondsSince(start), 200);
}

TEST_F(SockTransfer, TimeOutIsWaitedForThenDataIsRead) {
    char buffer[16];
    auto start = Clock::now();
    EXPECT_EQ(RecvTimeout(m_pair.client.Number(), buffer, sizeof buffer, 300, false), 0);
    const int64_t waited = MillisecondsSince(start);
    EXPECT_GE(waited, 250);
    EXPECT_LT(waited, 3000);

    // Without limit: the call waits until bytes arrive.
    std::thread writer([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        WriteAll(m_pair.server, std::string("late"));
    });
    start = Clock::now();
    const int32_t n = RecvTimeout(m_pair.client.Number(), buffer, sizeof buffer, os::kWaitInfinite, false);
    writer.join();
    EXPECT_GE(MillisecondsSince(start), 100);
    ASSERT_EQ(n, 4);
    EXPECT_EQ(std::string(buffer, 4), "late");
}

TEST_F(SockTransfer, ReceiveTakesAtMostTheBufferAndPeekLeavesBytesQueued) {
    ASSERT_TRUE(WriteAll(m_pair.server, std::string("abcdefgh")));
    ASSERT_TRUE(WaitReadable(m_pair.client, 2000));
    char buffer[8] = {};
    EXPECT_EQ(RecvTimeout(m_pair.client.Number(), buffer, 3, 1000, true), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_EQ(RecvTimeout(m_pair.client.Number(), buffer, 3, 1000, false), 3);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_EQ(RecvTimeout(m_pair.client.Number(), buffer, 8, 1000, false), 5);
    EXPECT_EQ(std::string(buffer, 5), "defgh");
}

TEST_F(SockTransfer, PeerCloseReadsAsZeroWithoutWaiting) {
    m_pair.server.Reset();
    char buffer[16];
    const auto start = Clock::now();
    // No limit, yet it returns: the closed socket is readable and recv gives 0.
    EXPECT_EQ(RecvTimeout(m_pair.client.Number(), buffer, sizeof buffer, os::kWaitInfinite, false), 0);
    EXPECT_LT(MillisecondsSince(start), 2000);
}

TEST_F(SockTransfer, PeerResetIsConnectionReset) {
    AbortiveClose(m_pair.server);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const std::string data = "x";
    EXPECT_EQ(ThrownCode([&] { SendTimeout(m_pair.client.Number(), data.data(), 1, 2000); }), 10054);
    EXPECT_STREQ(GetWinSockErrorText(10054),
                 "An existing connection was forcibly closed by the remote host.");
}

#ifndef _WIN32
// (Wine reports a reset to recv as an orderly end, so this is checked natively only.)
TEST_F(SockTransfer, ReceiveAfterPeerResetIsConnectionReset) {
    AbortiveClose(m_pair.server);
    char buffer[16];
    EXPECT_EQ(ThrownCode([&] {
                  RecvTimeout(m_pair.client.Number(), buffer, sizeof buffer, 2000, false);
              }),
              10054);
}
#endif

TEST_F(SockTransfer, SendAfterOwnShutdownIsShutDown) {
    ASSERT_TRUE(ShutdownWrite(m_pair.client));
    const std::string data = "x";
    EXPECT_EQ(ThrownCode([&] { SendTimeout(m_pair.client.Number(), data.data(), 1, 1000); }), 10058);
    // SendAll lets the exception through unchanged.
    EXPECT_EQ(ThrownCode([&] { SendAll(m_pair.client.Number(), data.data(), 1, 1000); }), 10058);
}

TEST_F(SockTransfer, SendToAPeerThatHasGoneFailsWithoutKillingTheProcess) {
    // Without MSG_NOSIGNAL the POSIX build would die of SIGPIPE in this loop.
    m_pair.server.Reset();
    const std::string data(1000, 'p');
    int32_t code = 0;
    for (int i = 0; i < 50 && code == 0; ++i) {
        try {
            SendAll(m_pair.client.Number(), data.data(), static_cast<int32_t>(data.size()), 1000);
        } catch (CWinSockException e) {
            code = e.m_nError;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(code == 10053 || code == 10054 || code == 10058) << code;
}

TEST_F(SockTransfer, NotASocketAndBadArguments) {
    char buffer[16];
    // The number of a closed socket.
    Socket gone(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    const int32_t goneNumber = gone.Number();
    gone.Reset();
#ifdef _WIN32
    EXPECT_EQ(ThrownCode([&] { RecvTimeout(goneNumber, buffer, sizeof buffer, 0, false); }), 10038);
#else
    EXPECT_EQ(ThrownCode([&] { RecvTimeout(goneNumber, buffer, sizeof buffer, 0, false); }), 10009);
    // A descriptor that is open but no socket.
    const int file = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(file, 0);
    EXPECT_EQ(ThrownCode([&] { RecvTimeout(file, buffer, sizeof buffer, 1000, false); }), 10038);
    ::close(file);
#endif
    // -1, the invalid socket: reported at once, also with no time limit.
    EXPECT_EQ(ThrownCode([&] { RecvTimeout(-1, buffer, sizeof buffer, os::kWaitInfinite, false); }), 10038);
    EXPECT_EQ(ThrownCode([&] { SendTimeout(-1, buffer, 1, os::kWaitInfinite); }), 10038);
    // A negative size never reaches recv as a huge length.
    ASSERT_TRUE(WriteAll(m_pair.server, std::string("data")));
    EXPECT_EQ(ThrownCode([&] { RecvTimeout(m_pair.client.Number(), buffer, -1, 1000, false); }), 10022);
    EXPECT_EQ(ThrownCode([&] { SendTimeout(m_pair.client.Number(), buffer, -5, 1000); }), 10022);
}

TEST_F(SockTransfer, UnconnectedSocketIsNotConnected) {
    Socket lone(socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    ASSERT_TRUE(lone.Valid());
    char buffer[16];
    // Windows does not report an unconnected socket readable; POSIX does, and recv
    // then fails. Either way nothing is read, and a failure says "not connected".
    try {
        EXPECT_EQ(RecvTimeout(lone.Number(), buffer, sizeof buffer, 100, false), 0);
    } catch (CWinSockException e) {
        EXPECT_EQ(e.m_nError, 10057);
    }
}

TEST_F(SockTransfer, SendAllLengthZeroAndNegativeCallNothing) {
    // On a socket number that does not exist, any call of send would throw.
    const char data[] = "abc";
    EXPECT_TRUE(SendAll(-1, data, 0, os::kWaitInfinite));
    EXPECT_FALSE(SendAll(-1, data, -1, os::kWaitInfinite));
    EXPECT_FALSE(SendAll(-1, data, INT32_MIN, 0));
}

TEST_F(SockTransfer, SendAllDeliversLargeDataInOrder) {
    const std::string data = Pattern(3 * 1024 * 1024 + 17);
    std::string received;
    std::thread reader([&] { received = ReadExactly(m_pair.server, data.size(), 20000); });
    EXPECT_TRUE(SendAll(m_pair.client.Number(), data.data(), static_cast<int32_t>(data.size()),
                        os::kWaitInfinite));
    reader.join();
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
}

// A sender whose peer stops reading: part goes out, then the socket stays unwritable
// past the time-out. SendAll gives up with false; what went out stays sent, in order.
void ExpectPartialThenTimeOut(const SocketPair& pair) {
    const std::string data = Pattern(4 * 1024 * 1024);
    const auto start = Clock::now();
    EXPECT_FALSE(SendAll(pair.client.Number(), data.data(), static_cast<int32_t>(data.size()), 300));
    const int64_t took = MillisecondsSince(start);
    EXPECT_GE(took, 250);
    EXPECT_LT(took, 5000);
    const std::string arrived = ReadUntilQuiet(pair.server, 300, 10000);
    EXPECT_GT(arrived.size(), 0u);
    EXPECT_LT(arrived.size(), data.size());
    EXPECT_TRUE(arrived == data.substr(0, arrived.size()));
}

TEST_F(SockTransfer, SendAllPartThenTimeOutOnANonBlockingSocket) {
    SocketPairOptions small;
    small.clientSendBuffer = 8192;
    small.serverReceiveBuffer = 8192;
    SocketPair pair = MakeSocketPair(small);
    ASSERT_TRUE(pair.Valid());
    SetNonBlocking(pair.client);
    ExpectPartialThenTimeOut(pair);
}

#ifndef _WIN32
// A Windows send on a blocking socket waits until it has taken every byte; on POSIX
// the time-out holds for blocking sockets too.
TEST_F(SockTransfer, SendAllPartThenTimeOutOnABlockingSocket) {
    SocketPairOptions small;
    small.clientSendBuffer = 8192;
    small.serverReceiveBuffer = 8192;
    SocketPair pair = MakeSocketPair(small);
    ASSERT_TRUE(pair.Valid());
    ExpectPartialThenTimeOut(pair);
}

// select cannot watch descriptors of 1024 and above; the POSIX build does not use it.
TEST_F(SockTransfer, HighDescriptorNumbersWork) {
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t want = 1500;
    if (limit.rlim_cur <= want) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max <= want)
            GTEST_SKIP() << "descriptor limit too low";
        rlimit raised = limit;
        raised.rlim_cur = want + 1;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }
    Socket high(::dup2(m_pair.client.Get(), static_cast<int>(want)));
    ASSERT_EQ(high.Get(), static_cast<int>(want));
    ASSERT_TRUE(WriteAll(m_pair.server, std::string("high")));
    char buffer[8];
    EXPECT_EQ(RecvTimeout(high.Number(), buffer, sizeof buffer, 2000, false), 4);
    EXPECT_TRUE(SendAll(high.Number(), "back", 4, 2000));
    EXPECT_EQ(ReadExactly(m_pair.server, 4, 2000), "back");
}

TEST(SocketErrorCodes, ErrnoMapsToTheWindowsSocketsCodeOfTheSameMeaning) {
    const std::pair<int, int32_t> cases[] = {
        {ECONNRESET, 10054}, {EPIPE, 10058},        {ENOTSOCK, 10038}, {EBADF, 10009},
        {ENOTCONN, 10057},   {ECONNABORTED, 10053}, {ETIMEDOUT, 10060}, {EWOULDBLOCK, 10035},
        {EAGAIN, 10035},     {EINTR, 10004},        {ECONNREFUSED, 10061}, {EINVAL, 10022},
        {EHOSTUNREACH, 10065}, {EMSGSIZE, 10040},   {ENOBUFS, 10055},
    };
    for (const auto& c : cases) EXPECT_EQ(os::SocketErrorCode(c.first), c.second) << c.first;
    // No counterpart: the native code as it is, which has no text of its own.
    EXPECT_EQ(os::SocketErrorCode(EIO), EIO);
    EXPECT_STREQ(GetWinSockErrorText(os::SocketErrorCode(EIO)), "Unknown socket error.");
}
#endif

// The host's socket interface, recording what it was given.
class RecordingSocket : public ISocket {
public:
    void Reserved0() override { ++reservedCalls; }
    int Receive(int socket, char* buffer, int size) override {
        ++receiveCalls;
        lastSocket = socket;
        lastBuffer = buffer;
        lastSize = size;
        return receiveResult;
    }
    int Send(int socket, const char* data, int length) override {
        ++sendCalls;
        lastSocket = socket;
        lastData = data;
        lastSize = length;
        return sendResult;
    }
    int reservedCalls = 0, receiveCalls = 0, sendCalls = 0;
    int lastSocket = 0, lastSize = 0;
    char* lastBuffer = nullptr;
    const char* lastData = nullptr;
    int receiveResult = 0, sendResult = 1;
};

class HostSocketPath : public SockTransfer {
protected:
    void TearDown() override { g_pHostSocket.store(nullptr); }
    RecordingSocket m_host;
};

TEST_F(HostSocketPath, ReceiveGoesToTheHostWithoutTimeOutOrPeek) {
    g_pHostSocket.store(&m_host);
    // A socket number that does not exist: the plug-in's own routines are not used.
    const ZykConnection connection{0xDEADBEEF, -1};
    char buffer[32];
    for (int32_t result : {0, 7, -3, 32}) {
        m_host.receiveResult = result;
        EXPECT_EQ(SockRecv(&connection, buffer, sizeof buffer, 0, true), result);
    }
    // A count above the buffer would have the caller read past it: it is cut to the buffer.
    m_host.receiveResult = 65536;
    EXPECT_EQ(SockRecv(&connection, buffer, sizeof buffer, 0, true), 32);
    EXPECT_EQ(m_host.receiveCalls, 5);
    EXPECT_EQ(m_host.lastSocket, -1);
    EXPECT_EQ(m_host.lastBuffer, buffer);
    EXPECT_EQ(m_host.lastSize, static_cast<int>(sizeof buffer));
    EXPECT_EQ(m_host.reservedCalls, 0);
}

TEST_F(HostSocketPath, SendResultIsItsLowByte) {
    g_pHostSocket.store(&m_host);
    const ZykConnection connection{0, 1234};
    const char data[] = "payload";
    const struct {
        int hostResult;
        bool sent;
    } cases[] = {{1, true}, {0, false}, {256, false}, {257, true}, {-1, true}, {-256, false}, {0x1000080, true}};
    for (const auto& c : cases) {
        m_host.sendResult = c.hostResult;
        EXPECT_EQ(SockSend(&connection, data, 7, os::kWaitInfinite), c.sent) << c.hostResult;
    }
    EXPECT_EQ(m_host.lastSocket, 1234);
    EXPECT_EQ(m_host.lastData, data);
    EXPECT_EQ(m_host.lastSize, 7);
    EXPECT_EQ(m_host.receiveCalls, 0);
}

TEST_F(HostSocketPath, InterfaceIsReadAtEveryCall) {
    const ZykConnection client{0, m_pair.client.Number()};
    const ZykConnection server{0, m_pair.server.Number()};
    char buffer[16];
    // No interface: the raw sockets carry the bytes.
    EXPECT_TRUE(SockSend(&server, "raw", 3, os::kWaitInfinite));
    EXPECT_EQ(SockRecv(&client, buffer, sizeof buffer, 2000, false), 3);
    EXPECT_EQ(std::string(buffer, 3), "raw");
    // Set: the next calls go to the host, and the raw socket is left alone.
    g_pHostSocket.store(&m_host);
    ASSERT_TRUE(WriteAll(m_pair.server, std::string("queued")));
    m_host.receiveResult = 0;
    EXPECT_EQ(SockRecv(&client, buffer, sizeof buffer, 2000, false), 0);
    EXPECT_EQ(m_host.receiveCalls, 1);
    // Cleared again: the raw socket still holds the bytes the host path did not take.
    g_pHostSocket.store(nullptr);
    EXPECT_EQ(SockRecv(&client, buffer, sizeof buffer, 2000, false), 6);
    EXPECT_EQ(std::string(buffer, 6), "queued");
}

TEST_F(SockTransfer, RawPathThroughTheConnectionRecord) {
    const ZykConnection client{0, m_pair.client.Number()};
    char buffer[16];
    EXPECT_EQ(SockRecv(&client, buffer, sizeof buffer, 0, false), 0);
    ASSERT_TRUE(WriteAll(m_pair.server, std::string("hello")));
    EXPECT_EQ(SockRecv(&client, buffer, sizeof buffer, 2000, true), 5);
    EXPECT_EQ(SockRecv(&client, buffer, sizeof buffer, 2000, false), 5);
    EXPECT_TRUE(SockSend(&client, "world", 5, os::kWaitInfinite));
    EXPECT_EQ(ReadExactly(m_pair.server, 5, 2000), "world");
    // Errors are thrown on the raw path (and only there).
    ASSERT_TRUE(ShutdownWrite(m_pair.client));
    EXPECT_EQ(ThrownCode([&] { SockSend(&client, "x", 1, 1000); }), 10058);
    // No record: nothing to read or write, and nothing thrown.
    EXPECT_EQ(SockRecv(nullptr, buffer, sizeof buffer, 0, false), 0);
    EXPECT_FALSE(SockSend(nullptr, "x", 1, 0));
}

TEST(WinSockErrorText, Table) {
    EXPECT_STREQ(GetWinSockErrorText(10004),
                 "A blocking operation was interrupted by a call to WSACancelBlockingCall.");
    EXPECT_STREQ(GetWinSockErrorText(10058),
                 "A request to send or receive data was disallowed because the socket had already "
                 "been shut down in that direction with a previous shutdown call.");
    EXPECT_STREQ(GetWinSockErrorText(11004),
                 "The requested name is valid and was found in the database, but it does not have "
                 "the correct associated data being resolved for.");
    // Two names of one condition share their text.
    EXPECT_STREQ(GetWinSockErrorText(10102), GetWinSockErrorText(10110));
    EXPECT_STREQ(GetWinSockErrorText(10103), GetWinSockErrorText(10111));
    EXPECT_STRNE(GetWinSockErrorText(10102), GetWinSockErrorText(10103));
    for (int32_t code : {0, -1, -10054, INT32_MIN, INT32_MAX, 10000, 10003, 10005, 10072, 10090,
                         10094, 10100, 10113, 11000, 11005, 1})
        EXPECT_STREQ(GetWinSockErrorText(code), "Unknown socket error.") << code;
    // Every row of the table is there: 62 known codes between 10000 and 11999.
    int known = 0;
    for (int32_t code = 10000; code < 12000; ++code)
        if (std::string(GetWinSockErrorText(code)) != "Unknown socket error.") ++known;
    EXPECT_EQ(known, 62);
}

}  // namespace
