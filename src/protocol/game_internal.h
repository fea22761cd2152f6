#pragma once
// Small helpers the game protocol's handlers share.
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/event.h"
#include "protocol/game.h"

namespace qd::game {

// Control ids of the main window the protocol enables and disables.
constexpr int kControlTargetsIntoGame = 1085;
constexpr int kControlTargetsToReadyRoom = 1057;
constexpr int kControlReady = 1026;

inline uint32_t Tick(GameHost& host) { return host.tickCount ? host.tickCount() : GetTickCount(); }

inline HRESULT Send(GameHost& host, DPID from, DPID to, uint32_t flags, std::span<const uint8_t> bytes) {
    if (!host.session.directPlay) return DPERR_UNINITIALIZED;
    return host.dp().Send(from, to, flags, bytes);
}

// The TargetObject a record stands for (its 1-based table index); null for none.
inline TargetObject* ObjectOf(GameHost& host, const PlayerRecord& record) {
    if (record.object == 0 || record.object > host.targets.size()) return nullptr;
    return host.targets[record.object - 1];
}

// The TeamDefinition of a group record (its 1-based table index); null for none.
inline TeamDefinition* TeamOf(GameHost& host, const TeamGroupRecord& record) {
    if (record.team == 0 || record.team > host.teams.size()) return nullptr;
    return host.teams[record.team - 1];
}

// The short name as 8-bit text, "unknown" without one.
inline std::string ShortNameOrUnknown(const DpName& name) {
    return name.shortName ? NarrowCopy(*name.shortName) : std::string("unknown");
}

// Chat-pane lines go to the window while it exists and are dropped otherwise.
inline void PostChat(GameHost& host, std::string line) {
    if (host.window.WindowExists()) host.window.PostChatText(std::move(line));
}
inline void PostStatus(GameHost& host, std::string line) {
    if (host.window.WindowExists()) host.window.PostStatusText(std::move(line));
}

// Takes one from a player's allowance (at most `burst` at once, `perSecond` coming back);
// false when none is left.
bool Spend(GameHost& host, std::map<DPID, GameHost::RunMemory::Allowance>& allowances, DPID player, double perSecond,
           double burst);

// The rules of NET_JOIN_TEAM for putting `player` into `group`: Ignore (no such team
// group or player record), Refuse, or Accept.
enum class TeamVerdict { Ignore, Refuse, Accept };
TeamVerdict JudgeTeamMove(GameHost& host, DPID group, DPID player);
// NET_JOIN_REFUSED to the player.
void RefuseTeam(GameHost& host, DPID player);

// Logs a file problem once per run: a request that keeps failing on the same file
// would otherwise repeat it for every client.
void LogFileErrorOnce(GameHost& host, const std::string& line);

// The ids of every player in the session (EnumPlayers with flags), in its order.
std::vector<DPID> PlayerIds(GameHost& host, uint32_t flags);

// Rewrites an object's status letter (the object keeps its letter group); false when
// its names cannot be read.
bool SetObjectStatus(GameHost& host, TargetObject& object, LetterState s);

}  // namespace qd::game
