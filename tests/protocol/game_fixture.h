#pragma once
// A host on the real session engine with scripted clients and a recording main window.
#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "platform/log.h"
#include "platform/temp_dir.h"
#include "protocol/game.h"
#include "protocol/bytes.h"
#include "protocol/messages.h"
#include "protocol/objects.h"
#include "session/pump.h"
#include "session/session_fixture.h"

namespace qd::test {

struct RecordingWindow : WindowPort {
    bool exists = true;
    std::vector<std::string> chat, status, notices;
    std::vector<std::pair<DPID, uint32_t>> settingsPosts;
    std::map<uint32_t, uint32_t> timers;  // running timers: id -> period
    std::map<int, bool> enabled;
    std::map<DPID, DpName> rows;
    std::string entry;
    int optionsChanged = 0;

    bool WindowExists() const override { return exists; }
    void PostChatText(std::string line) override { chat.push_back(std::move(line)); }
    void PostStatusText(std::string line) override { status.push_back(std::move(line)); }
    void PostOptionsChanged() override { ++optionsChanged; }
    void PostSendPlayerSettings(DPID p, uint32_t v) override { settingsPosts.emplace_back(p, v); }
    void SetTimer(uint32_t id, uint32_t ms) override { timers[id] = ms; }
    void KillTimer(uint32_t id) override { timers.erase(id); }
    void RefreshPlayerRow(DPID p, const DpName& n) override { rows[p] = n; }
    void RemovePlayerRow(DPID p) override { rows.erase(p); }
    void RefreshTeams() override {}
    void RemoveTeamEntry(DPID) override {}
    void EnableControl(int id, bool on) override { enabled[id] = on; }
    std::string ChatEntryText() override { return entry; }
    void SetChatEntryText(const std::string& t) override { entry = t; }
    void ShowNotice(const std::string& t) override { notices.push_back(t); }
};

struct Client {
    ScriptedPeer* peer = nullptr;
    DPID id = 0;
    void send(DPID to, const std::vector<uint8_t>& m) const { peer->SendTo(id, to, m); }
    void letter(char16_t l) const { peer->SetStatusLetter(id, l); }
    // Application messages the host sent this client's machine, optionally of one type.
    std::vector<OutboundNotice> got(std::optional<uint32_t> type = std::nullopt) const {
        std::vector<OutboundNotice> out;
        for (auto& n : peer->Log())
            if (n.kind == OutboundNotice::Kind::Message && (!type || PeekNetType(n.data) == type)) out.push_back(n);
        return out;
    }
};

inline std::vector<uint8_t> Raw(uint32_t type, std::vector<uint32_t> words, std::size_t extra = 0) {
    std::vector<uint8_t> b;
    words.insert(words.begin(), {type, uint32_t(words.size() * 4 + extra)});
    for (uint32_t w : words)
        for (int k = 0; k < 4; ++k) b.push_back(uint8_t(w >> (8 * k)));
    b.resize(b.size() + extra);
    return b;
}
// NET_HITS with one entry per damage value (repeat count 0).
inline std::vector<uint8_t> Hits(std::vector<uint8_t> damages) {
    NetHits h;
    for (uint8_t d : damages) h.entries.push_back(NetHits::Entry{{0, 0, 0, 0, 0, 0, d}});
    return h.encode();
}

class GameTest : public ::testing::Test {
protected:
    testing::TempDir dir;
    std::shared_ptr<Engine> engine = OpenEngine();
    std::shared_ptr<ScriptedNetwork> net = ScriptedNetwork::Attach(*engine);
    HostContext ctx;
    DataAccess data{ctx};
    ConfigContext config;
    RecordingWindow window;
    std::deque<TargetObject> targets;
    std::deque<TeamDefinition> teams;
    GameHost host{ctx, data, config, window};
    uint32_t now = 1000;

