// Edge cases of arrivals, teams, client messages, objects and chat.
#include <algorithm>

#include "game_fixture.h"

namespace qd {
using namespace qd::test;

class GameEdges : public GameTest {
protected:
    TeamDefinition* red = nullptr;
    TargetObject* tank = nullptr;
    Client alice;
    void SetUp() override {
        red = &AddTeam("Red", kTeamAttack, 2);
        AddTeam("Target ", kTeamTarget, 5);
        tank = &AddTarget("Tank", "Fuel Tank", 100);
        AddTarget("Hangar", "Hangar", 100);
        Start();
        alice = Join(u"Alice", "192.0.2.1");
    }
    std::string Log() { return dir.read("quarneld/qdlerror.txt"); }
};

TEST_F(GameEdges, ArrivalsDeparturesAndCopiesForOtherLocalPlayers) {
    // A copy addressed to a host object changes nothing.
    auto copy = EncodeGroupMembership(DPSYS_ADDPLAYERTOGROUP, {red->groupId, alice.id});
    HandleSystemMessage(host, copy.data(), uint32_t(copy.size()), targets[1].playerId);
    EXPECT_EQ(Rec(alice.id).teamGroup, 0u);

    host.isAutobooted = [](const std::string& n) { return n == "Mallory"; };
    Client mallory = Join(u"Mallory", "192.0.2.9");
    EXPECT_EQ(std::count(window.status.begin(), window.status.end(), "\"Mallory\" has joined\r\n"), 0);
    EXPECT_FALSE(window.rows.count(mallory.id));
    EXPECT_TRUE(mallory.got(NET_TEXT).empty());

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
    EXPECT_EQ(Rec(carol.id).teamSlot, 1u);
    EXPECT_EQ(data.GetTeamGroupRecord(red->groupId)->memberCount, 2u);

    // A client's own AddPlayerToGroup meets the same rules: into the full team, or into a
    // Target team, it is refused and undone; into a team with room it is taken, and the
    // player leaves its previous team as with a request.
    const DPID target = teams[1].groupId;
    dave.peer->JoinGroup(red->groupId, dave.id);
    dave.peer->JoinGroup(target, dave.id);
    Pump();
    EXPECT_EQ(dave.got(NET_JOIN_REFUSED).size(), 2u);
    EXPECT_EQ(Rec(dave.id).teamGroup, 0u);
    std::vector<DPID> members;
    engine->EnumGroupPlayers(red->groupId, nullptr, [&](DPID id, uint32_t, const DpName&, uint32_t) {
        members.push_back(id);
        return true;
    }, 0);
    EXPECT_EQ(members, (std::vector<DPID>{bob.id, carol.id}));
    TeamDefinition& blue = teams.emplace_back();
    blue.name = "Blue", blue.kind = kTeamAttack, blue.maxPlayers = 4;
    host.teams.push_back(&blue);
    ASSERT_EQ(engine->CreateGroup(&blue.groupId, Name(u"Blue", u""), {}, 0), S_OK);
    Pump();
    bob.peer->JoinGroup(blue.groupId, bob.id);
    Pump();
    EXPECT_EQ(Rec(bob.id).teamGroup, blue.groupId);
    EXPECT_EQ(Rec(bob.id).teamSlot, 1u);
    EXPECT_EQ(data.GetTeamGroupRecord(red->groupId)->memberCount, 1u);
    EXPECT_EQ(window.notices.size(), 4u) << "shown once per player and pass; a client's own moves are judged";
    EXPECT_NE(Log().find("Player on team, but NOT"), std::string::npos);
    EXPECT_EQ(RecountTeam(host, 0x777), DPERR_INVALIDOBJECT);
}

TEST_F(GameEdges, ShortAndMalformedClientMessagesAreDroppedWhole) {
    const DPID h = ctx.hostPlayerId;
    alice.send(tank->playerId, Raw(NET_HITS, {5}, 12 * 4));  // claims 5 entries, holds 4
    alice.send(h, Raw(NET_TIME_SYNC, {now - 100, 7}));      // 16 bytes
    alice.send(h, Raw(NET_MOTION, {1, 2, 3}));
    Pump();
    EXPECT_EQ(tank->damage, 0);
    EXPECT_TRUE(alice.got(NET_TIME_SYNC).empty());
    EXPECT_EQ((*data.Motion(Rec(alice.id).lastMotion))[0], 0);

    alice.send(h, Raw(NET_TIME_SYNC, {0, 5, 9}));  // first sync: echo only
    now = 2000;
    alice.send(h, Raw(NET_TIME_SYNC, {1800, 500, 540}));  // (2000-1800) - (540-500) = 160
    Pump();
    auto syncs = alice.got(NET_TIME_SYNC);
    ASSERT_EQ(syncs.size(), 2u);
    EXPECT_EQ(syncs[1].data, Raw(NET_TIME_SYNC, {540, 2000, 2000}));
    EXPECT_EQ(Rec(alice.id).latencyMs, 160u);

    std::vector<uint8_t> motion = NetMotion{9, 8, {}, {}}.encode();
    alice.send(h, motion);
    std::vector<uint8_t> text = Raw(NET_TEXT, {1}, 2);
    text[12] = 'h', text[13] = 'i';  // no terminator: taken to the end
    alice.send(h, text);
    alice.send(h, Raw(NET_PAUSE_REQUEST, {}));  // pause not allowed: ignored
    alice.send(h, Raw(NET_BACK_IN_READY_ROOM, {}));
    Pump();
    EXPECT_TRUE(std::equal(motion.begin(), motion.end(), data.Motion(Rec(alice.id).lastMotion)->begin()));
    EXPECT_EQ(window.chat, (std::vector<std::string>{"Alice:  hi\r\n", "Alice:  I returned to RR\r\n"}));
    EXPECT_TRUE(alice.got(NET_PAUSE_STATE).size() == 1);  // the welcome's only

    host.state.pauseAllowed = 1;
    alice.send(h, Raw(NET_PAUSE_REQUEST, {}));
    Pump();
    EXPECT_EQ(alice.got(NET_PAUSE_STATE).back().data, (NetPauseState{alice.id, 1}.encode()));
    alice.send(h, Raw(NET_PAUSE_STATE, {0, 7}));
    Pump();
    EXPECT_EQ(host.state.paused, 1u);
}

TEST_F(GameEdges, DamageThresholdsBomberCheckAndDestroyClaims) {
    config.prefs.simulatorVersion = 2;
    alice.send(tank->playerId, Hits({10, 9}));
    Pump();
    EXPECT_TRUE(alice.got(NET_EFFECT).empty());
    alice.send(tank->playerId, Hits({1}));
    Pump();
    ASSERT_EQ(alice.got(NET_EFFECT).size(), 1u);  // version 2: one guaranteed light effect
    EXPECT_EQ(alice.got(NET_EFFECT)[0].flags, DPSEND_GUARANTEED);

    // A claim naming another object is ignored by the receiver; a destroyed claim
    // below the life points gets no NET_KILL and no effect on version 2.
    alice.send(targets[1].playerId, NetObjectDestroyed{tank->playerId}.encode());
    Pump();
    EXPECT_EQ(targets[1].destroyed, 0u);
    alice.send(tank->playerId, NetObjectDestroyed{tank->playerId}.encode());
    Pump();
    EXPECT_EQ(tank->destroyed, 1u);
    EXPECT_EQ(alice.got(NET_EFFECT).size(), 1u);
    Fire(20);
    EXPECT_TRUE(alice.got(NET_KILL).empty());
    EXPECT_EQ(Rec(tank->playerId).status, kStatusWaiting);

    // Bombing target: only a Bomber team counts.
    targets[1].isBombingTarget = 1;
    targets[1].lifePoints = 0;
    alice.send(targets[1].playerId, Hits({}));
    Pump();
    EXPECT_EQ(targets[1].destroyed, 0u);
    red->kind = kTeamBomber;
    JoinTeam(alice, *red);
    alice.send(targets[1].playerId, Hits({}));
    Pump();
    EXPECT_EQ(targets[1].destroyed, 1u);
    EXPECT_EQ(window.timers[21], 4000u);

    // NFRdy players and requests for the team they are in.
    auto r = Rec(alice.id);
    r.status = kStatusNfReady;
    data.PutPlayerRecord(alice.id, r);
    JoinTeam(alice, *red);
    EXPECT_EQ(alice.got(NET_JOIN_REFUSED).size(), 1u);
}

TEST_F(GameEdges, ObjectDataWithoutTemplateOrWithABadOne) {
    tank->typeGuid = std::array<uint8_t, 16>{};
    tank->unhittable = 1;
    tank->damageProfilePath = "missing.dp";  // unhittable: never read
    alice.send(tank->playerId, NetObjectDataRequest{}.encode());
    Pump();
    auto got = alice.got();
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(NetDamageProfile::decode(got[got.size() - 4].data)->stream, test::Bytes({0x1A, 0x14, 0xFD, 0xFF}));
    EXPECT_EQ(PeekNetType(got[got.size() - 3].data), NET_POSITION);
    EXPECT_NE(Log().find("template4.dat: cannot open"), std::string::npos);

    // P2 past the body: neither header nor body goes out.
    dir.write("quarneld/template4.dat", std::string("\x28\0\0\0\0\0\0\0\0\0\0\0\x26\0\0\0", 16) + std::string(40, 'x'));
    alice.peer->ClearLog();
    alice.send(tank->playerId, NetObjectDataRequest{}.encode());
    Pump();
    EXPECT_TRUE(alice.got(NET_OBJECT_HEADER).empty());
    EXPECT_NE(Log().find("type code offset 38 is outside the body"), std::string::npos);
}

TEST_F(GameEdges, LaunchDetailsStatusRulesAndChat) {
    config.settings.TIME_OF_DAY = 15 * 60;
    host.daylight = true;
    JoinTeam(alice, *red);
    Letter({&alice}, u'D');
    EXPECT_EQ(NetLaunch::decode(alice.got(NET_LAUNCH).at(0).data)->timeOfDay, 0x00000F17u);  // 00:15 -> hour 23
    EXPECT_FALSE(window.timers.count(kReentryTimerId));

    // Last Alive with no-fun players: a newcomer is told, and Ready during the window
    // asks for Waiting.
    config.settings.WIN_CRITERIA = 2;
    config.settings.NO_LOCK_OR_RADAR_PLAYERS = 1;
    Letter({&alice}, u'B');
    Client bob = Join(u"Bob", "192.0.2.2");
    EXPECT_EQ(NetText::decode(bob.got(NET_TEXT).back().data)->text, "No fun game is in session");
    host.state.reentryOpen = 1;
    Letter({&bob}, u'D');
    EXPECT_EQ(NetText::decode(bob.got(NET_TEXT).back().data)->text, "Please switch back to Waiting now");
    EXPECT_EQ(Rec(bob.id).status, kStatusReady);
    Letter({&bob}, u'C');
    EXPECT_EQ(Rec(bob.id).status, kStatusNfReady);

    // Chat: an empty line, then "hi"; the operator's echo carries the host's name.
    window.entry = "";
    EXPECT_EQ(SendChat(host), S_OK);
    window.entry = "hi";
    EXPECT_EQ(SendChat(host), S_OK);
    auto chats = alice.got(NET_TEXT);
    EXPECT_EQ(chats[chats.size() - 2].data, test::Bytes({0x25, 0x10, 0, 0, 5, 0, 0, 0, 1, 0, 0, 0, 0}));
    EXPECT_EQ(chats.back().data.size(), 15u);
    EXPECT_EQ(window.chat, (std::vector<std::string>{"Tank:  \r\n", "Tank:  hi\r\n"}));
    EXPECT_EQ(window.entry, "");
    EXPECT_FALSE(FormatChatLine(host, 0x4242, "x"));

    SessionDesc d;
    d.dwUser2 = 0x100;
    EXPECT_TRUE(ApplyOptionsSummary(host, d).pauseAllowed);
    EXPECT_EQ(host.state.pauseAllowed, 1u);
}

}  // namespace qd
