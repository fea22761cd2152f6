#include "app/templates.h"

namespace qd {

ControlTemplate MakeControl(int id, ControlKind kind, const char* text, int x, int y, int w, int h, uint32_t style) {
    ControlTemplate c;
    c.id = id;
    c.kind = kind;
    c.text = text;
    c.x = x;
    c.y = y;
    c.w = w;
    c.h = h;
    c.style = style;
    return c;
}

namespace {

using K = ControlKind;
ControlTemplate C(int id, K kind, const char* text, int x, int y, int w, int h, uint32_t style = 0) {
    return MakeControl(id, kind, text, x, y, w, h, style);
}

DialogTemplate MakeMainWindow() {
    DialogTemplate t;
    t.id = IDD_MAIN;
    t.title = "QUARNELD v1.39";
    t.fontName = "MS Shell Dlg";
    t.fontSize = 8;
    t.width = 328;
    t.height = 231;
    t.iconId = IDI_MAIN;
    const uint32_t button = CS_TABSTOP;
    const uint32_t pane = CS_MULTILINE | CS_READONLY | CS_VSCROLL | CS_TABSTOP;
    t.controls = {
        C(IDC_PLAYER_LIST, K::ListBox, "", 8, 32, 232, 76, CS_USETABSTOPS | CS_NOTIFY | CS_VSCROLL | CS_TABSTOP),
        C(IDC_STATIC, K::Static, "C  Status     Player                     Team         Aircraft", 12, 24, 159, 8),
        C(IDC_STATIC, K::Static, "Teams:", 7, 9, 24, 8),
        C(IDC_TEAM_LIST, K::ComboBox, "", 37, 4, 84, 48, CS_VSCROLL | CS_TABSTOP),
        C(IDC_EJECT, K::Button, "Eject pilot", 252, 4, 64, 12, button),
        C(IDC_CAPTURE, K::Button, "Capture location", 252, 20, 64, 12, button),
        C(IDC_CHANGE_OPTIONS, K::Button, "Change options", 252, 36, 64, 12, button),
        C(IDC_NF_LAUNCH, K::Button, "NF Launch now", 252, 52, 64, 12, button | CS_DISABLED),
        C(IDC_STATIC, K::GroupBox, "Target status", 248, 72, 72, 44),
        C(IDC_TARGETS_INTO_GAME, K::Button, "Targets into game", 252, 84, 64, 12, button),
        C(IDC_TARGETS_TO_READY_ROOM, K::Button, "Targets to Rdy Rm", 252, 100, 64, 12, button | CS_DISABLED),
        C(IDC_READY, K::Button, "Ready", 92, 112, 64, 12, button | CS_HIDDEN | CS_DISABLED),
        C(IDC_SEND_EFFECT, K::Button, "Send Effect", 36, 112, 50, 12, button | CS_HIDDEN | CS_DISABLED),
        C(IDC_EFFECT_NUMBER, K::Edit, "", 144, 4, 48, 12, CS_AUTOHSCROLL | CS_TABSTOP | CS_HIDDEN | CS_DISABLED),
        C(IDC_STATIC, K::Static, "Chat", 8, 116, 16, 8),
        C(IDC_CHAT_PANE, K::Edit, "", 7, 124, 156, 76, pane),
        C(IDC_STATIC, K::Static, "Host Options Summary", 172, 116, 72, 8),
        C(IDC_OPTIONS_SUMMARY, K::Edit, "", 172, 124, 144, 76, pane),
        C(IDC_CHAT_ENTRY, K::Edit, "", 7, 209, 180, 12, CS_AUTOHSCROLL | CS_TABSTOP),
        C(IDC_SEND, K::DefPushButton, "Send", 195, 209, 28, 12, button),
        C(IDC_STATIC, K::Static, "IP:", 243, 213, 10, 8),
        C(IDC_HOST_ADDRESS, K::Edit, "", 256, 209, 60, 12, CS_READONLY | CS_AUTOHSCROLL | CS_TABSTOP),
    };
    t.controls[0].tabStops = {3, 12, 41, 103, 138};
    return t;
}

DialogTemplate MakeConnectionDialog() {
    DialogTemplate t;
    t.id = IDD_CONNECTION;
    t.title = "Choose A Connection";
    t.fontName = "MS Sans Serif";
    t.fontSize = 8;
    t.width = 186;
    t.height = 98;
    t.controls = {
        C(IDC_PROVIDER_LIST, K::ComboBox, "", 7, 7, 172, 60, CS_VSCROLL | CS_TABSTOP),
        C(IDC_SESSION_LIST, K::ListBox, "", 7, 24, 172, 48, CS_NOTIFY | CS_VSCROLL | CS_TABSTOP),
        C(IDC_HOST, K::Button, "Host", 129, 78, 50, 14, CS_TABSTOP),
    };
    return t;
}

DialogTemplate MakeEjectDialog() {
    DialogTemplate t;
    t.id = IDD_EJECT;
    t.title = "Eject player";
    t.fontName = "MS Sans Serif";
    t.fontSize = 8;
    t.width = 124;
    t.height = 125;
    const uint32_t radio = CS_AUTO;
    t.controls = {
        C(IDC_STATIC, K::Static, "Player to eject", 7, 7, 46, 8),
        C(IDC_EJECT_NAME, K::Edit, "", 7, 18, 110, 14, CS_READONLY | CS_AUTOHSCROLL | CS_TABSTOP),
        C(IDC_STATIC, K::GroupBox, "Options:", 7, 39, 110, 57),
        C(IDC_ALLOW_REJOIN, K::RadioButton, "Allow player to rejoin game", 12, 48, 96, 10, radio | CS_GROUP | CS_TABSTOP),
        C(IDC_NO_REJOIN, K::RadioButton, "Do not allow player to rejoin", 12, 64, 100, 10, radio),
        C(IDC_AUTOBOOT, K::RadioButton, "Add player to Autoboot list", 12, 80, 100, 10, radio),
        // Neither button is the default: Enter alone does nothing here.
        C(IDC_EJECT_CANCEL, K::Button, "Cancel", 7, 102, 50, 14, CS_GROUP | CS_TABSTOP),
        C(IDC_EJECT_OK, K::Button, "OK", 67, 102, 50, 14, CS_TABSTOP),
    };
    return t;
}

DialogTemplate MakeCaptureDialog() {
    DialogTemplate t;
    t.id = IDD_CAPTURE;
    t.title = "Capture";
    t.fontName = "MS Sans Serif";
    t.fontSize = 8;
    t.width = 119;
    t.height = 106;
    t.controls = {
        C(IDC_STATIC, K::Static, "Enter a short description", 7, 7, 77, 8),
        C(IDC_CAPTURE_DESCRIPTION, K::Edit, "", 7, 19, 104, 14, CS_NOHIDESEL | CS_AUTOHSCROLL | CS_TABSTOP),
        C(IDC_STATIC, K::GroupBox, "What is this capture for?", 7, 37, 104, 47),
        C(IDC_TARGET_PLACEMENT, K::RadioButton, "Target placement", 16, 50, 71, 10, CS_AUTO | CS_GROUP | CS_TABSTOP),
        C(IDC_TEAM_LOCATION, K::RadioButton, "Team starting location", 16, 66, 85, 10, CS_AUTO),
        C(IDOK, K::Button, "OK", 12, 88, 44, 12, CS_GROUP | CS_TABSTOP),
        C(IDCANCEL, K::Button, "Cancel", 64, 88, 44, 12, CS_TABSTOP),
    };
    return t;
}

}  // namespace

const DialogTemplate& MainWindowTemplate() {
    static const DialogTemplate t = MakeMainWindow();
    return t;
}

const DialogTemplate& ConnectionDialogTemplate() {
    static const DialogTemplate t = MakeConnectionDialog();
    return t;
}

const DialogTemplate& EjectDialogTemplate() {
    static const DialogTemplate t = MakeEjectDialog();
    return t;
}

const DialogTemplate& CaptureDialogTemplate() {
    static const DialogTemplate t = MakeCaptureDialog();
    return t;
}

}  // namespace qd
