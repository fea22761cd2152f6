#include <gtest/gtest.h>

#include "dplay/vectors.h"
#include "session/dplay/framer.h"
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

template <class T>
T decodeAs(const char* vector) {
    return as<T>(mustDecode(hex(vector)));
}

Bytes overwrite(Bytes b, std::size_t at, const Bytes& with) {
    std::copy(with.begin(), with.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
}

TEST(DplayWire, DocumentExamplesDecodeToTheirListedFields) {
    const auto es = decodeAs<EnumSessionsRequest>(testvec::kEnumSessionsRequest41);
    EXPECT_EQ(std::tuple(es.application, es.flags, es.password), std::tuple(kExampleApp, kEnumAll, u"Password"));
    const SessionDesc listed{.dwFlags = 0x404, .guidInstance = *Guid::parse("{21FAA08E-42FC-B546-AFD3-5E1584FBBB60}"),
                             .guidApplication = kExampleApp, .dwMaxPlayers = 1000, .dwCurrentPlayers = 1,
                             .sessionName = u"LOTHAIR", .dwReserved1 = 0x1E52A0A1, .dwUser2 = 2, .dwUser3 = 3,
                             .dwUser4 = 4};
    EXPECT_EQ(decodeAs<EnumSessionsReply>(testvec::kEnumSessionsReply42).desc, listed);
}

// Every vector decodes and encodes back to exactly its bytes; cut anywhere (its size word
// telling the cut length, as a framer would deliver it) it is refused, unless only ignored
// trailing bytes were lost.
TEST(DplayWire, VectorsReencodeByteExactAndRefuseEveryTruncation) {
    for (const auto& v : testvec::all()) {
        SCOPED_TRACE(v.name);
        const Bytes full = hex(v.bytes);
        auto f = decodeFrame(full);
        ASSERT_TRUE(f.has_value());
        EXPECT_EQ(encode({f->header.token, f->header.sockAddr, f->header.version}, f->message), full);
        for (std::size_t len = 0; len < full.size(); ++len) {
            Bytes cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
            EXPECT_FALSE(decodeFrame(cut).has_value()) << "unpatched length " << len;
            const uint32_t word = 0xFABu << 20 | static_cast<uint32_t>(len);
            for (std::size_t i = 0; i < 4 && i < len; ++i) cut[i] = static_cast<uint8_t>(word >> (8 * i));
            EXPECT_EQ(decodeFrame(cut).has_value(), len >= (v.minValid ? v.minValid : full.size())) << "length " << len;
        }
    }
}

// What the host sends (the id reply, ping replies, player messages) client.py reads field by field
// on the roads; what it receives from Windows is checked here.
TEST(DplayWire, JoinMessagesCarryWhatWindowsSends) {
    EXPECT_EQ(decodeAs<RequestPlayerId>(testvec::kRequestPlayerIdSystem).flags, kPlayerSystem | kPlayerLocal);

    // Both carry the client's stream and datagram ports, address 0.0.0.0.
    const Bytes sp = encodeSpData({{2, 2301, {0, 0, 0, 0}}, {2, 2351, {0, 0, 0, 0}}});
    const auto afr = decodeAs<AddForwardRequest>(testvec::kAddForwardRequest);
    EXPECT_EQ(std::tuple(afr.playerId, afr.password, afr.tickCount), std::tuple(0x51573u, u"", 0x12345678u));
    EXPECT_EQ(afr.info, (PackedPlayer{.flags = kPlayerSystem | kPlayerLocal, .id = 0x51573, .spData = sp,
                                      .systemPlayerId = 0x51573, .version = dialect::DX9}));
    const auto mgmt = decodeAs<PlayerMgmt>(testvec::kCreatePlayer);
    EXPECT_EQ(std::pair(mgmt.command, mgmt.playerId), std::pair(Command::CreatePlayer, 0x7734u));
    EXPECT_EQ(mgmt.info, (PackedPlayer{.flags = kPlayerLocal, .id = 0x7734, .shortName = u"a", .spData = sp,
                                       .playerData = {0xAB, 0xCD}, .systemPlayerId = 0x51573}));

    const auto data = decodeAs<DataChanged>(testvec::kGroupDataChanged);
    EXPECT_EQ(std::pair(data.id, data.data), std::pair(0x5E7u, Bytes{1, 2, 3, 4}));
}

// The settings message the host writes onto a client's DirectPlay port: a
// SESSIONDESCCHANGED in dialect 11 from port 2350, padded to 264 bytes.
TEST(DplayWire, SettingsMessageIsByteExact) {
    const SessionDesc d{.dwFlags = DPSESSION_MIGRATEHOST,
                        .guidInstance = *Guid::parse("{01020304-0506-0708-090A-0B0C0D0E0F10}"),
                        .guidApplication = kGuidCfs2, .dwMaxPlayers = 50, .dwCurrentPlayers = 7,
                        .sessionName = u"x[]x[]ABCDEFGHIJKL[]MNOPABCDEFGH", .dwReserved1 = 0x12345678 ^ 0x00010001,
                        .dwUser1 = 0x00030000, .dwUser2 = 0x01000008, .dwUser3 = 5000 | 1u << 29, .dwUser4 = 120};
    const EncodeContext ctx{Token::Remote, SockAddrIn{2, 2350, {0, 0, 0, 0}}, dialect::DX61A};
    Bytes expected = hex(
        "08 01 B0 FA  02 00 09 2E  00 00 00 00 00 00 00 00 00 00 00 00"  // 264; port most significant byte first
        "70 6C 61 79  1A 00 0B 00  00 00 00 00  64 00 00 00  00 00 00 00"  // to 0, name at 100, no password
        "50 00 00 00  04 00 00 00  04 03 02 01 06 05 08 07 09 0A 0B 0C 0D 0E 0F 10"
        "65 18 36 BA 5C 7A E7 40 88 1A 56 7C 19 A1 50 A9  32 00 00 00  07 00 00 00"
        "00 00 00 00  00 00 00 00  79 56 35 12  00 00 00 00  00 00 03 00  08 00 00 01  88 13 00 20  78 00 00 00"
        "78 00 5B 00 5D 00 78 00 5B 00 5D 00 41 00 42 00 43 00 44 00 45 00 46 00 47 00 48 00 49 00 4A 00"
        "4B 00 4C 00 5B 00 5D 00 4D 00 4E 00 4F 00 50 00 41 00 42 00 43 00 44 00 45 00 46 00 47 00 48 00 00 00");
    ASSERT_EQ(expected.size(), 186u);
    EXPECT_EQ(encodePadded(ctx, SessionDescChanged{0, d}, 0), overwrite(expected, 0, {0xBA, 0x00}));
    expected.resize(264);
    EXPECT_EQ(encodePadded(ctx, SessionDescChanged{0, d}, 264), expected);  // read back by client.py --road
}

// The name table a joining client receives, entries laid out as the ones Windows
// clients were checked against: system players with a one-byte SP data length.
TEST(DplayWire, SuperEnumPlayersReplyEntries) {
    const Bytes sp = encodeSpData({{2, 2300, {}}, {2, 2350, {}}});
    const SuperPackedPlayer host{.flags = kPlayerSystem | kPlayerNameServer | kPlayerInGroup | kPlayerLocal,
                                 .id = 0x51573, .versionOrSystemPlayerId = dialect::DX9, .spData = sp};
    const SuperPackedPlayer named{.flags = kPlayerLocal, .id = 0x1337, .versionOrSystemPlayerId = 0x51573,
                                  .shortName = u"s", .longName = u"l", .playerData = Bytes{1, 2, 3, 4}, .spData = sp};
    const SuperPackedPlayer group{.flags = 0x48, .id = 0x5E7, .versionOrSystemPlayerId = 0x51573,
                                  .playerIds = std::vector<DPID>{0x1337}, .parentId = 0x99};
    auto entry = [](const SuperPackedPlayer& p) {
        Bytes b;
        Writer w(b);
        writeSuperPackedPlayer(w, p);
        return b;
    };
    EXPECT_EQ(entry(host), hex("10 00 00 00 0F 00 00 00 73 15 05 00 04 00 00 00 0E 00 00 00 20"
                               "02 00 08 FC 00 00 00 00 00 00 00 00 00 00 00 00"
                               "02 00 09 2E 00 00 00 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(entry(named), hex("10 00 00 00 08 00 00 00 37 13 00 00 17 00 00 00 73 15 05 00 73 00 00 00 6C 00 00 00"
                                "04 01 02 03 04 20 02 00 08 FC 00 00 00 00 00 00 00 00 00 00 00 00"
                                "02 00 09 2E 00 00 00 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(entry(group), hex("10 00 00 00 48 00 00 00 E7 05 00 00 40 01 00 00 73 15 05 00"
                                "01 37 13 00 00 99 00 00 00"));
}

// Kinds beyond those of the vectors and the fuzz corpora (fuzz/dplay_frame.cpp round-trips those)
// and those client.py and the attack run read from the host and send it.
TEST(DplayWire, EveryMessageKindRoundTrips) {
    const PackedPlayer pp{.flags = kPlayerSystem, .id = 7, .longName = u"Long", .spData = encodeSpData({}),
                          .playerIds = {1, 2, 3}};
    // Two-byte player data length.
    const SuperPackedPlayer spp{.id = 9, .playerData = Bytes(300, 0x5A), .shortcutIds = std::vector<DPID>{4, 5}};
    const SessionDesc desc{.sessionName = u"name", .password = u"pw"};
    const std::vector<Message> all = {
        EnumPlayerRequest{},
        RequestGroupId{0},
        RequestPlayerReply{5, SecurityDesc{24, 0, 0, 0, 1, 0x6801}, u"NTLM", u"Base", DPERR_NONEWPLAYERS},
        PlayerMgmt{Command::DeletePlayerFromGroup, 0, 7, 8, std::nullopt},
        PlayerMgmt{Command::CreatePlayerVerify, 0, 7, 0, pp},
        AddForwardReply{DPERR_INVALIDPASSWORD},
        SuperEnumPlayersReply{desc, {spp}, {}, {spp}},
        NameChanged{Command::GroupNameChanged, 0, 8, std::nullopt, u"team"},
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
    const Bytes reply = hex(testvec::kEnumSessionsReply42), create = hex(testvec::kCreatePlayer);
    Bytes table = encode({}, SuperEnumPlayersReply{{}, {SuperPackedPlayer{}}, {}, {}});
    const struct {
        Bytes bytes;
        const char* why;
    } cases[] = {
        {overwrite(reply, 2, {0xB0, 0xFE}), "unknown token"},
        {overwrite(reply, 0, {0x7F}), "size is not the length"},
        {overwrite(reply, 24, {0x03, 0x01}), "unknown command"},
        {overwrite(reply, 108, {0x04, 0, 0, 0}), "name offset into the envelope"},
        {overwrite(reply, 108, {0x7F, 0, 0, 0}), "name offset past the end"},
        {overwrite(reply, 126, {0x41}), "name loses its terminator"},
        {overwrite(create, 84, {44}), "fixed size other than 48"},
        {overwrite(create, 60, {3}), "odd short-name length"},
        {overwrite(create, 76, {0xFF}), "a group of 255 members in a 140-byte message"},
        {overwrite(table, 28, {0xFF, 0xFF}), "65535 players"},
        // A wide string without an end, longer than any name: refused, not scanned forever.
        {encode({}, NameChanged{Command::PlayerNameChanged, 0, 1, std::u16string(2000, u'a'), {}}), "endless name"},
    };
    for (const auto& c : cases) EXPECT_FALSE(decodeFrame(c.bytes)) << c.why;
}

TEST(DplayWire, PlayerMessagesWithoutIdsAndOnDatagrams) {
    // In a session without message ids a payload starting "play" would read as an
    // envelope: it goes out inside a PLAYERWRAPPER instead.
    const PlayerMessage m{std::nullopt, std::nullopt, Bytes{'p', 'l', 'a', 'y', 1, 0, 0, 0}};
    const Frame f = mustDecode(encode({}, m), true);
    const Bytes& inner = as<PlayerWrapper>(f).inner;
    EXPECT_EQ(decodeWrappedPlayerMessage(inner, true).value().payload, m.payload);
    EXPECT_FALSE(decodeWrappedPlayerMessage(Bytes(inner.begin(), inner.end() - 1), true));

    const Bytes bare = encodeBarePlayerMessage(PlayerMessage{0x10, 0x20, Bytes{5}});
    EXPECT_EQ(bare, hex("10 00 00 00 20 00 00 00 05"));
    EXPECT_FALSE(decodeBarePlayerMessage(hex("10 00 00 00 20 00 00")));
    EXPECT_EQ(decodeBarePlayerMessage(hex("01 02"), true).value().payload, (Bytes{1, 2}));
}

// Streams cut in any chunks: fuzz/dplay_stream.cpp, replayed in every test run.
TEST(StreamFramer, RefusesSizesItCannotTrustAndStaysRefused) {
    auto refused = [](Bytes b, std::size_t limit = StreamFramer::kDefaultLimit) {
        StreamFramer f(limit);
        int delivered = 0;
        auto st = f.feed(b, [&](ByteView) { ++delivered; });
        EXPECT_EQ(delivered, 0);
        return st == StreamFramer::Status::Refused && f.refused();
    };
    EXPECT_TRUE(refused(hex("13 00 B0 FA")));      // 19: smaller than the prefix
    EXPECT_TRUE(refused(hex("00 00 B0 FA")));      // 0 would never advance
    EXPECT_TRUE(refused(hex("01 00 01 FA")));      // 65537 above the default limit
    EXPECT_TRUE(refused(hex("24 00 B0 FE")));      // unknown token
    EXPECT_TRUE(refused(hex("24 00 B0 FA"), 30));  // a stricter limit
    EXPECT_FALSE(refused(hex("14 00 B0 FA")));     // 20 is a (bare) player message

    StreamFramer f;
    const Bytes ping = hex(testvec::kPing);
    Bytes stream = ping;
    stream.insert(stream.end(), {0x05, 0x00, 0xB0, 0xFA});  // then garbage
    stream.insert(stream.end(), ping.begin(), ping.end());
    int delivered = 0;
    EXPECT_EQ(f.feed(stream, [&](ByteView) { ++delivered; }), StreamFramer::Status::Refused);
    EXPECT_EQ(delivered, 1);  // what came before the bad size was still delivered
    EXPECT_EQ(f.feed(ping, [&](ByteView) { ++delivered; }), StreamFramer::Status::Refused);
    EXPECT_EQ(delivered, 1);
}

}  // namespace
}  // namespace qd::dplay