    GameTest() {
        ctx.directPlay = engine;
        ctx.receiveEvent = std::make_unique<AutoResetEvent>();
        config.workDir = dir.path();
        SetErrorLogPath(dir.path() / "quarneld" / "qdlerror.txt");
        std::filesystem::create_directories(dir.path() / "quarneld");
        host.tickCount = [this] { return now; };
        host.daylight = false;
    }

    TeamDefinition& AddTeam(std::string name, uint32_t kind, uint32_t maxPlayers) {
        auto& t = teams.emplace_back();
        t.name = std::move(name), t.kind = kind, t.maxPlayers = maxPlayers;
        return t;
    }
    TargetObject& AddTarget(std::string name, std::string aircraft, int32_t life) {
        auto& t = targets.emplace_back();
        t.name = std::move(name), t.aircraft = std::move(aircraft), t.lifePoints = life;
        return t;
    }

    // What start-up and the main window's opening do, then the first drain.
    void Start() {
        for (std::size_t i = 0; i < targets.size(); ++i) {
            TargetObject& t = targets[i];
            const std::u16string longName = WideCopy("AJ[]" + t.aircraft + (i == 0 ? "[]G" : "[]C"));
            ASSERT_EQ(engine->CreatePlayer(&t.playerId, Name(WideCopy(t.name), longName), ctx.receiveEvent.get(), {}, 0),
                      S_OK);
            if (i == 0) ctx.hostPlayerId = t.playerId;
            data.InitPlayerRecord(t.playerId);
            auto r = *data.GetPlayerRecord(t.playerId);
            r.kind = kKindHostObject, r.object = uint32_t(i + 1);
            data.PutPlayerRecord(t.playerId, r);
            t.respawnTimerId = kRespawnTimerBase + uint32_t(i);
            host.targets.push_back(&t);
        }
        for (auto& team : teams) {
            host.teams.push_back(&team);
            DpName n;
            n.shortName = WideCopy(*team.name);
            ASSERT_EQ(engine->CreateGroup(&team.groupId, n, std::vector<uint8_t>(8), 0), S_OK);
        }
        for (auto& team : teams)  // every test object belongs to Target team 0
            for (auto& t : targets)
                if (*team.name == "Target ") {
                    auto r = *data.GetPlayerRecord(t.playerId);
                    r.teamGroup = team.groupId;
                    data.PutPlayerRecord(t.playerId, r);
                    engine->AddPlayerToGroup(team.groupId, t.playerId);
                }
        Pump();
    }

    void Pump() {
        for (int i = 0; i < 50 && Queued() > 0; ++i)
            DrainReceiveQueue(
                ctx, [this](HostContext&, const uint8_t* b, uint32_t n, DPID, DPID to) { HandleSystemMessage(host, b, n, to); },
                [this](HostContext&, const uint8_t* b, uint32_t n, DPID from, DPID to) {
                    HandleApplicationMessage(host, b, n, from, to);
                });
    }
    std::size_t Queued() { return engine->Stats().queuedMessages; }

    Client Join(std::u16string name, std::string address) {
        Client c{&net->AddPeer(std::move(address))};
        c.peer->Join();
        c.peer->CreatePlayer(name, u"BJ[]Spitfire[]C", &c.id);
        Pump();
        return c;
    }
    void JoinTeam(const Client& c, const TeamDefinition& t) {
        c.send(ctx.hostPlayerId, NetJoinTeam{t.groupId}.encode());
        Pump();
    }
    void Letter(std::initializer_list<const Client*> cs, char16_t l) {
        for (auto* c : cs) c->letter(l);
        Pump();
    }
    PlayerRecord Rec(DPID id) { return data.GetPlayerRecord(id).value_or(PlayerRecord{}); }
    void Fire(uint32_t timer) {
        ASSERT_TRUE(window.timers.count(timer)) << timer;
        if (timer == kReentryTimerId)
            ReentryTimerExpired(host);
        else
            RespawnExpired(host, targets[timer - kRespawnTimerBase]);
        Pump();
    }
};

}  // namespace qd::test
