// Whole games (ordinary, Last Alive, no-fun) with scripted clients on the real engine, and their edge cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "platform/log.h"
#include "platform/temp_dir.h"
#include "protocol/bytes.h"
#include "protocol/game.h"
#include "protocol/objects.h"
#include "session/pump.h"
#include "session/session_fixture.h"

namespace qd {
namespace {

using test::Name;

struct RecordingWindow : WindowPort {
    std::vector<std::string> chat, status, notices;
    std::vector<std::pair<DPID, uint32_t>> settingsPosts;
    std::map<uint32_t, uint32_t> timers;  // running timers: id -> period
    std::map<int, bool> enabled;
    std::map<DPID, DpName> rows;
    std::string entry;

    bool WindowExists() const override { return true; }
    void PostChatText(std::string line) override { chat.push_back(std::move(line)); }
    void PostStatusText(std::string line) override { status.push_back(std::move(line)); }
    void PostOptionsChanged() override {}
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
    void send(DPID to, const Bytes& m) const { peer->SendTo(id, to, m); }
    void letter(char16_t l) const { peer->SetStatusLetter(id, l); }
    // Application messages the host sent this client's machine, optionally of one type.
    std::vector<OutboundNotice> got(std::optional<uint32_t> type = std::nullopt) const {
        std::vector<OutboundNotice> out;
        for (auto& n : peer->Log())
            if (n.kind == OutboundNotice::Kind::Message && (!type || PeekNetType(n.data) == type)) out.push_back(n);
        return out;
    }
    std::vector<uint32_t> types() const {
        std::vector<uint32_t> out;
        for (auto& n : got()) out.push_back(PeekNetType(n.data).value_or(0));
        return out;
    }
    std::string lastText() const { return NetText::decode(got(NET_TEXT).back().data).value_or(NetText{}).text; }
    auto renamesOf(DPID p) const {
        auto renamed = [&](auto& n) { return n.kind == OutboundNotice::Kind::NameChanged && n.id == p; };
        return std::ranges::count_if(peer->Log(), renamed);
    }
};

Bytes Raw(uint32_t type, std::vector<uint32_t> words, std::size_t extra = 0) {
    ByteWriter w;
    w.u32(type).u32(uint32_t(words.size() * 4 + extra));
    for (uint32_t v : words) w.u32(v);
    Bytes b = w.take();
    b.resize(b.size() + extra);
    return b;
}
// NET_HITS with one entry per damage value (repeat count 0).
Bytes Hits(std::vector<uint8_t> damages) {
    NetHits h;
    for (uint8_t d : damages) h.entries.push_back(NetHits::Entry{{0, 0, 0, 0, 0, 0, d}});
    return h.encode();
}
NetLaunch LaunchOf(const OutboundNotice& n) { return NetLaunch::decode(n.data).value_or(NetLaunch{}); }

class GameTest : public ::testing::Test {
protected:
    testing::TempDir dir;
    test::EngineRig rig;
    std::shared_ptr<Engine> engine = rig.e;
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
        return teams.emplace_back(TeamDefinition{.name = std::move(name), .kind = kind, .maxPlayers = maxPlayers});
    }
    TargetObject& AddTarget(std::string name, std::string aircraft) {
        auto& t = targets.emplace_back();
        t.name = std::move(name), t.aircraft = std::move(aircraft), t.lifePoints = 100;
        return t;
    }
    // What start-up and the main window's opening do, then the first drain. Every object
    // belongs to the team named "Target ".
    void Start() {
        for (std::size_t i = 0; i < targets.size(); ++i) {
            TargetObject& t = targets[i];
            const std::u16string longName = WideCopy("AJ[]" + t.aircraft + (i == 0 ? "[]G" : "[]C"));
            const DpName name = Name(WideCopy(t.name), longName);
            ASSERT_EQ(engine->CreatePlayer(&t.playerId, name, ctx.receiveEvent.get(), {}, 0), S_OK);
            if (i == 0) ctx.hostPlayerId = t.playerId;
            data.InitPlayerRecord(t.playerId);
            Update(t.playerId, [&](PlayerRecord& r) { r.kind = kKindHostObject, r.object = uint32_t(i + 1); });
            t.respawnTimerId = kRespawnTimerBase + uint32_t(i);
            host.targets.push_back(&t);
        }
        for (auto& team : teams) {
            host.teams.push_back(&team);
            ASSERT_EQ(engine->CreateGroup(&team.groupId, Name(WideCopy(*team.name), u""), Bytes(8), 0), S_OK);
            for (auto& t : targets) {
                if (*team.name != "Target ") continue;
                Update(t.playerId, [&](PlayerRecord& r) { r.teamGroup = team.groupId; });
                engine->AddPlayerToGroup(team.groupId, t.playerId);
            }
        }
        Pump();
    }
    void Pump() {
        auto sys = [this](HostContext&, const uint8_t* b, uint32_t n, DPID, DPID to) {
            HandleSystemMessage(host, b, n, to);
        };
        auto app = [this](HostContext&, const uint8_t* b, uint32_t n, DPID from, DPID to) {
            HandleApplicationMessage(host, b, n, from, to);
        };
        for (int i = 0; i < 50 && engine->Stats().queuedMessages > 0; ++i) DrainReceiveQueue(ctx, sys, app);
    }
    Client Join(std::u16string name, std::string address) {
        Client c{&rig.Peer(std::move(address))};
        c.peer->CreatePlayer(name, u"BJ[]Spitfire[]C", &c.id);
        Pump();
        return c;
    }
    // Sends as the client and lets the host handle everything queued.
    void Send(const Client& c, DPID to, const Bytes& m) {
        c.send(to, m);
        Pump();
    }
    void JoinTeam(const Client& c, const TeamDefinition& t) {
        Send(c, ctx.hostPlayerId, NetJoinTeam{t.groupId}.encode());
    }
    void Letter(std::initializer_list<const Client*> cs, char16_t l) {
        for (auto* c : cs) c->letter(l);
        Pump();
    }
    PlayerRecord Rec(DPID id) { return data.GetPlayerRecord(id).value_or(PlayerRecord{}); }
    void Update(DPID id, const std::function<void(PlayerRecord&)>& change) {
        auto r = Rec(id);
        change(r);
        data.PutPlayerRecord(id, r);
    }
    void Fire(uint32_t timer) {
        ASSERT_TRUE(window.timers.count(timer)) << timer;
        timer == kReentryTimerId ? ReentryTimerExpired(host) : RespawnExpired(host, targets[timer - kRespawnTimerBase]);
        Pump();
    }
    std::string Log() { return dir.read("quarneld/qdlerror.txt"); }

