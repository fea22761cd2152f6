#include "app/settings_dialog.h"

#include <cstdio>
#include <memory>
#include <string>

#include "app/templates.h"
#include "config/settings.h"
#include "platform/log.h"
#include "platform/msgbox.h"

namespace qd {

namespace {

using K = ControlKind;
ControlTemplate C(int id, K kind, const char* text, int x, int y, int w, int h, uint32_t style = 0) {
    return MakeControl(id, kind, text, x, y, w, h, style);
}

DialogTemplate MakeSettingsDialog() {
    DialogTemplate t;
    t.id = IDD_SETTINGS;
    t.title = "Settings for current session";
    t.fontName = "MS Sans Serif";
    t.fontSize = 8;
    t.width = 300;
    t.height = 200;
    const uint32_t box = CS_AUTO | CS_TABSTOP;
    const uint32_t list = CS_VSCROLL | CS_TABSTOP;
    t.controls = {
        // Left: the realism options, framed by their kind.
        C(IDC_STATIC, K::GroupBox, "Realism", 7, 7, 140, 164),
        C(IDC_STATIC, K::GroupBox, "Aircraft", 13, 18, 128, 40),
        C(IDC_STATIC, K::Static, "Flight model realism", 19, 29, 110, 8),
        C(IDC_FLIGHT_MODEL, K::ComboBox, "", 19, 39, 64, 48, list | CS_GROUP),
        C(IDC_STATIC, K::GroupBox, "Stores", 13, 62, 128, 28),
        C(IDC_UNLIMITED_FUEL, K::CheckBox, "Unlimited fuel", 19, 74, 56, 10, box | CS_GROUP),
        C(IDC_UNLIMITED_AMMO, K::CheckBox, "Unlimited ammo", 79, 74, 60, 10, box),
        C(IDC_STATIC, K::GroupBox, "Visuals", 13, 94, 128, 28),
        C(IDC_SUN_GLARE, K::CheckBox, "Sun glare", 19, 106, 56, 10, box),
        C(IDC_G_EFFECTS, K::CheckBox, "G effects", 79, 106, 56, 10, box),
        C(IDC_STATIC, K::GroupBox, "Combat", 13, 126, 128, 40),
        C(IDC_STATIC, K::Static, "Weapon strength", 19, 137, 110, 8),
        C(IDC_WEAPON_STRENGTH, K::ComboBox, "", 19, 147, 64, 48, list),

        // Right: how a game is won and run, and the host's own overrides.
        C(IDC_STATIC, K::GroupBox, "Misc", 153, 7, 140, 126),
        C(IDC_STATIC, K::GroupBox, "Victory requirements", 159, 18, 128, 28),
        C(IDC_VICTORY_NONE, K::RadioButton, "None", 165, 30, 40, 10, CS_AUTO | CS_GROUP | CS_TABSTOP),
        C(IDC_VICTORY_LAST_ALIVE, K::RadioButton, "Last alive", 213, 30, 56, 10, CS_AUTO),
        C(IDC_ALLOW_PAUSE, K::CheckBox, "Allow pause", 159, 51, 64, 10, box | CS_GROUP),
        C(IDC_STATIC, K::GroupBox, "Time of day", 159, 65, 128, 30),
        C(IDC_STATIC, K::Static, "Starting time", 165, 79, 46, 8),
        C(IDC_START_TIME, K::ComboBox, "", 213, 77, 48, 80, list),
        C(IDC_STATIC, K::GroupBox, "No fun", 159, 99, 128, 28),
        C(IDC_NO_FUN_PLAYERS, K::CheckBox, "Players", 165, 111, 44, 10, box),
        C(IDC_NO_FUN_TARGETS, K::CheckBox, "Targets", 213, 111, 44, 10, box),
        C(IDC_STATIC, K::GroupBox, "Special", 153, 137, 140, 34),
        C(IDC_UNRESTRICT_TEAMS, K::CheckBox, "Unrestrict all teams", 159, 151, 100, 10, box),

        // Neither button is the default: Enter must not apply settings by accident.
        C(IDC_USE_NEW_SETTINGS, K::Button, "Use new settings", 153, 179, 68, 14, CS_GROUP | CS_TABSTOP | CS_DISABLED),
        C(IDC_SETTINGS_CANCEL, K::Button, "Cancel", 225, 179, 68, 14, CS_TABSTOP),
    };
    return t;
}

// dwUser2 fields the dialog edits.
constexpr uint32_t kBitPause = 1u << 8;
constexpr uint32_t kBitFuel = 1u << 13;
constexpr uint32_t kBitAmmo = 1u << 14;
constexpr uint32_t kBitGlare = 1u << 17;
constexpr uint32_t kBitGEffects = 1u << 18;
constexpr int kVictoryShift = 1;
constexpr int kFlightModelShift = 9;
constexpr int kWeaponShift = 22;
constexpr uint32_t kTwoBits = 3;
constexpr uint32_t kVictoryLastAlive = 2;
constexpr int32_t kHalfHour = 1800;

struct BitBox {
    int id;
    uint32_t bit;
};
constexpr BitBox kBitBoxes[] = {
    {IDC_UNLIMITED_FUEL, kBitFuel}, {IDC_UNLIMITED_AMMO, kBitAmmo}, {IDC_SUN_GLARE, kBitGlare},
    {IDC_G_EFFECTS, kBitGEffects},  {IDC_ALLOW_PAUSE, kBitPause},
};

struct BitList {
    int id;
    int shift;
    const char* entries[3];
};
constexpr BitList kBitLists[] = {
    {IDC_FLIGHT_MODEL, kFlightModelShift, {"Easy", "Medium", "Hard"}},
    {IDC_WEAPON_STRENGTH, kWeaponShift, {"Normal", "Strong", "Strongest"}},
};

uint32_t Field(uint32_t word, int shift) { return (word >> shift) & kTwoBits; }

std::string TimeText(int32_t seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%2.2i:%2.2i", static_cast<int>(seconds / 3600),
                  static_cast<int>((seconds / 60) % 60));
    return text;
}

bool Checked(const Dialog& d, int id) { return d.IsDlgButtonChecked(id) == BST_CHECKED; }

struct State {
    std::string currentTimeText;
    bool hostChanged = false;
    bool sessionChanged = false;
};

void Open(Dialog& d, State& state, const SettingsDialogContext& ctx, const SessionDesc& desc, int32_t timeOfDay) {
    const uint32_t user2 = desc.dwUser2;
    for (const BitBox& b : kBitBoxes) d.CheckDlgButton(b.id, (user2 & b.bit) ? BST_CHECKED : BST_UNCHECKED);
    for (const BitList& l : kBitLists) {
        d.ResetContent(l.id);
        for (const char* entry : l.entries) d.AddString(l.id, entry);
        // A field holding 3 names no entry: the list opens without a selection.
        d.SetCurSel(l.id, static_cast<int>(Field(user2, l.shift)));
    }
    d.CheckDlgButton(IDC_NO_FUN_PLAYERS, ctx.config.settings.NO_LOCK_OR_RADAR_PLAYERS ? BST_CHECKED : BST_UNCHECKED);
    d.CheckDlgButton(IDC_NO_FUN_TARGETS, ctx.config.settings.NO_LOCK_OR_RADAR_TARGETS ? BST_CHECKED : BST_UNCHECKED);
    const uint32_t victory = Field(user2, kVictoryShift);
    d.CheckDlgButton(IDC_VICTORY_NONE, victory == 0 ? BST_CHECKED : BST_UNCHECKED);
    d.CheckDlgButton(IDC_VICTORY_LAST_ALIVE, victory == kVictoryLastAlive ? BST_CHECKED : BST_UNCHECKED);

    state.currentTimeText = TimeText(timeOfDay);
    d.ResetContent(IDC_START_TIME);
    for (int i = 0; i < kHalfHourEntries; ++i) d.AddString(IDC_START_TIME, TimeText(i * kHalfHour));
    d.AddString(IDC_START_TIME, " ");
    int selected = kBlankTimeEntry;
    for (int i = 0; i < kHalfHourEntries; ++i) {
        if (d.GetItemText(IDC_START_TIME, i) == state.currentTimeText) {
            selected = i;
            break;
        }
    }
    if (selected == kBlankTimeEntry) state.currentTimeText = " ";
    d.SetCurSel(IDC_START_TIME, selected);

    d.CheckDlgButton(IDC_UNRESTRICT_TEAMS, ctx.unrestrictAllTeams ? BST_CHECKED : BST_UNCHECKED);
}

// The blank entry means "the start time as it is": choosing it never changes the time
// (storing 48 half hours would make it 24:00, a time the day does not have).
bool TimeChanged(const Dialog& d, const State& state) {
    const int sel = d.GetCurSel(IDC_START_TIME);
    if (sel < 0 || sel >= kHalfHourEntries) return false;
    return d.GetItemText(IDC_START_TIME, sel) != state.currentTimeText;
}

// A list without a selection (its field held a value it has no entry for) leaves the
// field as it is.
bool ListDiffers(const Dialog& d, const BitList& l, uint32_t user2) {
    const int sel = d.GetCurSel(l.id);
    return sel >= 0 && static_cast<uint32_t>(sel) != Field(user2, l.shift);
}

void Recompute(Dialog& d, State& state, const SettingsDialogContext& ctx, const SessionDesc& desc) {
    const HostSettings& s = ctx.config.settings;
    state.hostChanged = Checked(d, IDC_NO_FUN_PLAYERS) != (s.NO_LOCK_OR_RADAR_PLAYERS != 0) ||
                        Checked(d, IDC_NO_FUN_TARGETS) != (s.NO_LOCK_OR_RADAR_TARGETS != 0) || TimeChanged(d, state);

    const uint32_t user2 = desc.dwUser2;
    bool session = Checked(d, IDC_UNRESTRICT_TEAMS) != (ctx.unrestrictAllTeams != 0);
    for (const BitBox& b : kBitBoxes) session = session || Checked(d, b.id) != ((user2 & b.bit) != 0);
    const uint32_t victory = Checked(d, IDC_VICTORY_LAST_ALIVE) ? kVictoryLastAlive : 0;
    session = session || Field(user2, kVictoryShift) != victory;
    for (const BitList& l : kBitLists) session = session || ListDiffers(d, l, user2);
    state.sessionChanged = session;

    d.EnableWindow(IDC_USE_NEW_SETTINGS, state.hostChanged || state.sessionChanged);
}

void ConfirmUnrestrict(Dialog& d) {
    if (!Checked(d, IDC_UNRESTRICT_TEAMS)) return;
    MessageBoxRequest box;
    box.text = "Note: Aircraft are always restricted until players join a team.\n\n"
               "Are you sure you want to unrestrict all teams?";
    box.caption = std::string("Confirm");
    box.buttons = MbButtons::YesNo;
    box.icon = MbIcon::Question;
    box.defaultButton = IDNO;
    if (ShowMessageBox(box) != IDYES) d.CheckDlgButton(IDC_UNRESTRICT_TEAMS, BST_UNCHECKED);
}

void Apply(Dialog& d, State& state, SettingsDialogContext& ctx, SessionDesc& desc) {
    if (state.hostChanged) {
        ctx.config.settings.NO_LOCK_OR_RADAR_PLAYERS = Checked(d, IDC_NO_FUN_PLAYERS) ? 1 : 0;
        ctx.config.settings.NO_LOCK_OR_RADAR_TARGETS = Checked(d, IDC_NO_FUN_TARGETS) ? 1 : 0;
        const int sel = d.GetCurSel(IDC_START_TIME);
        if (sel >= 0 && sel < kHalfHourEntries) SetTimeOfDay(ctx.config, sel * kHalfHour);
        state.hostChanged = false;
    }
    if (state.sessionChanged) {
        const SessionDesc inForce = desc;
        uint32_t user2 = desc.dwUser2;
        for (const BitBox& b : kBitBoxes) {
            user2 &= ~b.bit;
            if (Checked(d, b.id)) user2 |= b.bit;
        }
        const uint32_t victory = Checked(d, IDC_VICTORY_LAST_ALIVE) ? kVictoryLastAlive : 0;
        user2 = (user2 & ~(kTwoBits << kVictoryShift)) | (victory << kVictoryShift);
        for (const BitList& l : kBitLists) {
            const int sel = d.GetCurSel(l.id);
            if (sel < 0) continue;
            user2 = (user2 & ~(kTwoBits << l.shift)) | ((static_cast<uint32_t>(sel) & kTwoBits) << l.shift);
        }
        desc.dwUser2 = user2;
        const HRESULT hr = ctx.dp.SetSessionDesc(desc, 0);
        if (SUCCEEDED(hr)) {
            ctx.config.settings.WIN_CRITERIA = victory;
            ctx.unrestrictAllTeams = Checked(d, IDC_UNRESTRICT_TEAMS) ? 1 : 0;
        } else {
            // The session group is applied whole or not at all: the host-wide mirrors keep
            // matching the description the players have, and the summary shows it.
            ReportError("Error 0x%08X", static_cast<uint32_t>(hr));
            desc = inForce;
        }
        if (ctx.statusCensus) ctx.statusCensus(1);
        state.sessionChanged = false;
    }
    if (ctx.showSummary) ctx.showSummary(desc);
    d.End(1);
}

}  // namespace

