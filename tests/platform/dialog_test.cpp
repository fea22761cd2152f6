#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "app/templates.h"
#include "platform/desk_test.h"

namespace qd {
namespace {

using namespace std::chrono_literals;

using Command = std::tuple<int, UINT, int>;  // id, code, the focus then
using Commands = std::vector<Command>;

class DialogTest : public testing::DeskTest {
protected:
    // A modeless dialog whose procedure records its commands and nothing else.
    Dialog& Open(const DialogTemplate& t, HWND owner = kNoWindow) {
        auto record = [this](Dialog& d, UINT msg, WPARAM w, LPARAM) -> INT_PTR {
            if (msg == WM_COMMAND) cmds.push_back({static_cast<int>(LOWORD(w)), HIWORD(w), d.GetFocus()});
            return msg == WM_INITDIALOG ? 1 : 0;
        };
        return *desk.Find(desk.CreateDialogParam(t, owner, record, 0));
    }
    Commands cmds;
};

TEST_F(DialogTest, EnterEscapeCloseAndClicksFollowTheDialogManagersRules) {
    Dialog& d = Open(MainWindowTemplate());
    const HWND main = d.hwnd();
    EXPECT_EQ(d.GetFocus(), IDC_PLAYER_LIST);  // the first control that takes the focus
    // Enter goes to the default push button "Send" wherever the focus is, unless a push
    // button has the focus; Escape and the close box both come as IDCANCEL.
    EXPECT_EQ((std::vector<bool>{desk.PressEnter(main), desk.TypeText(main, IDC_CHAT_ENTRY, "hello all"),
                                 desk.PressEnter(main), desk.Focus(main, IDC_EJECT), desk.PressEnter(main),
                                 desk.PressEscape(main), desk.CloseBox(main)}),
              std::vector<bool>(7, true));
    EXPECT_EQ(d.GetDlgItemText(IDC_CHAT_ENTRY), "hello all");
    EXPECT_EQ(cmds, (Commands{{IDC_SEND, BN_CLICKED, IDC_PLAYER_LIST}, {IDC_CHAT_ENTRY, EN_CHANGE, IDC_CHAT_ENTRY},
                              {IDC_SEND, BN_CLICKED, IDC_CHAT_ENTRY}, {IDC_EJECT, BN_CLICKED, IDC_EJECT},
                              {IDCANCEL, BN_CLICKED, IDC_EJECT}, {IDCANCEL, BN_CLICKED, IDC_EJECT}}));

    // Disabled, hidden and read-only controls refuse the operator; statics take no clicks;
    // a clicked button takes the focus.
    cmds.clear();
    EXPECT_EQ((std::vector<bool>{desk.Click(main, IDC_NF_LAUNCH), desk.Click(main, IDC_READY),
                                 desk.TypeText(main, IDC_CHAT_PANE, "x"), desk.TypeText(main, IDC_HOST_ADDRESS, "x"),
                                 desk.Click(main, IDC_STATIC), desk.Click(main, 4242)}),
              std::vector<bool>(6, false));
    d.EnableWindow(IDC_NF_LAUNCH, true);
    EXPECT_TRUE(desk.Click(main, IDC_NF_LAUNCH));
    EXPECT_EQ(cmds, (Commands{{IDC_NF_LAUNCH, BN_CLICKED, IDC_NF_LAUNCH}}));
    // A full list answers the space error.
    const int L = IDC_PLAYER_LIST;
    for (std::size_t i = 0; i < kMaxListItems; ++i) ASSERT_EQ(d.InsertString(L, -1, "x"), static_cast<int>(i));
    EXPECT_EQ(std::pair(d.AddString(L, "y"), d.InsertString(L, 0, "y")), std::pair(LB_ERRSPACE, LB_ERRSPACE));

    // Without a default push button Enter sends IDOK (the eject dialog's own OK is another
    // id); a disabled Cancel button holds Escape back.
    cmds.clear();
    EXPECT_TRUE(desk.PressEnter(Open(EjectDialogTemplate(), main).hwnd()));
    const HWND c = Open(CaptureDialogTemplate()).hwnd();
    desk.Find(c)->EnableWindow(IDCANCEL, false);
    EXPECT_EQ((std::vector<bool>{desk.PressEscape(c), desk.PressEnter(c)}), (std::vector<bool>{false, true}));
    EXPECT_EQ(cmds, (Commands{{IDOK, BN_CLICKED, IDC_EJECT_NAME}, {IDOK, BN_CLICKED, IDC_CAPTURE_DESCRIPTION}}));
    EXPECT_TRUE(DestroyWindow(c));
    EXPECT_FALSE(desk.Find(c) || EndDialog(c, 0));
}

TEST_F(DialogTest, ModalDialogsAndQuestionsHoldEveryWindowBelowUntilTheyEnd) {
    // The eject dialog's modal road (held main window, afresh on each opening) is driven
    // end to end by the browser's "Eject pilot" suite.
    HWND main = kNoWindow;
    int ticks = 0;
    std::vector<int> log;
    const MessageBoxRequest exit{"Are you sure you want to exit?", " ", MbButtons::YesNo, MbIcon::Question, true};
    auto proc = [&](Dialog& d, UINT msg, WPARAM w, LPARAM) -> INT_PTR {
        const int id = msg == WM_COMMAND ? LOWORD(w) : 0;
        if (msg == WM_INITDIALOG) SetTimer(main = d.hwnd(), 20, 10);
        ticks += msg == WM_TIMER;
        if (id == IDC_CHANGE_OPTIONS) {
            // An information box returns at once and leaves the window usable.
            log.push_back(desk.ShowMessageBox({"Only with all players in the Ready Room", {}, MbButtons::Ok}));
            log.push_back(desk.AcceptsInput(main));
        }
        if (id == IDC_CAPTURE) log.push_back(WindowMessageBoxHandler(desk)(exit));
        if (msg == WM_USER) log.push_back(desk.ShowMessageBox({"inner?", {}, MbButtons::OkCancel}));
        if (id == IDCANCEL) EndDialog(main, 5);
        if (msg == WM_DESTROY) log.push_back(-100);
        return msg != WM_DESTROY;
    };
    // The operator's input arrives as tasks, as the console posts it; each runs inside
    // whichever loop is current then.
    q.PostTask([&] {
        EXPECT_TRUE(desk.Click(main, IDC_CHANGE_OPTIONS));
        ASSERT_EQ(desk.Boxes().size(), 1u);
        q.PostTask([&] {
            // Held by the question.
            EXPECT_FALSE(desk.Click(main, IDC_EJECT) || desk.TypeText(main, IDC_CHAT_ENTRY, "x"));
            PostMessage(main, WM_USER, 0, 0);  // posted messages still reach the held window
            q.PostTask([&] {
                ASSERT_EQ(desk.Boxes().size(), 3u);  // the notice and both questions
                const auto snap = desk.Snapshot();
                EXPECT_EQ((std::vector<bool>{snap.boxes[0].acceptsInput, snap.boxes[1].acceptsInput,
                                             snap.boxes[2].acceptsInput, snap.dialogs[0].enabled}),
                          (std::vector<bool>{true, false, true, false}));
                const int t0 = ticks;  // timers fire while a question waits
                EXPECT_EQ(q.RunUntil([&] { return ticks >= t0 + 3; }, 2s), MessageQueue::LoopEnd::Done);
                const int outer = desk.Boxes()[1].id, inner = desk.Boxes()[2].id;
                EXPECT_FALSE(desk.AnswerBox(outer, IDYES));  // under the inner box
                EXPECT_FALSE(desk.AnswerBox(inner, IDYES));  // not one of its buttons
                EXPECT_TRUE(desk.AnswerBox(inner, IDCANCEL));
                q.PostTask([&, outer] {
                    EXPECT_TRUE(!desk.AnswerBox(outer, IDOK) && desk.AnswerBox(outer, IDNO));
                    q.PostTask([&] { EXPECT_TRUE(desk.PressEscape(main)); });
                });
            });
        });
        desk.Click(main, IDC_CAPTURE);
    });
    EXPECT_EQ(desk.DialogBoxParam(MainWindowTemplate(), kNoWindow, proc, 0), 5);
    EXPECT_EQ(log, (std::vector<int>{IDOK, true, IDCANCEL, IDNO, -100}));
    // The notice stays until dismissed; a question is gone once answered.
    ASSERT_EQ(desk.Boxes().size(), 1u);
    EXPECT_TRUE(desk.DismissNotice(desk.Boxes()[0].id) && desk.Boxes().empty());

    // A box shown from another thread never touches the model: written out, declined.
    int fromThread = 0;
    std::thread([&] { fromThread = desk.ShowMessageBox(exit); }).join();
    EXPECT_EQ(fromThread, IDNO);
    EXPECT_TRUE(desk.Boxes().empty());
    // A flood of notices keeps only the newest.
    for (int i = 0; i < 100; ++i) desk.ShowMessageBox({"Player on team, but NOT " + std::to_string(i), {}});
    ASSERT_EQ(desk.Boxes().size(), kMaxNotices);
    EXPECT_EQ(desk.Boxes().back().request.text, "Player on team, but NOT 99");

    // A dialog that ends while it opens never waits (a quit ending one: startup_test's signal).
    auto endAtOnce = [](Dialog& d, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg == WM_INITDIALOG) d.End(0);
        return 0;
    };
    EXPECT_EQ(desk.DialogBoxParam(ConnectionDialogTemplate(), kNoWindow, endAtOnce, 0), 0);
}

}  // namespace
}  // namespace qd
