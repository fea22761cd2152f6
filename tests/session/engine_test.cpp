#include <gtest/gtest.h>

#include "dplay/vectors.h"
#include "session/lobby.h"
#include "session_fixture.h"

namespace qd {
using namespace qd::test;
using Kind = OutboundNotice::Kind;

// What local players hear: each other's arrival, renames, data and the description.
TEST(Engine, LocalPlayersHearOfEachOtherAndOfRenamesDataAndDescription) {
    EngineRig t;
    auto& peer = t.Peer();
    const DPID a = t.Local(u"t1");
    EXPECT_FALSE(t.ev.isSet());  // nobody else to tell
    const DPID b = t.Local(u"t2");
    EXPECT_TRUE(t.ev.isSet());
    const DPID c = t.Local(u"t3");
    auto got = ReceiveAll(*t.e);
    ASSERT_EQ(Recipients(got), (std::vector<DPID>{a, b, a}));  // b -> a; c -> b, a (newest first)
    for (const auto& r : got) EXPECT_EQ(std::pair(r.from, r.type()), std::pair(DPID_SYSMSG, DPSYS_CREATEPLAYERORGROUP));
    const auto created = DecodeCreatePlayerOrGroup(got[2].bytes).value();
    EXPECT_EQ(std::tuple(created.id, created.name, created.flags & DPPLAYER_LOCAL, created.currentPlayers),
              std::tuple(c, Name(u"t3", u"AJ[]F4F[]G"), DPPLAYER_LOCAL, 3u));
    Told(peer);

    // The host's own rename comes back to every local player, the renamed one included (the
    // peers' notices: tests/protocol GameTest's renamesOf).
    ASSERT_EQ(t.e->SetPlayerName(a, Name(u"t1", u"AJ[]F4F[]F"), DPSET_GUARANTEED), S_OK);
    got = ReceiveAll(*t.e);
    ASSERT_EQ(got.size(), 3u);
    for (const auto& r : got) EXPECT_EQ(DecodeSetName(r.bytes).value().name, Name(u"t1", u"AJ[]F4F[]F"));
    Told(peer);

    // Local data is the host's alone; remote data is announced.
    ASSERT_EQ(t.e->SetPlayerData(a, Bytes({1, 2, 3}), DPSET_LOCAL), S_OK);
    EXPECT_TRUE(ReceiveAll(*t.e).empty());
    ASSERT_EQ(t.e->SetPlayerData(a, Bytes({9}), DPSET_REMOTE), S_OK);
    got = ReceiveAll(*t.e);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(DecodeSetData(got[0].bytes), (SysSetData{DPPLAYERTYPE_PLAYER, a, {9}}));
    const auto told = Told(peer);
    ASSERT_EQ(told.size(), 1u);  // the remote data only
    EXPECT_EQ(told[0].kind, Kind::DataChanged);
    // The size query and the copy (empty and remote data: DataAccess's records, the roads' name tables).
    for (auto [room, answer, data] :
         {std::tuple{0u, DPERR_BUFFERTOOSMALL, Bytes({0, 0, 0})}, {3u, S_OK, Bytes({1, 2, 3})}}) {
        std::vector<uint8_t> buf(8);
        EXPECT_EQ(t.e->GetPlayerData(a, room ? buf.data() : nullptr, &room, DPGET_LOCAL), answer);
        buf.resize(room);
        EXPECT_EQ(buf, data);
    }

    // The description: every local player hears of it (the peers: "desc:" on the scripted road).
    // The session keeps its own instance and player count.
    SessionDesc own, d = TestDesc();
    ASSERT_EQ(t.e->GetSessionDesc(own), S_OK);
    d.dwUser3 = 4;
    d.guidInstance = Guid{};
    ASSERT_EQ(t.e->SetSessionDesc(d, 0), S_OK);
    got = ReceiveAll(*t.e);
    ASSERT_EQ(got.size(), 3u);
    const auto desc = DecodeSetSessionDesc(got[0].bytes).value();
    EXPECT_EQ(std::tuple(desc.dwUser3, desc.guidInstance, desc.dwCurrentPlayers), std::tuple(4u, own.guidInstance, 3u));
}

TEST(Engine, ReceiveKeepsTheMessageUntilTheBufferIsBigEnough) {
    EngineRig t;
    const DPID a = t.Local(u"a"), b = t.Local(u"b");
    ReceiveAll(*t.e);

    DPID from = 0, to = 0;
    uint32_t size = 99;  // one byte short
    std::vector<uint8_t> buf(100);
    ASSERT_EQ(t.e->Send(a, b, DPSEND_GUARANTEED, std::vector<uint8_t>(100, 7)), S_OK);
    EXPECT_EQ(t.e->Receive(&from, &to, DPRECEIVE_ALL, buf.data(), &size), DPERR_BUFFERTOOSMALL);
    EXPECT_EQ(size, 100u);
    EXPECT_EQ(t.e->Receive(&from, &to, DPRECEIVE_ALL | DPRECEIVE_PEEK, buf.data(), &size), S_OK);
    EXPECT_EQ(t.e->QueuedFor(b), 1u);
    EXPECT_EQ(t.e->Receive(&from, &to, DPRECEIVE_ALL, buf.data(), &size), S_OK);
    EXPECT_EQ(t.e->QueuedFor(b), 0u);

    // Filters: only messages to the player asked for.
    t.e->Send(b, a, 0, Bytes({1, 2, 3, 4}));
    t.e->Send(a, b, 0, Bytes({5, 6, 7, 8}));
    to = b;
    EXPECT_EQ(t.e->Receive(&from, &to, DPRECEIVE_TOPLAYER, buf.data(), &size), S_OK);
    EXPECT_EQ(buf[0], 5);
    EXPECT_EQ(t.e->Receive(nullptr, &to, 0, buf.data(), &size), DPERR_INVALIDPARAMS);
}

TEST(Engine, SendFollowsDirectPlaysRules) {
    EngineRig t;
    auto& p1 = t.Peer("192.0.2.1");
    auto& p2 = t.Peer("192.0.2.2");
    DPID r1 = 0, r2 = 0;
    ASSERT_EQ(p1.CreatePlayer(u"alice", u"xx[]Spit[]C", &r1), S_OK);
    ASSERT_EQ(p2.CreatePlayer(u"bob", u"xx[]Zero[]C", &r2), S_OK);
    const DPID a = t.Local(u"a"), b = t.Local(u"b"), c = t.Local(u"c");
    ReceiveAll(*t.e);
    Told(p1);
    Told(p2);
    const std::vector<uint8_t> msg{0x25, 0x10, 0, 0};

    // To all from a local player: the other locals once each (every remote machine: "shout:" on
    // the scripted road).
    ASSERT_EQ(t.e->Send(a, DPID_ALLPLAYERS, DPSEND_GUARANTEED, msg), S_OK);
    auto got = ReceiveAll(*t.e);
    EXPECT_EQ(Recipients(got), (std::vector<DPID>{c, b}));
    EXPECT_EQ(got.at(0).from, a);
    Told(p1);
    Told(p2);

    // To one remote player: only its machine hears of it.
    ASSERT_EQ(t.e->Send(a, r2, 0, msg), S_OK);
    EXPECT_TRUE(Told(p1).empty());
    const auto told = Told(p2);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].to, r2);

    EXPECT_EQ(t.e->Send(a, a, 0, msg), S_OK);  // to oneself: accepted, nothing delivered
    EXPECT_TRUE(ReceiveAll(*t.e).empty());
    EXPECT_EQ(t.e->Send(r1, a, 0, msg), DPERR_ACCESSDENIED);
    EXPECT_EQ(t.e->Send(DPID_ALLPLAYERS, a, 0, msg), DPERR_INVALIDPLAYER);
    EXPECT_EQ(t.e->Send(a, 0x777, 0, msg), DPERR_INVALIDPLAYER);
    EXPECT_EQ(t.e->Send(a, b, 0, {}), DPERR_INVALIDPARAMS);

    // From remote machines: to all, one copy per local player (to one: every GameTest client);
    // only for their own players and ours.
    ASSERT_EQ(p1.SendToAll(r1, msg), S_OK);
    EXPECT_EQ(Recipients(ReceiveAll(*t.e)), (std::vector<DPID>{c, b, a}));
    EXPECT_EQ(p1.SendTo(r2, a, msg), DPERR_ACCESSDENIED);    // not its player
    EXPECT_EQ(p1.SendTo(r1, r2, msg), DPERR_INVALIDPLAYER);  // not ours to deliver
    EXPECT_EQ(t.e->Stats().refusedInbound, 2u);
}

