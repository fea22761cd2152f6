#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "protocol/compress.h"
#include "protocol/messages.h"

namespace qd {
namespace {

// Bytes from bits listed in the order they are written (spaces ignored), LSB first.
std::vector<uint8_t> FromBits(const std::string& bits) {
    std::vector<uint8_t> out;
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
const std::string kMark = "1011111111111111 ";  // 0xFFFD

std::vector<uint8_t> Of(const std::string& s) { return {s.begin(), s.end()}; }

// Checks both compressors against the expected stream, and that it decodes back.
void ExpectStream(const std::vector<uint8_t>& content, const std::vector<uint8_t>& expected) {
    EXPECT_EQ(CompressNaive(content), expected);
    EXPECT_EQ(CompressFast(content), expected);
    EXPECT_EQ(Decompress(expected, content.size()), content);
}

// Filler whose 3-byte sequences never repeat and never contain bytes below 0x80.
std::vector<uint8_t> Filler(std::size_t n) {
    std::vector<uint8_t> f;
    for (std::size_t j = 0; f.size() < n; ++j) {
        f.push_back(uint8_t(0x80 + j % 128));
        f.push_back(uint8_t(0x80 + j / 128));
        f.push_back(0xFF);
    }
    f.resize(n);
    return f;
}

}  // namespace

TEST(Compress, ExamplesByteExact) {
    ExpectStream(Of("aaaa"), {0xC2, 0x09, 0xF6, 0xFF, 0x03});
    ExpectStream({0x0D, 0x0A}, {0x1A, 0x14, 0xFD, 0xFF});
    ExpectStream({}, {0xFD, 0xFF});

    // 512 equal bytes: a literal, one match to the block end, the block mark, the final mark.
    const std::vector<uint8_t> zeros(512, 0);
    ExpectStream(zeros, FromBits(Literal(0) + "10 0" + Bits(1, 6) + "000000001" + Bits(509, 8) + kMark + kMark));
    // A second block may reach back into the first but ends at its own end.
    ExpectStream(std::vector<uint8_t>(1024 + 2, 0),
                 FromBits(Literal(0) + "10 0" + Bits(1, 6) + "000000001" + Bits(509, 8) + kMark +  //
                          "10 0" + Bits(1, 6) + "000000001" + Bits(510, 8) + kMark +              //
                          Literal(0) + Literal(0) + kMark));
}

TEST(Compress, DistanceFormsAndWindowEdge) {
    auto withRepeatAt = [](std::size_t distance) {
        std::vector<uint8_t> c = Of("abc");
        const auto f = Filler(distance - 3);
        c.insert(c.end(), f.begin(), f.end());
        c.insert(c.end(), {'a', 'b', 'c'});
        return c;
    };
    auto literals = [](const std::vector<uint8_t>& c, std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i) s += Literal(c[i]);
        return s;
    };
    const auto c63 = withRepeatAt(63), c64 = withRepeatAt(64), c320 = withRepeatAt(320);
    ExpectStream(c63, FromBits(literals(c63, 63) + "10 0" + Bits(63, 6) + "1" + kMark));
    ExpectStream(c64, FromBits(literals(c64, 64) + "10 10" + Bits(0, 8) + "1" + kMark));
    ExpectStream(c320, FromBits(literals(c320, 320) + "10 11" + Bits(0, 12) + "1" + kMark));
    const auto c319 = withRepeatAt(319);
    ExpectStream(c319, FromBits(literals(c319, 319) + "10 10" + Bits(255, 8) + "1" + kMark));

