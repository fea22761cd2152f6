#include <gtest/gtest.h>

#include "session/data_access.h"
#include "session_fixture.h"

namespace qd {
using namespace qd::test;

namespace {
struct Fixture {
    HostContext ctx;
    std::shared_ptr<Engine> engine = OpenEngine();
    AutoResetEvent ev;
    Fixture() { ctx.directPlay = engine; }
    DPID Local(std::u16string name) {
        DPID id = 0;
        engine->CreatePlayer(&id, Name(name, u"AJ[]F4F[]G"), &ev, {}, 0);
        return id;
    }
};
}  // namespace

TEST(DataAccess, PlayerRecordsReadAsZerosNoRecordOrWhatWasStored) {
    Fixture f;
    DataAccess da(f.ctx);
    const DPID a = f.Local(u"a"), b = f.Local(u"b");

    const auto fresh = da.GetPlayerRecord(a);
    ASSERT_TRUE(fresh);
    EXPECT_EQ(*fresh, PlayerRecord{});  // never stored: zeros, kind 0
    EXPECT_FALSE(da.GetPlayerRecord(0x99));  // unknown player: no record

    PlayerRecord ra;
    ra.kind = kKindHostObject;
    ra.object = 1;
    PlayerRecord rb;
    rb.kind = kKindClient;
    rb.teamSlot = 3;
    ASSERT_EQ(da.PutPlayerRecord(a, ra), S_OK);
    ASSERT_EQ(da.PutPlayerRecord(b, rb), S_OK);
    // Two reads in a row each give their own player's record.
    const auto first = da.GetPlayerRecord(a);
    const auto second = da.GetPlayerRecord(b);
    EXPECT_EQ(first, ra);
    EXPECT_EQ(second, rb);

    // Stored as 52 bytes of local data, fields in order.
    uint8_t raw[52];
    uint32_t size = sizeof raw;
    ASSERT_EQ(f.engine->GetPlayerData(b, raw, &size, DPGET_LOCAL), S_OK);
    EXPECT_EQ(size, 52u);
    EXPECT_EQ(raw[0], 2);
    EXPECT_EQ(raw[32], 3);  // teamSlot, the ninth field

    // Data larger than a record is no record.
    f.engine->SetPlayerData(b, std::vector<uint8_t>(53, 1), DPSET_LOCAL);
    EXPECT_FALSE(da.GetPlayerRecord(b));
}

TEST(DataAccess, InitPlayerRecordMakesAWaitingClientOnlyOnce) {
    Fixture f;
    DataAccess da(f.ctx, 2);
    const DPID a = f.Local(u"a"), b = f.Local(u"b"), c = f.Local(u"c");

    ASSERT_EQ(da.InitPlayerRecord(a), S_OK);
    const auto r = da.GetPlayerRecord(a);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->kind, kKindClient);
    EXPECT_EQ(r->status, kStatusWaiting);
    ASSERT_NE(r->lastMotion, 0u);
    ASSERT_TRUE(da.Motion(r->lastMotion));
    EXPECT_EQ(*da.Motion(r->lastMotion), MotionBuffer{});

    // A host object's record (kind 1) is left alone.
    PlayerRecord host;
    host.kind = kKindHostObject;
    host.status = kStatusReady;
    da.PutPlayerRecord(b, host);
    EXPECT_EQ(da.InitPlayerRecord(b), S_OK);
    EXPECT_EQ(da.GetPlayerRecord(b), host);

    // An unknown player: the error, and no buffer kept for nobody.
    EXPECT_EQ(da.InitPlayerRecord(0x99), DPERR_INVALIDPLAYER);
    EXPECT_EQ(da.MotionBuffersInUse(), 1u);

