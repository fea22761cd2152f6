#include <gtest/gtest.h>

#include "session/data_access.h"
#include "session_fixture.h"

namespace qd {
using namespace qd::test;

namespace {
struct Access : EngineRig {
    HostContext ctx;
    DataAccess da;
    explicit Access(std::size_t maxMotionBuffers = 4096) : da(ctx, maxMotionBuffers) { ctx.directPlay = e; }
};
}  // namespace

TEST(DataAccess, PlayerAndTeamRecordsReadAsZerosNoRecordOrWhatWasStored) {
    Access t;
    const DPID a = t.Local(u"a"), b = t.Local(u"b");
    EXPECT_EQ(t.da.GetPlayerRecord(a), PlayerRecord{});  // never stored: zeros, kind 0
    EXPECT_FALSE(t.da.GetPlayerRecord(0x99));            // unknown player: no record

    const PlayerRecord ra{.kind = kKindHostObject, .object = 1}, rb{.kind = kKindClient, .teamSlot = 3};
    ASSERT_EQ(t.da.PutPlayerRecord(a, ra), S_OK);
    ASSERT_EQ(t.da.PutPlayerRecord(b, rb), S_OK);
    // Two reads in a row each give their own player's record.
    const auto first = t.da.GetPlayerRecord(a);
    EXPECT_EQ(t.da.GetPlayerRecord(b), rb);
    EXPECT_EQ(first, ra);

    // Stored as 52 bytes of local data, fields in order.
    uint8_t raw[52];
    uint32_t size = sizeof raw;
    ASSERT_EQ(t.e->GetPlayerData(b, raw, &size, DPGET_LOCAL), S_OK);
    EXPECT_EQ(std::tuple(size, raw[0], raw[32]), std::tuple(52u, 2, 3));  // teamSlot is the ninth field

    // Data larger than a record is no record.
    t.e->SetPlayerData(b, std::vector<uint8_t>(53, 1), DPSET_LOCAL);
    EXPECT_FALSE(t.da.GetPlayerRecord(b));

    // A team's record is 20 bytes of local group data.
    DPID g = 0;
    t.e->CreateGroup(&g, Name(u"Red", u""), {}, 0);
    EXPECT_EQ(t.da.GetTeamGroupRecord(g), TeamGroupRecord{});
    EXPECT_FALSE(t.da.GetTeamGroupRecord(0x99));
    const TeamGroupRecord team{2, 0, 0, 0x3, 5};
    ASSERT_EQ(t.da.PutTeamGroupRecord(g, team), S_OK);
    EXPECT_EQ(t.da.GetTeamGroupRecord(g), team);
    size = 20;
    ASSERT_EQ(t.e->GetGroupData(g, raw, &size, DPGET_LOCAL), S_OK);
    EXPECT_EQ(std::tuple(size, raw[0], raw[12], raw[16]), std::tuple(20u, 2, 3, 5));
    EXPECT_EQ(t.da.SetPlayerLongName(0x99, u"AJ[]x[]F"), DPERR_INVALIDPLAYER);
}

TEST(DataAccess, InitPlayerRecordMakesAWaitingClientOnlyOnce) {
    Access t(2);
    const DPID a = t.Local(u"a"), b = t.Local(u"b"), c = t.Local(u"c");

    // A waiting client with a motion buffer, released when it leaves: tests/protocol GameTest.
    ASSERT_EQ(t.da.InitPlayerRecord(a), S_OK);
    const auto r = t.da.GetPlayerRecord(a);
    ASSERT_TRUE(r && t.da.Motion(r->lastMotion));

    // A host object's record (kind 1) is left alone.
    const PlayerRecord host{.kind = kKindHostObject, .status = kStatusReady};
    t.da.PutPlayerRecord(b, host);
    EXPECT_EQ(t.da.InitPlayerRecord(b), S_OK);
    EXPECT_EQ(t.da.GetPlayerRecord(b), host);

    // An unknown player: the error, and no buffer kept for nobody.
    EXPECT_EQ(t.da.InitPlayerRecord(0x99), DPERR_INVALIDPLAYER);
    EXPECT_EQ(t.da.MotionBuffersInUse(), 1u);

    // The table is bounded; released buffers are reused.
    EXPECT_EQ(t.da.InitPlayerRecord(c), S_OK);
    EXPECT_EQ(t.da.MotionBuffersInUse(), 2u);
    const DPID d = t.Local(u"d");
    EXPECT_EQ(t.da.InitPlayerRecord(d), S_OK);
    EXPECT_EQ(t.da.GetPlayerRecord(d).value().lastMotion, 0u);
    t.da.ReleaseMotion(r->lastMotion);
    EXPECT_FALSE(t.da.Motion(r->lastMotion));
    const DPID g = t.Local(u"g");
    t.da.InitPlayerRecord(g);
    EXPECT_EQ(t.da.GetPlayerRecord(g).value().lastMotion, r->lastMotion);
}

// Widening sign-extends; narrowing keeps the low byte and stops at the first zero.
TEST(DataAccess, WideAndNarrowCopies) {
    EXPECT_EQ(WideCopy(std::string("A\xE9")), (std::u16string{0x0041, 0xFFE9}));
    EXPECT_EQ(NarrowCopy(std::u16string{u'a', 0x0141, 0x0100, u'b'}), "aA");
    EXPECT_EQ(WideCopy(std::string("x\0y", 3)), u"x");
    EXPECT_FALSE(WideCopyOrNull(std::optional<std::string>{}) || NarrowCopyOrNull(std::optional<std::u16string>{}));
    std::string all;
    for (int i = 1; i < 256; ++i) all.push_back(static_cast<char>(i));
    EXPECT_EQ(NarrowCopy(WideCopy(all)), all);
}

}  // namespace qd
