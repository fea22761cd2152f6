#include <gtest/gtest.h>

#include "protocol/compress.h"

namespace qd {
namespace {

using Content = std::vector<uint8_t>;

// Bytes from bits listed in the order they are written (spaces ignored), LSB first.
Content FromBits(const std::string& bits) {
    Content out;
    int n = 0;
    for (char c : bits) {
        if (c == ' ') continue;
        if (n % 8 == 0) out.push_back(0);
        if (c == '1') out.back() |= uint8_t(1u << (n % 8));
        ++n;
    }
    return out;
}

// A value in `count` bits, least significant first.
std::string Bits(uint32_t v, int count) {
    std::string s;
    for (int i = 0; i < count; ++i) s += (v >> i & 1) ? '1' : '0';
    return s;
}

std::string Literal(uint8_t b) { return (b < 128 ? "0" : "11") + Bits(b & 0x7F, 7) + " "; }
// The literal codes of the first n bytes.
std::string Literals(const Content& c, std::size_t n) {
    std::string s;
    for (std::size_t i = 0; i < n; ++i) s += Literal(c[i]);
    return s;
}
const std::string kMark = "1011111111111111 ";  // 0xFFFD
// A match among the 64 nearest starts (a length code follows: "1" for 3 bytes).
std::string Near(uint32_t distance) { return "10 0" + Bits(distance, 6); }

Content Of(const std::string& s) { return {s.begin(), s.end()}; }

// The stream of both compressors, checked to be the same and to decode back.
Content Stream(const Content& content) {
    const Content s = CompressNaive(content);
    EXPECT_EQ(CompressFast(content), s) << content.size() << " bytes";
    EXPECT_EQ(Decompress(s, content.size()), content) << content.size() << " bytes";
    return s;
}
void ExpectStream(const Content& content, const Content& expected) { EXPECT_EQ(Stream(content), expected); }

// "abc", filler whose 3-byte sequences never repeat (and never hold bytes below 0x80),
// then "abc" again `distance` bytes after the first.
Content RepeatAt(std::size_t distance) {
    Content c = Of("abc");
    for (std::size_t j = 0; c.size() < distance; ++j)
        c.insert(c.end(), {uint8_t(0x80 + j % 128), uint8_t(0x80 + j / 128), 0xFF});
    c.resize(distance);
    c.insert(c.end(), {'a', 'b', 'c'});
    return c;
}

}  // namespace

TEST(Compress, ExamplesByteExact) {
    ExpectStream(Of("aaaa"), {0xC2, 0x09, 0xF6, 0xFF, 0x03});
    ExpectStream({0x0D, 0x0A}, {0x1A, 0x14, 0xFD, 0xFF});
    ExpectStream({}, {0xFD, 0xFF});
    // 512 equal bytes: a literal, one match to the block end, the block mark, the final mark.
    const std::string toBlockEnd = Near(1) + "000000001" + Bits(509, 8);
    ExpectStream(Content(512, 0), FromBits(Literal(0) + toBlockEnd + kMark + kMark));
    // A second block may reach back into the first but ends at its own end.
    ExpectStream(Content(1024 + 2, 0), FromBits(Literal(0) + toBlockEnd + kMark + Near(1) + "000000001" + Bits(510, 8) +
                                                 kMark + Literal(0) + Literal(0) + kMark));
}

TEST(Compress, DistanceFormsAndWindowEdge) {
    const std::pair<std::size_t, std::string> forms[] = {
        {63, Near(63)},
        {64, "10 10" + Bits(0, 8)},
        {319, "10 10" + Bits(255, 8)},
        {320, "10 11" + Bits(0, 12)},
    };
    for (const auto& [distance, code] : forms) {
        const Content c = RepeatAt(distance);
        ExpectStream(c, FromBits(Literals(c, distance) + code + "1" + kMark));
    }
    // 4159 back is the farthest start: a 17-bit match against three literals (24 bits)
    // plus one more 9-bit filler byte.
    const std::size_t fillerBits = 3 * 8 + 4156 * 9 + 16 * 8;  // and the 8 block marks
    EXPECT_EQ(Stream(RepeatAt(4159)).size(), (fillerBits + 17 + 16 + 7) / 8);
    EXPECT_EQ(Stream(RepeatAt(4160)).size(), (fillerBits + 9 + 24 + 16 + 7) / 8);
}

TEST(Compress, NearestStartWinsAmongEqualLengths) {
    // At "abc" the last time, both earlier copies match 3 bytes: distance 4 is taken.
    const Content c = Of("abcXabcYabc");
    ExpectStream(c, FromBits(Literals(c, 4) + Near(4) + "1" + Literal('Y') + Near(4) + "1" + kMark));
}

TEST(Compress, DecompressRefusesDamagedStreams) {
    const auto c = Of("abcabcabcabc-hello-hello");
    const auto s = CompressFast(c);
    EXPECT_FALSE(Decompress(s, c.size() + 1));                              // mark where a byte belongs
    EXPECT_FALSE(Decompress(std::span(s.data(), s.size() - 1), c.size()));  // truncated
    auto longer = s;
    longer.push_back(0);
    EXPECT_FALSE(Decompress(longer, c.size()));                              // trailing byte
    EXPECT_FALSE(Decompress(FromBits(Near(1) + "1" + kMark), 3));            // reaches before the start
}

}  // namespace qd
