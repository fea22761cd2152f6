#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "app/templates.h"
#include "platform/desk_test.h"
#include "platform/dialog.h"

namespace qd {
namespace {

using namespace std::chrono_literals;

struct Command {
    int id;
    UINT code;
    int focus;
};

// A procedure that records commands (with the focus at that moment) and nothing else.
DialogProc Recorder(std::vector<Command>& out) {
    return [&out](Dialog& d, UINT msg, WPARAM w, LPARAM) -> INT_PTR {
        if (msg == WM_COMMAND) out.push_back({static_cast<int>(LOWORD(w)), HIWORD(w), d.GetFocus()});
        return msg == WM_INITDIALOG ? 1 : 0;
    };
}

using DialogTest = testing::DeskTest;
using testing::Checks;

TEST_F(DialogTest, EnterEscapeAndCloseFollowTheDialogManagersRules) {
    std::vector<Command> cmds;
    const HWND main = desk.CreateDialogParam(MainWindowTemplate(), kNoWindow, Recorder(cmds), 0);
    Dialog& d = *desk.Find(main);
    // The player list is the first control that takes the focus.
    EXPECT_EQ(d.GetFocus(), IDC_PLAYER_LIST);

    // Enter goes to the default push button "Send" wherever the focus is; the procedure
    // sees where the focus was.
    EXPECT_TRUE(desk.PressEnter(main));
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].id, IDC_SEND);
    EXPECT_EQ(cmds[0].focus, IDC_PLAYER_LIST);
    EXPECT_TRUE(desk.TypeText(main, IDC_CHAT_ENTRY, "hello all"));
    EXPECT_EQ(cmds.back().id, IDC_CHAT_ENTRY);
    EXPECT_EQ(cmds.back().code, EN_CHANGE);
    EXPECT_TRUE(desk.PressEnter(main));
    EXPECT_EQ(cmds.back().id, IDC_SEND);
    EXPECT_EQ(cmds.back().focus, IDC_CHAT_ENTRY);
    // A focused push button takes Enter itself.
    EXPECT_TRUE(desk.Focus(main, IDC_EJECT));
    EXPECT_TRUE(desk.PressEnter(main));
    EXPECT_EQ(cmds.back().id, IDC_EJECT);
    // Escape and the close box both come as IDCANCEL.
    EXPECT_TRUE(desk.PressEscape(main));
    EXPECT_EQ(cmds.back().id, IDCANCEL);
    cmds.clear();
    EXPECT_TRUE(desk.CloseBox(main));
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].id, IDCANCEL);

    // Disabled, hidden and read-only controls refuse the operator; statics take no clicks.
    cmds.clear();
    EXPECT_FALSE(desk.Click(main, IDC_NF_LAUNCH));
    EXPECT_FALSE(desk.Click(main, IDC_READY));
    EXPECT_FALSE(desk.TypeText(main, IDC_CHAT_PANE, "x"));
    EXPECT_FALSE(desk.TypeText(main, IDC_HOST_ADDRESS, "x"));
    EXPECT_FALSE(desk.Click(main, IDC_STATIC));
    EXPECT_FALSE(desk.Click(main, 4242));
    EXPECT_TRUE(cmds.empty());
    d.EnableWindow(IDC_NF_LAUNCH, true);
    EXPECT_TRUE(desk.Click(main, IDC_NF_LAUNCH));
    EXPECT_EQ(cmds.back().id, IDC_NF_LAUNCH);
    EXPECT_EQ(cmds.back().code, BN_CLICKED);
    EXPECT_EQ(d.GetFocus(), IDC_NF_LAUNCH);  // a clicked button takes the focus

    // Without a default push button Enter sends IDOK: the eject dialog's OK is 1108, so
    // Enter alone does nothing there; the capture dialog's OK is IDOK itself.
    std::vector<Command> eject;
    const HWND e = desk.CreateDialogParam(EjectDialogTemplate(), main, Recorder(eject), 0);
    EXPECT_TRUE(desk.PressEnter(e));
    ASSERT_EQ(eject.size(), 1u);
    EXPECT_EQ(eject[0].id, IDOK);
    std::vector<Command> capture;
    const HWND c = desk.CreateDialogParam(CaptureDialogTemplate(), kNoWindow, Recorder(capture), 0);
    desk.Find(c)->EnableWindow(IDCANCEL, false);
    EXPECT_FALSE(desk.PressEscape(c));  // a disabled Cancel button holds Escape back
    EXPECT_TRUE(desk.PressEnter(c));
    EXPECT_EQ(capture.back().id, IDOK);
    EXPECT_TRUE(DestroyWindow(c));
    EXPECT_EQ(desk.Find(c), nullptr);
}