// Creation, status letters, joining and leaving teams and vanishing, as the game sees its
// clients do them: tests/protocol GameTest plays each through scripted peers.
TEST(Engine, PeersJoinRenameChangeGroupsAndVanish) {
    EngineRig t;
    const DPID host = t.Local(u"host"), target = t.Local(u"tgt");
    DPID red = 0, pilot = 0;
    ASSERT_EQ(t.e->CreateGroup(&red, Name(u"Red", u""), Bytes({1}), 0), S_OK);
    auto& peer = t.Peer();
    ASSERT_EQ(peer.CreatePlayer(u"Ace", u"xx[]P-51D[]C", &pilot), S_OK);

    // The address is the compound address of the player's machine, byte for byte:
    // total size, service provider TCP/IP, INet address.
    std::vector<uint8_t> address;
    ASSERT_EQ(t.e->GetPlayerAddress(pilot, address), S_OK);
    EXPECT_EQ(address, dplay::testvec::hex("60 F5 18 13 2C 91 D0 11 9D AA 00 A0 C9 0A 43 CB  04 00 00 00  5A 00 00 00"
                                           "C0 16 D9 07 AF E0 CF 11 9C 4E 00 A0 C9 05 42 5E  10 00 00 00"
                                           "E0 5E E9 36 77 85 CF 11 96 0C 00 80 C7 53 4E 82"
                                           "A0 4D A5 C4 AF E0 CF 11 9C 4E 00 A0 C9 05 42 5E  0A 00 00 00"
                                           "31 39 32 2E 30 2E 32 2E 37 00"));
    EXPECT_EQ(t.Ids(DPENUMPLAYERS_REMOTE), std::vector<DPID>{pilot});
    EXPECT_EQ(peer.Rename(host, u"mine now"), DPERR_ACCESSDENIED);
    EXPECT_EQ(t.e->SetPlayerName(pilot, Name(u"x", u"y"), 0), DPERR_ACCESSDENIED);

    // Groups from either side; joining twice tells nobody again.
    ASSERT_EQ(peer.JoinGroup(red, pilot), S_OK);
    ReceiveAll(*t.e);
    EXPECT_EQ(peer.JoinGroup(red, pilot), S_OK);
    EXPECT_TRUE(ReceiveAll(*t.e).empty());
    Told(peer);
    ASSERT_EQ(t.e->AddPlayerToGroup(red, target), S_OK);
    const auto told = Told(peer);
    ASSERT_EQ(told.size(), 1u);
    EXPECT_EQ(told[0].kind, Kind::AddedToGroup);
    EXPECT_EQ(t.Ids(0, red), (std::vector<DPID>{pilot, target}));
    ReceiveAll(*t.e);

    // The host keeps a record for the pilot; it comes back when the machine vanishes.
    t.e->SetPlayerData(pilot, Bytes({2, 0, 0, 0}), DPSET_LOCAL);
    ASSERT_EQ(peer.Vanish(), S_OK);
    const auto got = ReceiveAll(*t.e);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0].type(), DPSYS_DELETEPLAYERFROMGROUP);
    const auto destroyed = DecodeDestroyPlayerOrGroup(got[2].bytes).value();
    EXPECT_EQ(std::tuple(destroyed.id, destroyed.localData, destroyed.name),
              std::tuple(pilot, Bytes({2, 0, 0, 0}), Name(u"Ace", u"xx[]P-51D[]C")));
    EXPECT_EQ(t.Ids(0, red), std::vector<DPID>{target});
    EXPECT_EQ(peer.SendToAll(pilot, Bytes({1, 2, 3, 4})), DPERR_INVALIDPLAYER);

    // A second leave is refused; the host destroys a remote player (autoboot), then renames and
    // destroys its group: the peers hear of each.
    auto& p2 = t.Peer("192.0.2.8");
    DPID other = 0;
    p2.CreatePlayer(u"Bad", u"x", &other);
    p2.JoinGroup(red, other);
    ASSERT_EQ(p2.LeaveGroup(red, other), S_OK);
    EXPECT_EQ(p2.LeaveGroup(red, other), DPERR_INVALIDPLAYER);
    Told(p2);
    ASSERT_EQ(t.e->DestroyPlayer(other), S_OK);
    ASSERT_EQ(t.e->SetGroupName(red, Name(u"Blue", u""), 0), S_OK);
    ASSERT_EQ(t.e->DestroyGroup(red), S_OK);
    std::vector<std::pair<Kind, bool>> kinds;
    for (const auto& n : Told(p2)) kinds.emplace_back(n.kind, n.isGroup);
    EXPECT_EQ(kinds, (std::vector<std::pair<Kind, bool>>{
                         {Kind::PlayerDestroyed, false}, {Kind::NameChanged, true}, {Kind::GroupDestroyed, true}}));
}

