#include <gtest/gtest.h>

#include "session/sysmsg.h"

namespace qd {

namespace {
std::vector<uint8_t> Le(std::initializer_list<uint32_t> words) {
    std::vector<uint8_t> b;
    for (uint32_t w : words)
        for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(w >> (8 * i)));
    return b;
}
void AppendWide(std::vector<uint8_t>& b, std::u16string_view s) {
    for (char16_t c : s) {
        b.push_back(static_cast<uint8_t>(c));
        b.push_back(static_cast<uint8_t>(c >> 8));
    }
    b.push_back(0);
    b.push_back(0);
}
}  // namespace

TEST(SysMsg, LayoutsAreDirectPlays32BitStructuresWithTrailingItems) {
    // DPMSG_ADDPLAYERTOGROUP: type, group, player.
    EXPECT_EQ(EncodeGroupMembership(DPSYS_ADDPLAYERTOGROUP, {0x11223344, 0x55667788}),
              Le({0x0007, 0x11223344, 0x55667788}));
    EXPECT_EQ(EncodeGroupMembership(DPSYS_DELETEPLAYERFROMGROUP, {1, 2}), Le({0x0021, 1, 2}));

    // DPMSG_SETPLAYERORGROUPDATA with 9 bytes of data is 29 bytes, the data at offset 20
    // (DirectPlay reports 29 for "remote_0").
    const std::vector<uint8_t> data{'r', 'e', 'm', 'o', 't', 'e', '_', '0', 0};
    auto expected = Le({0x0102, DPPLAYERTYPE_PLAYER, 0xABCD, 20, 9});
    expected.insert(expected.end(), data.begin(), data.end());
    EXPECT_EQ(EncodeSetData({DPPLAYERTYPE_PLAYER, 0xABCD, data}), expected);

    // DPMSG_SETPLAYERORGROUPNAME: the DPNAME's string pointers become offsets 28 and 32.
    DpName n;
    n.shortName = u"A";
    n.longName = u"B[]G";
    expected = Le({0x0103, DPPLAYERTYPE_PLAYER, 7, 16, 0, 28, 32});
    AppendWide(expected, u"A");
    AppendWide(expected, u"B[]G");
    EXPECT_EQ(EncodeSetName({DPPLAYERTYPE_PLAYER, 7, n}), expected);

    // A null name pointer is offset 0, with nothing appended.
    n.longName.reset();
    EXPECT_EQ(EncodeSetName({DPPLAYERTYPE_PLAYER, 7, n}).size(), 28u + 4u);

    // DPMSG_CREATEPLAYERORGROUP: 48 fixed bytes, dpIdParent at 40 and dwFlags at 44.
    SysCreatePlayerOrGroup c{DPPLAYERTYPE_PLAYER, 9, 3, {1, 2, 3}, n, 0, DPPLAYER_LOCAL};
    const auto cb = EncodeCreatePlayerOrGroup(c);
    ASSERT_EQ(cb.size(), 48u + 4u + 3u);
    EXPECT_EQ(std::vector<uint8_t>(cb.begin(), cb.begin() + 48),
              Le({0x0003, 1, 9, 3, 52, 3, 16, 0, 48, 0, 0, DPPLAYER_LOCAL}));

    // DPMSG_SETSESSIONDESC: type then the 80-byte DPSESSIONDESC2.
    SessionDesc d;
    d.dwFlags = DPSESSION_MIGRATEHOST;
    d.guidApplication = kGuidCfs2;
    d.dwMaxPlayers = 8;
    d.dwUser1 = 0xCAFEBABE;
    d.sessionName = u"S";
    const auto db = EncodeSetSessionDesc(d);
    ASSERT_EQ(db.size(), 84u + 4u);
    EXPECT_EQ(db[4], 80);
    const auto app = kGuidCfs2.bytes();
    EXPECT_TRUE(std::equal(app.begin(), app.end(), db.begin() + 28));
    EXPECT_EQ(db[52], 84);  // lpszSessionName -> just after the structure
    EXPECT_EQ(db[68], 0xBE);
}

TEST(SysMsg, DecodersReadBackWhatWasEncoded) {
    SysDestroyPlayerOrGroup m{DPPLAYERTYPE_PLAYER, 42, {9, 8, 7}, {1}, {}, 0, 0};
    m.name.shortName = u"pilot";
    m.name.longName = u"xx[]C";
    EXPECT_EQ(DecodeDestroyPlayerOrGroup(EncodeDestroyPlayerOrGroup(m)), m);

    SysCreatePlayerOrGroup c{DPPLAYERTYPE_GROUP, 5, 2, {}, {}, 0, 0};
    c.name.shortName = u"Red";
    EXPECT_EQ(DecodeCreatePlayerOrGroup(EncodeCreatePlayerOrGroup(c)), c);

    SessionDesc d;
    d.sessionName = u"Name";
    d.password = u"";
    d.dwUser4 = 77;
    EXPECT_EQ(DecodeSetSessionDesc(EncodeSetSessionDesc(d)), d);

    uint32_t type = 0;
    EXPECT_EQ(DecodeGroupMembership(EncodeGroupMembership(DPSYS_DELETEPLAYERFROMGROUP, {3, 4}), &type),
              (SysGroupMembership{3, 4}));
    EXPECT_EQ(type, DPSYS_DELETEPLAYERFROMGROUP);
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
    bad = good;
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

    EXPECT_FALSE(DecodeGroupMembership(Le({0x0007, 1})));
    EXPECT_FALSE(DecodeSetSessionDesc(Le({0x0104, 80})));
    EXPECT_FALSE(SysMessageType(std::vector<uint8_t>{3, 0, 0}));
}

}  // namespace qd