TEST_F(DialogTest, AutomaticRadioButtonsKeepOneCheckedPerGroup) {
    std::vector<Command> cmds;
    const HWND e = desk.CreateDialogParam(EjectDialogTemplate(), kNoWindow, Recorder(cmds), 0);
    Dialog& d = *desk.Find(e);
    d.CheckDlgButton(IDC_ALLOW_REJOIN, BST_CHECKED);
    EXPECT_TRUE(desk.Click(e, IDC_AUTOBOOT));
    EXPECT_EQ(cmds.back().id, IDC_AUTOBOOT);
    EXPECT_EQ(cmds.back().code, BN_CLICKED);
    EXPECT_EQ(Checks(d, {IDC_ALLOW_REJOIN, IDC_NO_REJOIN, IDC_AUTOBOOT}), "..x");
    EXPECT_TRUE(desk.Click(e, IDC_AUTOBOOT));  // clicking the checked one keeps it checked
    EXPECT_EQ(Checks(d, {IDC_AUTOBOOT}), "x");

    // Two groups in one dialog do not touch each other; a check box toggles.
    DialogTemplate t;
    t.id = 900;
    t.controls = {
        {1, ControlKind::RadioButton, "a", 0, 0, 1, 1, CS_AUTO | CS_GROUP, {}},
        {2, ControlKind::RadioButton, "b", 0, 0, 1, 1, CS_AUTO | CS_CHECKED, {}},
        {3, ControlKind::RadioButton, "c", 0, 0, 1, 1, CS_AUTO | CS_GROUP | CS_CHECKED, {}},
        {4, ControlKind::RadioButton, "d", 0, 0, 1, 1, CS_AUTO, {}},
        {5, ControlKind::CheckBox, "e", 0, 0, 1, 1, CS_AUTO | CS_GROUP, {}},
        {6, ControlKind::RadioButton, "manual", 0, 0, 1, 1, CS_GROUP, {}},
    };
    const HWND g = desk.CreateDialogParam(t, kNoWindow, Recorder(cmds), 0);
    Dialog& gd = *desk.Find(g);
    desk.Click(g, 1);
    EXPECT_EQ(Checks(gd, {1, 2, 3}), "x.x");
    desk.Click(g, 4);
    EXPECT_EQ(Checks(gd, {1, 3, 4}), "x.x");
    desk.Click(g, 5);
    EXPECT_EQ(Checks(gd, {5}), "x");
    desk.Click(g, 5);
    EXPECT_EQ(Checks(gd, {5}), ".");
    desk.Click(g, 6);  // not automatic: only the command, the procedure decides
    EXPECT_EQ(Checks(gd, {6}), ".");
    EXPECT_EQ(cmds.back().id, 6);
    EXPECT_TRUE(gd.CheckRadioButton(3, 4, 4));
    EXPECT_EQ(Checks(gd, {3, 4}), ".x");
}

