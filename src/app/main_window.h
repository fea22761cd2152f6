#pragma once
// The main window (dialog 101): it finishes the host's setup when it opens, shows the
// players, teams, chat and options summary, carries the operator's commands and is the
// window the private messages and the respawn timers go to.
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/startup.h"
#include "platform/dialog.h"
#include "protocol/game.h"
#include "session/data_access.h"
#include "session/host_context.h"

namespace qd {

// The pieces of a long name between its brackets ("xA[]Spitfire[]G": "xA", "Spitfire", "G").
std::vector<std::string> SplitBrackets(const std::string& text);

// The operator dialogs the main window opens; the app wires the real ones, tests answer.
struct OperatorDialogs {
    std::function<int(const std::string& name)> eject;                 // 1: destroy the player
    std::function<void(DPID player, const MotionBuffer* lastMotion)> capture;
    std::function<void()> settings;                                   // modal settings dialog
};

class MainWindow final : public WindowPort {
public:
    MainWindow(Desktop& desktop, HostSetup& setup, HostContext& context, DataAccess& data, OperatorDialogs dialogs);

    // Runs the window modally until the operator confirms the exit; returns its result.
    INT_PTR Run();
    // The dialog procedure (also for tests that create the window themselves).
    INT_PTR Proc(Dialog& dialog, UINT msg, WPARAM wParam, LPARAM lParam);

    GameHost& game() { return *game_; }
    HWND hwnd() const { return hwnd_.load(); }
    Dialog* dialog() { return dialog_; }
    // Posts MSG_DPLAY_RECEIVE when the window exists; safe from the receive thread.
    void PostReceive();
    // Ends the window as if the operator had answered the exit question Yes.
    void Shutdown();

    // SelectedPlayer: the item data of the selected row; E_FAIL without one.
    HRESULT SelectedPlayer(DPID& out) const;
    void RefreshTeamEntry(DPID group, const DpName& name);
    void ShowOptionsSummary(const SessionDesc& desc);

    // WindowPort
    bool WindowExists() const override { return hwnd_.load() != kNoWindow; }
    void PostChatText(std::string line) override;
    void PostStatusText(std::string line) override;
    void PostOptionsChanged() override;
    void PostSendPlayerSettings(DPID player, uint32_t winCriterion) override;
    void SetTimer(uint32_t id, uint32_t milliseconds) override;
    void KillTimer(uint32_t id) override;
    void RefreshPlayerRow(DPID player, const DpName& name) override;
    void RemovePlayerRow(DPID player) override;
    void RefreshTeams() override;
    void RemoveTeamEntry(DPID group) override;
    void EnableControl(int controlId, bool enabled) override;
    std::string ChatEntryText() override;
    void SetChatEntryText(const std::string& text) override;
    void ShowNotice(const std::string& text) override;

private:
    void Open(Dialog& dlg);
    void Command(Dialog& dlg, int id);
    void Eject();
    void Capture();
    void NoFunLaunch();
    void ChangeOptions();
    void AppendChatPane(const std::string& text);
    void Destroy();
    int Box(const std::string& text, std::optional<std::string> caption, MbButtons buttons = MbButtons::Ok,
            MbIcon icon = MbIcon::None);

    Desktop& desktop_;
    HostSetup& setup_;
    HostContext& context_;
    DataAccess& data_;
    OperatorDialogs dialogs_;
    std::unique_ptr<GameHost> game_;
    Dialog* dialog_ = nullptr;
    std::atomic<HWND> hwnd_{kNoWindow};
};

}  // namespace qd
