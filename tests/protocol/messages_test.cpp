#include <gtest/gtest.h>

#include <cmath>

#include "protocol/messages.h"

namespace qd {
namespace {

Bytes B(std::initializer_list<int> v) {
    Bytes b;
    for (int x : v) b.push_back(static_cast<uint8_t>(x));
    return b;
}

// One filled value of every message type.
std::vector<NetMessage> Samples() {
    NetHits hits;
    hits.entries.resize(2);
    hits.entries[0].raw = {1, 0, 0, 0, 9, 9, 5, 9, 9, 9, 9, 9};
    hits.entries[1].raw = {0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0};
    NetMotion motion;
    motion.sequence = 3;
    motion.velocity[15] = 0xAB;
    motion.position = PackPosition(-1.5, 1.25, 2.0, 10, 20);
    return {NetNameReply{0, "F4U Corsair"},
            NetNameRequest{},
            NetObjectDestroyed{0x1234},
            NetTimeSync{1, 2, 3},
            NetPosition{9, 8, PackPosition(1, 2, 3, 4, 5)},
            motion,
            NetObjectHeader{10, 20, 0x10005, "Tank"},
            NetObjectBody{B({1, 2, 3, 0, 5})},
            NetLaunch{0x1E0D, 1, 77, 0x40000000},
            NetKill{0, 99},
            NetProbe{},
            NetProbeReply{},
            NetJoinTeam{0x55},
            NetJoinRefused{},
            NetBackInReadyRoom{},
            NetPauseRequest{},
            NetPauseState{NetPauseState::kToNewcomer, 1},
            NetObjectDataRequest{},
            NetDamageProfile{2, B({0x1A, 0x14, 0xFD, 0xFF})},
            NetText{kTextChat, "hello"},
            hits,
            NetEffect{Bytes(400, 0)}};
}

}  // namespace

TEST(Packing, FractionsAndAttitudeAsTheExamplesGiveThem) {
    EXPECT_EQ(SplitCoordinate(-1.5), (SplitValue{-1, 0x8000}));
    EXPECT_EQ(SplitCoordinate(1.25), (SplitValue{1, 0x4000}));
    EXPECT_EQ(SplitCoordinate(-0.25), (SplitValue{0, 0xC000}));
    EXPECT_EQ(SplitCoordinate(5.0), (SplitValue{5, 0}));
    // Out-of-range and NaN values clamp instead of converting undefinedly.
    EXPECT_EQ(SplitCoordinate(1e12).whole, INT32_MAX);
    EXPECT_EQ(SplitCoordinate(-1e12).whole, INT32_MIN);
    EXPECT_EQ(SplitCoordinate(std::nan("")), (SplitValue{0, 0}));

    EXPECT_EQ(AngleCode(-90), 767u);  // 270 x 1023 / 360 = 767.25
    EXPECT_EQ(AngleCode(360), 1023u);
    EXPECT_EQ(AngleCode(720), 1023u);  // brought down while above 360 only
    EXPECT_EQ(AngleCode(-360), 0u);
    EXPECT_EQ(AngleCode(0.3), 0u);
    EXPECT_EQ(AngleCode(1e300), AngleCode(std::fmod(1e300, 360.0)));
    EXPECT_EQ(AngleCode(INFINITY), 0u);
    EXPECT_EQ(AttitudeWord(0, -90), 767u << 2);
    EXPECT_EQ(AttitudeWord(5, 0), 14u << 22);
    EXPECT_EQ(AttitudeWord(-0.1, -0.1) & 0x003FF003u, 0u);  // unused bits stay clear
}

TEST(Packing, LaunchTimeOfDayAndTurnFraction) {
    EXPECT_EQ(TimeOfDayWord(13 * 3600 + 30 * 60, false), 0x00001E0Du);
    EXPECT_EQ(TimeOfDayWord(13 * 3600 + 30 * 60, true), 0x00001E0Cu);
    EXPECT_EQ(TimeOfDayWord(15 * 60, true), 0x00000F17u);  // hour 23
    EXPECT_EQ(TimeOfDayWord(23 * 3600 + 59 * 60 + 58, false), 0x003A3B17u);
    EXPECT_EQ(TimeOfDayWord(-60, false), TimeOfDayWord(86400 - 60, false));
    const uint32_t slots[] = {0, 1073741823u, 2147483647u, 3221225471u};
    for (int n = 1; n <= 4; ++n) EXPECT_EQ(TurnFraction((n - 1) / 4.0), slots[n - 1]);
    EXPECT_EQ(TurnFraction(1.0), 0xFFFFFFFFu);
    EXPECT_EQ(TurnFraction(450.0 / 360), TurnFraction(90.0 / 360));
    EXPECT_EQ(TurnFraction(std::nan("")), 0u);
    EXPECT_EQ(TurnFraction(1.0 / 0.0), 0u);
}

TEST(Messages, ByteExactLayouts) {
    NetPosition pos{0x11223344, 7, PackPosition(-1.5, 1.25, 100, 5, -90)};
    EXPECT_EQ(pos.encode(), B({0x0A, 0x10, 0, 0, 32, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 7, 0, 0, 0,
                               0xFC, 0x0B, 0x80, 0x03, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 100, 0, 0, 0,
                               0x00, 0x80, 0x00, 0x40, 0, 0, 0, 0}));

    NetMotion motion;
    motion.sequence = 5;
    motion.tick = 6;
    motion.position = pos.position;
    const Bytes m = motion.encode();
    ASSERT_EQ(m.size(), 56u);
    EXPECT_EQ(Bytes(m.begin(), m.begin() + 16), B({0x0B, 0x10, 0, 0, 48, 0, 0, 0, 5, 0, 0, 0, 6, 0, 0, 0}));
    EXPECT_EQ(Bytes(m.begin() + 16, m.begin() + 32), Bytes(16, 0));
    const Bytes p = pos.encode();
    EXPECT_EQ(Bytes(m.begin() + 32, m.end()), Bytes(p.begin() + 16, p.end()));

    EXPECT_EQ((NetNameReply{0, "F4U"}.encode()),
              B({0x01, 0x10, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 'F', '4', 'U', 0}));
    EXPECT_EQ((NetText{kTextNotice, "hi"}.encode()), B({0x25, 0x10, 0, 0, 7, 0, 0, 0, 2, 0, 0, 0, 'h', 'i', 0}));
    EXPECT_EQ((NetText{kTextNotice, std::string("a\0b", 3)}.encode()), (NetText{kTextNotice, "a"}.encode()));
    EXPECT_EQ(NetJoinRefused{}.encode(), B({0x1D, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(NetNameRequest{}.encode(), B({0x02, 0x10, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(NetProbeReply{}.encode(), B({0x1B, 0x10, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ((NetPauseState{NetPauseState::kToNewcomer, 1}.encode()),
              B({0x20, 0x10, 0, 0, 8, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}));
    EXPECT_EQ((NetKill{0, 0x0102}.encode()), B({0x16, 0x10, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 2, 1, 0, 0}));
    EXPECT_EQ((NetLaunch{0x1E0D, 1, 0x33, 0xBFFFFFFF}.encode()),
              B({0x12, 0x10, 0, 0, 16, 0, 0, 0, 0x0D, 0x1E, 0, 0, 1, 0, 0, 0, 0x33, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xBF}));
    EXPECT_EQ((NetTimeSync{1, 2, 3}.encode()),
              B({0x09, 0x10, 0, 0, 12, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0}));

    const Bytes h = NetObjectHeader{10, 20, 0x10005, "Tank"}.encode();
    ASSERT_EQ(h.size(), 4u + 65);
    auto u32at = [&](const Bytes& b, std::size_t at) {
        return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 | uint32_t(b[at + 3]) << 24;
    };
    const std::pair<std::size_t, uint32_t> words[] = {{0, 0x100C}, {4, 61},       {8, 30}, {12, 1}, {36, 10},
                                                      {44, 20},   {48, 0x10005}, {52, 1}, {60, 5}};
    for (auto [at, value] : words) EXPECT_EQ(u32at(h, at), value) << "offset " << at;
    EXPECT_EQ(std::string(h.begin() + 64, h.end()), std::string("Tank\0", 5));

    EXPECT_EQ(NetObjectBody{B({7, 8})}.encode(),
              B({0x0D, 0x10, 0, 0, 10, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 7, 8, 0}));
}

TEST(Messages, EveryTypeRoundTripsAndRefusesTruncationOrWrongSize) {
    for (const NetMessage& sample : Samples()) {
        const Bytes bytes = EncodeNetMessage(sample);
        SCOPED_TRACE(testing::Message() << "type 0x" << std::hex << *PeekNetType(bytes));
        auto back = DecodeNetMessage(bytes);
        ASSERT_TRUE(back.has_value());
        EXPECT_EQ(back->index(), sample.index());
        EXPECT_EQ(EncodeNetMessage(*back), bytes);
        for (std::size_t len = 0; len < bytes.size(); ++len)
            EXPECT_FALSE(DecodeNetMessage(ByteSpan(bytes.data(), len))) << "prefix " << len;
        for (int delta : {-1, 1}) {
            Bytes wrong = bytes;
            wrong[4] = static_cast<uint8_t>(wrong[4] + delta);
            EXPECT_FALSE(DecodeNetMessage(wrong)) << "size field off by " << delta;
        }
    }
    EXPECT_FALSE(DecodeNetMessage(B({0x99, 0x10, 0, 0, 0, 0, 0, 0})));  // unknown type
    EXPECT_FALSE(DecodeNetMessage(B({1, 2, 3})));                     // no whole header
}

TEST(Messages, ClientMessagesAsReceived) {
    // A time sync under 20 bytes is refused, even with a consistent size field.
    EXPECT_FALSE(NetTimeSync::decode(B({0x09, 0x10, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0})));
    // Fields the host never reads may follow; they are accepted and left out.
    auto destroyed = NetObjectDestroyed::decode(B({0x04, 0x10, 0, 0, 8, 0, 0, 0, 0x21, 0, 0, 0, 9, 9, 9, 9}));
    ASSERT_TRUE(destroyed);
    EXPECT_EQ(destroyed->objectId, 0x21u);
    auto text = NetText::decode(B({0x25, 0x10, 0, 0, 7, 0, 0, 0, 9, 0, 0, 0, 'o', 'k', 0}));
    ASSERT_TRUE(text);
    EXPECT_EQ(text->text, "ok");
    EXPECT_EQ(text->kind, 9u);
    // A text without its terminator is refused.
    EXPECT_FALSE(NetText::decode(B({0x25, 0x10, 0, 0, 6, 0, 0, 0, 1, 0, 0, 0, 'o', 'k'})));
    // An effect must have one of the two lengths.
    EXPECT_FALSE(NetEffect::decode(NetEffect{Bytes(390, 0)}.encode()));
    EXPECT_EQ(NetEffect::decode(NetEffect{Bytes(384, 0)}.encode())->simulatorVersion(), 1);
}

TEST(Messages, HitsCountMustFitTheDatagram) {
    auto hits = [](uint32_t count, std::size_t entries) {
        Bytes b = B({0x03, 0x00, 0x02, 0x00});
        const uint32_t size = uint32_t(4 + 12 * entries);
        for (int k = 0; k < 4; ++k) b.push_back(uint8_t(size >> (8 * k)));
        for (int k = 0; k < 4; ++k) b.push_back(uint8_t(count >> (8 * k)));
        for (std::size_t i = 0; i < entries; ++i) {
            const Bytes e = B({int(i + 1), 0, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0});  // (i+2) hits of 10
            b.insert(b.end(), e.begin(), e.end());
        }
        return b;
    };
    auto two = NetHits::decode(hits(2, 2));
    ASSERT_TRUE(two);
    EXPECT_EQ(two->entries.size(), 2u);
    EXPECT_EQ(two->entries[1].repeatCount(), 2u);
    EXPECT_EQ(two->totalDamage(), 20u + 30u);
    EXPECT_TRUE(NetHits::decode(hits(0, 0)));
    EXPECT_TRUE(NetHits::decode(hits(1, 2)));  // fewer claimed than present: the rest unread
    EXPECT_FALSE(NetHits::decode(hits(3, 2)));
    EXPECT_FALSE(NetHits::decode(hits(0xFFFFFFFFu, 2)));
    EXPECT_FALSE(NetHits::decode(hits(0x15555556u, 2)));  // 12 x count wraps 32 bits to 8

    NetHits::Entry wrap;
    wrap.raw = {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 200, 0, 0, 0, 0, 0};
    EXPECT_EQ(wrap.damage(), 0u);  // repeat count + 1 wraps, as the 32-bit counter does
}

}  // namespace qd
