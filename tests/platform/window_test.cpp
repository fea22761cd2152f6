#include <gtest/gtest.h>

#include <csignal>
#include <thread>
#include <vector>

#include "platform/window.h"

namespace qd {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Seen {
    HWND hwnd;
    UINT msg;
    WPARAM w;
    LPARAM l;
};

TEST(MessageQueue, PostedMessagesArriveInOrderAndDeadWindowsLoseTheirs) {
    MessageQueue q;
    std::vector<Seen> seen;
    auto record = [&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        if (m != WM_DESTROY) seen.push_back({h, m, w, l});
        return 0;
    };
    const HWND a = q.CreateWindow(record);
    const HWND b = q.CreateWindow(record);
    EXPECT_NE(a, b);
    EXPECT_TRUE(PostMessage(a, 1296, 0, 0));
    EXPECT_TRUE(PostMessage(b, 1285, 0, 0));
    EXPECT_TRUE(PostTextMessage(a, 1281, 0, "\"Bob\" has joined\r\n"));
    EXPECT_TRUE(PostMessage(a, 1295, 7, 2));
    std::string text;
    auto withText = [&](HWND h, UINT m, WPARAM w, LPARAM l) -> LRESULT {
        if (m == 1281) text = MessageText(l);
        return record(h, m, w, l);
    };
    q.DestroyWindow(a);
    const HWND c = q.CreateWindow(withText);
    EXPECT_TRUE(PostTextMessage(c, 1281, 0, "hello\r\n"));
    EXPECT_FALSE(PostMessage(a, 1296, 0, 0));  // destroyed: refused
    EXPECT_FALSE(IsWindow(a));
    EXPECT_EQ(q.DispatchPending(), 2);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].hwnd, b);
    EXPECT_EQ(seen[0].msg, 1285u);
    EXPECT_EQ(seen[1].hwnd, c);
    EXPECT_EQ(text, "hello\r\n");

    // Other threads post; order per thread is kept and nothing is lost.
    seen.clear();
    std::thread t([&] {
        for (WPARAM i = 0; i < 500; ++i) PostMessage(b, WM_USER + 1, i, 0);
    });
    t.join();
    q.DispatchPending();
    ASSERT_EQ(seen.size(), 500u);
    for (WPARAM i = 0; i < 500; ++i) EXPECT_EQ(seen[i].w, i);

    // A handler that posts again (a retry) is served on the next call, not in a loop.
    int retries = 0;
    const HWND r = q.CreateWindow([&](HWND h, UINT m, WPARAM, LPARAM) -> LRESULT {
        if (m == 1295) {
            ++retries;
            PostMessage(h, 1295, 0, 0);
        }
        return 0;
    });
    PostMessage(r, 1295, 0, 0);
    EXPECT_EQ(q.DispatchPending(), 1);
    EXPECT_EQ(q.DispatchPending(), 1);
    EXPECT_EQ(retries, 2);
    q.DestroyWindow(r);

    // A full queue refuses further posts rather than growing.
    for (std::size_t i = 0; i < kMaxPostedMessages; ++i) ASSERT_TRUE(PostMessage(b, WM_USER, 0, 0));
    EXPECT_FALSE(PostMessage(b, WM_USER, 0, 0));
    EXPECT_FALSE(q.PostTask([] {}));
    // A window destroyed with messages still queued gets none of them.
    q.DestroyWindow(b);
    seen.clear();
    q.DispatchPending();
    EXPECT_TRUE(seen.empty());
}

TEST(MessageQueue, TimersOneIdOneTimerKillAndRestart) {
    MessageQueue q;
    std::vector<std::pair<UINT, Clock::time_point>> fired;
    const HWND w = q.CreateWindow([&](HWND, UINT m, WPARAM id, LPARAM) -> LRESULT {
        if (m == WM_TIMER) fired.push_back({static_cast<UINT>(id), Clock::now()});
        return 0;
    });

    // Setting the same id twice leaves one timer: after it fires and is killed, nothing more.
    EXPECT_TRUE(SetTimer(w, 21, 20));
    EXPECT_TRUE(SetTimer(w, 21, 20));
    EXPECT_EQ(q.RunUntil([&] { return !fired.empty(); }, 2s), MessageQueue::LoopEnd::Done);
    EXPECT_TRUE(KillTimer(w, 21));
    EXPECT_FALSE(KillTimer(w, 21));
    EXPECT_FALSE(q.HasTimer(w, 21));
    EXPECT_EQ(q.RunUntil({}, 80ms), MessageQueue::LoopEnd::TimedOut);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0].first, 21u);

    // Re-setting a running timer restarts its interval from that moment.
    fired.clear();
    const auto start = Clock::now();
    SetTimer(w, 1297, 80);
    q.RunUntil({}, 50ms);
    const auto reset = Clock::now();
    SetTimer(w, 1297, 80);
    EXPECT_EQ(q.RunUntil([&] { return !fired.empty(); }, 2s), MessageQueue::LoopEnd::Done);
    EXPECT_GE(fired[0].second - reset, 80ms);
    EXPECT_GE(fired[0].second - start, 130ms);
    KillTimer(w, 1297);

    // A periodic timer keeps firing; a timer with its own procedure bypasses the window.
    fired.clear();
    int procCalls = 0;
    SetTimer(w, 20, 10);
    SetTimer(w, 1297, 10, [&](HWND h, UINT id) {
        EXPECT_EQ(h, w);
        EXPECT_EQ(id, 1297u);
        ++procCalls;
        KillTimer(h, id);  // once, as the re-entry timer does
    });
    q.RunUntil([&] { return fired.size() >= 3; }, 2s);
    EXPECT_EQ(procCalls, 1);
    for (auto& f : fired) EXPECT_EQ(f.first, 20u);

    // Timers die with their window; timers of unknown windows cannot be set.
    q.DestroyWindow(w);
    EXPECT_FALSE(q.HasTimer(w, 20));
    EXPECT_FALSE(SetTimer(w, 20, 10));
}