TEST_F(DialogTest, ListAndComboBoxesAnswerAsThePlatformDoes) {
    std::vector<Command> cmds;
    const HWND main = desk.CreateDialogParam(MainWindowTemplate(), kNoWindow, Recorder(cmds), 0);
    Dialog& d = *desk.Find(main);
    const int L = IDC_PLAYER_LIST;
    EXPECT_EQ(d.GetCurSel(L), LB_ERR);
    EXPECT_EQ(d.GetItemData(L, 0), LB_ERR);
    EXPECT_EQ(d.DeleteString(L, 0), LB_ERR);
    EXPECT_EQ(d.AddString(L, "\tJ\tNew\tzed"), 0);
    EXPECT_EQ(d.AddString(L, "\tC\tNew\talpha"), 1);  // not sorted: appended
    EXPECT_EQ(d.SetItemData(L, 0, 0x1234), 0);
    EXPECT_EQ(d.SetItemData(L, 1, 0x5678), 0);
    EXPECT_EQ(d.SetItemData(L, 2, 1), LB_ERR);
    EXPECT_EQ(d.InsertString(L, 3, "x"), LB_ERR);
    EXPECT_EQ(d.InsertString(L, 2, "\tC\tNew\tthird"), 2);
    EXPECT_EQ(d.FindItemData(L, 0x5678), 1);
    EXPECT_EQ(d.FindItemData(L, 99), LB_ERR);

    // A row refreshed in place (delete, insert at the same index) loses its selection,
    // and a selection below a deleted row moves up with it.
    EXPECT_EQ(d.SetCurSel(L, 1), 1);
    EXPECT_EQ(d.DeleteString(L, 1), 2);
    EXPECT_EQ(d.GetCurSel(L), LB_ERR);
    EXPECT_EQ(d.InsertString(L, 1, "\tC\tReady\talpha"), 1);
    EXPECT_EQ(d.GetItemData(L, 1), 0);  // a new item carries no data until set
    d.SetCurSel(L, 2);
    d.DeleteString(L, 0);
    EXPECT_EQ(d.GetCurSel(L), 1);
    EXPECT_EQ(*d.GetItemText(L, 1), "\tC\tNew\tthird");
    d.InsertString(L, -1, "end");
    d.InsertString(L, 0, "top");
    EXPECT_EQ(d.GetCurSel(L), 2);
    EXPECT_EQ(d.SetCurSel(L, 17), LB_ERR);  // out of range: a list box keeps its selection
    EXPECT_EQ(d.GetCurSel(L), 2);
    EXPECT_EQ(d.SetCurSel(L, -1), LB_ERR);
    EXPECT_EQ(d.GetCurSel(L), LB_ERR);
    EXPECT_EQ(d.GetItemTextLength(L, 0), 3);
    EXPECT_EQ(d.GetItemTextLength(L, 9), LB_ERR);
    EXPECT_FALSE(d.GetItemText(L, 9).has_value());

    // The operator's selection notifies (the list has the notify style).
    cmds.clear();
    EXPECT_TRUE(desk.SelectItem(main, L, 1));
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].id, L);
    EXPECT_EQ(cmds[0].code, LBN_SELCHANGE);
    EXPECT_FALSE(desk.SelectItem(main, L, 99));
    EXPECT_EQ(d.GetCount(L), 4);
    EXPECT_EQ(d.ResetContent(L), 0);
    EXPECT_EQ(d.GetCount(L), 0);
    EXPECT_EQ(d.GetCount(IDC_SEND), LB_ERR);  // not a list
    EXPECT_EQ(d.AddString(IDC_SEND, "x"), LB_ERR);

    // Combo box: out of range or -1 clears the selection and answers CB_ERR; the box shows
    // the selected entry's text.
    const int T = IDC_TEAM_LIST;
    d.AddString(T, "Red");
    d.AddString(T, "Blue");
    EXPECT_EQ(d.SetCurSel(T, 1), 1);
    EXPECT_EQ(d.GetDlgItemText(T), "Blue");
    EXPECT_EQ(d.SetCurSel(T, 5), CB_ERR);
    EXPECT_EQ(d.GetCurSel(T), CB_ERR);
    EXPECT_EQ(d.GetDlgItemText(T), "");
    cmds.clear();
    EXPECT_TRUE(desk.SelectItem(main, T, 0));
    EXPECT_EQ(cmds.back().code, CBN_SELCHANGE);
    EXPECT_EQ(d.DeleteString(T, 0), 1);
    EXPECT_EQ(d.GetCurSel(T), CB_ERR);

    // Sorted boxes insert without regard to case; a full box answers the space error.
    DialogTemplate t;
    t.id = 901;
    t.controls = {{7, ControlKind::ListBox, "", 0, 0, 1, 1, CS_SORT, {}}};
    const HWND s = desk.CreateDialogParam(t, kNoWindow, {}, 0);
    Dialog& sd = *desk.Find(s);
    sd.AddString(7, "delta");
    sd.AddString(7, "Bravo");
    sd.AddString(7, "alpha");
    EXPECT_EQ(sd.AddString(7, "Charlie"), 2);
    EXPECT_EQ(*sd.GetItemText(7, 0), "alpha");
    EXPECT_EQ(*sd.GetItemText(7, 3), "delta");
    sd.ResetContent(7);
    for (std::size_t i = 0; i < kMaxListItems; ++i) ASSERT_EQ(sd.InsertString(7, -1, "x"), static_cast<int>(i));
    EXPECT_EQ(sd.AddString(7, "y"), LB_ERRSPACE);
    EXPECT_EQ(sd.InsertString(7, 0, "y"), LB_ERRSPACE);
}

