// A thread that waits for a plug-in lock or gate keeps servicing its window messages,
// and gets in once the owner lets go.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "os/win32/win.h"
#include "plugin/gate.h"
#include "plugin/lock.h"

namespace {

std::atomic<bool> g_dispatched{false};
std::atomic<bool> g_ownerReleased{false};
std::atomic<bool> g_dispatchedWhileOwned{false};
HANDLE g_dispatchedEvent = nullptr;

LRESULT CALLBACK WndProc(HWND hwnd, UINT msg, WPARAM w, LPARAM l) {
    if (msg == WM_APP + 1) {
        g_dispatchedWhileOwned = !g_ownerReleased.load();
        g_dispatched = true;
        SetEvent(g_dispatchedEvent);
        return 0;
    }
    return DefWindowProcA(hwnd, msg, w, l);
}

// While `wait` blocks on what another thread holds (taken by `hold`, let go by `release`
// once the message has been dispatched, or after 10 s), a message posted to a window of
// the waiting thread is dispatched, and the wait ends only after the release.
void ExpectMessagesDispatchedWhileBlocked(const std::function<void()>& hold,
                                          const std::function<void()>& release,
                                          const std::function<int()>& wait) {
    g_dispatched = false;
    g_ownerReleased = false;
    g_dispatchedWhileOwned = false;
    WNDCLASSA wc{};
    wc.lpfnWndProc = WndProc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "ZykLockWaitTest";
    RegisterClassA(&wc);  // fails harmlessly when an earlier case registered it
    HWND hwnd = CreateWindowExA(0, wc.lpszClassName, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                wc.hInstance, nullptr);
    ASSERT_NE(hwnd, nullptr);
    g_dispatchedEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE held = CreateEventA(nullptr, TRUE, FALSE, nullptr);

    std::thread owner([&] {
        hold();
        SetEvent(held);
        WaitForSingleObject(g_dispatchedEvent, 10000);
        g_ownerReleased = true;
        release();
    });
    ASSERT_EQ(WaitForSingleObject(held, 10000), WAIT_OBJECT_0);
    std::thread poster([&] {
        Sleep(100);
        PostMessageA(hwnd, WM_APP + 1, 0, 0);
    });

    EXPECT_EQ(wait(), 1);
    EXPECT_TRUE(g_dispatched);
    EXPECT_TRUE(g_dispatchedWhileOwned);
    EXPECT_TRUE(g_ownerReleased);

    poster.join();
    owner.join();
    DestroyWindow(hwnd);
    CloseHandle(held);
    CloseHandle(g_dispatchedEvent);
}

TEST(LockWait, DispatchesPostedMessagesWhileBlocked) {
    zykim::LockObject lock;
    ASSERT_TRUE(lock.Create());
    ExpectMessagesDispatchedWhileBlocked([&] { lock.Wait(); }, [&] { lock.Release(); },
                                         [&] { return lock.Wait(); });
    lock.Release();
}

// The gate's waits are lock waits too: for a free slot, and for the gate alone.
TEST(LockWait, GateWaitsDispatchPostedMessagesWhileBlocked) {
    zykim::BasicGate gate;
    ASSERT_TRUE(gate.Create());
    ExpectMessagesDispatchedWhileBlocked([&] { gate.EnterShared(true); }, [&] { gate.LeaveShared(true); },
                                         [&] { return gate.EnterShared(true); });
    gate.LeaveShared(true);
    ExpectMessagesDispatchedWhileBlocked([&] { gate.EnterShared(false); }, [&] { gate.LeaveShared(false); },
                                         [&] { return gate.EnterExclusive(); });
    gate.LeaveExclusive();
    gate.Destroy();
}

// Another thread owns the lock from construction until destruction.
class HeldByAnotherThread {
public:
    explicit HeldByAnotherThread(zykim::LockObject& lock)
        : m_held(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          m_done(CreateEventA(nullptr, TRUE, FALSE, nullptr)),
          m_owner([this, &lock] {
              lock.Wait();
              SetEvent(m_held);
              WaitForSingleObject(m_done, 10000);
              lock.Release();
          }) {
        WaitForSingleObject(m_held, 10000);
    }
    ~HeldByAnotherThread() {
        SetEvent(m_done);
        m_owner.join();
        CloseHandle(m_held);
        CloseHandle(m_done);
    }
    HeldByAnotherThread(const HeldByAnotherThread&) = delete;
    HeldByAnotherThread& operator=(const HeldByAnotherThread&) = delete;

private:
    HANDLE m_held;
    HANDLE m_done;
    std::thread m_owner;
};

TEST(LockWait, TimesOutWithoutOwning) {
    zykim::LockObject lock;
    ASSERT_TRUE(lock.Create());
    HeldByAnotherThread other(lock);
    const DWORD start = GetTickCount();
    EXPECT_EQ(lock.Wait(200), 0);
    EXPECT_GE(GetTickCount() - start, 150u);
    EXPECT_EQ(lock.Release(), 0);  // not ours
}

// The try used under the table lock runs no window procedure: a message waiting in the
// queue stays there, whether the lock is free or held by another thread.
TEST(LockWait, ATryDispatchesNothing) {
    zykim::LockObject lock;
    ASSERT_TRUE(lock.Create());
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // gives this thread its queue
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_APP + 2, 0, 0));
    EXPECT_EQ(lock.Wait(0), 1);
    EXPECT_NE(lock.Release(), 0);
    {
        HeldByAnotherThread other(lock);
        EXPECT_EQ(lock.Wait(0), 0);
    }
    EXPECT_TRUE(PeekMessageA(&msg, nullptr, WM_APP + 2, WM_APP + 2, PM_REMOVE));
}

}  // namespace