    // The table is bounded; released buffers are reused.
    EXPECT_EQ(da.InitPlayerRecord(c), S_OK);
    EXPECT_EQ(da.MotionBuffersInUse(), 2u);
    const DPID d = f.Local(u"d");
    EXPECT_EQ(da.InitPlayerRecord(d), S_OK);
    EXPECT_EQ(da.GetPlayerRecord(d)->lastMotion, 0u);
    da.ReleaseMotion(r->lastMotion);
    EXPECT_FALSE(da.Motion(r->lastMotion));
    const DPID g = f.Local(u"g");
    da.InitPlayerRecord(g);
    EXPECT_EQ(da.GetPlayerRecord(g)->lastMotion, r->lastMotion);
}

TEST(DataAccess, TeamGroupRecordsAreTwentyBytesOfLocalGroupData) {
    Fixture f;
    DataAccess da(f.ctx);
    DPID g = 0;
    f.engine->CreateGroup(&g, Name(u"Red", u""), {}, 0);
    EXPECT_EQ(da.GetTeamGroupRecord(g), TeamGroupRecord{});
    EXPECT_FALSE(da.GetTeamGroupRecord(0x99));
    const TeamGroupRecord t{2, 0, 0, 0x3, 5};
    ASSERT_EQ(da.PutTeamGroupRecord(g, t), S_OK);
    EXPECT_EQ(da.GetTeamGroupRecord(g), t);
    uint8_t raw[20];
    uint32_t size = sizeof raw;
    ASSERT_EQ(f.engine->GetGroupData(g, raw, &size, DPGET_LOCAL), S_OK);
    EXPECT_EQ(size, 20u);
    EXPECT_EQ(raw[12], 3);
    EXPECT_EQ(raw[16], 5);
}

TEST(DataAccess, SetPlayerLongNameRenamesThroughDirectPlay) {
    Fixture f;
    DataAccess da(f.ctx);
    const DPID a = f.Local(u"tgt"), b = f.Local(u"tgt2");
    ReceiveAll(*f.engine);

    EXPECT_EQ(da.SetPlayerLongName(0x99, u"AJ[]x[]F"), DPERR_INVALIDPLAYER);
    EXPECT_TRUE(ReceiveAll(*f.engine).empty());

    ASSERT_EQ(da.SetPlayerLongName(a, u"AJ[]F4F[]F"), S_OK);
    DpName n;
    ASSERT_EQ(da.GetPlayerNames(a, n), S_OK);
    EXPECT_EQ(n.shortName, u"tgt");
    EXPECT_EQ(n.longName, u"AJ[]F4F[]F");
    const auto got = ReceiveAll(*f.engine);
    ASSERT_EQ(got.size(), 2u);  // every local player hears of it
    EXPECT_EQ(got[0].to, b);
    EXPECT_EQ(got[1].to, a);
    EXPECT_EQ(DecodeSetName(got[1].bytes)->name.longName, u"AJ[]F4F[]F");
}

TEST(DataAccess, WideAndNarrowCopies) {
    EXPECT_EQ(WideCopy("Ab"), (std::u16string{0x0041, 0x0062}));
    EXPECT_EQ(WideCopy(std::string("\xE9")), std::u16string(1, char16_t(0xFFE9)));
    EXPECT_EQ(NarrowCopy(WideCopy(std::string("\xE9"))), "\xE9");
    EXPECT_EQ(NarrowCopy(std::u16string{u'a', 0x0100, u'b'}), "a");
    EXPECT_EQ(NarrowCopy(std::u16string{u'a', 0x0141}), "aA");  // low byte only
    EXPECT_EQ(WideCopy(std::string("x\0y", 3)), u"x");
    EXPECT_FALSE(WideCopyOrNull(std::optional<std::string>{}));
    EXPECT_FALSE(NarrowCopyOrNull(std::optional<std::u16string>{}));
    std::string all;
    for (int i = 1; i < 256; ++i) all.push_back(static_cast<char>(i));
    EXPECT_EQ(NarrowCopy(WideCopy(all)), all);
}

}  // namespace qd