TEST_F(DialogTest, EditSelectionAndLines) {
    const HWND main = desk.CreateDialogParam(MainWindowTemplate(), kNoWindow, {}, 0);
    Dialog& d = *desk.Find(main);
    const int P = IDC_CHAT_PANE;
    d.SetDlgItemText(P, "first\r\nsecond line\r\nlast");
    EXPECT_EQ(d.EditLineLength(P, 0), 5);
    EXPECT_EQ(d.EditLineLength(P, 6), 5);  // inside the first line's end
    EXPECT_EQ(d.EditLineLength(P, 7), 11);
    EXPECT_EQ(d.EditLineLength(P, 24), 4);
    EXPECT_EQ(d.EditLineLength(P, 99), 0);
    EXPECT_EQ(d.EditLineIndex(P, 1), 7);
    EXPECT_EQ(d.EditLineIndex(P, 2), 20);
    EXPECT_EQ(d.EditLineIndex(P, 3), -1);
    d.EditSetSel(P, 0, -1);
    EXPECT_EQ(d.EditGetSel(P), std::make_pair(0, 24));
    d.EditSetSel(P, 9, 3);  // reversed, normalised
    EXPECT_EQ(d.EditGetSel(P), std::make_pair(3, 9));
    d.EditSetSel(P, -1, 0);  // deselect keeps the caret
    EXPECT_EQ(d.EditGetSel(P), std::make_pair(9, 9));
    d.EditSetSel(P, 500, 600);  // clamped to the text
    EXPECT_EQ(d.EditGetSel(P), std::make_pair(24, 24));

    // Replacing the selection keeps the caret after the new text.
    d.EditSetSel(P, 0, 7);
    d.EditReplaceSel(P, "");
    EXPECT_EQ(d.GetDlgItemText(P), "second line\r\nlast");
    EXPECT_EQ(d.EditGetSel(P), std::make_pair(0, 0));
}

