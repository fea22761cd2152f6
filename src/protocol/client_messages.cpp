// Application messages from the simulator clients. Fields are read at their offsets
// as the clients write them (size fields are not relied on), and every read is checked
// against the datagram: a message too short for what its handling reads is dropped
// whole, so the host state is never changed by half a message.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "protocol/bytes.h"
#include "protocol/game_internal.h"
#include "protocol/messages.h"

namespace qd {

using namespace game;

namespace {

constexpr std::size_t kTimeSyncLength = 20;
constexpr std::size_t kHitsEntryLength = 12;
// Chat-pane lines per player: a few at once, two a second after that.
constexpr double kChatBurst = 5, kChatPerSecond = 2;
// Object data requests per player (one per object addressed): every object twice over at
// once, such as a client asks for at launch, then eight a second. Each answer is about
// a hundred times the request.
constexpr double kObjectDataBurst = 64, kObjectDataPerSecond = 8;

struct Incoming {
    std::span<const uint8_t> bytes;
    DPID from = 0;
    DPID to = 0;
    bool toHost = false;
    TargetObject* object = nullptr;  // the object the receiver stands for

    bool has(std::size_t n) const { return bytes.size() >= n; }
    uint32_t u32(std::size_t at) const { return GetU32(bytes, at); }
};

// A hit or destroyed claim on a bombing target counts only from a Bomber team.
bool PassesBomberCheck(GameHost& host, const TargetObject& object, DPID sender) {
    if (host.config.settings.BTEAMS_DESTROY_TARGETS == 0 && object.isBombingTarget != 1) return true;
    const auto record = host.data.GetPlayerRecord(sender);
    if (!record) return false;
    const auto group = host.data.GetTeamGroupRecord(record->teamGroup);
    if (!group) return false;
    const TeamDefinition* team = TeamOf(host, *group);
    return team && team->kind == kTeamBomber;
}

void TimeSync(GameHost& host, const Incoming& m) {
    if (!m.has(kTimeSyncLength)) return;
    const uint32_t now = Tick(host);
    const uint32_t echo = m.u32(8), received = m.u32(12), sent = m.u32(16);
    if (auto record = host.data.GetPlayerRecord(m.from); record && echo != 0) {
        double t = double(uint32_t(now - echo)) - double(uint32_t(sent - received));
        if (record->latencyMs != 0) t = (t + 9.0 * record->latencyMs) / 10.0;
        // Kept as a 32-bit word; a nonsense stamp must not make the conversion undefined.
        t = std::clamp(std::trunc(t), double(std::numeric_limits<int32_t>::min()),
                       double(std::numeric_limits<uint32_t>::max()));
        record->latencyMs = static_cast<uint32_t>(static_cast<int64_t>(t));
        host.data.PutPlayerRecord(m.from, *record);
    }
    std::vector<uint8_t> reply(m.bytes.begin(), m.bytes.begin() + kTimeSyncLength);
    PutU32(reply, 8, sent);
    PutU32(reply, 12, now);
    PutU32(reply, 16, now);
    Send(host, host.hostPlayerId(), m.from, DPSEND_GUARANTEED, reply);
}

void KeepMotion(GameHost& host, const Incoming& m) {
    if (!m.has(NetMotion::kLength)) return;
    auto record = host.data.GetPlayerRecord(m.from);
    if (!record) return;
    if (MotionBuffer* buffer = host.data.Motion(record->lastMotion)) {
        std::memcpy(buffer->data(), m.bytes.data(), buffer->size());
        // The copy is shared; the record's own tick field is not written back.
        record->lastMotionTick = Tick(host);
    }
}

bool InGroup(GameHost& host, DPID group, DPID player) {
    bool found = false;
    host.dp().EnumGroupPlayers(
        group, nullptr,
        [&](DPID id, uint32_t, const DpName&, uint32_t) {
            found = id == player;
            return !found;
        },
        0);
    return found;
}

void TeamRequest(GameHost& host, const Incoming& m) {
    if (!m.has(12)) return;
    const DPID group = m.u32(8);
    switch (JudgeTeamMove(host, group, m.from)) {
        case TeamVerdict::Ignore: return;
        case TeamVerdict::Refuse: return RefuseTeam(host, m.from);
        case TeamVerdict::Accept: break;
    }
    const auto record = host.data.GetPlayerRecord(m.from);
    if (record->teamGroup != group && record->teamGroup != 0) host.dp().DeletePlayerFromGroup(record->teamGroup, m.from);
    // DirectPlay reports the move back; it is known there as the host's own.
    const bool reported = !InGroup(host, group, m.from);
    if (SUCCEEDED(host.dp().AddPlayerToGroup(group, m.from)) && reported)
        host.run.teamMovesAsked.insert({group, m.from});
}

void ChatLine(GameHost& host, DPID from, std::string_view text) {
    if (auto line = FormatChatLine(host, from, text)) PostChat(host, std::move(*line));
}

// Text at offset 12 up to its NUL; a text without one is taken to the datagram's end.
std::string_view TextAt12(const Incoming& m) {
    if (!m.has(12)) return {};
    const auto* begin = reinterpret_cast<const char*>(m.bytes.data() + 12);
    const std::size_t room = m.bytes.size() - 12;
    const void* nul = std::memchr(begin, 0, room);
    return std::string_view(begin, nul ? static_cast<const char*>(nul) - begin : room);
}

void Hits(GameHost& host, const Incoming& m) {
    TargetObject& object = *m.object;
    if (object.destroyed == 1) return;
    if (!m.has(12)) return;
    const uint32_t count = m.u32(8);
    // A count the datagram cannot hold is a broken message, not a smaller one.
    if (uint64_t(count) * kHitsEntryLength > m.bytes.size() - 12) return;
    if (!PassesBomberCheck(host, object, m.from)) return;
    uint32_t damage = static_cast<uint32_t>(object.damage);
    for (uint32_t i = 0; i < count; ++i) {
        const std::size_t entry = 12 + kHitsEntryLength * std::size_t(i);
        damage += uint32_t(m.bytes[entry + 6]) * (m.u32(entry) + 1u);
    }
    object.damage = static_cast<int32_t>(damage);
    object.lastHitter = m.from;
    const uint64_t life = static_cast<uint32_t>(object.lifePoints);
    if (damage >= life)
        DestroyObject(host, object, m.from);
    else if (damage >= (2 * life) / 3)
        ShowHeavyDamage(host, object);
    else if (damage >= life / 5)
        ShowLightDamage(host, object);
}

}  // namespace

namespace game {

bool Spend(GameHost& host, std::map<DPID, GameHost::RunMemory::Allowance>& allowances, DPID player, double perSecond,
           double burst) {
    const uint32_t now = Tick(host);
    auto [it, fresh] = allowances.try_emplace(player, GameHost::RunMemory::Allowance{burst, now});
    auto& a = it->second;
    if (!fresh) {
        a.left = std::min(burst, a.left + double(uint32_t(now - a.tick)) * perSecond / 1000.0);
        a.tick = now;
    }
    if (a.left < 1.0) return false;
    a.left -= 1.0;
    return true;
}

TeamVerdict JudgeTeamMove(GameHost& host, DPID group, DPID player) {
    const auto groupRecord = host.data.GetTeamGroupRecord(group);
    if (!groupRecord) return TeamVerdict::Ignore;
    // A group that matched no team has no capacity to join: refused like a full one.
    const TeamDefinition* team = TeamOf(host, *groupRecord);
    if (!team || groupRecord->memberCount >= team->maxPlayers) return TeamVerdict::Refuse;
    for (const TeamDefinition* t : host.teams)
        if (t && t->groupId == group && t->kind == kTeamTarget) return TeamVerdict::Refuse;
    const auto record = host.data.GetPlayerRecord(player);
    if (!record) return TeamVerdict::Ignore;
    return record->status == kStatusNfReady ? TeamVerdict::Refuse : TeamVerdict::Accept;
}

void RefuseTeam(GameHost& host, DPID player) {
    Send(host, host.hostPlayerId(), player, DPSEND_GUARANTEED, NetJoinRefused{}.encode());
}

}  // namespace game

void HandleApplicationMessage(GameHost& host, const uint8_t* message, uint32_t size, DPID from, DPID to) {
    if (!message || size < 4 || !host.session.directPlay) return;
    if (from == host.hostPlayerId()) return;
    const auto record = host.data.GetPlayerRecord(to);
    if (!record) return;
    Incoming m{std::span<const uint8_t>(message, size), from, to, to == host.hostPlayerId(), ObjectOf(host, *record)};
    const uint32_t type = m.u32(0);

    switch (type) {
        case NET_NAME_REQUEST:
            if (m.object)
                Send(host, to, from, DPSEND_GUARANTEED, NetNameReply{0, m.object->aircraft}.encode());
            break;
        case NET_OBJECT_DESTROYED:
            if (m.object && m.has(12) && m.u32(8) == m.object->playerId &&
                PassesBomberCheck(host, *m.object, from))
                DestroyObject(host, *m.object, from);
            break;
        case NET_TIME_SYNC:
            if (m.toHost) TimeSync(host, m);
            break;
        case NET_MOTION: KeepMotion(host, m); break;
        case NET_PROBE:
            if (m.toHost) Send(host, to, from, DPSEND_GUARANTEED, NetProbeReply{}.encode());
            break;
        case NET_JOIN_TEAM:
            if (m.toHost) TeamRequest(host, m);
            break;
        case NET_BACK_IN_READY_ROOM:
            if (m.toHost && Spend(host, host.run.chatAllowance, from, kChatPerSecond, kChatBurst))
                ChatLine(host, from, "I returned to RR");
            break;
        case NET_PAUSE_REQUEST:
            if (m.toHost && host.state.pauseAllowed == 1) {
                host.state.paused = 1 - host.state.paused;
                Send(host, host.hostPlayerId(), DPID_ALLPLAYERS, DPSEND_GUARANTEED,
                     NetPauseState{from, host.state.paused}.encode());
            }
            break;
        case NET_PAUSE_STATE:
            // A flag: anything but 0 is paused, so the next toggle stays 0 or 1.
            if (m.toHost && m.has(16)) host.state.paused = m.u32(12) != 0 ? 1 : 0;
            break;
        case NET_OBJECT_DATA_REQUEST:
            if (m.object && Spend(host, host.run.objectDataAllowance, from, kObjectDataPerSecond, kObjectDataBurst)) {
                CompressDamageProfile(host, *m.object, from);
                SendObjectTemplate(host, *m.object, from);
                SendPosition(host, *m.object, from);
                SendMotion(host, *m.object, from);
            }
            break;
        case NET_TEXT:
            if (m.toHost && m.has(12) && Spend(host, host.run.chatAllowance, from, kChatPerSecond, kChatBurst))
                ChatLine(host, from, TextAt12(m));
            break;
        case NET_HITS:
            if (m.object) Hits(host, m);
            break;
        default: break;  // other types, and ours coming back, are ignored
    }
}

}  // namespace qd
