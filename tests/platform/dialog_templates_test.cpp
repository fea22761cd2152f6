#include <gtest/gtest.h>

#include <set>

#include "app/settings_dialog.h"
#include "app/templates.h"

namespace qd {
namespace {

const ControlState* Get(const Dialog& d, int id) {
    const ControlState* c = d.Control(id);
    EXPECT_NE(c, nullptr) << "control " << id;
    return c;
}

TEST(DialogTemplates, ControlsFitTheirDialogAndIdsAreUnique) {
    for (const DialogTemplate* t :
         {&MainWindowTemplate(), &ConnectionDialogTemplate(), &EjectDialogTemplate(), &CaptureDialogTemplate(),
          &SettingsDialogTemplate()}) {
        std::set<int> ids;
        int defaults = 0;
        for (const ControlTemplate& c : t->controls) {
            if (c.id != IDC_STATIC) {
                EXPECT_TRUE(ids.insert(c.id).second) << t->id << ": id " << c.id << " twice";
            }
            EXPECT_GE(c.x, 0);
            EXPECT_GE(c.y, 0);
            EXPECT_LE(c.x + c.w, t->width) << t->id << ": control " << c.id << " " << c.text;
            // A drop-down list's height includes its list, which may reach past the dialog.
            if (c.kind != ControlKind::ComboBox) {
                EXPECT_LE(c.y + c.h, t->height) << t->id << ": control " << c.id;
            }
            defaults += c.kind == ControlKind::DefPushButton;
        }
        EXPECT_LE(defaults, 1) << t->id;
    }
    EXPECT_EQ(ConnectionDialogTemplate().title, "Choose A Connection");
    EXPECT_EQ(EjectDialogTemplate().title, "Eject player");
    EXPECT_EQ(CaptureDialogTemplate().title, "Capture");
}

TEST(DialogTemplates, InitialStatesOfTheMainWindow) {
    MessageQueue q;
    Desktop desk(q);
    const HWND h = desk.CreateDialogParam(MainWindowTemplate(), kNoWindow, {}, 0);
    const Dialog& d = *desk.Find(h);
    EXPECT_EQ(d.title(), "QUARNELD v1.39");
    for (int id : {IDC_NF_LAUNCH, IDC_TARGETS_TO_READY_ROOM}) {
        EXPECT_TRUE(Get(d, id)->visible);
        EXPECT_FALSE(Get(d, id)->enabled);
    }
    for (int id : {IDC_READY, IDC_SEND_EFFECT, IDC_EFFECT_NUMBER}) {
        EXPECT_FALSE(Get(d, id)->visible);
        EXPECT_FALSE(Get(d, id)->enabled);
    }
    for (int id : {IDC_EJECT, IDC_CAPTURE, IDC_CHANGE_OPTIONS, IDC_TARGETS_INTO_GAME, IDC_SEND, IDC_CHAT_ENTRY}) {
        EXPECT_TRUE(Get(d, id)->visible);
        EXPECT_TRUE(Get(d, id)->enabled);
    }
    EXPECT_EQ(Get(d, IDC_SEND)->tmpl.kind, ControlKind::DefPushButton);
    const uint32_t pane = CS_MULTILINE | CS_READONLY | CS_VSCROLL;
    EXPECT_EQ(Get(d, IDC_CHAT_PANE)->tmpl.style & pane, pane);
    EXPECT_EQ(Get(d, IDC_OPTIONS_SUMMARY)->tmpl.style & pane, pane);
    EXPECT_TRUE(Get(d, IDC_HOST_ADDRESS)->tmpl.style & CS_READONLY);
    EXPECT_FALSE(Get(d, IDC_CHAT_ENTRY)->tmpl.style & CS_READONLY);
    const ControlState* list = Get(d, IDC_PLAYER_LIST);
    EXPECT_EQ(list->tabStops, (std::vector<int>{3, 12, 41, 103, 138}));
    EXPECT_EQ(list->tmpl.style & (CS_USETABSTOPS | CS_NOTIFY | CS_SORT), CS_USETABSTOPS | CS_NOTIFY);
    EXPECT_EQ(Get(d, IDC_TEAM_LIST)->tmpl.kind, ControlKind::ComboBox);
    EXPECT_EQ(d.tmpl().controls[1].text, "C  Status     Player                     Team         Aircraft");
}

}  // namespace
}  // namespace qd
