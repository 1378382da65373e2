// The plug-in boundary from inside: trace levels and lines, the stored settings, the
// lock object and the gate object.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "os/settings.h"
#include "plugin/gate.h"
#include "plugin/lock.h"
#include "plugin/state.h"
#include "plugin/trace.h"
#include "support/trace_capture.h"
#include "zykim/zykim.h"

using zykim::test::TraceCapture;

namespace {

void EmitAllThree() {
    zykim::TraceInfo("info %d\n", 1);
    zykim::TraceWarning("warning %d\n", 2);
    zykim::TraceError("error %d\n", 3);
}

TEST(Trace, LevelsSelectTheRoutines) {
    struct Case {
        int level;
        bool info, warning, error;
    } cases[] = {
        {0, false, false, false}, {-1, false, false, false}, {1, false, false, true},
        {2, false, true, true},   {3, false, true, true},    {4, true, true, true},
        {100, true, true, true},
    };
    for (const Case& c : cases) {
        TraceCapture capture(c.level);
        EmitAllThree();
        EXPECT_EQ(capture.Contains("info 1\n"), c.info) << "level " << c.level;
        EXPECT_EQ(capture.Contains("warning 2\n"), c.warning) << "level " << c.level;
        EXPECT_EQ(capture.Contains("error 3\n"), c.error) << "level " << c.level;
    }
}

TEST(Trace, LineIsPrefixThenMessageWithNothingAdded) {
    TraceCapture capture(4);
    zykim::TraceInfo("[%05d] OnNewConnect: insert\n", 42);
    zykim::TraceInfo("no line feed");
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "++++++++  [00042] OnNewConnect: insert\n");
    EXPECT_EQ(lines[1], "++++++++  no line feed");
}

TEST(Trace, MessagesAboveTheLimitLeaveThePrefixAlone) {
    TraceCapture capture(4);
    const std::string exact(zykim::kTraceMaxMessage, 'x');
    const std::string over(zykim::kTraceMaxMessage + 1, 'y');
    zykim::TraceInfo("%s", exact.c_str());
    zykim::TraceInfo("%s", over.c_str());
    zykim::TraceInfo("%s", (exact.substr(1) + "%").c_str());  // a literal % in the data
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], zykim::kTracePrefix + exact);
    EXPECT_EQ(lines[1], zykim::kTracePrefix);
    EXPECT_EQ(lines[2].size(), zykim::kTracePrefixLength + exact.size());
}

TEST(Trace, DirectLinesIgnoreTheLevelAndTheLimit) {
    TraceCapture capture(0);
    zykim::TraceError("not written\n");
    zykim::DirectLine("++++++++ [%d, %d] OnRequestFromServer recv %d\n", 5, 6, 100);
    const std::string huge(100000, 'z');
    zykim::DirectLine("%s\n", huge.c_str());
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "++++++++ [5, 6] OnRequestFromServer recv 100\n");
    EXPECT_EQ(lines[1], huge + "\n");
}

TEST(Trace, LevelTextIsASignedDword) {
    EXPECT_EQ(zykim::os::ParseDebugLevel(nullptr), 0);
    EXPECT_EQ(zykim::os::ParseDebugLevel(""), 0);
    EXPECT_EQ(zykim::os::ParseDebugLevel("4"), 4);
    EXPECT_EQ(zykim::os::ParseDebugLevel("0x10"), 16);
    EXPECT_EQ(zykim::os::ParseDebugLevel("0xFFFFFFFF"), -1);
    EXPECT_EQ(zykim::os::ParseDebugLevel("4294967295"), -1);
    EXPECT_EQ(zykim::os::ParseDebugLevel("0x100000000"), 0);
    EXPECT_EQ(zykim::os::ParseDebugLevel("4x"), 0);
    EXPECT_EQ(zykim::os::ParseDebugLevel("0x"), 0);
}

TEST(Settings, TimeoutProtection) {
    TraceCapture capture(4);
    EXPECT_EQ(SetTimeoutProtection(30), 0);
    EXPECT_EQ(zykim::GetTimeoutProtection().nEnabled, 1);
    EXPECT_EQ(zykim::GetTimeoutProtection().nTimeoutMs, 30000);
    for (int seconds : {0, -5}) {
        SetTimeoutProtection(30);
        SetTimeoutProtection(seconds);
        EXPECT_EQ(zykim::GetTimeoutProtection().nEnabled, 0) << seconds;
        EXPECT_EQ(zykim::GetTimeoutProtection().nTimeoutMs, 0) << seconds;
    }
    // 3,000,000 s * 1000 does not fit 31 bits: the product wraps as in 32-bit arithmetic.
    SetTimeoutProtection(3000000);
    EXPECT_EQ(zykim::GetTimeoutProtection().nEnabled, 1);
    EXPECT_EQ(zykim::GetTimeoutProtection().nTimeoutMs,
              static_cast<int32_t>(static_cast<uint32_t>(3000000u * 1000u)));
    EXPECT_TRUE(capture.Contains("ZYKIM: SetTimeoutProtection( 30 )\n"));
    EXPECT_TRUE(capture.Contains("ZYKIM: SetTimeoutProtection( -5 )\n"));
}

TEST(Settings, CheckLimit) {
    TraceCapture capture(4);
    EXPECT_EQ(SetCheckLimit(1), 1048576u);
    EXPECT_EQ(zykim::GetCheckLimit().nSet, 1);
    EXPECT_EQ(zykim::GetCheckLimit().qwLimitBytes, 1048576u);
    EXPECT_EQ(SetCheckLimit(4096), 0u);  // 4 GiB: the low 32 bits are 0
    EXPECT_EQ(zykim::GetCheckLimit().qwLimitBytes, 4294967296ull);
    EXPECT_EQ(SetCheckLimit(0), 0xFFFFFFFFu);
    EXPECT_EQ(zykim::GetCheckLimit().nSet, 1);
    EXPECT_EQ(zykim::GetCheckLimit().qwLimitBytes, ~0ull);
    EXPECT_TRUE(capture.Contains("ZYKIM : SetCheckLimit( 4096 )\n"));
}

