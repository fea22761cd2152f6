// Whole games with scripted clients: ordinary, Last Alive and no-fun.
#include "game_fixture.h"

namespace qd {
using namespace qd::test;

namespace {
std::vector<uint32_t> Types(const std::vector<OutboundNotice>& ns) {
    std::vector<uint32_t> t;
    for (auto& n : ns) t.push_back(PeekNetType(n.data).value_or(0));
    return t;
}
std::string TextOf(const OutboundNotice& n) { return NetText::decode(n.data).value_or(NetText{}).text; }
NetLaunch LaunchOf(const OutboundNotice& n) { return NetLaunch::decode(n.data).value_or(NetLaunch{}); }
int Renames(const Client& c, DPID id) {
    int k = 0;
    for (auto& n : c.peer->Log()) k += n.kind == OutboundNotice::Kind::NameChanged && n.id == id;
    return k;
}
}  // namespace

TEST_F(GameTest, ScriptedGameFromJoinToLandingWithObjectDataHitsAndRespawn) {
    config.settings.TIME_OF_DAY = 13 * 3600 + 30 * 60;
    auto& red = AddTeam("Red", kTeamAttack, 2);
    auto& blue = AddTeam("Blue", kTeamBomber, 4);
    blue.formationType = 1, blue.formationHeading = 90;
    auto& tgt = AddTeam("Target ", kTeamTarget, 5);
    auto& tank = AddTarget("Tank", "Fuel Tank", 100);
    tank.damageProfilePath = "OBJECTS_DP/fueltank.DP";
    tank.typeGuid = std::array<uint8_t, 16>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    tank.instanceNumber = 0x51234, tank.typeCode = 7;
    auto& hangar = AddTarget("Hangar", "Hangar", 100);
    dir.write("objects_dp/FuelTank.dp", "aaaa");
    std::string tmpl = std::string("\x28\0\0\0\x18\0\0\0\x2C\0\0\0\x0E\0\0\0", 16) + std::string(64, '\xEE');
    dir.write("quarneld/template4.dat", tmpl);
    Start();
    EXPECT_EQ(Rec(tank.playerId).teamGroup, tgt.groupId);
    EXPECT_EQ(Rec(hangar.playerId).teamSlot, 2u);

    Client alice = Join(u"Alice", "192.0.2.1"), bob = Join(u"Bob", "192.0.2.2"), carol = Join(u"Carol", "192.0.2.3");
    EXPECT_EQ(window.status.back(), "\"Carol\" has joined\r\n");
    auto welcome = alice.got();
    ASSERT_EQ(Types(welcome), (std::vector<uint32_t>{NET_TEXT, NET_NAME_REQUEST, NET_PAUSE_STATE}));
    EXPECT_EQ(TextOf(welcome[0]),
              "\r\n                    Welcome to QUARNELD\r\n           Please join an existing non-Target team\r\n");
    EXPECT_EQ(welcome[2].data, (NetPauseState{0xFFFFFFFF, 0}.encode()));

    JoinTeam(alice, red), JoinTeam(bob, red), JoinTeam(carol, red), JoinTeam(carol, tgt);
    EXPECT_EQ(carol.got(NET_JOIN_REFUSED).size(), 2u);  // full team, Target team
    JoinTeam(carol, blue);
    EXPECT_EQ(Rec(alice.id).teamSlot, 1u);
    EXPECT_EQ(Rec(bob.id).teamSlot, 2u);
    EXPECT_EQ(Rec(carol.id).teamGroup, blue.groupId);

    Letter({&alice, &bob}, u'D');
    Letter({&carol}, u'D');  // the objects turn Ready, then everybody is: launch
    EXPECT_EQ(host.state.gameState, kGameLaunching);
    EXPECT_EQ(Rec(tank.playerId).status, kStatusFlying);
    ASSERT_EQ(alice.got(NET_LAUNCH).size(), 1u);
    EXPECT_EQ(alice.got(NET_LAUNCH)[0].data, (NetLaunch{0x00001E0D, 1, alice.id, 0}.encode()));
    EXPECT_EQ(LaunchOf(bob.got(NET_LAUNCH).at(0)).turnFraction, 2147483647u);
    EXPECT_EQ(LaunchOf(carol.got(NET_LAUNCH).at(0)).turnFraction, 1073741823u);
    EXPECT_EQ(alice.got(NET_POSITION).size(), 2u);
    EXPECT_EQ(alice.got(NET_MOTION).size(), 4u);

    Letter({&alice, &bob, &carol}, u'B');
    EXPECT_EQ(host.state.gameState, kGameInGame);

    alice.peer->ClearLog();
    alice.send(tank.playerId, NetObjectDataRequest{}.encode());
    Pump();
    auto data = alice.got();
    ASSERT_EQ(Types(data), (std::vector<uint32_t>{NET_DAMAGE_PROFILE, NET_OBJECT_HEADER, NET_OBJECT_BODY, NET_POSITION,
                                                  NET_MOTION, NET_MOTION}));
    EXPECT_EQ(data[0].data, test::Bytes({0x22, 0x10, 0, 0, 12, 0, 0, 0, 4, 0, 0, 0, 9, 0, 0, 0, 0x4A, 0x4D, 0, 1, 0xC2,
                                   0x09, 0xF6, 0xFF, 0x03}));
    EXPECT_EQ(data[0].from, tank.playerId);
    const auto body = NetObjectBody::decode(data[2].data)->body;
    EXPECT_EQ(body[44], 1);
    EXPECT_EQ(GetU32(body, 14), 7u);
    EXPECT_EQ(body[12] | body[13] << 8, 0x1234);
    EXPECT_EQ(NetMotion::decode(data[5].data)->sequence, NetMotion::decode(data[4].data)->sequence + 1);

    alice.send(tank.playerId, Hits({19}));
    Pump();
    EXPECT_TRUE(alice.got(NET_EFFECT).empty());
    alice.send(tank.playerId, Hits({1}));  // 20: light
    alice.send(tank.playerId, Hits({46}));  // 66: heavy
    alice.send(tank.playerId, Hits({10}));  // 76: heavy again, not shown twice
    Pump();
    auto effects = alice.got(NET_EFFECT);
    ASSERT_EQ(effects.size(), 4u);
    EXPECT_EQ(effects[1].data, BuildDamageEffect(1, DamageEffect::Light, tank.playerId)->encode());
    EXPECT_EQ(tank.effectLevel, 64u);

    bob.send(tank.playerId, Hits({24}));  // 100: destroyed
    Pump();
    EXPECT_EQ(bob.got(NET_POSITION).size(), 3u);  // two at launch, one to the destroyer
    EXPECT_EQ(window.timers[20], 4000u);
    EXPECT_EQ(alice.got(NET_EFFECT).size(), 6u);
    EXPECT_TRUE(alice.got(NET_KILL).empty());
    Fire(20);
    ASSERT_EQ(alice.got(NET_KILL).size(), 1u);
    EXPECT_EQ(alice.got(NET_KILL)[0].data, (NetKill{0, bob.id}.encode()));
    EXPECT_EQ(Rec(tank.playerId).status, kStatusWaiting);

    alice.peer->ClearLog();
    Letter({&alice, &bob, &carol}, u'C');
    EXPECT_EQ(Renames(alice, hangar.playerId), 2);  // a flying object is renamed twice
    EXPECT_EQ(Renames(alice, tank.playerId), 1);
    EXPECT_EQ(host.state.gameState, kGameIdle);
    EXPECT_EQ(Rec(hangar.playerId).status, kStatusWaiting);
    EXPECT_EQ(window.enabled[1085], true);
}

TEST_F(GameTest, LastAliveGameKeepsAReentryWindowAndTellsWhenItCloses) {
    config.settings.WIN_CRITERIA = 2;
    config.settings.LA_WINDOW_SEC = 60000;
    dir.write("quarneld/configs/Default.txt", "Hello pilots");
    auto& red = AddTeam("Red", kTeamAttack, 4);
    AddTeam("Target ", kTeamTarget, 5);
    auto& tank = AddTarget("Tank", "Fuel Tank", 100);
    Start();
    Client alice = Join(u"Alice", "192.0.2.1"), bob = Join(u"Bob", "192.0.2.2");
    EXPECT_EQ(TextOf(alice.got(NET_TEXT).at(0)),
              "Hello pilots\r\nThis is Last Alive.  Once game starts, players can reenter for 60 seconds.\r\n");
    JoinTeam(alice, red), JoinTeam(bob, red);
    // Bob turns back before the objects' turn is counted: the census that then finds them
    // as many short of all Ready as before does not ready them again.
    const int renamed = Renames(alice, tank.playerId);
    alice.letter(u'D'), bob.letter(u'D'), bob.letter(u'C');
    Pump();
    EXPECT_EQ(Renames(alice, tank.playerId), renamed + 1);
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
    EXPECT_EQ(TextOf(bob.got(NET_TEXT).back()), "You have time to reenter game!!!");

    Fire(kReentryTimerId);
    EXPECT_EQ(host.state.reentryOpen, 0u);
    EXPECT_EQ(TextOf(bob.got(NET_TEXT).back()), "Reentry timer has expired, please wait for next game.");
    EXPECT_EQ(TextOf(alice.got(NET_TEXT).back()), "Hello pilots\r\nThis is Last Alive.  Once game starts, players "
                                                  "can reenter for 60 seconds.\r\n");  // flying: not told
    EXPECT_EQ(window.settingsPosts.back(), std::make_pair(bob.id, 2u));
    Letter({&bob}, u'D');
    EXPECT_EQ(bob.got(NET_LAUNCH).size(), 1u);  // too late
    Letter({&alice}, u'C');
    EXPECT_EQ(host.state.gameState, kGameIdle);
    EXPECT_EQ(Rec(tank.playerId).status, kStatusWaiting);
    EXPECT_FALSE(window.timers.count(kReentryTimerId));
}

TEST_F(GameTest, NoFunGameHoldsUntilEveryoneWaitsThenLaunchesNfReadyPlayers) {
    config.settings.NO_LOCK_OR_RADAR_PLAYERS = 1;
    auto& red = AddTeam("Red", kTeamAttack, 4);
    AddTeam("Target ", kTeamTarget, 5);
    auto& tank = AddTarget("Tank", "Fuel Tank", 100);
    Start();
    Client alice = Join(u"Alice", "192.0.2.1"), bob = Join(u"Bob", "192.0.2.2");
    JoinTeam(alice, red), JoinTeam(bob, red);
    window.entry = "half typed";
    Letter({&alice, &bob}, u'D');
    EXPECT_EQ(host.state.gameState, kGameNoFunHold);
    EXPECT_EQ(NetText::decode(alice.got(NET_TEXT).back().data), (NetText{kTextChat, "Please switch back to Waiting now"}));
    EXPECT_EQ(window.entry, "");
    EXPECT_EQ(Rec(tank.playerId).status, kStatusNfReady);  // back to Waiting, counted as NFRdy
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

}  // namespace qd