    // A red team of two, the Target team with a tank and a hangar, and Alice on no team.
    TeamDefinition* red = nullptr;
    TargetObject* tank = nullptr;
    Client alice;
    void Standard() {
        red = &AddTeam("Red", kTeamAttack, 2);
        AddTeam("Target ", kTeamTarget, 5);
        tank = &AddTarget("Tank", "Fuel Tank");
        AddTarget("Hangar", "Hangar");
        Start();
        alice = Join(u"Alice", "192.0.2.1");
    }
};

TEST_F(GameTest, ScriptedGameFromJoinToLandingWithObjectDataHitsAndRespawn) {
    config.settings.TIME_OF_DAY = 13 * 3600 + 30 * 60;
    auto& red = AddTeam("Red", kTeamAttack, 2);
    auto& blue = AddTeam("Blue", kTeamBomber, 4);
    blue.formationType = 1, blue.formationHeading = 90;
    auto& tgt = AddTeam("Target ", kTeamTarget, 5);
    auto& tank = AddTarget("Tank", "Fuel Tank");
    tank.damageProfilePath = "OBJECTS_DP/fueltank.DP";
    tank.typeGuid = std::array<uint8_t, 16>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    tank.instanceNumber = 0x51234, tank.typeCode = 7;
    auto& hangar = AddTarget("Hangar", "Hangar");
    dir.write("objects_dp/FuelTank.dp", "aaaa");
    const Bytes tmpl = ByteWriter().u32(40).u32(24).u32(44).u32(14).take();
    dir.write("quarneld/template4.dat", std::string(tmpl.begin(), tmpl.end()) + std::string(64, '\xEE'));
    Start();
    EXPECT_EQ(Rec(hangar.playerId).teamSlot, 2u);

    Client alice = Join(u"Alice", "192.0.2.1"), bob = Join(u"Bob", "192.0.2.2"), carol = Join(u"Carol", "192.0.2.3");
    EXPECT_EQ(window.status.back(), "\"Carol\" has joined\r\n");
    ASSERT_EQ(alice.types(), (std::vector<uint32_t>{NET_TEXT, NET_NAME_REQUEST, NET_PAUSE_STATE}));
    EXPECT_EQ(alice.got()[2].data, (NetPauseState{0xFFFFFFFF, 0}.encode()));

    JoinTeam(alice, red), JoinTeam(bob, red), JoinTeam(carol, red), JoinTeam(carol, tgt);
    EXPECT_EQ(carol.got(NET_JOIN_REFUSED).size(), 2u);  // full team, Target team
    JoinTeam(carol, blue);
    EXPECT_EQ(Rec(carol.id).teamGroup, blue.groupId);

    Letter({&alice, &bob}, u'D');
    Letter({&carol}, u'D');  // the objects turn Ready, then everybody is: launch
    EXPECT_EQ(host.state.gameState, kGameLaunching);
    EXPECT_EQ(Rec(tank.playerId).status, kStatusFlying);
    ASSERT_EQ(alice.got(NET_LAUNCH).size(), 1u);
    EXPECT_EQ(alice.got(NET_LAUNCH)[0].data, (NetLaunch{0x00001E0D, 1, alice.id, 0}.encode()));
    EXPECT_EQ(LaunchOf(bob.got(NET_LAUNCH).at(0)).turnFraction, 2147483647u);
    EXPECT_EQ(LaunchOf(carol.got(NET_LAUNCH).at(0)).turnFraction, 1073741823u);
    Letter({&alice, &bob, &carol}, u'B');
    EXPECT_EQ(host.state.gameState, kGameInGame);

    alice.peer->ClearLog();
    Send(alice, tank.playerId, NetObjectDataRequest{}.encode());
    const auto answer = alice.got();
    ASSERT_EQ(alice.types(), (std::vector<uint32_t>{NET_DAMAGE_PROFILE, NET_OBJECT_HEADER, NET_OBJECT_BODY,
                                                    NET_POSITION, NET_MOTION, NET_MOTION}));
    EXPECT_EQ(answer[0].data, (Bytes{0x22, 0x10, 0, 0, 12, 0, 0, 0, 4, 0, 0, 0, 9, 0, 0, 0, 0x4A, 0x4D, 0, 1, 0xC2,
                                     0x09, 0xF6, 0xFF, 0x03}));
    EXPECT_EQ(answer[0].from, tank.playerId);
    EXPECT_EQ(NetObjectBody::decode(answer[2].data)->body[44], 1);  // the type identifier, patched from the file

    Send(alice, tank.playerId, Hits({19}));
    EXPECT_TRUE(alice.got(NET_EFFECT).empty());
    alice.send(tank.playerId, Hits({1}));   // 20: light
    alice.send(tank.playerId, Hits({46}));  // 66: heavy
    Send(alice, tank.playerId, Hits({10}));  // 76: heavy again, not shown twice
    auto effects = alice.got(NET_EFFECT);
    ASSERT_EQ(effects.size(), 4u);
    EXPECT_EQ(effects[1].data, BuildDamageEffect(1, DamageEffect::Light, tank.playerId)->encode());
    EXPECT_EQ(tank.effectLevel, 64u);
    Send(bob, tank.playerId, Hits({24}));  // 100: destroyed
    EXPECT_EQ(bob.got(NET_POSITION).size(), 3u);  // two at launch, one to the destroyer
    EXPECT_EQ(window.timers[20], 4000u);
    EXPECT_EQ(alice.got(NET_EFFECT).size(), 6u);
    EXPECT_EQ(tank.effectLevel, 80u);
    EXPECT_TRUE(alice.got(NET_KILL).empty());
    Fire(20);
    ASSERT_EQ(alice.got(NET_KILL).size(), 1u);
    EXPECT_EQ(alice.got(NET_KILL)[0].data, (NetKill{0, bob.id}.encode()));
    EXPECT_EQ(Rec(tank.playerId).status, kStatusWaiting);

    alice.peer->ClearLog();
    Letter({&alice, &bob, &carol}, u'C');
    EXPECT_EQ(alice.renamesOf(hangar.playerId), 2);  // a flying object is renamed twice
    EXPECT_EQ(alice.renamesOf(tank.playerId), 1);
    EXPECT_EQ(host.state.gameState, kGameIdle);
    EXPECT_EQ(Rec(hangar.playerId).status, kStatusWaiting);
    // Objects to the ready room: off; objects into game: on.
    EXPECT_EQ(std::pair(window.enabled[1057], window.enabled[1085]), std::pair(false, true));
}

TEST_F(GameTest, LastAliveGameKeepsAReentryWindowAndTellsWhenItCloses) {
    config.settings.WIN_CRITERIA = 2;
    config.settings.LA_WINDOW_SEC = 60000;
    dir.write("quarneld/configs/Default.txt", "Hello pilots");
    Standard();
    Client bob = Join(u"Bob", "192.0.2.2");
    const std::string welcome =
        "Hello pilots\r\nThis is Last Alive.  Once game starts, players can reenter for 60 seconds.\r\n";
    EXPECT_EQ(alice.lastText(), welcome);
    JoinTeam(alice, *red), JoinTeam(bob, *red);
    // Bob turns back before the objects' turn is counted: the census that then finds them
    // as many short of all Ready as before does not ready them again.
    const auto renamed = alice.renamesOf(tank->playerId);
    alice.letter(u'D');
    bob.letter(u'D');
    Letter({&bob}, u'C');
    EXPECT_EQ(alice.renamesOf(tank->playerId), renamed + 1);
    Letter({&alice, &bob}, u'D');
    EXPECT_EQ(window.timers[kReentryTimerId], 60000u);
    EXPECT_EQ(host.state.reentryOpen, 1u);
    Letter({&alice, &bob}, u'B');
    EXPECT_EQ(host.state.gameState, kGameInGame);

    Letter({&alice}, u'C');
    EXPECT_EQ(Rec(alice.id).status, kStatusWait2);
    EXPECT_EQ(window.settingsPosts.back(), std::make_pair(alice.id, 0u));  // window open: told "none"
    Letter({&alice}, u'D');  // re-enters
    EXPECT_EQ(alice.got(NET_LAUNCH).size(), 2u);
    Letter({&alice}, u'B');
    Letter({&bob}, u'C');
    Letter({&bob}, u'C');
    EXPECT_EQ(Rec(bob.id).status, kStatusWaiting);
    EXPECT_EQ(bob.lastText(), "You have time to reenter game!!!");

    Fire(kReentryTimerId);
    EXPECT_EQ(host.state.reentryOpen, 0u);
    EXPECT_EQ(bob.lastText(), "Reentry timer has expired, please wait for next game.");
    EXPECT_EQ(alice.lastText(), welcome);  // flying: not told
    EXPECT_EQ(window.settingsPosts.back(), std::make_pair(bob.id, 2u));
    Letter({&bob}, u'D');
    EXPECT_EQ(bob.got(NET_LAUNCH).size(), 1u);  // too late
    Letter({&alice}, u'C');
    EXPECT_EQ(host.state.gameState, kGameIdle);
    EXPECT_EQ(Rec(tank->playerId).status, kStatusWaiting);
    EXPECT_FALSE(window.timers.count(kReentryTimerId));

    // A game that ends while its window is open closes the window with it.
    for (char16_t letter : {u'D', u'B', u'C'}) Letter({&alice, &bob}, letter);
    EXPECT_EQ(host.state.gameState, kGameIdle);
    EXPECT_EQ(std::pair(host.state.reentryOpen, window.timers.count(kReentryTimerId)), std::pair(0u, std::size_t{0}));
}

TEST_F(GameTest, NoFunGameHoldsUntilEveryoneWaitsThenLaunchesNfReadyPlayers) {
    config.settings.NO_LOCK_OR_RADAR_PLAYERS = 1;
    Standard();
    Client bob = Join(u"Bob", "192.0.2.2");
    JoinTeam(alice, *red), JoinTeam(bob, *red);
    window.entry = "half typed";
    Letter({&alice, &bob}, u'D');
    EXPECT_EQ(host.state.gameState, kGameNoFunHold);
    EXPECT_EQ(NetText::decode(alice.got(NET_TEXT).back().data),
              (NetText{kTextChat, "Please switch back to Waiting now"}));
    EXPECT_EQ(window.entry, "");
    EXPECT_EQ(Rec(tank->playerId).status, kStatusNfReady);  // back to Waiting, counted as NFRdy
    EXPECT_TRUE(alice.got(NET_LAUNCH).empty());
    Letter({&alice}, u'C');
    EXPECT_EQ(Rec(alice.id).status, kStatusNfReady);
    EXPECT_EQ(host.state.gameState, kGameNoFunHold);
    Letter({&bob}, u'C');
    EXPECT_EQ(alice.got(NET_LAUNCH).size(), 1u);
    EXPECT_EQ(bob.got(NET_LAUNCH).size(), 1u);
    Letter({&alice, &bob}, u'A');
    EXPECT_EQ(host.state.gameState, kGameInGame);
    Letter({&alice, &bob}, u'C');
    EXPECT_EQ(host.state.gameState, kGameIdle);
    EXPECT_EQ(NoFunLaunchCheck(host), 0);
}

class GameEdges : public GameTest {
protected:
    void SetUp() override { Standard(); }
};

TEST_F(GameEdges, ArrivalsDeparturesAndCopiesForOtherLocalPlayers) {
    // A copy addressed to a host object changes nothing.
    auto copy = EncodeGroupMembership(DPSYS_ADDPLAYERTOGROUP, {red->groupId, alice.id});
    HandleSystemMessage(host, copy.data(), uint32_t(copy.size()), targets[1].playerId);
    EXPECT_EQ(Rec(alice.id).teamGroup, 0u);

    // The last flying client (on no team, so no group change precedes its departure)
    // leaves: the game does not stay "in game".
    const uint32_t motion = Rec(alice.id).lastMotion;
    ASSERT_NE(data.Motion(motion), nullptr);
    Letter({&alice}, u'D');
    Letter({&alice}, u'B');
    ASSERT_EQ(host.state.gameState, kGameInGame);
    alice.peer->Vanish();
    Pump();
    EXPECT_EQ(window.status.back(), "\"Alice\" has left\r\n");
    EXPECT_FALSE(window.rows.count(alice.id));
    EXPECT_EQ(data.Motion(motion), nullptr);
    EXPECT_EQ(host.state.gameState, kGameIdle);
    EXPECT_EQ(Rec(tank->playerId).status, kStatusWaiting);
    EXPECT_NE(Log().find("No side link: settings for player"), std::string::npos);
}

TEST_F(GameEdges, TeamSlotsRecountAndNoticesThatDoNotBlock) {
    Client bob = Join(u"Bob", "192.0.2.2"), carol = Join(u"Carol", "192.0.2.3"), dave = Join(u"Dave", "192.0.2.4");
    // Three requests for a team of two in one drain all pass (the count lags the moves):
    // the first recount sees the others without their team yet, which is noticed without
    // waiting for the operator, and the third keeps slot 0.
    for (auto* c : {&alice, &bob, &carol}) c->send(ctx.hostPlayerId, NetJoinTeam{red->groupId}.encode());
    Pump();
    EXPECT_EQ(window.notices, (std::vector<std::string>{"Player on team, but NOT", "Player on team, but NOT",
                                                        "Player on team, but NOT, PART 2",
                                                        "Player on team, but NOT, PART 2"}));
    EXPECT_EQ(Rec(alice.id).teamSlot, 1u);
    EXPECT_EQ(Rec(bob.id).teamSlot, 2u);
    EXPECT_EQ(Rec(carol.id).teamSlot, 0u);
    alice.peer->LeaveGroup(red->groupId, alice.id);
    Pump();
    EXPECT_EQ(Rec(alice.id).teamSlot, 0u);
    EXPECT_EQ(Rec(carol.id).teamSlot, 1u);
    EXPECT_EQ(data.GetTeamGroupRecord(red->groupId)->memberCount, 2u);

    // A client's own AddPlayerToGroup meets the same rules: into the full team, or into a
    // Target team, it is refused and undone; into a team with room it is taken, and the
    // player leaves its previous team as with a request.
    dave.peer->JoinGroup(red->groupId, dave.id);
    dave.peer->JoinGroup(teams[1].groupId, dave.id);
    Pump();
    EXPECT_EQ(dave.got(NET_JOIN_REFUSED).size(), 2u);
    EXPECT_EQ(Rec(dave.id).teamGroup, 0u);
    EXPECT_EQ(rig.Ids(0, red->groupId), (std::vector<DPID>{bob.id, carol.id}));
    TeamDefinition& blue = AddTeam("Blue", kTeamAttack, 4);
    host.teams.push_back(&blue);
    ASSERT_EQ(engine->CreateGroup(&blue.groupId, Name(u"Blue", u""), {}, 0), S_OK);
    Pump();
    dave.peer->JoinGroup(blue.groupId, dave.id);
    bob.peer->JoinGroup(blue.groupId, bob.id);
    Pump();
    EXPECT_EQ(Rec(bob.id).teamGroup, blue.groupId);
    EXPECT_EQ(Rec(bob.id).teamSlot, 2u);  // after Dave, and not the slot Bob had in Red
    EXPECT_EQ(data.GetTeamGroupRecord(red->groupId)->memberCount, 1u);
    EXPECT_EQ(window.notices.size(), 4u) << "shown once per player and pass; a client's own moves are judged";
    EXPECT_NE(Log().find("Player on team, but NOT"), std::string::npos);
    EXPECT_EQ(RecountTeam(host, 0x777), DPERR_INVALIDOBJECT);
}

TEST_F(GameEdges, ShortAndMalformedClientMessagesAreDroppedWhole) {
    const DPID h = ctx.hostPlayerId;
    alice.send(tank->playerId, Raw(NET_HITS, {5}, 12 * 4));  // claims 5 entries, holds 4
    alice.send(h, Raw(NET_TIME_SYNC, {now - 100, 7}));      // 16 bytes
    Send(alice, h, Raw(NET_MOTION, {1, 2, 3}));
    EXPECT_EQ(tank->damage, 0);
    EXPECT_TRUE(alice.got(NET_TIME_SYNC).empty());
    EXPECT_EQ((*data.Motion(Rec(alice.id).lastMotion))[0], 0);

    alice.send(h, Raw(NET_TIME_SYNC, {0, 5, 9}));  // first sync: echo only
    now = 2000;
    Send(alice, h, Raw(NET_TIME_SYNC, {1800, 500, 540}));  // (2000-1800) - (540-500) = 160
    auto syncs = alice.got(NET_TIME_SYNC);
    ASSERT_EQ(syncs.size(), 2u);
    EXPECT_EQ(syncs[1].data, Raw(NET_TIME_SYNC, {540, 2000, 2000}));
    EXPECT_EQ(Rec(alice.id).latencyMs, 160u);

    const Bytes motion = NetMotion{9, 8, {}, {}}.encode();
    alice.send(h, motion);
    Bytes text = Raw(NET_TEXT, {1}, 2);
    text[12] = 'h', text[13] = 'i';  // no terminator: taken to the end
    alice.send(h, text);
    alice.send(h, Raw(NET_PAUSE_REQUEST, {}));  // pause not allowed: ignored
    Send(alice, h, Raw(NET_BACK_IN_READY_ROOM, {}));
    EXPECT_TRUE(std::equal(motion.begin(), motion.end(), data.Motion(Rec(alice.id).lastMotion)->begin()));
    EXPECT_EQ(window.chat, (std::vector<std::string>{"Alice:  hi\r\n", "Alice:  I returned to RR\r\n"}));
    EXPECT_EQ(alice.got(NET_PAUSE_STATE).size(), 1u);  // the welcome's only

    host.state.pauseAllowed = 1;
    Send(alice, h, Raw(NET_PAUSE_REQUEST, {}));
    EXPECT_EQ(alice.got(NET_PAUSE_STATE).back().data, (NetPauseState{alice.id, 1}.encode()));
    Send(alice, h, Raw(NET_PAUSE_STATE, {0, 7}));
    EXPECT_EQ(host.state.paused, 1u);
    Send(alice, tank->playerId, NetNameRequest{}.encode());  // an object names its aircraft
    EXPECT_EQ(alice.got(NET_NAME_REPLY).back().data, (NetNameReply{0, "Fuel Tank"}.encode()));
}

TEST_F(GameEdges, DamageThresholdsBomberCheckAndDestroyClaims) {
    config.prefs.simulatorVersion = 2;
    // A claim naming another object is ignored by the receiver; a destroyed claim
    // below the life points gets no NET_KILL and no effect on version 2.
    Send(alice, targets[1].playerId, NetObjectDestroyed{tank->playerId}.encode());
    EXPECT_EQ(targets[1].destroyed, 0u);
    Send(alice, tank->playerId, NetObjectDestroyed{tank->playerId}.encode());
    EXPECT_EQ(tank->destroyed, 1u);
    EXPECT_TRUE(alice.got(NET_EFFECT).empty());
    Fire(20);
    EXPECT_TRUE(alice.got(NET_KILL).empty());
    EXPECT_EQ(Rec(tank->playerId).status, kStatusWaiting);

    // Bombing target: only a Bomber team counts.
    targets[1].isBombingTarget = 1;
    targets[1].lifePoints = 0;
    Send(alice, targets[1].playerId, Hits({}));
    EXPECT_EQ(targets[1].destroyed, 0u);
    red->kind = kTeamBomber;
    JoinTeam(alice, *red);
    Send(alice, targets[1].playerId, Hits({}));
    EXPECT_EQ(targets[1].destroyed, 1u);
    EXPECT_EQ(window.timers[21], 4000u);

    // NFRdy players and requests for the team they are in.
    Update(alice.id, [](PlayerRecord& r) { r.status = kStatusNfReady; });
    JoinTeam(alice, *red);
    EXPECT_EQ(alice.got(NET_JOIN_REFUSED).size(), 1u);

    // A missing profile file is logged by name and nothing is sent; an unhittable object's
    // profile is CR LF, its file never read. Without a template no description follows.
    tank->typeGuid = std::array<uint8_t, 16>{};
    tank->damageProfilePath = "missing.dp";
    Send(alice, tank->playerId, NetObjectDataRequest{}.encode());
    EXPECT_TRUE(alice.got(NET_DAMAGE_PROFILE).empty());
    EXPECT_NE(Log().find("Object Tank: cannot find damage profile missing.dp"), std::string::npos);
    tank->unhittable = 1;
    Send(alice, tank->playerId, NetObjectDataRequest{}.encode());
    const auto profile = NetDamageProfile::decode(alice.got(NET_DAMAGE_PROFILE).at(0).data);
    EXPECT_EQ(profile->stream, Bytes({0x1A, 0x14, 0xFD, 0xFF}));
    EXPECT_TRUE(alice.got(NET_OBJECT_HEADER).empty());
    EXPECT_NE(Log().find("template4.dat: cannot open"), std::string::npos);
}

}  // namespace
}  // namespace qd
