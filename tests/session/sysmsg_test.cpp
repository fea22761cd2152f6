#include <gtest/gtest.h>

#include "dplay/vectors.h"
#include "session/sysmsg.h"

namespace qd {

using dplay::testvec::hex;

// DirectPlay's 32-bit structures, little-endian, pointers as offsets from the start with the
// items after the fixed part.
TEST(SysMsg, LayoutsAreDirectPlays32BitStructuresWithTrailingItems) {
    // DPMSG_ADDPLAYERTOGROUP and DELETEPLAYERFROMGROUP: type, group, player.
    EXPECT_EQ(EncodeGroupMembership(DPSYS_ADDPLAYERTOGROUP, {0x11223344, 0x55667788}),
              hex("07 00 00 00  44 33 22 11  88 77 66 55"));
    EXPECT_EQ(EncodeGroupMembership(DPSYS_DELETEPLAYERFROMGROUP, {1, 2}), hex("21 00 00 00  01 00 00 00  02 00 00 00"));

    // DPMSG_SETPLAYERORGROUPDATA with 9 bytes of data is 29 bytes, the data at offset 20
    // (DirectPlay reports 29 for "remote_0").
    EXPECT_EQ(EncodeSetData({DPPLAYERTYPE_PLAYER, 0xABCD, {'r', 'e', 'm', 'o', 't', 'e', '_', '0', 0}}),
              hex("02 01 00 00  01 00 00 00  CD AB 00 00  14 00 00 00  09 00 00 00  72 65 6D 6F 74 65 5F 30 00"));

    // DPMSG_SETPLAYERORGROUPNAME: the DPNAME's string pointers become offsets 28 and 32; a
    // null pointer is offset 0, with nothing appended.
    DpName n{.shortName = u"A", .longName = u"B[]G"};
    EXPECT_EQ(EncodeSetName({DPPLAYERTYPE_PLAYER, 7, n}),
              hex("03 01 00 00  01 00 00 00  07 00 00 00  10 00 00 00  00 00 00 00  1C 00 00 00  20 00 00 00"
                  "41 00 00 00  42 00 5B 00 5D 00 47 00 00 00"));
    n.longName.reset();
    EXPECT_EQ(EncodeSetName({DPPLAYERTYPE_PLAYER, 7, n}),
              hex("03 01 00 00  01 00 00 00  07 00 00 00  10 00 00 00  00 00 00 00  1C 00 00 00  00 00 00 00"
                  "41 00 00 00"));

    // DPMSG_CREATEPLAYERORGROUP: 48 fixed bytes, dpIdParent at 40 and dwFlags at 44.
    EXPECT_EQ(EncodeCreatePlayerOrGroup({DPPLAYERTYPE_PLAYER, 9, 3, {1, 2, 3}, n, 0, DPPLAYER_LOCAL}),
              hex("03 00 00 00  01 00 00 00  09 00 00 00  03 00 00 00  34 00 00 00  03 00 00 00"
                  "10 00 00 00  00 00 00 00  30 00 00 00  00 00 00 00  00 00 00 00  08 00 00 00"
                  "41 00 00 00  01 02 03"));

    // DPMSG_SETSESSIONDESC: type then the 80-byte DPSESSIONDESC2, its name just after it.
    const SessionDesc d{.dwFlags = DPSESSION_MIGRATEHOST, .guidApplication = kGuidCfs2, .dwMaxPlayers = 8,
                        .sessionName = u"S", .dwUser1 = 0xCAFEBABE};
    EXPECT_EQ(EncodeSetSessionDesc(d),
              hex("04 01 00 00  50 00 00 00  04 00 00 00  00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
                  "65 18 36 BA 5C 7A E7 40 88 1A 56 7C 19 A1 50 A9  08 00 00 00  00 00 00 00  54 00 00 00"
                  "00 00 00 00  00 00 00 00  00 00 00 00  BE BA FE CA  00 00 00 00  00 00 00 00  00 00 00 00"
                  "53 00 00 00"));
}

// The others are read back from the engine's own messages in engine_test.cpp and, group
// membership, in tests/protocol GameTest's team moves.
TEST(SysMsg, DecodersReadBackWhatWasEncoded) {
    const SysDestroyPlayerOrGroup m{
        DPPLAYERTYPE_PLAYER, 42, {9, 8, 7}, {1}, {.shortName = u"pilot", .longName = u"xx[]C"}, 0, 0};
    EXPECT_EQ(DecodeDestroyPlayerOrGroup(EncodeDestroyPlayerOrGroup(m)), m);
}

TEST(SysMsg, DecodersRefuseShortOrMalformedMessages) {
    SysSetName n{DPPLAYERTYPE_PLAYER, 7, {}};
    n.name.shortName = u"A";
    const auto good = EncodeSetName(n);

    // Every truncation fails (the last string loses its terminator or the structure is cut).
    for (std::size_t len = 0; len < good.size(); ++len)
        EXPECT_FALSE(DecodeSetName(std::span(good.data(), len))) << len;

    auto bad = good;
    bad[20] = 4;  // short name offset pointing into the structure
    EXPECT_FALSE(DecodeSetName(bad));
    bad[20] = 200;  // past the end
    EXPECT_FALSE(DecodeSetName(bad));
    bad = good;
    bad[4] = 2;  // neither player nor group
    EXPECT_FALSE(DecodeSetName(bad));
    EXPECT_FALSE(DecodeCreatePlayerOrGroup(good));  // another type

    // Data whose size runs past the message, even by one byte, or with a huge size.
    auto data = EncodeSetData({DPPLAYERTYPE_PLAYER, 1, {1, 2, 3}});
    data[16] = 4;
    EXPECT_FALSE(DecodeSetData(data));
    data[16] = 0xFF;
    data[19] = 0xFF;
    EXPECT_FALSE(DecodeSetData(data));

    EXPECT_FALSE(DecodeGroupMembership(hex("07 00 00 00  01 00 00 00")));
    EXPECT_FALSE(DecodeSetSessionDesc(hex("04 01 00 00  50 00 00 00")));
    EXPECT_FALSE(SysMessageType(std::vector<uint8_t>{3, 0, 0}));
}

}  // namespace qd
