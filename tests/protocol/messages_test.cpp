#include <gtest/gtest.h>

#include "protocol/bytes.h"
#include "protocol/messages.h"

namespace qd {

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
    // A hit count the datagram cannot hold, also when 12 x count wraps 32 bits to 8.
    for (uint32_t count : {3u, 0x15555556u}) {
        Bytes b = hits.encode();
        PutU32(b, 8, count);
        EXPECT_FALSE(NetHits::decode(b)) << count;
    }
    EXPECT_EQ(TimeOfDayWord(15 * 60, true), 0x00000F17u);  // 00:15 in daylight time: hour 23
}

}  // namespace qd
