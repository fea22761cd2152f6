#include "app/main_window.h"

#include <fmt/format.h>

#include "app/templates.h"
#include "config/summary.h"
#include "config/teams.h"
#include "platform/log.h"
#include "platform/msgbox.h"
#include "session/messages.h"
#include "session/pump.h"
#include "simfiles/autorun.h"
#include "simfiles/simconfig.h"

namespace qd {

namespace {
constexpr int kPlayerListTabStops[] = {3, 12, 41, 103, 138};
constexpr uint32_t kGroupDataConstant = 344;
constexpr uint32_t kChangeOptionsHold = 256;  // bit 8 of gameState holds the game
constexpr int kChatPaneLimit = 1500;

// "Target" followed by exactly one character; its number: 0 for a blank, else c - '1'.
std::optional<int> TargetTeamNumber(const std::optional<std::string>& name) {
    if (!name || name->size() != 7 || name->compare(0, 6, "Target") != 0) return std::nullopt;
    const char c = (*name)[6];
    return c == ' ' ? 0 : c - '1';
}

}  // namespace

std::vector<std::string> SplitBrackets(const std::string& text) {
    std::vector<std::string> pieces;
    std::string cur;
    for (char c : text) {
        if (c == '[' || c == ']') {
            if (!cur.empty()) pieces.push_back(std::move(cur));
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) pieces.push_back(std::move(cur));
    return pieces;
}

MainWindow::MainWindow(Desktop& desktop, HostSetup& setup, HostContext& context, DataAccess& data,
                       OperatorDialogs dialogs)
    : desktop_(desktop), setup_(setup), context_(context), data_(data), dialogs_(std::move(dialogs)) {
    game_ = std::make_unique<GameHost>(context_, data_, setup_.config, *this);
    for (auto& t : setup_.targets) game_->targets.push_back(t.target.get());
}

INT_PTR MainWindow::Run() {
    return desktop_.DialogBoxParam(
        MainWindowTemplate(), kNoWindow, [this](Dialog& d, UINT m, WPARAM w, LPARAM l) { return Proc(d, m, w, l); },
        0);
}

int MainWindow::Box(const std::string& text, std::optional<std::string> caption, MbButtons buttons, MbIcon icon) {
    return ShowMessageBox(MessageBoxRequest{text, std::move(caption), buttons, icon, true});
}

INT_PTR MainWindow::Proc(Dialog& dlg, UINT msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_INITDIALOG:
        Open(dlg);
        return 0;
    case WM_COMMAND:
        Command(dlg, static_cast<int>(LOWORD(wParam)));
        return 1;
    case WM_TIMER:
        for (TargetObject* object : game_->targets)
            if (object->respawnTimerId == static_cast<uint32_t>(wParam)) {
                RespawnExpired(*game_, *object);
                return 1;
            }
        return 0;
    case WM_DESTROY:
        Destroy();
        return 1;
    case MSG_CHAT_TEXT:
    case MSG_STATUS_TEXT:
        if (lParam) AppendChatPane(MessageText(lParam));
        return 1;
    case MSG_OPTIONS_CHANGED: {
        SessionDesc desc;
        if (SUCCEEDED(game_->dp().GetSessionDesc(desc))) ShowOptionsSummary(desc);
        return 1;
    }
    case MSG_SEND_PLAYER_SETTINGS:
        SendPlayerSettings(*game_, static_cast<DPID>(wParam), static_cast<uint32_t>(lParam));
        return 1;
    case MSG_DPLAY_RECEIVE:
        DrainReceiveQueue(
            context_,
            [this](HostContext&, const uint8_t* m, uint32_t size, DPID, DPID to) { HandleSystemMessage(*game_, m, size, to); },
            [this](HostContext&, const uint8_t* m, uint32_t size, DPID from, DPID to) {
                HandleApplicationMessage(*game_, m, size, from, to);
            });
        return 1;
    }
    return 0;
}

void MainWindow::Open(Dialog& dlg) {
    // 1. From now on the receive thread posts to this window.
    dialog_ = &dlg;
    hwnd_.store(dlg.hwnd());

    // 2. Respawn timers and the cached damage profiles.
    for (std::size_t i = 0; i < game_->targets.size(); ++i) {
        game_->targets[i]->respawnTimerId = kRespawnTimerBase + static_cast<uint32_t>(i);
        CompressDamageProfile(*game_, *game_->targets[i], std::nullopt);
    }

    // 3. Player list columns and the host's address.
    dlg.SetTabStops(IDC_PLAYER_LIST, std::vector<int>(std::begin(kPlayerListTabStops), std::end(kPlayerListTabStops)));
    dlg.SetDlgItemText(IDC_HOST_ADDRESS, setup_.sideLink.hostAddressText());

    // 4. The host objects' long names end in their Waiting letter: 'G' for the first, 'C' for the others.
    for (std::size_t i = 0; i < game_->targets.size(); ++i) {
        const TargetObject& object = *game_->targets[i];
        std::string longName = "AJ[]" + object.aircraft + (i == 0 ? "[]G" : "[]C");
        data_.SetPlayerLongName(object.playerId, WideCopy(longName));
    }

    // 5. Teams and their groups.
    setup_.LoadTeams();
    game_->teams.clear();
    for (auto& team : setup_.teams) {
        game_->teams.push_back(team.get());
        if (!team->name) continue;
        DpName name;
        name.shortName = WideCopy(*team->name);
        uint8_t groupData[8];
        for (int k = 0; k < 4; ++k) {
            groupData[k] = static_cast<uint8_t>(team->color >> (8 * k));
            groupData[4 + k] = static_cast<uint8_t>(kGroupDataConstant >> (8 * k));
        }
        DPID id = 0;
        if (SUCCEEDED(game_->dp().CreateGroup(&id, name, groupData, 0))) team->groupId = id;
    }

    // 6. No teams: the operator is asked whether to exit.
    if (game_->teams.empty()) {
        Box("Config error, no teams found", std::string("Error"));
        PostMessage(dlg.hwnd(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
        return;
    }

    // 7. Host objects into their Target teams.
    for (TargetObject* object : game_->targets) {
        for (TeamDefinition* team : game_->teams) {
            const auto number = TargetTeamNumber(team->name);
            if (!number || *number != object->targetTeam) continue;
            if (auto record = data_.GetPlayerRecord(object->playerId)) {
                record->teamGroup = team->groupId;
                data_.PutPlayerRecord(object->playerId, *record);
            }
            game_->dp().AddPlayerToGroup(team->groupId, object->playerId);
            break;
        }
    }

    // 8. The team count into the session description.
    SessionDesc desc;
    if (SUCCEEDED(game_->dp().GetSessionDesc(desc))) {
        desc.dwUser1 = (desc.dwUser1 & ~0xFF00u) | ((static_cast<uint32_t>(game_->teams.size()) & 0xFF) << 8);
        game_->dp().SetSessionDesc(desc, 0);
    }
    PostOptionsChanged();

    // 9. The local simulator, when the preferences ask for it.
    if (setup_.config.prefs.autorunSimulator) {
        WriteSimulatorConfig(setup_.config.workDir, setup_.config.prefs.simulatorVersion,
                             setup_.sideLink.hostAddressText());
        StartLocalSimulator(setup_.config.workDir, setup_.config.prefs.simulatorVersion);
    }

    // 10.
    if (setup_.config.settings.NO_LOCK_OR_RADAR_PLAYERS == 1) dlg.EnableWindow(IDC_NF_LAUNCH, true);
}

void MainWindow::Destroy() {
    RemoveSimulatorConfigCopy(setup_.config.workDir, setup_.config.prefs.simulatorVersion);
    hwnd_.store(kNoWindow);
    dialog_ = nullptr;
}

void MainWindow::Shutdown() {
    if (dialog_) dialog_->End(0);
}

void MainWindow::Command(Dialog& dlg, int id) {
    switch (id) {
    case IDCANCEL:
        if (Box("Are you sure you want to exit Quarneld?", std::string(" "), MbButtons::YesNo, MbIcon::Question) ==
            IDYES)
            dlg.End(0);
        return;
    case IDC_SEND: {
        // Enter triggers the default button: it sends only from the entry field or the button.
        const int focus = dlg.GetFocus();
        if (focus == IDC_CHAT_ENTRY || focus == IDC_SEND) SendChat(*game_);
        return;
    }
    case IDC_EJECT: Eject(); return;
    case IDC_CAPTURE: Capture(); return;
    case IDC_NF_LAUNCH: NoFunLaunch(); return;
    case IDC_CHANGE_OPTIONS: ChangeOptions(); return;
    case IDC_TARGETS_INTO_GAME: TargetsIntoGame(*game_); return;
    case IDC_TARGETS_TO_READY_ROOM: TargetsToReadyRoom(*game_); return;
    }
}

HRESULT MainWindow::SelectedPlayer(DPID& out) const {
    if (!dialog_) return E_FAIL;
    const int sel = dialog_->GetCurSel(IDC_PLAYER_LIST);
    if (sel < 0) return E_FAIL;
    const LPARAM data = dialog_->GetItemData(IDC_PLAYER_LIST, sel);
    if (data == 0 || data == LB_ERR) return E_FAIL;
    out = static_cast<DPID>(data);
    return S_OK;
}

void MainWindow::Eject() {
    DPID player = 0;
    if (FAILED(SelectedPlayer(player))) {
        Box("You need to select a player to eject", std::string("ERROR"));
        return;
    }
    if (auto record = data_.GetPlayerRecord(player); record && record->kind == kKindHostObject) {
        Box("QUARNELD objects cannot be ejected", std::string("ERROR"));
        return;
    }
    DpName names;
    if (FAILED(data_.GetPlayerNames(player, names))) return;
    const std::string name = NarrowCopy(names.shortName.value_or(u""));
    if (dialogs_.eject && dialogs_.eject(name) == 1) game_->dp().DestroyPlayer(player);
}

void MainWindow::Capture() {
    DPID player = 0;
    if (FAILED(SelectedPlayer(player))) {
        Box("Please select a player to capture first", std::string("CAPTURE"));
        return;
    }
    const auto record = data_.GetPlayerRecord(player);
    if (!record || record->kind != kKindClient) {
        Box("Please select a NON-TARGET player to capture", std::string("CAPTURE"));
        return;
    }
    if (record->status != kStatusFlying && record->status != kStatusNfFlying) {
        Box("Player must be 'In game' to capture location", std::string("CAPTURE"));
        return;
    }
    if (dialogs_.capture) dialogs_.capture(player, data_.Motion(record->lastMotion));
}

void MainWindow::NoFunLaunch() {
    switch (NoFunLaunchCheck(*game_)) {
    case 1: Box("All players must be on a team first", std::string(" ")); return;
    case 2:
        Box(game_->state.gameState == kGameNoFunHold
                ? "Ask players that are currently 'Ready' to switch\nto 'Waiting', and game will launch."
                : "All players must be Waiting first",
            std::string(" "));
        return;
    case 3: Box("No-fun launch requires non-target players", std::string(" ")); return;
    case 0:
        game_->state.gameState = kGameNoFunHold;
        AdvanceGame(*game_);
        return;
    }
}

void MainWindow::ChangeOptions() {
    if (game_->state.flyingCount != 0) {
        Box("Only allowed to change settings with all players in the Ready Room", std::nullopt);
        return;
    }
    game_->state.gameState |= kChangeOptionsHold;
    if (dialogs_.settings) dialogs_.settings();
    game_->state.gameState &= ~kChangeOptionsHold;
    if (dialog_) dialog_->EnableWindow(IDC_NF_LAUNCH, setup_.config.settings.NO_LOCK_OR_RADAR_PLAYERS == 1);
}

void MainWindow::AppendChatPane(const std::string& text) {
    if (!dialog_) return;
    Dialog& dlg = *dialog_;
    // Whole lines leave the top until the pane holds at most 1,500 characters, in one
    // replacement: a pane of thousands of short lines would otherwise cost one each.
    const std::string pane = dlg.GetDlgItemText(IDC_CHAT_PANE);
    std::size_t cut = 0;
    while (pane.size() - cut > std::size_t(kChatPaneLimit)) {
        const std::size_t end = pane.find("\r\n", cut);
        cut = end == std::string::npos ? pane.size() : end + 2;
    }
    if (cut) {
        dlg.EditSetSel(IDC_CHAT_PANE, 0, int(cut));
        dlg.EditReplaceSel(IDC_CHAT_PANE, "");
    }
    const int length = dlg.GetWindowTextLength(IDC_CHAT_PANE);
    dlg.EditSetSel(IDC_CHAT_PANE, length, length);
    dlg.EditReplaceSel(IDC_CHAT_PANE, text);
}

void MainWindow::ShowOptionsSummary(const SessionDesc& desc) {
    const OptionsSummary summary = ApplyOptionsSummary(*game_, desc);
    if (!dialog_) return;
    dialog_->SetDlgItemText(IDC_OPTIONS_SUMMARY, summary.text);
    dialog_->EnableWindow(IDC_TEAM_LIST, summary.teamSelectorEnabled);
}

void MainWindow::PostReceive() {
    const HWND h = hwnd_.load();
    if (h != kNoWindow) PostMessage(h, MSG_DPLAY_RECEIVE, 0, 0);
}

void MainWindow::PostChatText(std::string line) {
    if (WindowExists()) PostTextMessage(hwnd_.load(), MSG_CHAT_TEXT, 0, std::move(line));
}

void MainWindow::PostStatusText(std::string line) {
    if (WindowExists()) PostTextMessage(hwnd_.load(), MSG_STATUS_TEXT, 0, std::move(line));
}

void MainWindow::PostOptionsChanged() {
    if (WindowExists()) PostMessage(hwnd_.load(), MSG_OPTIONS_CHANGED, 0, 0);
}

void MainWindow::PostSendPlayerSettings(DPID player, uint32_t winCriterion) {
    if (WindowExists()) PostMessage(hwnd_.load(), MSG_SEND_PLAYER_SETTINGS, player, winCriterion);
}

void MainWindow::SetTimer(uint32_t id, uint32_t milliseconds) {
    const HWND h = hwnd_.load();
    if (h == kNoWindow) return;
    if (id == kReentryTimerId)
        qd::SetTimer(h, id, milliseconds, [this](HWND, UINT) { ReentryTimerExpired(*game_); });
    else
        qd::SetTimer(h, id, milliseconds);
}

void MainWindow::KillTimer(uint32_t id) {
    const HWND h = hwnd_.load();
    if (h != kNoWindow) qd::KillTimer(h, id);
}

void MainWindow::RefreshPlayerRow(DPID player, const DpName& name) {
    if (!dialog_) return;
    Dialog& dlg = *dialog_;
    const int row = dlg.FindItemData(IDC_PLAYER_LIST, static_cast<LPARAM>(player));
    const auto record = data_.GetPlayerRecord(player);

    std::string team = " ";
    if (record && record->teamGroup != 0) {
        DpName groupName;
        if (FAILED(game_->dp().GetGroupName(record->teamGroup, groupName))) return;
        team = NarrowCopy(groupName.shortName.value_or(u""));
    }
    std::string shortName = NarrowCopy(name.shortName.value_or(u""));
    if (shortName.size() > 20) shortName = shortName.substr(0, 18) + "...";
    const auto pieces = SplitBrackets(NarrowCopy(name.longName.value_or(u"")));
    const std::string column = pieces.empty() ? std::string() : pieces[0].substr(1);
    const std::string aircraft = pieces.size() >= 2 ? pieces[1] : std::string("Unknown");
    const std::string status =
        StatusText(record ? std::optional<uint32_t>(record->status) : std::optional<uint32_t>());

    const std::string text = "\t" + column + "\t" + status + "\t" + shortName + "\t" + team + "\t" + aircraft;
    int index;
    if (row >= 0) {
        // The row is replaced in place; the operator's selection stays on it.
        const bool selected = dlg.GetCurSel(IDC_PLAYER_LIST) == row;
        dlg.DeleteString(IDC_PLAYER_LIST, row);
        index = dlg.InsertString(IDC_PLAYER_LIST, row, text);
        if (selected && index >= 0) dlg.SetCurSel(IDC_PLAYER_LIST, index);
    } else {
        index = dlg.AddString(IDC_PLAYER_LIST, text);
    }
    if (index >= 0) dlg.SetItemData(IDC_PLAYER_LIST, index, static_cast<LPARAM>(player));
}

void MainWindow::RemovePlayerRow(DPID player) {
    if (!dialog_) return;
    const int row = dialog_->FindItemData(IDC_PLAYER_LIST, static_cast<LPARAM>(player));
    if (row >= 0) dialog_->DeleteString(IDC_PLAYER_LIST, row);
}

void MainWindow::RefreshTeams() {
    game_->dp().EnumGroups(
        nullptr,
        [this](DPID id, uint32_t, const DpName& name, uint32_t) {
            RefreshTeamEntry(id, name);
            return true;
        },
        0);
}

void MainWindow::RefreshTeamEntry(DPID group, const DpName& name) {
    if (!dialog_) return;
    const std::string text = NarrowCopy(name.shortName.value_or(u""));
    const int row = dialog_->FindItemData(IDC_TEAM_LIST, static_cast<LPARAM>(group));
    int index;
    if (row < 0) {
        index = dialog_->AddString(IDC_TEAM_LIST, text);
    } else {
        dialog_->DeleteString(IDC_TEAM_LIST, row);
        index = dialog_->InsertString(IDC_TEAM_LIST, row, text);
    }
    if (index >= 0) dialog_->SetItemData(IDC_TEAM_LIST, index, static_cast<LPARAM>(group));
}

void MainWindow::RemoveTeamEntry(DPID group) {
    if (!dialog_) return;
    const int row = dialog_->FindItemData(IDC_TEAM_LIST, static_cast<LPARAM>(group));
    if (row >= 0) dialog_->DeleteString(IDC_TEAM_LIST, row);
}

void MainWindow::EnableControl(int controlId, bool enabled) {
    if (dialog_) dialog_->EnableWindow(controlId, enabled);
}

std::string MainWindow::ChatEntryText() { return dialog_ ? dialog_->GetDlgItemText(IDC_CHAT_ENTRY) : std::string(); }

void MainWindow::SetChatEntryText(const std::string& text) {
    if (dialog_) dialog_->SetDlgItemText(IDC_CHAT_ENTRY, text);
}

void MainWindow::ShowNotice(const std::string& text) {
    // A notice, not a question: it must never hold a headless host.
    ShowMessageBox(MessageBoxRequest{text, std::string(), MbButtons::Ok, MbIcon::None, true});
}

}  // namespace qd
