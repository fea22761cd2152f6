// The launch state machine: status census, game steps, launch orders, re-entry window,
// the settings push per player, and the options summary's effect on pausing.
#include <ctime>

#include "platform/log.h"
#include "protocol/game_internal.h"
#include "protocol/messages.h"
#include "sidelink/settings_link.h"

namespace qd {

using namespace game;

namespace game {

void LogFileErrorOnce(GameHost& host, const std::string& line) {
    // Bounded: a run has few files, and a flood of distinct texts is itself the news.
    if (host.run.fileErrorsLogged.size() >= 256) return;
    if (host.run.fileErrorsLogged.insert(line).second) LogError(line);
}

std::vector<DPID> PlayerIds(GameHost& host, uint32_t flags) {
    std::vector<DPID> ids;
    if (!host.session.directPlay) return ids;
    host.dp().EnumPlayers(
        nullptr,
        [&](DPID id, uint32_t, const DpName&, uint32_t) {
            ids.push_back(id);
            return true;
        },
        flags);
    return ids;
}

}  // namespace game

namespace {

bool IsFlying(uint32_t status) { return status == kStatusFlying || status == kStatusNfFlying; }

bool LocalZoneHasDaylightRules(GameHost& host) {
    if (host.daylight) return *host.daylight;
    tzset();
    return daylight != 0;
}

uint32_t TargetCount(const GameHost& host) { return static_cast<uint32_t>(host.targets.size()); }

}  // namespace

void RefreshPlayers(GameHost& host) {
    if (!host.session.directPlay) return;
    host.dp().EnumPlayers(
        nullptr,
        [&](DPID id, uint32_t, const DpName& name, uint32_t) {
            host.window.RefreshPlayerRow(id, name);
            return true;
        },
        0);
    StatusCensus(host, 0);
    AdvanceGame(host);
}

void StatusCensus(GameHost& host, uint32_t mode) {
    HostState& st = host.state;
    const auto& s = host.config.settings;
    st.censusMode = mode;
    st.totalCount = st.readyCount = st.waitingCount = st.flyingCount = st.clientsFlying = st.onTeamCount = 0;

    for (DPID player : PlayerIds(host, DPENUMPLAYERS_ALL)) {
        const auto record = host.data.GetPlayerRecord(player);
        if (!record) continue;
        const uint32_t status = record->status;
        const bool flying = IsFlying(status);
        if (status == kStatusWaiting || status == kStatusNfReady) ++st.waitingCount;
        if (status == kStatusReady) ++st.readyCount;
        if (flying) {
            ++st.flyingCount;
            if (record->kind == kKindClient) ++st.clientsFlying;
        }

        if (mode == 2 && !flying)
            SendPlayerText(host, "Reentry timer has expired, please wait for next game.", player);

        if (flying) {
            SendPlayerSettings(host, player, 2);
        } else if (record->kind != kKindHostObject && host.window.WindowExists()) {
            const uint32_t value = (st.reentryOpen == 1 && mode == 0) ? 0 : s.WIN_CRITERIA;
            host.window.PostSendPlayerSettings(player, value);
        }

        const uint32_t launchable = s.NO_LOCK_OR_RADAR_PLAYERS == 1 ? kStatusNfReady : kStatusReady;
        if (st.gameState == kGameInGame && record->kind == kKindClient &&
            (s.WIN_CRITERIA == 0 || st.reentryOpen == 1) && status == launchable)
            SendLaunch(host, player);

        ++st.totalCount;
        if (record->teamGroup != 0) ++st.onTeamCount;
    }
    st.censusMode = 0;
}

void AdvanceGame(GameHost& host) {
    HostState& st = host.state;
    const auto& s = host.config.settings;
    const uint32_t targetCount = TargetCount(host);
    for (int pass = 0; pass < 2; ++pass) {
        bool again = false;
        if (st.gameState == kGameIdle && st.totalCount > targetCount) {
            if (st.readyCount + targetCount == st.totalCount) {
                if (st.targetsReadied == 0) TargetsReady(host);
            } else if (st.readyCount == st.totalCount) {
                if (s.NO_LOCK_OR_RADAR_PLAYERS == 0) {
                    st.gameState = kGameLaunching;
                } else {
                    TargetsToReadyRoom(host);
                    SendChat(host, std::string("Please switch back to Waiting now"));
                    st.gameState = kGameNoFunHold;
                }
            }
        }
        if (st.gameState == kGameNoFunHold && st.waitingCount == st.totalCount) st.gameState = kGameLaunching;
        if (st.gameState == kGameLaunching) {
            if (st.launchIssued == 0) {
                st.launchIssued = 1;
                LaunchGame(host);
            } else if (st.clientsFlying > 0) {
                st.launchIssued = 0;
                st.gameState = kGameInGame;
            }
        }
        if (st.gameState == kGameInGame) {
            if (st.flyingCount == 0) {
                st.gameState = kGameIdle;
                if (st.reentryOpen == 1) {
                    st.reentryOpen = 0;
                    host.window.KillTimer(kReentryTimerId);
                }
                StatusCensus(host, 1);
                again = true;
            } else if (st.clientsFlying == 0 && st.targetsInGame == 1) {
                TargetsToReadyRoom(host);
            }
        }
        if (!again) break;
    }
}

void LaunchGame(GameHost& host) {
    TargetsIntoGame(host);
    for (DPID player : PlayerIds(host, DPENUMPLAYERS_REMOTE)) {
        const auto record = host.data.GetPlayerRecord(player);
        if (record && record->kind != kKindHostObject && record->teamGroup != 0) SendLaunch(host, player);
    }
    const auto& s = host.config.settings;
    if (s.WIN_CRITERIA == 2 && s.LA_WINDOW_SEC != 0) {
        host.state.reentryOpen = 1;
        host.window.SetTimer(kReentryTimerId, s.LA_WINDOW_SEC);
    }
}

void SendLaunch(GameHost& host, DPID player) {
    const auto record = host.data.GetPlayerRecord(player);
    if (!record || record->kind == kKindHostObject) return;
    const auto group = host.data.GetTeamGroupRecord(record->teamGroup);
    if (!group) return;
    const TeamDefinition* team = TeamOf(host, *group);
    if (!team) return;
    if (host.window.WindowExists()) host.window.PostSendPlayerSettings(player, 2);

    NetLaunch launch;
    launch.timeOfDay = TimeOfDayWord(host.config.settings.TIME_OF_DAY, LocalZoneHasDaylightRules(host));
    launch.playerId = player;
    double fraction = 0;
    if (team->formationType != 0)
        fraction = team->formationHeading / 360.0;
    else if (record->teamSlot != 0 && team->maxPlayers != 0)
        fraction = double(record->teamSlot - 1) / double(team->maxPlayers);
    launch.turnFraction = TurnFraction(fraction);
    Send(host, host.hostPlayerId(), player, DPSEND_GUARANTEED, launch.encode());
}

int NoFunLaunchCheck(GameHost& host) {
    const HostState& st = host.state;
    if (st.onTeamCount != st.totalCount) return 1;
    if (st.waitingCount != st.totalCount) return 2;
    if (st.totalCount == TargetCount(host)) return 3;
    return 0;
}

void ReentryTimerExpired(GameHost& host) {
    host.window.KillTimer(kReentryTimerId);
    host.state.reentryOpen = 0;
    StatusCensus(host, 2);
}

void SendPlayerSettings(GameHost& host, DPID player, uint32_t winCriterion) {
    if (host.settingsLink) {
        host.settingsLink->SendPlayerSettings(player, winCriterion);
        return;
    }
    if (host.run.noLinkLogged.size() < 4096 && host.run.noLinkLogged.insert(player).second) {
        char line[120];
        std::snprintf(line, sizeof line, "No side link: settings for player 0x%08X were not sent", player);
        LogError(line);
    }
}

OptionsSummary ApplyOptionsSummary(GameHost& host, const SessionDesc& desc) {
    OptionsSummary summary = BuildOptionsSummary(desc, host.config.settings);
    host.state.pauseAllowed = summary.pauseAllowed ? 1 : 0;
    return summary;
}

}  // namespace qd
