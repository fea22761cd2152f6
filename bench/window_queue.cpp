// Window thread figures: messages per second posted from another thread and dispatched,
// and the cost of a main-window snapshot (what the console reads after each change).
#include <chrono>
#include <cstdio>
#include <thread>

#include "app/templates.h"
#include "platform/dialog.h"

using namespace qd;
using Clock = std::chrono::steady_clock;

int main() {
    MessageQueue q;
    Desktop desk(q);
    desk.SetEchoToStderr(false);

    constexpr int kMessages = 1'000'000;
    int received = 0;
    const HWND w = q.CreateWindow([&](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return ++received; });
    auto start = Clock::now();
    std::thread poster([w] {
        for (int i = 0; i < kMessages;) i += PostMessage(w, 1296, 0, 0) ? 1 : (std::this_thread::yield(), 0);
    });
    q.RunUntil([&] { return received == kMessages; });
    poster.join();
    double secs = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("posted from another thread and dispatched: %.0f messages/s\n", kMessages / secs);

    // A main window with a full chat pane, options summary and 32 player rows.
    const HWND main = desk.CreateDialogParam(MainWindowTemplate(), kNoWindow, {}, 0);
    Dialog& d = *desk.Find(main);
    d.SetDlgItemText(IDC_CHAT_PANE, std::string(1500, 'c'));
    d.SetDlgItemText(IDC_OPTIONS_SUMMARY, std::string(600, 'o'));
    for (int i = 0; i < 32; ++i) d.AddString(IDC_PLAYER_LIST, "\tJ\tWaiting\tPlayer name here\tTeam A\tSpitfire Mk IX");
    constexpr int kSnapshots = 20'000;
    start = Clock::now();
    for (int i = 0; i < kSnapshots; ++i) {
        desk.Touch();
        desk.PublishSnapshot();
    }
    secs = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("main window snapshot published: %.1f us each\n", secs / kSnapshots * 1e6);
    return 0;
}