TEST_F(DialogTest, ModalDialogsNestHoldTheWindowsBelowAndReturnTheirResult) {
    std::vector<int> order;
    HWND main = kNoWindow, eject = kNoWindow;
    int chosen = 0;
    auto ejectProc = [&](Dialog& d, UINT msg, WPARAM w, LPARAM l) -> INT_PTR {
        if (msg == WM_INITDIALOG) {
            eject = d.hwnd();
            d.SetDlgItemText(IDC_EJECT_NAME, *reinterpret_cast<const std::string*>(l));
            d.CheckDlgButton(IDC_ALLOW_REJOIN, BST_CHECKED);
            chosen = IDC_ALLOW_REJOIN;
            return 1;
        }
        if (msg == WM_COMMAND) {
            const int id = LOWORD(w);
            if (id >= IDC_ALLOW_REJOIN && id <= IDC_AUTOBOOT) chosen = id;
            if (id == IDC_EJECT_OK) EndDialog(d.hwnd(), 1);
            if (id == IDC_EJECT_CANCEL || id == IDCANCEL) EndDialog(d.hwnd(), 0);
            return 1;
        }
        return 0;
    };
    auto mainProc = [&](Dialog& d, UINT msg, WPARAM w, LPARAM) -> INT_PTR {
        if (msg == WM_INITDIALOG) {
            main = d.hwnd();
            return 1;
        }
        if (msg == WM_COMMAND && LOWORD(w) == IDC_EJECT) {
            const std::string name = "Bob";
            const INT_PTR r = d.desktop().DialogBoxParam(EjectDialogTemplate(), d.hwnd(), ejectProc,
                                                         reinterpret_cast<LPARAM>(&name));
            order.push_back(static_cast<int>(r));
            return 1;
        }
        if (msg == WM_COMMAND && LOWORD(w) == IDCANCEL) EndDialog(d.hwnd(), 7);
        if (msg == WM_DESTROY) order.push_back(-100);
        return 0;
    };
    // The operator's input arrives as tasks, as the console posts it.
    q.PostTask([&] { EXPECT_TRUE(desk.Click(main, IDC_EJECT)); });  // opens the eject dialog
    q.PostTask([&] {
        EXPECT_FALSE(desk.AcceptsInput(main));
        EXPECT_FALSE(desk.Click(main, IDC_CAPTURE));  // held by the modal dialog
        EXPECT_FALSE(desk.PressEscape(main));
        EXPECT_TRUE(desk.AcceptsInput(eject));
        EXPECT_EQ(desk.Find(eject)->GetDlgItemText(IDC_EJECT_NAME), "Bob");
        EXPECT_TRUE(desk.Click(eject, IDC_AUTOBOOT));
        EXPECT_TRUE(desk.Click(eject, IDC_EJECT_OK));
    });
    q.PostTask([&] {
        EXPECT_EQ(desk.Find(eject), nullptr);  // gone after its loop ended
        EXPECT_TRUE(desk.AcceptsInput(main));
        EXPECT_TRUE(desk.Click(main, IDC_EJECT));  // a second opening starts afresh
    });
    q.PostTask([&] { EXPECT_TRUE(desk.PressEscape(eject)); });
    q.PostTask([&] { EXPECT_TRUE(desk.PressEscape(main)); });
    std::vector<Command> none;
    const INT_PTR r = desk.DialogBoxParam(MainWindowTemplate(), kNoWindow, mainProc, 0);
    EXPECT_EQ(r, 7);
    EXPECT_EQ(order, (std::vector<int>{1, 0, -100}));
    EXPECT_EQ(chosen, IDC_ALLOW_REJOIN);
    EXPECT_TRUE(desk.Dialogs().empty());
    EXPECT_FALSE(IsWindow(main));

    // A dialog that ends while it opens never waits; a quit queue ends a dialog with -1.
    auto endAtOnce = [](Dialog& d, UINT msg, WPARAM, LPARAM) -> INT_PTR {
        if (msg == WM_INITDIALOG) d.End(0);
        return 0;
    };
    EXPECT_EQ(desk.DialogBoxParam(ConnectionDialogTemplate(), kNoWindow, endAtOnce, 0), 0);
    q.PostTask([&] { q.PostQuitMessage(0); });
    EXPECT_EQ(desk.DialogBoxParam(ConnectionDialogTemplate(), kNoWindow, {}, 0), -1);
}

