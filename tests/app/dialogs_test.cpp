#include <gtest/gtest.h>

#include "app/capture_dialog.h"
#include "app/eject_dialog.h"
#include "app/templates.h"
#include "platform/desk_test.h"
#include "config/fixture.h"

namespace qd {
namespace {

class DialogsTest : public testing::DeskTest {
protected:
    // Ejects name after the operator's clicks and OK.
    int Eject(const std::string& name, std::initializer_list<int> clicks) {
        Operator(IDD_EJECT, [this, ids = std::vector<int>(clicks)](Dialog& d, HWND h) {
            EXPECT_EQ(testing::Checks(d, {IDC_ALLOW_REJOIN, IDC_AUTOBOOT}), "x.") << "every opening";
            for (int id : ids) desk.Click(h, id);
            desk.Click(h, IDC_EJECT_OK);
        });
        return EjectDialog(desk, kNoWindow, name, list);
    }
    testing::Workdir wd;
    AutobootList list{wd.path()};
};

TEST_F(DialogsTest, EjectOptionsStartAtAllowRejoinOnEveryOpening) {
    Operator(IDD_EJECT, [&](Dialog& d, HWND h) {
        EXPECT_EQ(d.GetDlgItemText(IDC_EJECT_NAME), "Bob");
        EXPECT_TRUE(desk.PressEnter(h));  // no default button: Enter does nothing
        EXPECT_FALSE(d.ended());
        EXPECT_FALSE(desk.TypeText(h, IDC_EJECT_NAME, "Alice"));  // read-only
    });
    EXPECT_EQ(Eject("Bob", {IDC_AUTOBOOT}), 1);
    EXPECT_EQ(wd.read("quarneld/autoboot.txt"), "Bob\n");
    // OK without touching the buttons only lets the player go.
    EXPECT_EQ(Eject("Carl", {}), 1);
    EXPECT_FALSE(list.IsAutobooted("Carl"));
    // Kept out for this run only: nothing written.
    EXPECT_EQ(Eject("Dan", {IDC_NO_REJOIN}), 1);
    EXPECT_TRUE(list.IsAutobooted("Dan"));
    EXPECT_EQ(wd.read("quarneld/autoboot.txt"), "Bob\n");
}

TEST_F(DialogsTest, EjectCancelledByButtonEscapeOrCloseBoxChangesNothing) {
    for (const int way : {0, 1, 2}) {
        Operator(IDD_EJECT, [&](Dialog&, HWND h) {
            desk.Click(h, IDC_AUTOBOOT);
            way == 0 ? desk.Click(h, IDC_EJECT_CANCEL) : way == 1 ? desk.PressEscape(h) : desk.CloseBox(h);
        });
        EXPECT_EQ(EjectDialog(desk, kNoWindow, "Eve", list), 0);
    }
    EXPECT_FALSE(list.IsAutobooted("Eve"));
    EXPECT_FALSE(std::filesystem::exists(wd.path() / "quarneld/autoboot.txt"));
    // A queue quit while the dialog is open counts as a cancel.
    q.PostQuitMessage(0);
    EXPECT_EQ(EjectDialog(desk, kNoWindow, "Eve", list), 0);
}

TEST_F(DialogsTest, CaptureDialogOpensSelectedAndCutsTheDescription) {
    CaptureChoice choice{"stale"};
    Operator(IDD_CAPTURE, [&](Dialog& d, HWND h) {
        EXPECT_EQ(choice.description, "");
        EXPECT_EQ(d.GetDlgItemText(IDC_CAPTURE_DESCRIPTION), "No description");
        EXPECT_EQ(d.EditGetSel(IDC_CAPTURE_DESCRIPTION), std::make_pair(0, 14));
        EXPECT_EQ(d.IsDlgButtonChecked(IDC_TARGET_PLACEMENT), BST_CHECKED);
        EXPECT_TRUE(desk.PressEnter(h));  // OK is IDOK here
    });
    EXPECT_EQ(CaptureDialog(desk, choice), 1);
    EXPECT_EQ(choice.description, "No description");
    EXPECT_EQ(choice.purpose, kCaptureTarget);

    Operator(IDD_CAPTURE, [&](Dialog&, HWND h) {
        desk.TypeText(h, IDC_CAPTURE_DESCRIPTION, std::string(300, 'q'));
        desk.Click(h, IDC_TEAM_LOCATION);
        desk.Click(h, IDOK);
    });
    EXPECT_EQ(CaptureDialog(desk, choice), 1);
    EXPECT_EQ(choice.description, std::string(253, 'q'));
    EXPECT_EQ(choice.purpose, kCaptureTeam);
}

MotionCopy At(int32_t latitude) {
    MotionCopy m{};
    for (int i = 0; i < 4; ++i) m[36 + i] = static_cast<uint8_t>(static_cast<uint32_t>(latitude) >> (8 * i));
    return m;
}

TEST_F(DialogsTest, CaptureLocationWritesWhatThePlayerIsWhenTheDialogCloses) {
    int asked = 0;
    auto player = [&]() -> std::optional<CaptureSource> {
        ++asked;
        return CaptureSource{At(4444444), std::string("AJ[]Zeppelin[]F")};
    };
    // Cancel: nothing written, nothing asked.
    Operator(IDD_CAPTURE, [&](Dialog&, HWND h) { desk.Click(h, IDCANCEL); });
    EXPECT_FALSE(CaptureLocation(desk, wd.path(), At(0), player));
    EXPECT_EQ(asked, 0);
    EXPECT_FALSE(std::filesystem::exists(wd.path() / "quarneld/capture.txt"));

    Operator(IDD_CAPTURE, [&](Dialog&, HWND h) { desk.Click(h, IDOK); });
    EXPECT_TRUE(CaptureLocation(desk, wd.path(), At(0), player));
    EXPECT_EQ(asked, 1);
    const std::string file = wd.read("quarneld/capture.txt");
    EXPECT_EQ(file, FormatCapture(At(4444444), "No description", kCaptureTarget, "Zeppelin", std::nullopt));

    // The player left while the dialog was open: the position of the command's moment.
    Operator(IDD_CAPTURE, [&](Dialog&, HWND h) {
        desk.Click(h, IDC_TEAM_LOCATION);
        desk.Click(h, IDOK);
    });
    EXPECT_TRUE(CaptureLocation(desk, wd.path(), At(-2), [] { return std::optional<CaptureSource>(); }));
    EXPECT_EQ(wd.read("quarneld/capture.txt").substr(file.size()),
              FormatCapture(At(-2), "No description", kCaptureTeam, std::nullopt, std::nullopt));
}

}  // namespace
}  // namespace qd
