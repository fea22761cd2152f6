#include <gtest/gtest.h>

#include <vector>

#include "platform/event.h"
#include "platform/window.h"

namespace qd {
namespace {

using namespace std::chrono_literals;

using Seen = std::tuple<HWND, UINT, WPARAM, LPARAM>;

TEST(MessageQueue, PostedMessagesArriveInOrderAndDeadWindowsLoseTheirs) {
    MessageQueue q;
    std::vector<Seen> seen;
    auto record = [&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        if (m != WM_DESTROY) seen.push_back({h, m, w, m == 1281 ? 0 : l});
        return 0;
    };
    const HWND a = q.CreateWindow(record), b = q.CreateWindow(record);
    EXPECT_TRUE(PostMessage(a, 1296, 0, 0));
    EXPECT_TRUE(PostMessage(b, 1285, 0, 9));
    EXPECT_TRUE(PostTextMessage(a, 1281, 0, "\"Bob\" has joined\r\n"));
    q.DestroyWindow(a);
    const HWND c = q.CreateWindow(record);
    EXPECT_TRUE(PostTextMessage(c, 1281, 3, "hello\r\n"));
    EXPECT_FALSE(PostMessage(a, 1296, 0, 0) || IsWindow(a));  // destroyed: refused
    EXPECT_EQ(q.DispatchPending(), 2);
    EXPECT_EQ(seen, (std::vector<Seen>{{b, 1285, 0, 9}, {c, 1281, 3, 0}}));

    // A handler that posts again (a retry) is served on the next call, not in a loop.
    int retries = 0;
    const HWND r = q.CreateWindow([&](HWND h, UINT m, WPARAM, LPARAM) -> LRESULT {
        if (m == 1295) retries += PostMessage(h, 1295, 0, 0);
        return 0;
    });
    PostMessage(r, 1295, 0, 0);
    EXPECT_EQ((std::tuple{q.DispatchPending(), q.DispatchPending(), retries}), std::tuple(1, 1, 2));
    q.DestroyWindow(r);

    // A full queue refuses further posts rather than growing; a window destroyed with
    // messages still queued gets none of them.
    for (std::size_t i = 0; i < kMaxPostedMessages; ++i) ASSERT_TRUE(PostMessage(b, WM_USER, 0, 0));
    EXPECT_FALSE(PostMessage(b, WM_USER, 0, 0) || q.PostTask([] {}));
    q.DestroyWindow(b);
    seen.clear();
    q.DispatchPending();
    EXPECT_TRUE(seen.empty());
}

TEST(MessageQueue, TimersOneIdOneTimerAndKill) {
    MessageQueue q;
    std::vector<UINT> fired;
    const HWND w = q.CreateWindow([&](HWND, UINT m, WPARAM id, LPARAM) -> LRESULT {
        if (m == WM_TIMER) fired.push_back(static_cast<UINT>(id));
        return 0;
    });

    // Setting the same id twice leaves one timer: after it fires and is killed, nothing more.
    EXPECT_TRUE(SetTimer(w, 21, 20));
    EXPECT_TRUE(SetTimer(w, 21, 20));
    EXPECT_EQ(q.RunUntil([&] { return !fired.empty(); }, 2s), MessageQueue::LoopEnd::Done);
    EXPECT_EQ((std::vector<bool>{KillTimer(w, 21), KillTimer(w, 21), q.HasTimer(w, 21)}),
              (std::vector<bool>{true, false, false}));
    EXPECT_EQ(q.RunUntil({}, 80ms), MessageQueue::LoopEnd::TimedOut);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0], 21u);

    // A periodic timer keeps firing; a timer with its own procedure bypasses the window.
    fired.clear();
    int procCalls = 0;
    SetTimer(w, 20, 10);
    SetTimer(w, 1297, 10, [&](HWND h, UINT id) {
        EXPECT_EQ(std::pair(h, id), std::pair(w, 1297u));
        procCalls += KillTimer(h, id);  // once, as the re-entry timer does
    });
    q.RunUntil([&] { return fired.size() >= 3; }, 2s);
    EXPECT_EQ(procCalls, 1);
    for (UINT id : fired) EXPECT_EQ(id, 20u);

    // Timers die with their window; timers of unknown windows cannot be set.
    q.DestroyWindow(w);
    EXPECT_EQ((std::vector<bool>{q.HasTimer(w, 20), SetTimer(w, 20, 10)}), std::vector<bool>(2, false));
}

// A SIGTERM quitting the signal target's loops is the host's road: host_road_test and
// startup_test end hosts with it and read the exit code.
TEST(MessageQueue, QuitEndsEveryLoop) {
    MessageQueue q;
    const HWND w = q.CreateWindow([&](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
        // An inner loop that would never end on its own.
        EXPECT_TRUE(m != WM_USER || q.RunUntil([] { return false; }) == MessageQueue::LoopEnd::Quit);
        return 0;
    });
    PostMessage(w, WM_USER, 0, 0);
    q.PostTask([&] { q.PostQuitMessage(3); });
    EXPECT_EQ(q.RunUntil([] { return false; }, 5s), MessageQueue::LoopEnd::Quit);
    EXPECT_EQ(q.ExitCode(), 3);
    EXPECT_FALSE(PostMessage(w, WM_USER, 0, 0));  // a quit queue takes no more
}

// The wake from another thread is the session pump's, on every road.
TEST(AutoResetEvent, WaitAnyTakesTheFirstSetEventAndResetsIt) {
    AutoResetEvent a, b;
    EXPECT_EQ(WaitForAny({&a, &b}, 0), kWaitTimeout);
    b.set();
    a.set();
    // List order decides, like WaitForMultipleObjects; the event taken is reset.
    EXPECT_EQ((std::vector<int>{WaitForAny({&a, &b}, 0), a.isSet(), WaitForAny({&a, &b}, 0), WaitForAny({&a, &b}, 10),
                                WaitForAny({}, 0), WaitForAny({&a, nullptr}, 0)}),
              (std::vector<int>{0, false, 1, kWaitTimeout, kWaitFailed, kWaitFailed}));
}

TEST(TickCount, WrapsAtTwoToThe32) {
    SetTickCountOffsetForTesting(0);
    SetTickCountOffsetForTesting(0xFFFFFFFFu - GetTickCount() + 1);  // now reads near 0 after the wrap
    EXPECT_LT(GetTickCount(), 1000u);
    SetTickCountOffsetForTesting(0);
}

}  // namespace
}  // namespace qd