TEST_F(DialogTest, QuestionBoxWaitsForTheOperatorWhileTimersFireAndNoticesNeverWait) {
    HWND main = kNoWindow;
    int ticks = 0;
    int ticksWhileAsking = 0;
    bool asking = false;
    std::vector<int> answers;
    auto mainProc = [&](Dialog& d, UINT msg, WPARAM w, LPARAM) -> INT_PTR {
        switch (msg) {
        case WM_INITDIALOG:
            main = d.hwnd();
            SetTimer(main, 20, 10);
            return 1;
        case WM_TIMER:
            ++ticks;
            if (asking) ++ticksWhileAsking;
            if (asking && ticksWhileAsking == 3) {
                // Another operator's input answers the open question.
                q.PostTask([&] {
                    ASSERT_EQ(desk.Boxes().size(), 2u);  // the notice and the question
                    const int id = desk.Boxes().back().id;
                    EXPECT_FALSE(desk.AnswerBox(id, IDOK));  // not one of its buttons
                    const bool first = answers.empty();
                    EXPECT_TRUE(desk.AnswerBox(id, first ? IDNO : IDYES));
                    if (first) {
                        q.PostTask([&] {
                            EXPECT_EQ(answers, std::vector<int>{IDNO});
                            EXPECT_TRUE(desk.AcceptsInput(main));
                            EXPECT_TRUE(desk.PressEscape(main));  // asked again; answered Yes
                        });
                    }
                });
            }
            return 1;
        case WM_COMMAND:
            if (LOWORD(w) == IDC_CHANGE_OPTIONS) {
                // An information box returns at once and leaves the window usable.
                MessageBoxRequest info{"Only allowed to change settings with all players in the Ready Room",
                                       std::nullopt, MbButtons::Ok, MbIcon::Information, true};
                EXPECT_EQ(desk.ShowMessageBox(info), IDOK);
                EXPECT_TRUE(desk.AcceptsInput(main));
            }
            if (LOWORD(w) == IDCANCEL) {
                asking = true;
                ticksWhileAsking = 0;
                MessageBoxRequest exit{"Are you sure you want to exit Quarneld?", std::string(" "), MbButtons::YesNo,
                                       MbIcon::Question, true};
                const int a = WindowMessageBoxHandler(desk)(exit);
                asking = false;
                answers.push_back(a);
                if (a == IDYES) EndDialog(main, 0);
            }
            return 1;
        }
        return 0;
    };
    q.PostTask([&] { EXPECT_TRUE(desk.Click(main, IDC_CHANGE_OPTIONS)); });
    q.PostTask([&] {
        ASSERT_EQ(desk.Boxes().size(), 1u);
        EXPECT_FALSE(desk.Boxes()[0].question);
        EXPECT_EQ(desk.Snapshot().boxes[0].caption, "Error");  // the platform's default title
        EXPECT_TRUE(desk.PressEscape(main));  // the exit question; answered No
    });
    EXPECT_EQ(desk.DialogBoxParam(MainWindowTemplate(), kNoWindow, mainProc, 0), 0);
    EXPECT_EQ(answers, (std::vector<int>{IDNO, IDYES}));
    EXPECT_GE(ticks, 6);
    // The notice stays until dismissed; a question is gone once answered.
    ASSERT_EQ(desk.Boxes().size(), 1u);
    EXPECT_TRUE(desk.DismissNotice(desk.Boxes()[0].id));
    EXPECT_TRUE(desk.Boxes().empty());

    // A box shown from another thread never touches the model: written out, declined.
    int fromThread = 0;
    std::thread([&] {
        fromThread = desk.ShowMessageBox({"?", std::nullopt, MbButtons::YesNo, MbIcon::Question, false});
    }).join();
    EXPECT_EQ(fromThread, IDNO);
    EXPECT_TRUE(desk.Boxes().empty());

    // A flood of notices keeps only the newest.
    for (int i = 0; i < 100; ++i)
        desk.ShowMessageBox({"Player on team, but NOT " + std::to_string(i), std::nullopt, MbButtons::Ok, MbIcon::None, false});
    ASSERT_EQ(desk.Boxes().size(), kMaxNotices);
    EXPECT_EQ(desk.Boxes().back().request.text, "Player on team, but NOT 99");
}