TEST(Settings, SocketInterfaceAndCallbackAreStoredAsGiven) {
    ISocket* fake = reinterpret_cast<ISocket*>(0x1234);
    EXPECT_EQ(SetISocket(fake), fake);
    EXPECT_EQ(zykim::g_pHostSocket.load(), fake);
    EXPECT_EQ(SetISocket(nullptr), nullptr);
    EXPECT_EQ(zykim::g_pHostSocket.load(), nullptr);

    ZykScanCallback cb = [](int, ScanCallbackInfo*) { return 0; };
    EXPECT_NE(RegisterCallback(cb), 0);
    EXPECT_EQ(zykim::g_pScanCallback.load(), cb);
    EXPECT_NE(RegisterCallback(nullptr), 0);
    EXPECT_EQ(zykim::g_pScanCallback.load(), nullptr);
}

TEST(Settings, NotifySettingsChangedChangesNothing) {
    TraceCapture capture(3);
    NotifySettingsChanged();
    EXPECT_EQ(zykim::TraceLevel(), 3);
    EXPECT_TRUE(capture.Lines().empty());
}

TEST(Lock, NullLockNeitherWaitsNorReleases) {
    zykim::LockObject lock;
    ASSERT_TRUE(lock.IsNull());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(lock.Wait(), 0);
    EXPECT_EQ(lock.Release(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    { zykim::LockGuard guard(lock); }
}

TEST(Lock, OwnerMayTakeItAgainAndOthersWait) {
    zykim::LockObject lock;
    ASSERT_TRUE(lock.Create());
    ASSERT_EQ(lock.Wait(), 1);
    ASSERT_EQ(lock.Wait(), 1);  // recursive, like a Windows mutex
    int otherGot = -1;
    std::thread([&] { otherGot = lock.Wait(50); }).join();
    EXPECT_EQ(otherGot, 0);  // timed out while we own it
    EXPECT_NE(lock.Release(), 0);
    EXPECT_NE(lock.Release(), 0);
    std::thread([&] {
        otherGot = lock.Wait(1000);
        lock.Release();
    }).join();
    EXPECT_EQ(otherGot, 1);
}

TEST(Lock, GuardReleasesWhenAnExceptionPasses) {
    zykim::LockObject lock;
    ASSERT_TRUE(lock.Create());
    try {
        zykim::LockGuard guard(lock);
        throw 42;
    } catch (int) {
    }
    int otherGot = -1;
    std::thread([&] {
        otherGot = lock.Wait(1000);
        lock.Release();
    }).join();
    EXPECT_EQ(otherGot, 1);
}

// Runs `enter` on a thread of its own; InWithin tells whether it has got in by then.
// The destructor joins the thread: the test lets it in before the object goes.
class Entering {
public:
    explicit Entering(std::function<void()> enter)
        : m_thread([this, enter] {
              enter();
              m_in = true;
          }) {}
    ~Entering() { m_thread.join(); }
    bool InWithin(int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (!m_in && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return m_in;
    }

private:
    std::atomic<bool> m_in{false};
    std::thread m_thread;
};

TEST(Gate, CountedEntriesStopAtTheCapacityUncountedOnesDoNot) {
    zykim::BasicGate gate;
    ASSERT_TRUE(gate.Create());
    gate.SetCapacity(2);
    ASSERT_EQ(gate.EnterShared(true), 1);
    ASSERT_EQ(gate.EnterShared(true), 1);
    {
        Entering third([&] { gate.EnterShared(true); });
        EXPECT_FALSE(third.InWithin(100));
        EXPECT_EQ(gate.EnterShared(false), 1);  // no slot needed
        gate.LeaveShared(false);
        gate.LeaveShared(true);
        EXPECT_TRUE(third.InWithin(5000));
    }
    {
        Entering fourth([&] { gate.EnterShared(true); });
        EXPECT_FALSE(fourth.InWithin(100));
        gate.SetCapacity(3);  // a larger capacity lets a waiting entry in
        EXPECT_TRUE(fourth.InWithin(5000));
    }
    EXPECT_EQ(gate.CountedHeld(), 3);
    for (int i = 0; i < 3; ++i) gate.LeaveShared(true);
    EXPECT_EQ(gate.CountedHeld(), 0);
    gate.Destroy();
}

// An exclusive entry waits for the shared ones held, and from the moment it waits no new
// shared entry gets in before it has had its turn.
TEST(Gate, AnExclusiveEntryWaitsForEveryEntryAndKeepsNewOnesOut) {
    zykim::BasicGate gate;
    ASSERT_TRUE(gate.Create());
    gate.SetCapacity(4);
    ASSERT_EQ(gate.EnterShared(true), 1);
    ASSERT_EQ(gate.EnterShared(false), 1);
    {
        Entering alone([&] { gate.EnterExclusive(); });
        EXPECT_FALSE(alone.InWithin(100));
        Entering late([&] { gate.EnterShared(false); });
        EXPECT_FALSE(late.InWithin(100));
        gate.LeaveShared(true);
        EXPECT_FALSE(alone.InWithin(100));
        gate.LeaveShared(false);
        EXPECT_TRUE(alone.InWithin(5000));
        EXPECT_FALSE(late.InWithin(100));
        gate.LeaveExclusive();
        EXPECT_TRUE(late.InWithin(5000));
    }
    gate.LeaveShared(false);
    gate.Destroy();
}

}  // namespace
