#include <gtest/gtest.h>

#include <random>

#include "dplay/vectors.h"
#include "session/dplay/framer.h"

namespace qd::dplay {
namespace {

using testvec::hex;

Bytes concatenatedVectors(std::vector<Bytes>& each) {
    Bytes stream;
    for (const auto& v : testvec::all()) {
        each.push_back(hex(v.bytes));
        stream.insert(stream.end(), each.back().begin(), each.back().end());
    }
    return stream;
}

TEST(StreamFramer, CutsAStreamFedInAnyChunksIntoItsMessages) {
    std::vector<Bytes> expected;
    Bytes stream = concatenatedVectors(expected);
    std::mt19937 rng(1234);
    for (int round = 0; round < 200; ++round) {
        StreamFramer framer;
        std::vector<Bytes> got;
        std::size_t pos = 0;
        while (pos < stream.size()) {
            std::size_t n = std::uniform_int_distribution<std::size_t>(0, 150)(rng);
            n = std::min(n, stream.size() - pos);
            auto st = framer.feed(ByteView(stream).subspan(pos, n), [&](ByteView m) { got.emplace_back(m.begin(), m.end()); });
            ASSERT_EQ(st, StreamFramer::Status::Ok);
            EXPECT_LE(framer.buffered(), framer.limit());
            pos += n;
        }
        EXPECT_EQ(got, expected);
        EXPECT_EQ(framer.buffered(), 0u);
    }
}

TEST(StreamFramer, RefusesSizesItCannotTrustAndStaysRefused) {
    auto refused = [](Bytes b, std::size_t limit = StreamFramer::kDefaultLimit) {
        StreamFramer f(limit);
        int delivered = 0;
        auto st = f.feed(b, [&](ByteView) { ++delivered; });
        EXPECT_EQ(delivered, 0);
        return st == StreamFramer::Status::Refused && f.refused();
    };
    EXPECT_TRUE(refused(hex("13 00 B0 FA")));               // 19: smaller than the prefix
    EXPECT_TRUE(refused(hex("00 00 B0 FA")));               // 0 would never advance
    EXPECT_TRUE(refused(hex("01 00 01 FA")));               // 65537 above the default limit
    EXPECT_TRUE(refused(hex("24 00 B0 FE")));               // unknown token
    EXPECT_TRUE(refused(hex("24 00 B0 FA"), 30));           // a stricter limit
    EXPECT_FALSE(refused(hex("14 00 B0 FA")));              // 20 is a (bare) player message

    StreamFramer f;
    Bytes ping = hex(testvec::kPing);
    int delivered = 0;
    Bytes stream = ping;
    stream.insert(stream.end(), {0x05, 0x00, 0xB0, 0xFA});  // then garbage
    stream.insert(stream.end(), ping.begin(), ping.end());
    EXPECT_EQ(f.feed(stream, [&](ByteView) { ++delivered; }), StreamFramer::Status::Refused);
    EXPECT_EQ(delivered, 1);  // what came before the bad size was still delivered
    EXPECT_EQ(f.feed(ping, [&](ByteView) { ++delivered; }), StreamFramer::Status::Refused);
    EXPECT_EQ(delivered, 1);
}

}  // namespace
}  // namespace qd::dplay