TEST_F(DialogTest, InputUnderAQuestionIsRefusedAndOnlyTheTopModalAnswers) {
    HWND main = kNoWindow;
    std::vector<int> log;
    auto proc = [&](Dialog& d, UINT msg, WPARAM w, LPARAM) -> INT_PTR {
        if (msg == WM_INITDIALOG) main = d.hwnd();
        if (msg == WM_COMMAND && LOWORD(w) == IDC_EJECT) {
            log.push_back(desk.ShowMessageBox({"outer?", std::nullopt, MbButtons::YesNo, MbIcon::Question, true}));
        }
        if (msg == WM_USER) {
            log.push_back(desk.ShowMessageBox({"inner?", std::nullopt, MbButtons::OkCancel, MbIcon::Question, true}));
        }
        if (msg == WM_COMMAND && LOWORD(w) == IDCANCEL) EndDialog(main, 5);
        return 1;
    };
    // Each step posts the next, so it runs inside whichever loop is current then.
    q.PostTask([&] {
        q.PostTask([&] {
            EXPECT_FALSE(desk.Click(main, IDC_CAPTURE));
            EXPECT_FALSE(desk.TypeText(main, IDC_CHAT_ENTRY, "x"));
            PostMessage(main, WM_USER, 0, 0);  // posted messages still reach the held window
            q.PostTask([&] {
                ASSERT_EQ(desk.Boxes().size(), 2u);
                const auto snap = desk.Snapshot();
                EXPECT_FALSE(snap.boxes[0].acceptsInput);
                EXPECT_TRUE(snap.boxes[1].acceptsInput);
                EXPECT_FALSE(snap.dialogs[0].enabled);
                EXPECT_FALSE(desk.AnswerBox(desk.Boxes()[0].id, IDYES));  // under the inner box
                EXPECT_TRUE(desk.AnswerBox(desk.Boxes()[1].id, IDCANCEL));
                q.PostTask([&] {
                    EXPECT_TRUE(desk.AnswerBox(desk.Boxes()[0].id, IDYES));
                    q.PostTask([&] { EXPECT_TRUE(desk.PressEscape(main)); });
                });
            });
        });
        desk.Click(main, IDC_EJECT);
    });
    EXPECT_EQ(desk.DialogBoxParam(MainWindowTemplate(), kNoWindow, proc, 0), 5);
    EXPECT_EQ(log, (std::vector<int>{IDCANCEL, IDYES}));
}

TEST_F(DialogTest, ChangesBumpTheRevisionAndReachTheConsoleThread) {
    const HWND main = desk.CreateDialogParam(MainWindowTemplate(), kNoWindow, {}, 0);
    Dialog& d = *desk.Find(main);
    uint64_t r = desk.Revision();
    d.SetDlgItemText(IDC_HOST_ADDRESS, "192.168.1.2");
    EXPECT_GT(desk.Revision(), r);
    r = desk.Revision();
    d.SetDlgItemText(IDC_HOST_ADDRESS, "192.168.1.2");  // unchanged: no new revision
    d.EnableWindow(IDC_EJECT, true);
    d.ShowWindow(IDC_READY, false);
    EXPECT_EQ(desk.Revision(), r);
    d.EnableWindow(IDC_NF_LAUNCH, true);
    EXPECT_GT(desk.Revision(), r);

    // A console thread waits for a newer snapshot; one is published after the next
    // dispatched message that changed something.
    desk.PublishSnapshot();
    const uint64_t seen = desk.LatestSnapshot()->revision;
    std::shared_ptr<const DesktopSnapshot> got;
    std::thread console([&] { got = desk.WaitForSnapshot(seen, 5s); });
    q.PostTask([&] { d.AddString(IDC_PLAYER_LIST, "\tJ\tNew\tBob\t \tUnknown"); });
    q.RunUntil([&] { return desk.LatestSnapshot()->revision > seen; }, 5s);
    console.join();
    ASSERT_TRUE(got);
    ASSERT_EQ(got->dialogs.size(), 1u);
    const auto& controls = got->dialogs[0].controls;
    const auto list = std::find_if(controls.begin(), controls.end(), [](auto& c) { return c.tmpl.id == IDC_PLAYER_LIST; });
    ASSERT_NE(list, controls.end());
    EXPECT_EQ(list->items.size(), 1u);
    EXPECT_EQ(desk.WaitForSnapshot(got->revision, 10ms), nullptr);  // nothing newer
}

}  // namespace
}  // namespace qd