TEST(Engine, RemotePartiesCannotGrowMemoryOrTouchWhatIsNotTheirs) {
    EngineOptions o;
    o.limits = {.maxMachines = 2, .maxPlayersPerMachine = 2, .maxGroupsPerMachine = 1, .maxNameUnits = 8,
                .maxQueuedMessages = 4, .tableBytes = 8 * 1024};
    EngineRig t(o);
    auto& e = t.e;
    auto& peer = t.Peer();
    const DPID host = t.Local(u"h", u"h");
    DPID pilot = 0;
    ASSERT_EQ(peer.CreatePlayer(u"p", u"p", &pilot), S_OK);
    ReceiveAll(*e);

    for (int i = 0; i < 10; ++i) peer.SendTo(pilot, host, Bytes({1, 2, 3, 4}));
    EXPECT_EQ(e->QueuedFor(host), 4u);
    EXPECT_EQ(e->Stats().droppedMessages, 6u);
    // State changes still get through a queue full of data.
    ASSERT_EQ(peer.SetStatusLetter(pilot, u'D'), S_OK);
    EXPECT_EQ(e->QueuedFor(host), 5u);
    EXPECT_EQ(ReceiveAll(*e).back().type(), DPSYS_SETPLAYERORGROUPNAME);

    EXPECT_EQ(peer.Rename(pilot, u"far too long a name"), DPERR_INVALIDPARAMS);
    DPID x = 0;
    EXPECT_EQ(peer.CreatePlayer(u"q", u"q", &x), S_OK);
    EXPECT_EQ(peer.CreatePlayer(u"r", u"r", &x), DPERR_CANTADDPLAYER);
    EXPECT_EQ(e->MachineJoined(peer.Machine(), 0, "192.0.2.9"), DPERR_INVALIDPARAMS);  // already joined
    EXPECT_EQ(e->MachineJoined(50, 0, "not-an-address"), DPERR_INVALIDPARAMS);
    EXPECT_EQ(e->MachineJoined(50, 0, "192.0.2.9"), S_OK);
    RemotePlayer forged;
    forged.id = host ^ 0x10;  // an id this host never handed out
    EXPECT_EQ(e->RemotePlayerCreated(50, forged, &x), DPERR_INVALIDPLAYER);
    EXPECT_EQ(e->MachineJoined(51, 0, "192.0.2.10"), DPERR_CANTADDPLAYER);
    EXPECT_EQ(e->RemoteMessage(peer.Machine(), pilot, host, std::vector<uint8_t>(64 * 1024 + 1)),
              DPERR_INVALIDPARAMS);
    EXPECT_EQ(peer.DestroyPlayer(host), DPERR_ACCESSDENIED);

    // Groups: few per machine, little data; a machine moves its own players only, whoever
    // owns the group.
    DPID g = 0, g2 = 0;
    ASSERT_EQ(e->AllocateId(&g), S_OK);
    ASSERT_EQ(e->AllocateId(&g2), S_OK);
    EXPECT_EQ(e->RemoteGroupCreated(50, g, Name(u"g", u""), std::vector<uint8_t>(4097), 0, nullptr),
              DPERR_INVALIDPARAMS);
    EXPECT_EQ(e->RemoteGroupCreated(50, g, Name(u"g", u""), std::vector<uint8_t>(4096), 0, nullptr), S_OK);
    const auto queued = ReceiveAll(*e);  // the host's players hear of the group
    EXPECT_EQ(DecodeCreatePlayerOrGroup(queued.at(queued.size() - 1).bytes).value().id, g);
    EXPECT_EQ(e->RemoteGroupCreated(50, g2, Name(u"g2", u""), {}, 0, nullptr), DPERR_CANTCREATEGROUP);
    EXPECT_EQ(e->RemoteDataChanged(50, g, std::vector<uint8_t>(4097)), DPERR_INVALIDPARAMS);
    EXPECT_EQ(e->RemoteGroupMembership(50, g, host, true), DPERR_ACCESSDENIED);
    EXPECT_EQ(e->RemoteGroupMembership(50, g, pilot, true), DPERR_ACCESSDENIED);
    EXPECT_EQ(peer.JoinGroup(g, pilot), S_OK);
    // The name table a joining machine gets stays within one message: past its own share, a
    // machine draws on a budget shared with everybody (8 KiB here, 4 KiB of it taken by g).
    for (auto [kib, answer] : {std::pair{16, DPERR_INVALIDPARAMS}, {1, S_OK}, {5, S_OK}, {8, DPERR_INVALIDPARAMS}})
        EXPECT_EQ(peer.SetRemoteData(pilot, std::vector<uint8_t>(kib * 1024)), answer) << kib;
}

