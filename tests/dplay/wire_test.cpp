#include <gtest/gtest.h>

#include "dplay/vectors.h"
#include "session/dplay/wire.h"

namespace qd::dplay {
namespace {

using testvec::hex;

const Guid kExampleApp = *Guid::parse("{A052A50B-FFE0-CF11-9C4E-00A0C905425E}");

template <class T>
const T& as(const Frame& f) {
    return std::get<T>(f.message);
}

Frame mustDecode(const Bytes& b, bool noIds = false) {
    auto f = decodeFrame(b, noIds);
    EXPECT_TRUE(f.has_value());
    return f ? *f : Frame{};
}

EncodeContext contextOf(const Header& h) { return {h.token, h.sockAddr, h.version}; }

void patchSize(Bytes& b) {
    if (b.size() < 4) return;
    uint32_t word = (uint32_t(0xFAB) << 20) | static_cast<uint32_t>(b.size());
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(word >> (8 * i));
}

TEST(DplayWire, DocumentExamplesDecodeToTheirListedFields) {
    Bytes req = hex(testvec::kEnumSessionsRequest41);
    Frame f = mustDecode(req);
    EXPECT_EQ(f.header.size, 70u);
    EXPECT_EQ(f.header.token, Token::Remote);
    EXPECT_EQ(f.header.sockAddr.family, 2);
    EXPECT_EQ(f.header.sockAddr.port, 2300);
    EXPECT_EQ(f.header.command, Command::EnumSessions);
    EXPECT_EQ(f.header.version, dialect::DX9);
    const auto& es = as<EnumSessionsRequest>(f);
    EXPECT_EQ(es.application, kExampleApp);
    EXPECT_EQ(es.flags, kEnumAll);
    EXPECT_EQ(es.password, u"Password");

    Bytes rep = hex(testvec::kEnumSessionsReply42);
    f = mustDecode(rep);
    EXPECT_EQ(f.header.command, Command::EnumSessionsReply);
    const SessionDesc& d = as<EnumSessionsReply>(f).desc;
    EXPECT_EQ(d.dwSize, 80u);
    EXPECT_EQ(d.dwFlags, 0x404u);
    EXPECT_EQ(d.guidInstance.toString(), "{21FAA08E-42FC-B546-AFD3-5E1584FBBB60}");
    EXPECT_EQ(d.guidApplication, kExampleApp);
    EXPECT_EQ(d.dwMaxPlayers, 1000u);
    EXPECT_EQ(d.dwCurrentPlayers, 1u);
    EXPECT_EQ(d.dwReserved1, 0x1E52A0A1u);
    EXPECT_EQ(d.dwUser2, 2u);
    EXPECT_EQ(d.dwUser3, 3u);
    EXPECT_EQ(d.dwUser4, 4u);
    EXPECT_EQ(d.sessionName, u"LOTHAIR");
}

// Every vector decodes and encodes back to exactly its bytes.
TEST(DplayWire, VectorsReencodeByteExact) {
    for (const auto& v : testvec::all()) {
        SCOPED_TRACE(v.name);
        Bytes b = hex(v.bytes);
        auto f = decodeFrame(b);
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(encode(contextOf(f->header), f->message), b);
    }
}

TEST(DplayWire, JoinMessagesCarryWhatWindowsSends) {
    Frame f = mustDecode(hex(testvec::kRequestPlayerIdSystem));
    EXPECT_EQ(as<RequestPlayerId>(f).flags, kPlayerSystem | kPlayerLocal);

    f = mustDecode(hex(testvec::kRequestPlayerReply));
    EXPECT_EQ(as<RequestPlayerReply>(f).id, 0x51573u);
    EXPECT_EQ(as<RequestPlayerReply>(f).result, S_OK);
    EXPECT_FALSE(as<RequestPlayerReply>(f).sspiProvider);

    f = mustDecode(hex(testvec::kAddForwardRequest));
    const auto& afr = as<AddForwardRequest>(f);
    EXPECT_EQ(afr.playerId, 0x51573u);
    EXPECT_EQ(afr.info.flags, kPlayerSystem | kPlayerLocal);
    EXPECT_EQ(afr.info.systemPlayerId, 0x51573u);
    EXPECT_EQ(afr.info.version, dialect::DX9);
    EXPECT_EQ(afr.password, u"");
    EXPECT_EQ(afr.tickCount, 0x12345678u);
    auto sp = decodeSpData(afr.info.spData);
    ASSERT_TRUE(sp);
    EXPECT_EQ(sp->stream.port, 2301);
    EXPECT_EQ(sp->datagram.port, 2351);
    EXPECT_EQ(sp->stream.addr, (std::array<uint8_t, 4>{0, 0, 0, 0}));

    f = mustDecode(hex(testvec::kCreatePlayer));
    const auto& cp = as<PlayerMgmt>(f);
    EXPECT_EQ(cp.command, Command::CreatePlayer);
    EXPECT_EQ(cp.playerId, 0x7734u);
    ASSERT_TRUE(cp.info);
    EXPECT_EQ(cp.info->shortName, u"a");
    EXPECT_FALSE(cp.info->longName);
    EXPECT_EQ(cp.info->playerData, (Bytes{0xAB, 0xCD}));
    EXPECT_EQ(cp.info->systemPlayerId, 0x51573u);

    f = mustDecode(hex(testvec::kGroupDataChanged));
    EXPECT_EQ(as<DataChanged>(f).id, 0x5E7u);
    EXPECT_EQ(as<DataChanged>(f).data, (Bytes{1, 2, 3, 4}));

    f = mustDecode(hex(testvec::kPingReply));
    EXPECT_TRUE(as<Ping>(f).reply);
    EXPECT_EQ(as<Ping>(f).tickCount, 0x1234u);

    f = mustDecode(hex(testvec::kPlayerMessageStream));
    EXPECT_FALSE(f.header.hasEnvelope);
    EXPECT_EQ(as<PlayerMessage>(f).idFrom, 0x7734u);
    EXPECT_EQ(as<PlayerMessage>(f).idTo, 0x12345678u);
    EXPECT_EQ(as<PlayerMessage>(f).payload, (Bytes{'h', 'i'}));
}

// A message cut anywhere (its size word telling the cut length, as a framer would
// deliver it) is refused, unless only ignored trailing bytes were lost.
TEST(DplayWire, EveryTruncationIsRefused) {
    for (const auto& v : testvec::all()) {
        SCOPED_TRACE(v.name);
        Bytes full = hex(v.bytes);
        std::size_t minValid = v.minValid ? v.minValid : full.size();
        for (std::size_t len = 0; len < full.size(); ++len) {
            Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
            patchSize(cut);
            EXPECT_EQ(decodeFrame(cut).has_value(), len >= minValid) << "length " << len;
            Bytes stale(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
            EXPECT_FALSE(decodeFrame(stale).has_value()) << "unpatched length " << len;
        }
    }
}

// The settings message the host writes onto a client's DirectPlay port: a
// SESSIONDESCCHANGED in dialect 11, padded to 264 bytes.
TEST(DplayWire, SettingsMessageFieldOffsets) {
    SessionDesc d;
    d.dwFlags = DPSESSION_MIGRATEHOST;
    d.guidInstance = *Guid::parse("{01020304-0506-0708-090A-0B0C0D0E0F10}");
    d.guidApplication = kGuidCfs2;
    d.dwMaxPlayers = 50;
    d.dwCurrentPlayers = 7;
    d.dwReserved1 = 0x12345678 ^ 0x00010001;
    d.dwUser1 = 0x00030000;
    d.dwUser2 = 0x01000008;
    d.dwUser3 = 5000 | 1u << 29;
    d.dwUser4 = 120;
    d.sessionName = u"x[]x[]ABCDEFGHIJKL[]MNOPABCDEFGH";
    ASSERT_EQ(d.sessionName->size(), 32u);
    EncodeContext ctx{Token::Remote, SockAddrIn{2, 2350, {0, 0, 0, 0}}, dialect::DX61A};
    Bytes m = encodePadded(ctx, SessionDescChanged{0, d}, 264);
    ASSERT_EQ(m.size(), 264u);
    auto u16at = [&](std::size_t o) { return uint32_t(m[o] | m[o + 1] << 8); };
    auto u32at = [&](std::size_t o) { return u16at(o) | u16at(o + 2) << 16; };
    EXPECT_EQ(u16at(0), 264u);
    EXPECT_EQ(m[2], 0xB0);
    EXPECT_EQ(m[3], 0xFA);
    EXPECT_EQ(u16at(4), 2u);
    EXPECT_EQ(m[6], 2350 >> 8);  // port, most significant byte first
    EXPECT_EQ(m[7], 2350 & 0xFF);
    for (std::size_t o = 8; o < 20; ++o) EXPECT_EQ(m[o], 0) << o;
    EXPECT_EQ(u32at(20), kSignature);
    EXPECT_EQ(u16at(24), 0x1Au);
    EXPECT_EQ(u16at(26), 11u);
    EXPECT_EQ(u32at(28), 0u);    // addressee
    EXPECT_EQ(u32at(32), 100u);  // session name, counted from the signature
    EXPECT_EQ(u32at(36), 0u);    // no password
    EXPECT_EQ(u32at(40), 80u);
    EXPECT_EQ(u32at(44), DPSESSION_MIGRATEHOST);
    EXPECT_EQ(Guid::fromBytes(&m[48]), d.guidInstance);
    EXPECT_EQ(Guid::fromBytes(&m[64]), kGuidCfs2);
    EXPECT_EQ(u32at(80), 50u);
    EXPECT_EQ(u32at(84), 7u);
    EXPECT_EQ(u32at(88), 0u);
    EXPECT_EQ(u32at(92), 0u);
    EXPECT_EQ(u32at(96), d.dwReserved1);
    EXPECT_EQ(u32at(100), 0u);
    EXPECT_EQ(u32at(104), d.dwUser1);
    EXPECT_EQ(u32at(108), d.dwUser2);
    EXPECT_EQ(u32at(112), d.dwUser3);
    EXPECT_EQ(u32at(116), 120u);
    for (std::size_t i = 0; i < 32; ++i) EXPECT_EQ(u16at(120 + 2 * i), uint32_t((*d.sessionName)[i])) << i;
    EXPECT_EQ(u16at(184), 0u);
    for (std::size_t o = 186; o < 264; ++o) EXPECT_EQ(m[o], 0) << o;

    Frame f = mustDecode(m);
    EXPECT_EQ(f.header.version, dialect::DX61A);
    EXPECT_EQ(as<SessionDescChanged>(f).desc, d);
    EXPECT_TRUE(encodePadded(ctx, SessionDescChanged{0, d}, 0).size() == 186u);
}

// The name table a joining client receives, entries laid out as the ones Windows
// clients were checked against: system players with a one-byte SP data length.
TEST(DplayWire, SuperEnumPlayersReplyEntries) {
    SpData sp{SockAddrIn{2, 2300, {}}, SockAddrIn{2, 2350, {}}};
    SuperPackedPlayer host;
    host.flags = kPlayerSystem | kPlayerNameServer | kPlayerInGroup | kPlayerLocal;
    host.id = 0x51573;
    host.versionOrSystemPlayerId = dialect::DX9;
    host.spData = encodeSpData(sp);
    SuperPackedPlayer named;
    named.flags = kPlayerLocal;
    named.id = 0x1337;
    named.versionOrSystemPlayerId = 0x51573;
    named.shortName = u"s";
    named.longName = u"l";
    named.playerData = Bytes{1, 2, 3, 4};
    named.spData = encodeSpData(sp);
    SuperPackedPlayer group;
    group.flags = 0x48;
    group.id = 0x5E7;
    group.versionOrSystemPlayerId = 0x51573;
    group.playerIds = std::vector<DPID>{0x1337};
    group.parentId = 0x99;

    Bytes b;
    Writer w(b);
    writeSuperPackedPlayer(w, host);
    EXPECT_EQ(b, hex("10 00 00 00 0F 00 00 00 73 15 05 00 04 00 00 00 0E 00 00 00 20"
                     "02 00 08 FC 00 00 00 00 00 00 00 00 00 00 00 00"
                     "02 00 09 2E 00 00 00 00 00 00 00 00 00 00 00 00"));
    b.clear();
    writeSuperPackedPlayer(w, named);
    EXPECT_EQ(Bytes(b.begin(), b.begin() + 16), hex("10 00 00 00 08 00 00 00 37 13 00 00 17 00 00 00"));
    b.clear();
    writeSuperPackedPlayer(w, group);
    EXPECT_EQ(b, hex("10 00 00 00 48 00 00 00 E7 05 00 00 40 01 00 00 73 15 05 00"
                     "01 37 13 00 00 99 00 00 00"));

    SuperEnumPlayersReply reply;
    reply.desc.guidApplication = kGuidCfs2;
    reply.desc.sessionName = u"Session";
    reply.players = {host, named};
    reply.groups = {group};
    Bytes m = encode({}, reply);
    Frame f = mustDecode(m);
    const auto& r = as<SuperEnumPlayersReply>(f);
    EXPECT_EQ(r.desc, reply.desc);
    EXPECT_EQ(r.players, reply.players);
    EXPECT_EQ(r.groups, reply.groups);
    EXPECT_TRUE(r.shortcuts.empty());
}

TEST(DplayWire, EveryMessageKindRoundTrips) {
    PackedPlayer pp;
    pp.flags = kPlayerSystem;
    pp.id = 7;
    pp.longName = u"Long";
    pp.spData = encodeSpData({});
    pp.playerIds = {1, 2, 3};
    SuperPackedPlayer spp;
    spp.id = 9;
    spp.shortcutIds = std::vector<DPID>{4, 5};
    spp.playerData = Bytes(300, 0x5A);  // two-byte length
    SessionDesc desc;
    desc.sessionName = u"name";
    desc.password = u"pw";
    std::vector<Message> all = {
        EnumSessionsRequest{kGuidCfs2, kEnumAvailable, std::nullopt},
        EnumSessionsReply{desc},
        EnumPlayerRequest{},
        RequestGroupId{0},
        RequestPlayerReply{5, SecurityDesc{24, 0, 0, 0, 1, 0x6801}, u"NTLM", u"Base", DPERR_NONEWPLAYERS},
        PlayerMgmt{Command::CreateGroup, 0, 0x5E7, 0, pp},
        PlayerMgmt{Command::AddForward, 0, 7, 0, pp},
        PlayerMgmt{Command::DeletePlayer, 0, 7, 0, std::nullopt},
        PlayerMgmt{Command::DeletePlayerFromGroup, 0, 7, 8, std::nullopt},
        PlayerMgmt{Command::CreatePlayerVerify, 0, 7, 0, pp},
        AddForwardRequest{0, 7, 0, pp, std::nullopt, 99},
        AddForwardAck{7},
        AddForwardReply{DPERR_INVALIDPASSWORD},
        SuperEnumPlayersReply{desc, {spp}, {}, {spp}},
        EnumPlayersReply{desc, {pp}, {pp}},
        DataChanged{Command::PlayerDataChanged, 0, 7, Bytes{9, 9}},
        NameChanged{Command::PlayerNameChanged, 0, 7, u"short", u"longR"},
        NameChanged{Command::GroupNameChanged, 0, 8, std::nullopt, u"team"},
        SessionDescChanged{0, desc},
        Ping{false, 7, 1},
        YouAreDead{},
        IAmNameServer{0, 7, 3, encodeSpData({})},
        PlayerWrapper{Bytes{1, 2, 3}},
        PacketFragment{kGuidCfs2, 1, 100, 3, 900, Bytes(40, 1)},
        PlayerMessage{1, 2, Bytes{}},
    };
    for (const auto& m : all) {
        Bytes once = encode({}, m);
        auto f = decodeFrame(once);
        ASSERT_TRUE(f.has_value()) << m.index();
        EXPECT_EQ(f->message.index(), m.index());
        EXPECT_EQ(encode({}, f->message), once) << m.index();
    }
}

TEST(DplayWire, MalformedMessagesAreRefused) {
    Bytes good = hex(testvec::kEnumSessionsReply42);
    auto with = [&](std::size_t at, std::initializer_list<uint8_t> bytes) {
        Bytes b = good;
        std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
        return b;
    };
    EXPECT_FALSE(decodeFrame(with(2, {0xB0, 0xFE})));              // unknown token
    EXPECT_FALSE(decodeFrame(with(0, {0x7F})));                    // size is not the length
    EXPECT_FALSE(decodeFrame(with(24, {0x03, 0x01})));             // unknown command
    EXPECT_FALSE(decodeFrame(with(108, {0x04, 0, 0, 0})));         // name offset into the envelope
    EXPECT_FALSE(decodeFrame(with(108, {0x7F, 0, 0, 0})));         // name offset past the end
    EXPECT_FALSE(decodeFrame(with(126, {0x41})));                  // name loses its terminator

    Bytes cp = hex(testvec::kCreatePlayer);
    Bytes bad = cp;
    bad[84] = 44;  // fixed size other than 48
    EXPECT_FALSE(decodeFrame(bad));
    bad = cp;
    bad[60] = 3;  // odd short-name length
    EXPECT_FALSE(decodeFrame(bad));
    bad = cp;
    bad[76] = 0xFF;  // a group of 255 members in a 140-byte message
    EXPECT_FALSE(decodeFrame(bad));

    SuperEnumPlayersReply lie;
    lie.players.resize(1);
    Bytes m = encode({}, lie);
    m[28] = 0xFF;  // 255 players
    m[29] = 0xFF;
    EXPECT_FALSE(decodeFrame(m));

    // A wide string without an end, longer than any name: refused, not scanned forever.
    Bytes longName = encode({}, NameChanged{Command::PlayerNameChanged, 0, 1, std::u16string(2000, u'a'), {}});
    EXPECT_FALSE(decodeFrame(longName));
}

TEST(DplayWire, PlayerMessagesWithoutIdsAndOnDatagrams) {
    // In a session without message ids a payload starting "play" would read as an
    // envelope: it goes out inside a PLAYERWRAPPER instead.
    PlayerMessage m{std::nullopt, std::nullopt, Bytes{'p', 'l', 'a', 'y', 1, 0, 0, 0}};
    Bytes wire = encode({}, m);
    Frame f = mustDecode(wire, true);
    ASSERT_TRUE(std::holds_alternative<PlayerWrapper>(f.message));
    auto inner = decodeWrappedPlayerMessage(as<PlayerWrapper>(f).inner, true);
    ASSERT_TRUE(inner);
    EXPECT_EQ(inner->payload, m.payload);
    EXPECT_FALSE(decodeWrappedPlayerMessage(Bytes(as<PlayerWrapper>(f).inner.begin(),
                                                  as<PlayerWrapper>(f).inner.end() - 1), true));

    Bytes bare = encodeBarePlayerMessage(PlayerMessage{0x10, 0x20, Bytes{5}});
    EXPECT_EQ(bare, hex("10 00 00 00 20 00 00 00 05"));
    auto back = decodeBarePlayerMessage(bare);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->idTo, 0x20u);
    EXPECT_FALSE(decodeBarePlayerMessage(hex("10 00 00 00 20 00 00")));
    auto noIds = decodeBarePlayerMessage(hex("01 02"), true);
    ASSERT_TRUE(noIds);
    EXPECT_EQ(noIds->payload, (Bytes{1, 2}));
}

}  // namespace
}  // namespace qd::dplay