TEST(MessageQueue, NestedLoopKeepsTimersAndPostedMessagesFlowing) {
    MessageQueue q;
    std::vector<std::string> log;
    bool innerDone = false;
    int timerTicks = 0;
    std::thread poster;
    HWND w = kNoWindow;
    w = q.CreateWindow([&](HWND h, UINT m, WPARAM wp, LPARAM) -> LRESULT {
        if (m == WM_USER) {
            log.push_back("modal in");
            SetTimer(h, 5, 10);
            // Another thread posts while the inner loop runs; the last post ends it.
            poster = std::thread([h] {
                for (WPARAM i = 1; i <= 3; ++i) PostMessage(h, WM_USER + 1, i, 0);
                PostMessage(h, WM_USER + 2, 0, 0);
            });
            EXPECT_EQ(q.LoopDepth(), 1);
            EXPECT_EQ(q.RunUntil([&] { return innerDone && timerTicks >= 2; }, 5s), MessageQueue::LoopEnd::Done);
            log.push_back("modal out");
        } else if (m == WM_USER + 1) {
            EXPECT_EQ(q.LoopDepth(), 2);
            log.push_back("post " + std::to_string(wp));
        } else if (m == WM_USER + 2) {
            innerDone = true;
        } else if (m == WM_TIMER) {
            ++timerTicks;
        } else if (m == WM_USER + 3) {
            log.push_back("after");
        }
        return 0;
    });
    PostMessage(w, WM_USER, 0, 0);
    PostMessage(w, WM_USER + 3, 0, 0);
    q.RunUntil([&] { return log.size() >= 6; }, 5s);
    poster.join();
    // The message queued before the nested loop started is served by the nested loop first.
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[0], "modal in");
    EXPECT_EQ(log[1], "after");
    EXPECT_EQ(log[2], "post 1");
    EXPECT_EQ(log[4], "post 3");
    EXPECT_EQ(log[5], "modal out");
    EXPECT_GE(timerTicks, 2);
}

TEST(MessageQueue, QuitEndsEveryLoopAndShutdownSignalsWakeTheTarget) {
    {
        MessageQueue q;
        const HWND w = q.CreateWindow([&](HWND, UINT m, WPARAM, LPARAM) -> LRESULT {
            if (m == WM_USER) {
                // An inner loop that would never end on its own.
                EXPECT_EQ(q.RunUntil([] { return false; }), MessageQueue::LoopEnd::Quit);
            }
            return 0;
        });
        PostMessage(w, WM_USER, 0, 0);
        q.PostTask([&] { q.PostQuitMessage(3); });
        EXPECT_EQ(q.RunUntil([] { return false; }, 5s), MessageQueue::LoopEnd::Quit);
        EXPECT_EQ(q.ExitCode(), 3);
        EXPECT_FALSE(PostMessage(w, WM_USER, 0, 0));  // a quit queue takes no more
    }
    {
        // A real SIGTERM, delivered on another thread, runs the handler on the window
        // thread inside the blocked loop.
        MessageQueue q;
        std::thread::id ranOn;
        bool stop = false;
        q.BecomeSignalTarget([&] {
            ranOn = std::this_thread::get_id();
            stop = true;
        });
        InstallShutdownSignalHandlers();
        std::thread t([] {
            std::this_thread::sleep_for(20ms);
            std::raise(SIGTERM);
        });
        EXPECT_EQ(q.RunUntil([&] { return stop; }, 5s), MessageQueue::LoopEnd::Done);
        t.join();
        EXPECT_EQ(ranOn, std::this_thread::get_id());
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
    }
    {
        // Without a handler a signal quits the target's loops.
        MessageQueue q;
        q.BecomeSignalTarget({});
        std::thread t([] { MessageQueue::NotifyShutdownSignal(); });
        EXPECT_EQ(q.RunUntil([] { return false; }, 5s), MessageQueue::LoopEnd::Quit);
        t.join();
        EXPECT_EQ(q.ExitCode(), 0);
    }
}

}  // namespace
}  // namespace qd