// Choosing the connection, opening, closing twice and the instance's name as the host does them:
// tests/app HostSession.
TEST(Engine, ConnectionsOpenCloseAndReopen) {
    Engine e;
    std::vector<uint8_t> address;
    auto offered = [&](const Guid& sp, std::span<const uint8_t> a, const DpName&, uint32_t) {
        EXPECT_EQ(sp, kDpspGuidTcpip);
        address.assign(a.begin(), a.end());
        return true;
    };
    ASSERT_EQ(e.EnumConnections(&kGuidCfs2, offered, 0), S_OK);
    EXPECT_EQ(address.at(20), 60);  // TotalSize counts the whole enumerated address

    DPID id = 0;
    EXPECT_EQ(e.Open(TestDesc(), DPOPEN_CREATE), DPERR_UNINITIALIZED);
    auto other = address;
    other[44] ^= 1;  // another provider
    EXPECT_EQ(e.InitializeConnection(other, 0), DPERR_UNAVAILABLE);
    other.resize(30);
    EXPECT_EQ(e.InitializeConnection(other, 0), DPERR_INVALIDPARAMS);
    ASSERT_EQ(e.InitializeConnection(address, 0), S_OK);
    EXPECT_EQ(e.Open(TestDesc(), DPOPEN_JOIN), DPERR_NOSESSIONS);
    ASSERT_EQ(e.Open(TestDesc(), DPOPEN_CREATE), S_OK);
    EXPECT_EQ(e.Open(TestDesc(), DPOPEN_CREATE), DPERR_ALREADYINITIALIZED);

    auto net = ScriptedNetwork::Attach(e);
    auto& peer = net->AddPeer("192.0.2.7");
    peer.Join();
    AutoResetEvent ev;
    ASSERT_EQ(e.CreatePlayer(&id, Name(u"a", u"a"), &ev, {}, 0), S_OK);
    ASSERT_EQ(e.Close(), S_OK);
    EXPECT_EQ(peer.Log().back().kind, Kind::SessionClosed);
    ASSERT_EQ(e.Open(TestDesc(), DPOPEN_CREATE), S_OK);  // a failed host may try again
    EXPECT_EQ(e.Stats().players, 0u);

    // Every session created gets its own instance, whatever the description said: two hosts
    // of one application on one network are two sessions to a client.
    SessionDesc d1, d2;
    ASSERT_EQ(e.GetSessionDesc(d1), S_OK);
    ASSERT_EQ(OpenEngine()->GetSessionDesc(d2), S_OK);
    EXPECT_FALSE(d1.guidInstance.isNull() || d1.guidInstance == kGuidCfs2 || d1.guidInstance == d2.guidInstance);
}

