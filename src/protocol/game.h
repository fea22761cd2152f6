#pragma once
// The game protocol on the window thread: arrivals and system messages, client
// application messages, the launch state machine, the host's objects in play, chat.
// It reaches the session only through the DirectPlay service and the data access
// layer, and the main window only through WindowPort, so every handler runs in a
// unit test without network or browser.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "config/context.h"
#include "config/summary.h"
#include "config/types.h"
#include "platform/result.h"
#include "protocol/state.h"
#include "session/data_access.h"
#include "session/host_context.h"

namespace qd {

class AutobootList;
class SettingsLink;

// What the protocol needs of the main window. The real window posts the private
// messages to its own queue; tests record the calls.
class WindowPort {
public:
    virtual ~WindowPort() = default;
    virtual bool WindowExists() const = 0;
    // MSG_CHAT_TEXT (1281) and MSG_STATUS_TEXT (1283): a line for the chat pane.
    virtual void PostChatText(std::string line) = 0;
    virtual void PostStatusText(std::string line) = 0;
    virtual void PostOptionsChanged() = 0;                                        // 1285
    virtual void PostSendPlayerSettings(DPID player, uint32_t winCriterion) = 0;  // 1295
    // Window timers (respawn 20 + i, re-entry 1297).
    virtual void SetTimer(uint32_t id, uint32_t milliseconds) = 0;
    virtual void KillTimer(uint32_t id) = 0;
    // Player list and team list of the main window.
    virtual void RefreshPlayerRow(DPID player, const DpName& name) = 0;
    virtual void RemovePlayerRow(DPID player) = 0;
    virtual void RefreshTeams() = 0;
    virtual void RemoveTeamEntry(DPID group) = 0;
    // Controls the protocol enables and disables (1085, 1057, 1026).
    virtual void EnableControl(int controlId, bool enabled) = 0;
    // The chat entry field 1001: SendChat reads and clears it.
    virtual std::string ChatEntryText() = 0;
    virtual void SetChatEntryText(const std::string& text) = 0;
    // A modal box without caption (RecountTeam's "Player on team, but NOT").
    virtual void ShowNotice(const std::string& text) = 0;
};

// Everything the handlers share. Owned by the app; lives for the run.
struct GameHost {
    GameHost(HostContext& s, DataAccess& d, ConfigContext& c, WindowPort& w, std::vector<TargetObject*> t = {},
             std::vector<TeamDefinition*> tm = {}, HostState st = {}, AutobootList* a = nullptr,
             SettingsLink* link = nullptr)
        : session(s), data(d), config(c), window(w), targets(std::move(t)), teams(std::move(tm)), state(st),
          autoboot(a), settingsLink(link) {}

    HostContext& session;
    DataAccess& data;
    ConfigContext& config;
    WindowPort& window;
    std::vector<TargetObject*> targets;  // table order; index i has respawn timer 20 + i
    std::vector<TeamDefinition*> teams;  // table order
    HostState state;
    AutobootList* autoboot = nullptr;      // consulted on arrival; may be null in tests
    SettingsLink* settingsLink = nullptr;  // the side link; null: a settings push is logged as impossible
    // "Unrestrict all teams" of the settings dialog: the side link then never restricts aircraft.
    uint32_t unrestrictAllTeams = 0;

    // The autoboot list's IsAutobooted, set by the app; empty: nobody is autobooted.
    std::function<bool(const std::string&)> isAutobooted;
    // Tick source (GetTickCount when empty) and the daylight flag NET_LAUNCH's hour
    // follows (the local zone's after tzset when unset); tests fix both.
    std::function<uint32_t()> tickCount;
    std::optional<bool> daylight;

    // What the handlers remember for the run.
    struct RunMemory {
        std::optional<std::vector<uint8_t>> welcomeMessage;  // built on the first welcome
        std::set<DPID> noLinkLogged;                          // settings pushes logged as impossible
        std::set<std::pair<DPID, int>> recountNoticeShown;    // (player, pass) of "Player on team, but NOT"
        std::set<std::string> fileErrorsLogged;               // damage profile and template failures
        // Team moves the host made for NET_JOIN_TEAM and DirectPlay has not reported yet:
        // (group, player). Any other move of a client's player is a client's own.
        std::multiset<std::pair<DPID, DPID>> teamMovesAsked;
        // What each player may still ask for at once, refilled with time.
        struct Allowance {
            double left = 0;
            uint32_t tick = 0;
        };
        std::map<DPID, Allowance> chatAllowance, objectDataAllowance;
    } run;

    DirectPlayService& dp() { return *session.directPlay; }
    DPID hostPlayerId() const { return session.hostPlayerId; }
    int simulatorVersion() const { return config.prefs.simulatorVersion; }
};

constexpr uint32_t kReentryTimerId = 1297;
constexpr uint32_t kRespawnTimerBase = 20;
constexpr uint32_t kRespawnDelayMs = 4000;

// --- Arrivals, departures and system messages -------------------------------------
void HandleSystemMessage(GameHost& host, const uint8_t* message, uint32_t size, DPID to);
void WelcomePlayer(GameHost& host, DPID player);
void SendPlayerText(GameHost& host, std::string_view text, DPID player);
void SendReentryNotice(GameHost& host, DPID player);
HRESULT RecountTeam(GameHost& host, DPID group);

// --- Client application messages --------------------------------------------------
void HandleApplicationMessage(GameHost& host, const uint8_t* message, uint32_t size, DPID from, DPID to);

// --- Launch, census and re-entry --------------------------------------------------
void RefreshPlayers(GameHost& host);
void StatusCensus(GameHost& host, uint32_t mode);
void AdvanceGame(GameHost& host);
void LaunchGame(GameHost& host);
void SendLaunch(GameHost& host, DPID player);
int NoFunLaunchCheck(GameHost& host);
void ReentryTimerExpired(GameHost& host);  // window timer 1297
// The settings push of the census and the 1295 handler: the side link when there is
// one, else a log line that no side link exists.
void SendPlayerSettings(GameHost& host, DPID player, uint32_t winCriterion);

// --- Host objects in play ---------------------------------------------------------
void TargetsIntoGame(GameHost& host);
void TargetsToReadyRoom(GameHost& host);
void TargetsReady(GameHost& host);
void SendPosition(GameHost& host, TargetObject& object, std::optional<DPID> player);
void SendMotion(GameHost& host, TargetObject& object, std::optional<DPID> player);
void CompressDamageProfile(GameHost& host, TargetObject& object, std::optional<DPID> player);
void SendObjectTemplate(GameHost& host, TargetObject& object, DPID player);
void ShowLightDamage(GameHost& host, TargetObject& object);
void ShowHeavyDamage(GameHost& host, TargetObject& object);
void ShowDestroyed(GameHost& host, TargetObject& object);
void DestroyObject(GameHost& host, TargetObject& object, DPID destroyer);
void RespawnExpired(GameHost& host, TargetObject& object);

// --- Chat -------------------------------------------------------------------------
// No text: sends (and clears) what the operator typed; a text: broadcasts it.
HRESULT SendChat(GameHost& host, std::optional<std::string> text = std::nullopt);
// "%s:  %s\r\n" with the player's short name ("unknown" without one); nullopt when the
// player's name cannot be read.
std::optional<std::string> FormatChatLine(GameHost& host, DPID player, std::string_view text);

// --- Options summary --------------------------------------------------------------
// Builds the summary for the main window and sets state.pauseAllowed from it.
OptionsSummary ApplyOptionsSummary(GameHost& host, const SessionDesc& desc);

}  // namespace qd
