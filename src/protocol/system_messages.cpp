// Arrivals, departures, team membership and status changes reported by DirectPlay.
#include <cstdio>
#include <fstream>
#include <iterator>

#include "config/paths.h"
#include "platform/log.h"
#include "protocol/bytes.h"
#include "protocol/game_internal.h"
#include "protocol/messages.h"
#include "session/sysmsg.h"
#include "sidelink/settings_link.h"

namespace qd {

using namespace game;

namespace {

// The welcome text is one NET_TEXT; a DirectPlay message carries at most 64 KiB.
constexpr std::size_t kMaxWelcomeBytes = 60 * 1024;
// Distinct players a "Player on team, but NOT" notice is kept for; past it they stop.
constexpr std::size_t kMaxRecountNotices = 1024;

const char kDefaultWelcome[] =
    "\r\n                    Welcome to QUARNELD\r\n           Please join an existing non-Target team\r\n";

std::vector<uint8_t> BuildWelcomeMessage(GameHost& host) {
    std::string text;
    bool fromFile = false;
    const auto& path = WelcomeTextPath(host.config);
    if (!path.empty()) {
        std::ifstream in(path, std::ios::binary);
        if (in) {
            text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
            fromFile = !in.bad();
        }
    }
    if (!fromFile) text = kDefaultWelcome;
    if (text.size() > kMaxWelcomeBytes) {
        LogError("Welcome text " + path.string() + " is longer than " + std::to_string(kMaxWelcomeBytes) +
                 " bytes; the rest is not sent");
        text.resize(kMaxWelcomeBytes);
    }
    if (host.config.settings.WIN_CRITERIA == 2) {
        if (!text.empty() && text.back() != '\r' && text.back() != '\n') text += "\r\n";
        char line[128];
        std::snprintf(line, sizeof line,
                      "This is Last Alive.  Once game starts, players can reenter for %lu seconds.\r\n",
                      static_cast<unsigned long>(host.config.settings.LA_WINDOW_SEC / 1000));
        text += line;
    }
    return NetText{kTextNotice, text}.encode();
}

bool IsRemotePlayer(GameHost& host, DPID player) {
    uint32_t flags = 0;
    return SUCCEEDED(host.dp().GetPlayerFlags(player, &flags)) && !(flags & DPPLAYER_LOCAL);
}

// A client's own move into the group that the host has not judged yet: not a member for
// the host until it is, and no inconsistency to report.
bool UnjudgedMove(GameHost& host, DPID group, DPID player, const std::optional<PlayerRecord>& record) {
    return record && record->teamGroup != group && IsRemotePlayer(host, player) &&
           !host.run.teamMovesAsked.count({group, player});
}

void ShowRecountNotice(GameHost& host, DPID group, DPID player, int pass) {
    auto& shown = host.run.recountNoticeShown;
    if (shown.size() >= kMaxRecountNotices || !shown.insert({player, pass}).second) return;
    const char* text = pass == 1 ? "Player on team, but NOT" : "Player on team, but NOT, PART 2";
    char line[160];
    std::snprintf(line, sizeof line, "%s: player 0x%08X in group 0x%08X has no team record", text, player, group);
    LogError(line);
    host.window.ShowNotice(text);
}

void PlayerArrived(GameHost& host, const SysCreatePlayerOrGroup& m) {
    const std::string name = ShortNameOrUnknown(m.name);
    if (host.isAutobooted && host.isAutobooted(name)) {
        host.dp().DestroyPlayer(m.id);
        return;
    }
    PostStatus(host, "\"" + name + "\" has joined\r\n");
    host.data.InitPlayerRecord(m.id);
    RefreshPlayers(host);
    WelcomePlayer(host, m.id);
    const auto& s = host.config.settings;
    if (s.WIN_CRITERIA == 2 && s.NO_LOCK_OR_RADAR_PLAYERS == 1 && host.state.gameState == kGameInGame &&
        host.state.reentryOpen == 0)
        SendPlayerText(host, "No fun game is in session", m.id);
}

void GroupCreated(GameHost& host, const SysCreatePlayerOrGroup& m) {
    TeamGroupRecord record;
    // Teams are the host's own groups: a client's group of the same name takes no team.
    if (m.name.shortName && (m.flags & DPPLAYER_LOCAL)) {
        const std::string name = NarrowCopy(*m.name.shortName);
        for (std::size_t i = 0; i < host.teams.size(); ++i) {
            TeamDefinition* team = host.teams[i];
            if (team && team->name && *team->name == name) {
                team->groupId = m.id;
                record.team = uint32_t(i + 1);
                break;
            }
        }
    }
    host.data.PutTeamGroupRecord(m.id, record);
    host.window.RefreshTeams();
}

void PlayerLeft(GameHost& host, const SysDestroyPlayerOrGroup& m) {
    PostStatus(host, "\"" + ShortNameOrUnknown(m.name) + "\" has left\r\n");
    if (m.localData.size() >= PlayerRecord::kSize) {
        const PlayerRecord record = PlayerRecord::fromBytes(m.localData.data());
        if (record.linkSocket != 0 && host.settingsLink) host.settingsLink->PlayerLeft(m.id, record);
        host.data.ReleaseMotion(record.lastMotion);
    }
    host.window.RemovePlayerRow(m.id);
    host.run.chatAllowance.erase(m.id);
    host.run.objectDataAllowance.erase(m.id);
    std::erase_if(host.run.teamMovesAsked, [&](const auto& move) { return move.second == m.id; });
    // Without a census here a game whose last flying client left would stay in game
    // with the host's objects flying until some other change came along.
    RefreshPlayers(host);
}

void GroupLost(GameHost& host, const SysDestroyPlayerOrGroup& m) {
    host.window.RemoveTeamEntry(m.id);
    // Only the host's own groups come back; a client's groups are the client's to delete.
    if (!(m.flags & DPPLAYER_LOCAL)) return;
    DPID id = 0;
    host.dp().CreateGroup(&id, m.name, m.remoteData, 0);
}

void JoinedTeam(GameHost& host, const SysGroupMembership& m) {
    auto& asked = host.run.teamMovesAsked;
    DPID previous = 0;
    if (auto it = asked.find({m.group, m.player}); it != asked.end()) {
        asked.erase(it);
    } else if (IsRemotePlayer(host, m.player)) {
        // A client moved its player itself: the team request's rules hold all the same. The
        // peers saw the move already; the host takes the player out again, which they hear
        // too, and its own records and the name table of later joiners never show it.
        const TeamVerdict verdict = JudgeTeamMove(host, m.group, m.player);
        if (verdict != TeamVerdict::Accept) {
            host.dp().DeletePlayerFromGroup(m.group, m.player);
            if (verdict == TeamVerdict::Refuse) RefuseTeam(host, m.player);
            return;
        }
        // One team at a time, as with the request.
        if (auto record = host.data.GetPlayerRecord(m.player); record && record->teamGroup != m.group)
            previous = record->teamGroup;
    }
    if (auto record = host.data.GetPlayerRecord(m.player)) {
        record->teamGroup = m.group;
        if (previous) record->teamSlot = 0;
        host.data.PutPlayerRecord(m.player, *record);
    }
    if (previous) {
        host.dp().DeletePlayerFromGroup(previous, m.player);
        RecountTeam(host, previous);
    }
    RefreshPlayers(host);
    RecountTeam(host, m.group);
}

void LeftTeam(GameHost& host, const SysGroupMembership& m) {
    auto record = host.data.GetPlayerRecord(m.player);
    if (record) {
        if (record->teamGroup != m.group) return;
        record->teamSlot = 0;
        record->teamGroup = 0;
        host.data.PutPlayerRecord(m.player, *record);
    }
    RefreshPlayers(host);
    host.window.RefreshTeams();
    RecountTeam(host, m.group);
}

void StatusChanged(GameHost& host, const SysSetName& m) {
    uint32_t reported = StatusFromLongName(m.name.longName ? std::u16string_view(*m.name.longName) : u"");
    auto record = host.data.GetPlayerRecord(m.id);
    if (!record) {
        RefreshPlayers(host);
        return;
    }
    const uint32_t stored = record->status;
    const auto& s = host.config.settings;
    const auto& st = host.state;
    if (s.NO_LOCK_OR_RADAR_PLAYERS == 1 && st.gameState != kGameIdle) {
        if (reported == kStatusWaiting && stored == kStatusReady &&
            (s.WIN_CRITERIA == 0 || st.gameState == kGameNoFunHold || st.reentryOpen == 1))
            reported = kStatusNfReady;
        else if (st.gameState != kGameNoFunHold && reported == kStatusReady && stored == kStatusWaiting &&
                 st.reentryOpen == 1)
            SendPlayerText(host, "Please switch back to Waiting now", m.id);
    }
    if (s.WIN_CRITERIA == 2 && reported == kStatusWaiting) {
        if (stored == kStatusFlying || stored == kStatusNfFlying)
            reported = kStatusWait2;
        else if (stored == kStatusWait2)
            SendReentryNotice(host, m.id);
    }
    record->status = reported;
    host.data.PutPlayerRecord(m.id, *record);
    RefreshPlayers(host);
}

}  // namespace

void HandleSystemMessage(GameHost& host, const uint8_t* message, uint32_t size, DPID to) {
    // DirectPlay hands every local player its own copy; the host acts on one.
    if (to != host.hostPlayerId() || !message || !host.session.directPlay) return;
    const std::span<const uint8_t> bytes(message, size);
    const auto type = SysMessageType(bytes);
    if (!type) return;
    switch (*type) {
        case DPSYS_CREATEPLAYERORGROUP:
            if (auto m = DecodeCreatePlayerOrGroup(bytes)) {
                if (m->playerType == DPPLAYERTYPE_PLAYER)
                    PlayerArrived(host, *m);
                else if (m->playerType == DPPLAYERTYPE_GROUP)
                    GroupCreated(host, *m);
            }
            break;
        case DPSYS_DESTROYPLAYERORGROUP:
            if (auto m = DecodeDestroyPlayerOrGroup(bytes)) {
                if (m->playerType == DPPLAYERTYPE_PLAYER)
                    PlayerLeft(host, *m);
                else if (m->playerType == DPPLAYERTYPE_GROUP)
                    GroupLost(host, *m);
            }
            break;
        case DPSYS_ADDPLAYERTOGROUP:
        case DPSYS_DELETEPLAYERFROMGROUP: {
            uint32_t decodedType = 0;
            if (auto m = DecodeGroupMembership(bytes, &decodedType)) {
                if (decodedType == DPSYS_ADDPLAYERTOGROUP)
                    JoinedTeam(host, *m);
                else
                    LeftTeam(host, *m);
            }
            break;
        }
        case DPSYS_SETPLAYERORGROUPNAME:
            if (auto m = DecodeSetName(bytes)) {
                if (m->playerType == DPPLAYERTYPE_PLAYER)
                    StatusChanged(host, *m);
                else
                    host.window.RefreshTeams();
            }
            break;
        case DPSYS_SETSESSIONDESC:
            if (host.window.WindowExists()) host.window.PostOptionsChanged();
            break;
        default: break;
    }
}

void WelcomePlayer(GameHost& host, DPID player) {
    if (!host.run.welcomeMessage) host.run.welcomeMessage = BuildWelcomeMessage(host);
    const DPID from = host.hostPlayerId();
    Send(host, from, player, DPSEND_GUARANTEED, *host.run.welcomeMessage);
    Send(host, from, player, DPSEND_GUARANTEED, NetNameRequest{}.encode());
    Send(host, from, player, DPSEND_GUARANTEED,
         NetPauseState{NetPauseState::kToNewcomer, host.state.paused}.encode());
}

void SendPlayerText(GameHost& host, std::string_view text, DPID player) {
    Send(host, host.hostPlayerId(), player, DPSEND_GUARANTEED, NetText{kTextNotice, std::string(text)}.encode());
}

void SendReentryNotice(GameHost& host, DPID player) {
    SendPlayerText(host,
                   host.state.reentryOpen == 1 ? "You have time to reenter game!!!"
                                               : "Reentry timer has expired, please wait for next game.",
                   player);
}

HRESULT RecountTeam(GameHost& host, DPID group) {
    auto groupRecord = host.data.GetTeamGroupRecord(group);
    if (!groupRecord) return DPERR_INVALIDOBJECT;
    groupRecord->memberCount = 0;
    groupRecord->sumReservedA = 0;
    groupRecord->sumReservedB = 0;
    groupRecord->slotMask = 0;

    std::vector<DPID> members;
    host.dp().EnumGroupPlayers(
        group, nullptr,
        [&](DPID id, uint32_t, const DpName&, uint32_t) {
            members.push_back(id);
            return true;
        },
        0);

    for (DPID member : members) {
        const auto record = host.data.GetPlayerRecord(member);
        if (UnjudgedMove(host, group, member, record)) continue;
        if (!record || record->teamGroup == 0) {
            ShowRecountNotice(host, group, member, 1);
            continue;
        }
        groupRecord->sumReservedA += record->reservedA;
        groupRecord->sumReservedB += record->reservedB;
        ++groupRecord->memberCount;
        if (record->teamSlot != 0) groupRecord->slotMask |= 1u << ((record->teamSlot - 1) % 32);
    }

    const TeamDefinition* team = TeamOf(host, *groupRecord);
    const uint32_t maxPlayers = team ? team->maxPlayers : 0;
    for (DPID member : members) {
        auto record = host.data.GetPlayerRecord(member);
        if (UnjudgedMove(host, group, member, record)) continue;
        if (!record || record->teamGroup == 0) {
            ShowRecountNotice(host, group, member, 2);
            continue;
        }
        if (record->teamSlot != 0) continue;
        // Slots wrap at 32 bits, so looking further than 32 finds nothing new.
        for (uint32_t i = 0; i < maxPlayers && i < 32; ++i) {
            if (groupRecord->slotMask & (1u << i)) continue;
            groupRecord->slotMask |= 1u << i;
            record->teamSlot = i + 1;
            host.data.PutPlayerRecord(member, *record);
            break;
        }
    }
    return host.data.PutTeamGroupRecord(group, *groupRecord);
}

}  // namespace qd
