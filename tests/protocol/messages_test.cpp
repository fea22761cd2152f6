#include <gtest/gtest.h>

#include <cmath>

#include "protocol/bytes.h"
#include "protocol/messages.h"

namespace qd {

TEST(Packing, FractionsAttitudeTimeOfDayAndTurnFraction) {
    // Out-of-range and NaN values clamp instead of converting undefinedly.
    const std::pair<double, SplitValue> coordinates[] = {
        {-1.5, {-1, 0x8000}}, {1.25, {1, 0x4000}}, {-0.25, {0, 0xC000}}, {5.0, {5, 0}}, {std::nan(""), {0, 0}}};
    for (auto [value, split] : coordinates) EXPECT_EQ(SplitCoordinate(value), split) << value;
    EXPECT_EQ(SplitCoordinate(1e12).whole, INT32_MAX);
    EXPECT_EQ(SplitCoordinate(-1e12).whole, INT32_MIN);
    // 270 x 1023 / 360 = 767.25; brought down while above 360 only.
    const std::pair<double, uint32_t> angles[] = {{-90, 767}, {360, 1023}, {720, 1023}, {-360, 0}, {0.3, 0},
                                                  {INFINITY, 0}, {1e300, AngleCode(std::fmod(1e300, 360.0))}};
    for (auto [degrees, code] : angles) EXPECT_EQ(AngleCode(degrees), code) << degrees;
    EXPECT_EQ(AttitudeWord(-0.1, -0.1) & 0x003FF003u, 0u);  // unused bits stay clear

    // 13:30 without daylight time and 00:15 with it are checked where the games launch.
    const std::tuple<int, bool, uint32_t> times[] = {{13 * 3600 + 30 * 60, true, 0x00001E0C},
                                                     {23 * 3600 + 59 * 60 + 58, false, 0x003A3B17},
                                                     {-60, false, TimeOfDayWord(86400 - 60, false)}};
    for (auto [seconds, daylight, word] : times) EXPECT_EQ(TimeOfDayWord(seconds, daylight), word) << seconds;
    const std::pair<double, uint32_t> turns[] = {{0, 0}, {0.25, 1073741823u}, {0.5, 2147483647u}, {0.75, 3221225471u},
                                                 {1.0, 0xFFFFFFFFu}, {450.0 / 360, TurnFraction(0.25)},
                                                 {std::nan(""), 0}, {INFINITY, 0}};
    for (auto [fraction, word] : turns) EXPECT_EQ(TurnFraction(fraction), word) << fraction;
}

// One filled value of every message type, with its exact datagram where the layout is
// given here (the others are checked field by field below or by their own tests).
TEST(Messages, ByteExactRoundTripsAndRefusalOfTruncationOrWrongSize) {
    NetHits hits;
    hits.entries.resize(2);
    hits.entries[0].raw = {1, 0, 0, 0, 9, 9, 5, 9, 9, 9, 9, 9};
    hits.entries[1].raw = {0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0};
    NetMotion motion{5, 6, {}, PackPosition(-1.5, 1.25, 100, 5, -90)};
    motion.velocity[15] = 0xAB;
    const std::pair<NetMessage, Bytes> samples[] = {
        {NetNameReply{0, "F4U"}, {0x01, 0x10, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 'F', '4', 'U', 0}},
        {NetNameRequest{}, {0x02, 0x10, 0, 0, 0, 0, 0, 0}},
        {NetObjectDestroyed{0x1234}, {}},
        {NetTimeSync{1, 2, 3}, {0x09, 0x10, 0, 0, 12, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0}},
        {NetPosition{0x11223344, 7, motion.position},
         {0x0A, 0x10, 0, 0, 32, 0, 0, 0, 0x44, 0x33, 0x22, 0x11, 7, 0, 0, 0, 0xFC, 0x0B, 0x80, 0x03,
          0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 100, 0, 0, 0, 0x00, 0x80, 0x00, 0x40, 0, 0, 0, 0}},
        {motion, {}},
        {NetObjectHeader{10, 20, 0x10005, "Tank"}, {}},
        {NetObjectBody{{7, 8}}, {0x0D, 0x10, 0, 0, 10, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 7, 8, 0}},
        {NetLaunch{0x1E0D, 1, 0x33, 0xBFFFFFFF},
         {0x12, 0x10, 0, 0, 16, 0, 0, 0, 0x0D, 0x1E, 0, 0, 1, 0, 0, 0, 0x33, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xBF}},
        {NetKill{0, 0x0102}, {0x16, 0x10, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 2, 1, 0, 0}},
        {NetProbe{}, {}},
        {NetProbeReply{}, {0x1B, 0x10, 0, 0, 0, 0, 0, 0}},
        {NetJoinTeam{0x55}, {}},
        {NetJoinRefused{}, {0x1D, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
        {NetBackInReadyRoom{}, {}},
        {NetPauseRequest{}, {}},
        {NetPauseState{NetPauseState::kToNewcomer, 1},
         {0x20, 0x10, 0, 0, 8, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0}},
        {NetObjectDataRequest{}, {}},
        {NetDamageProfile{2, {0x1A, 0x14, 0xFD, 0xFF}},
         {0x22, 0x10, 0, 0, 10, 0, 0, 0, 2, 0, 0, 0, 8, 0, 0, 0, 0x4A, 0x4D, 0, 1, 0x1A, 0x14, 0xFD, 0xFF}},
        {NetText{kTextNotice, "hi"}, {0x25, 0x10, 0, 0, 7, 0, 0, 0, 2, 0, 0, 0, 'h', 'i', 0}},
        {hits, {}},
        {NetEffect{Bytes(400, 0)}, {}},
    };
    for (const auto& [sample, exact] : samples) {
        const Bytes bytes = EncodeNetMessage(sample);
        SCOPED_TRACE(testing::Message() << "type 0x" << std::hex << *PeekNetType(bytes));
        EXPECT_EQ(bytes, exact.empty() ? bytes : exact);
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
    EXPECT_FALSE(DecodeNetMessage(Bytes{0x99, 0x10, 0, 0, 0, 0, 0, 0}));  // unknown type
    EXPECT_FALSE(DecodeNetMessage(Bytes{1, 2, 3}));                     // no whole header
    EXPECT_EQ((NetText{kTextNotice, std::string("a\0b", 3)}.encode()), (NetText{kTextNotice, "a"}.encode()));

    // A motion is the position's layout after a sequence, a tick and 16 velocity bytes.
    const Bytes m = motion.encode(), p = std::get<NetPosition>(samples[4].first).encode();
    ASSERT_EQ(m.size(), 56u);
    EXPECT_EQ(Bytes(m.begin(), m.begin() + 16), (Bytes{0x0B, 0x10, 0, 0, 48, 0, 0, 0, 5, 0, 0, 0, 6, 0, 0, 0}));
    EXPECT_EQ(Bytes(m.begin() + 16, m.begin() + 32), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xAB}));
    EXPECT_EQ(Bytes(m.begin() + 32, m.end()), Bytes(p.begin() + 16, p.end()));
    const Bytes h = NetObjectHeader{10, 20, 0x10005, "Tank"}.encode();
    ASSERT_EQ(h.size(), 4u + 65);
    const std::pair<std::size_t, uint32_t> words[] = {{0, 0x100C}, {4, 61},       {8, 30}, {12, 1}, {36, 10},
                                                      {44, 20},   {48, 0x10005}, {52, 1}, {60, 5}};
    for (auto [at, value] : words) EXPECT_EQ(GetU32(h, at), value) << "offset " << at;
    EXPECT_EQ(std::string(h.begin() + 64, h.end()), std::string("Tank\0", 5));
}

TEST(Messages, ClientMessagesAsReceived) {
    // A time sync under 20 bytes is refused, even with a consistent size field.
    EXPECT_FALSE(NetTimeSync::decode(Bytes{0x09, 0x10, 0, 0, 8, 0, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0}));
    // Fields the host never reads may follow; they are accepted and left out.
    auto destroyed = NetObjectDestroyed::decode(Bytes{0x04, 0x10, 0, 0, 8, 0, 0, 0, 0x21, 0, 0, 0, 9, 9, 9, 9});
    ASSERT_TRUE(destroyed);
    EXPECT_EQ(destroyed->objectId, 0x21u);
    // A text without its terminator is refused.
    EXPECT_FALSE(NetText::decode(Bytes{0x25, 0x10, 0, 0, 6, 0, 0, 0, 1, 0, 0, 0, 'o', 'k'}));
    // An effect must have one of the two lengths.
    EXPECT_FALSE(NetEffect::decode(NetEffect{Bytes(390, 0)}.encode()));

    // NET_HITS: (i+2) hits of 10 per entry i; the count claimed must fit the datagram.
    auto hits = [](uint32_t count, std::size_t entries) {
        ByteWriter w;
        w.u32(NET_HITS).u32(uint32_t(4 + 12 * entries)).u32(count);
        for (std::size_t i = 0; i < entries; ++i) w.u32(uint32_t(i + 1)).u16(0).u8(10).u8(0).u32(0);
        return w.take();
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