// A lobby's create and join modes are played through the host in tests/app (HostSession).
TEST(Lobby, AnswersNotLobbiedUnlessTheCommandLineHandedSettings) {
    auto factory = [] { return std::make_shared<Engine>(); };
    LobbyConnection c;
    std::shared_ptr<DirectPlayService> dp;
    EXPECT_EQ(Lobby(std::nullopt, factory).GetConnectionSettings(0, c), DPERR_NOTLOBBIED);
    Lobby create(LobbySettings{LobbySettings::Mode::Create, u"Friday"}, factory);
    ASSERT_EQ(create.GetConnectionSettings(0, c), S_OK);
    c.sessionDesc->guidApplication = kGuidCfs2;
    c.sessionDesc->dwMaxPlayers = 40;
    SessionDesc d;
    // The lobby names no instance: DirectPlay names it; one the lobby names is kept.
    for (const Guid& instance : {Guid{}, *Guid::parse("{11111111-2222-3333-4444-555555555555}")}) {
        c.sessionDesc->guidInstance = instance;
        ASSERT_EQ(create.SetConnectionSettings(0, 0, c), S_OK);
        ASSERT_EQ(create.Connect(0, dp), S_OK);
        ASSERT_EQ(dp->GetSessionDesc(d), S_OK);
        EXPECT_EQ(std::tuple(d.dwMaxPlayers, d.guidInstance.isNull()), std::tuple(40u, false));
        EXPECT_TRUE(instance.isNull() || d.guidInstance == instance);
    }
    dp.reset();
    EXPECT_EQ(Lobby(LobbySettings{LobbySettings::Mode::Join, u"Friday"}, factory).Connect(0, dp), DPERR_NOSESSIONS);
    EXPECT_FALSE(dp);
    EXPECT_EQ(ParseLobbyMode("CREATE"), LobbySettings::Mode::Create);
    EXPECT_FALSE(ParseLobbyMode("host"));
}

}  // namespace qd