const DialogTemplate& SettingsDialogTemplate() {
    static const DialogTemplate t = MakeSettingsDialog();
    return t;
}

DialogProc MakeSettingsDialogProc(SettingsDialogContext& ctx) {
    auto state = std::make_shared<State>();
    return [state, &ctx](Dialog& d, UINT msg, WPARAM wParam, LPARAM) -> INT_PTR {
        if (msg != WM_INITDIALOG && msg != WM_COMMAND) return 0;
        const int id = msg == WM_COMMAND ? static_cast<int>(LOWORD(wParam)) : 0;
        // Leaving needs no description: a session that can no longer answer must not
        // keep the operator inside a modal dialog.
        if (id == IDC_SETTINGS_CANCEL || id == IDCANCEL) {
            d.End(0);
            return 1;
        }
        // Always the description as it is now, so changes made meanwhile are neither
        // missed in the comparison nor overwritten.
        SessionDesc desc;
        if (FAILED(ctx.dp.GetSessionDesc(desc))) return 0;
        if (msg == WM_INITDIALOG) {
            Open(d, *state, ctx, desc, GetTimeOfDay(ctx.config));
            return 1;
        }
        if (id == IDC_UNRESTRICT_TEAMS) ConfirmUnrestrict(d);
        else if (id == IDC_USE_NEW_SETTINGS) Apply(d, *state, ctx, desc);
        Recompute(d, *state, ctx, desc);
        return 1;
    };
}

int SettingsDialog(Desktop& desktop, SettingsDialogContext& ctx) {
    return desktop.DialogBoxParam(SettingsDialogTemplate(), kNoWindow, MakeSettingsDialogProc(ctx), 0) == 1 ? 1 : 0;
}

}  // namespace qd
