#include "app/monitor.h"

#include "app/main_window.h"
#include "protocol/game.h"
#include "session/dplay/transport.h"
#include "session/engine.h"

namespace qd {

namespace {

constexpr uint32_t kSettingsHold = 256;  // bit 8 of gameState: the settings dialog holds the game

const char* StateName(uint32_t gameState) {
    switch (gameState & ~kSettingsHold) {
    case kGameIdle: return "idle";
    case kGameLaunching: return "launching";
    case kGameInGame: return "in game";
    case kGameNoFunHold: return "no-fun hold";
    default: return "idle";
    }
}

console::NetworkReport NetworkFigures(const dplay::Transport& transport) {
    const auto& s = transport.stats();
    console::NetworkReport n;
    n.machinesJoined = s.machinesJoined;
    n.joins = s.joins;
    n.vanished = s.vanished;
    n.framesIn = {s.streamFramesIn, s.datagramsIn};
    n.framesOut = {s.streamFramesOut, s.datagramsOut};
    n.bytesIn = {s.streamBytesIn, s.datagramBytesIn};
    n.bytesOut = {s.streamBytesOut, s.datagramBytesOut};
    n.malformed = s.malformed;
    n.refused = s.refused;
    n.overloaded = s.overloaded;
    n.impostors = s.impostors;
    n.datagramsRefused = s.datagramsRefused;
    n.timedOut = s.timedOut;
    n.evicted = s.evicted;
    n.missedAcks = s.missedAcks;
    n.peersDropped = s.peersDropped;
    if (const auto* e = transport.enumStats()) {
        n.enumAnswered = e->replies;
        n.enumRateLimited = e->rateLimited;
        n.enumNotMatching = e->notMatching;
        n.enumMalformed = e->malformed;
        n.enumOverloaded = e->overloaded;
        n.enumEvicted = e->evicted;
    }
    return n;
}

}  // namespace

HostMonitor::HostMonitor(std::string version, std::string commit)
    : version_(std::move(version)), commit_(std::move(commit)) {}

HostMonitor::Watching HostMonitor::Watch(GameHost& game, const std::shared_ptr<dplay::Transport>& transport) {
    game_ = &game;
    transport_ = &transport;
    return Watching(*this);
}

console::HostReport HostMonitor::Report() const {
    console::HostReport r;
    r.version = version_;
    r.commit = commit_;
    r.uptimeSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    r.state = "not open";
    if (transport_ && *transport_) r.network = NetworkFigures(**transport_);
    if (!game_ || !game_->session.directPlay) return r;
    GameHost& g = *game_;
    SessionDesc desc;
    if (FAILED(g.dp().GetSessionDesc(desc))) return r;
    r.sessionOpen = true;
    r.sessionName = NarrowCopy(desc.sessionName.value_or(u""));
    r.maxPlayers = desc.dwMaxPlayers;
    r.state = StateName(g.state.gameState);
    r.settingsHold = (g.state.gameState & kSettingsHold) != 0;
    r.paused = g.state.paused != 0;

    g.dp().EnumPlayers(
        nullptr,
        [&](DPID id, uint32_t, const DpName& name, uint32_t) {
            console::PlayerReport p;
            p.id = id;
            p.name = NarrowCopy(name.shortName.value_or(u""));
            const auto record = g.data.GetPlayerRecord(id);
            p.client = !record || record->kind != kKindHostObject;
            p.status = StatusText(record ? std::optional<uint32_t>(record->status) : std::nullopt);
            if (record && record->teamGroup != 0) {
                DpName team;
                if (SUCCEEDED(g.dp().GetGroupName(record->teamGroup, team)))
                    p.team = NarrowCopy(team.shortName.value_or(u""));
            }
            const auto pieces = SplitBrackets(NarrowCopy(name.longName.value_or(u"")));
            p.aircraft = pieces.size() >= 2 ? pieces[1] : std::string("Unknown");
            r.players.push_back(std::move(p));
            return true;
        },
        0);

    if (const auto* engine = dynamic_cast<const Engine*>(g.session.directPlay.get())) {
        const EngineStats s = engine->Stats();
        r.queuedMessages = s.queuedMessages;
        r.queuedBytes = s.queuedBytes;
        r.droppedMessages = s.droppedMessages;
    }
    return r;
}

}  // namespace qd