    // 4159 back is the farthest start; one more and the repeat is coded as literals.
    const auto in = withRepeatAt(4159), out = withRepeatAt(4160);
    const auto inStream = CompressNaive(in), outStream = CompressNaive(out);
    EXPECT_EQ(CompressFast(in), inStream);
    EXPECT_EQ(CompressFast(out), outStream);
    EXPECT_EQ(Decompress(inStream, in.size()), in);
    EXPECT_EQ(Decompress(outStream, out.size()), out);
    // A 17-bit match against three literals (24 bits) plus one more 9-bit filler byte.
    const std::size_t blockMarks = 16 * 8;
    const std::size_t fillerBits = 3 * 8 + 4156 * 9 + blockMarks;
    EXPECT_EQ(inStream.size(), (fillerBits + 17 + 16 + 7) / 8);
    EXPECT_EQ(outStream.size(), (fillerBits + 9 + 24 + 16 + 7) / 8);
}

TEST(Compress, NearestStartWinsAmongEqualLengths) {
    // At "abc" the last time, both earlier copies match 3 bytes: distance 4 is taken.
    const auto c = Of("abcXabcYabc");
    std::string bits;
    for (int i = 0; i < 4; ++i) bits += Literal(c[i]);
    bits += "10 0" + Bits(4, 6) + "1";  // "abc" again, nearest copy at 4
    bits += Literal('Y');
    bits += "10 0" + Bits(4, 6) + "1";
    ExpectStream(c, FromBits(bits + kMark));
    // A longer match farther back beats a nearer shorter one.
    const auto d = Of("abcdXabcYabcd");
    const auto s = CompressNaive(d);
    EXPECT_EQ(CompressFast(d), s);
    EXPECT_EQ(Decompress(s, d.size()), d);
}

TEST(Compress, FastMatchesNaiveOnMixedContent) {
    std::mt19937 rng(7);
    for (std::size_t size : {1u, 3u, 511u, 513u, 1500u, 5000u, 9000u}) {
        for (int alphabet : {2, 4, 26, 256}) {
            std::vector<uint8_t> c(size);
            for (auto& b : c) b = uint8_t('a' + rng() % alphabet);
            const auto s = CompressNaive(c);
            ASSERT_EQ(CompressFast(c), s) << size << " bytes over " << alphabet;
            ASSERT_EQ(Decompress(s, c.size()), c);
        }
    }
}

TEST(Compress, DecompressRefusesDamagedStreams) {
    const auto c = Of("abcabcabcabc-hello-hello");
    const auto s = CompressFast(c);
    EXPECT_FALSE(Decompress(s, c.size() + 1));                              // mark where a byte belongs
    EXPECT_FALSE(Decompress(std::span(s.data(), s.size() - 1), c.size()));  // truncated
    auto longer = s;
    longer.push_back(0);
    EXPECT_FALSE(Decompress(longer, c.size()));                               // trailing byte
    EXPECT_FALSE(Decompress(FromBits("10 0" + Bits(1, 6) + "1" + kMark), 3));  // reaches before the start
}

TEST(DamageProfile, MessageFromContentAndFile) {
    // Unhittable: CR LF, N = 2, C = 8, 24 bytes in all.
    const auto unhittable = BuildDamageProfileFromFile("objects_dp\\none.dp", "/nonexistent", true);
    ASSERT_TRUE(unhittable);
    EXPECT_EQ(*unhittable, (std::vector<uint8_t>{0x22, 0x10, 0, 0, 10, 0, 0, 0, 2, 0, 0, 0, 8, 0, 0, 0,
                                                 0x4A, 0x4D, 0x00, 0x01, 0x1A, 0x14, 0xFD, 0xFF}));

    const auto dir = std::filesystem::path(QUARNELD_BINARY_DIR) / "protocol_dp_test";
    std::filesystem::create_directories(dir / "objects_dp");
    std::vector<uint8_t> content;
    for (int i = 0; i < 3000; ++i) content.push_back(uint8_t("damage=10,20\r\n"[i % 14]));
    std::ofstream(dir / "objects_dp" / "tank.dp", std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));

    const auto msg = BuildDamageProfileFromFile("objects_dp\\tank.dp", dir, false);
    ASSERT_TRUE(msg);
    const auto decoded = NetDamageProfile::decode(*msg);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->contentLength, 3000u);
    EXPECT_EQ(Decompress(decoded->stream, decoded->contentLength), content);

    std::string error;
    EXPECT_FALSE(BuildDamageProfileFromFile("objects_dp\\gone.dp", dir, false, &error));
    EXPECT_NE(error.find("gone.dp"), std::string::npos) << error;
    EXPECT_FALSE(BuildDamageProfileFromFile("", dir, true, &error));  // no path: nothing built
    std::filesystem::remove_all(dir);
}

}  // namespace qd
