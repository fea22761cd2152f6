#include "protocol/compress.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <memory>

#include "protocol/messages.h"

namespace qd {

namespace {

constexpr uint32_t kMinMatch = 3;
constexpr std::size_t kMaxDistanceCode = 320 + 4095;  // also the block mark's distance field

class BitWriter {
public:
    explicit BitWriter(std::size_t reserve) { out_.reserve(reserve); }
    // The low `count` bits of v, least significant first.
    void put(uint32_t v, unsigned count) {
        acc_ |= uint64_t(v & ((count >= 32) ? ~0u : ((1u << count) - 1))) << used_;
        used_ += count;
        while (used_ >= 8) {
            out_.push_back(uint8_t(acc_));
            acc_ >>= 8;
            used_ -= 8;
        }
    }
    std::vector<uint8_t> finish() {
        if (used_) out_.push_back(uint8_t(acc_));
        acc_ = 0;
        used_ = 0;
        return std::move(out_);
    }

private:
    std::vector<uint8_t> out_;
    uint64_t acc_ = 0;
    unsigned used_ = 0;
};

void EmitLiteral(BitWriter& w, uint8_t b) {
    if (b < 128) {
        w.put(0, 1);
    } else {
        w.put(0b11, 2);
    }
    w.put(b & 0x7F, 7);
}

void EmitMatch(BitWriter& w, std::size_t distance, std::size_t length) {
    w.put(0b01, 2);  // bits 1, 0
    const uint32_t d = uint32_t(distance);
    if (d < 64) {
        w.put(0, 1);
        w.put(d, 6);
    } else if (d < 320) {
        w.put(0b01, 2);
        w.put(d - 64, 8);
    } else {
        w.put(0b11, 2);
        w.put(d - 320, 12);
    }
    const uint32_t v = uint32_t(length - 2);
    const unsigned k = unsigned(std::bit_width(v) - 1);
    w.put(1u << k, k + 1);  // k zero bits, then a one
    w.put(v, k);
}

struct Match {
    std::size_t length = 0;
    std::size_t distance = 0;
};

// Drives the block structure; find(pos, maxLength) gives the chosen match at pos.
template <typename Finder>
std::vector<uint8_t> Encode(std::span<const uint8_t> in, Finder&& find) {
    const std::size_t n = in.size();
    // Worst case: 9-bit literals, a mark per block and the final mark.
    BitWriter w(n * 9 / 8 + 2 * (n / kCompressBlock) + 4);
    std::size_t pos = 0;
    while (pos < n) {
        const std::size_t blockEnd = std::min(n, (pos / kCompressBlock + 1) * kCompressBlock);
        const Match m = find(pos, blockEnd - pos);
        if (m.length >= kMinMatch) {
            EmitMatch(w, m.distance, m.length);
            pos += m.length;
        } else {
            EmitLiteral(w, in[pos]);
            pos += 1;
        }
        if (pos % kCompressBlock == 0) w.put(kEndOfBlockMark, 16);
    }
    w.put(kEndOfBlockMark, 16);
    return w.finish();
}

inline std::size_t MatchLength(const uint8_t* a, const uint8_t* b, std::size_t limit) {
    std::size_t len = 0;
    while (len + 8 <= limit) {
        uint64_t x, y;
        std::memcpy(&x, a + len, 8);
        std::memcpy(&y, b + len, 8);
        if (x != y) {
            const uint64_t diff = x ^ y;
            return len + (std::endian::native == std::endian::little ? std::countr_zero(diff)
                                                                       : std::countl_zero(diff)) / 8;
        }
        len += 8;
    }
    while (len < limit && a[len] == b[len]) ++len;
    return len;
}

}  // namespace

std::vector<uint8_t> CompressNaive(std::span<const uint8_t> content) {
    const uint8_t* data = content.data();
    return Encode(content, [&](std::size_t pos, std::size_t maxLength) {
        Match best;
        const std::size_t first = pos > kCompressWindow ? pos - kCompressWindow : 0;
        for (std::size_t s = first; s < pos; ++s) {
            std::size_t len = 0;
            while (len < maxLength && data[s + len] == data[pos + len]) ++len;
            if (len >= best.length) best = {len, pos - s};  // later (nearer) start wins ties
        }
        return best;
    });
}

std::vector<uint8_t> CompressFast(std::span<const uint8_t> content) {
    const uint8_t* data = content.data();
    const std::size_t n = content.size();
    const std::size_t starts = n >= kMinMatch ? n - kMinMatch + 1 : 0;  // starts with 3 bytes

    // back[p]: how far back the nearest earlier start in p's 3-byte bucket lies, 0 when
    // there is none within the window. Built in one pass up front, so a search at p
    // simply follows back from p. The window holds 4159 starts, so a small table keeps
    // buckets apart and stays in cache, and 16-bit steps halve the chain's memory.
    constexpr unsigned kHashBits = 13;
    static_assert(kCompressWindow < 65536);
    std::unique_ptr<uint16_t[]> back(new uint16_t[std::max<std::size_t>(starts, 1)]);
    {
        std::vector<int32_t> head(std::size_t(1) << kHashBits, INT32_MIN / 2);
        for (std::size_t p = 0; p < starts; ++p) {
            uint32_t key;
            if (p + 4 <= n) {
                std::memcpy(&key, data + p, 4);
                if constexpr (std::endian::native == std::endian::little) key &= 0xFFFFFFu;
                else key = (key >> 8);
            } else {
                key = uint32_t(data[p]) | uint32_t(data[p + 1]) << 8 | uint32_t(data[p + 2]) << 16;
            }
            const uint32_t h = (key * 2654435761u) >> (32 - kHashBits);
            const int64_t distance = int64_t(p) - head[h];
            back[p] = distance <= int64_t(kCompressWindow) ? uint16_t(distance) : 0;
            head[h] = int32_t(p);
        }
    }

    return Encode(content, [&](std::size_t pos, std::size_t maxLength) {
        Match best;
        if (maxLength < kMinMatch) return best;
        const std::size_t first = pos > kCompressWindow ? pos - kCompressWindow : 0;
        // Every start matching at least 3 bytes is in pos's bucket. Walking nearest first
        // and replacing only on a strictly longer match keeps the nearest among equals.
        std::size_t bestLength = kMinMatch - 1;
        const uint8_t* here = data + pos;
        std::size_t step = back[pos];
        for (std::size_t c = pos - step; step != 0 && c >= first; step = back[c], c -= step) {
            const uint8_t* cand = data + c;
            // A longer match must agree at index bestLength; test that byte first.
            if (cand[bestLength] != here[bestLength]) continue;
            const std::size_t len = MatchLength(cand, here, maxLength);
            if (len > bestLength) {
                bestLength = len;
                best = {len, pos - c};
                if (len == maxLength) break;
            }
        }
        return best;
    });
}

std::optional<std::vector<uint8_t>> Decompress(std::span<const uint8_t> stream, std::size_t length) {
    std::size_t bit = 0;
    const std::size_t totalBits = stream.size() * 8;
    bool ok = true;
    auto get = [&](unsigned count) -> uint32_t {
        if (!ok || count > totalBits - bit) {
            ok = false;
            return 0;
        }
        uint32_t v = 0;
        for (unsigned i = 0; i < count; ++i, ++bit) v |= uint32_t((stream[bit / 8] >> (bit % 8)) & 1u) << i;
        return v;
    };
    // One item: a literal, a match, or a block mark (a match with the reserved distance).
    enum class Kind { Literal, Match, Mark, Bad };
    struct Item {
        Kind kind = Kind::Bad;
        uint8_t byte = 0;
        std::size_t distance = 0, length = 0;
    };
    auto next = [&]() -> Item {
        Item it;
        if (get(1) == 0) {
            it = {Kind::Literal, uint8_t(get(7)), 0, 0};
        } else if (get(1) == 1) {
            it = {Kind::Literal, uint8_t(0x80 | get(7)), 0, 0};
        } else {
            std::size_t d;
            if (get(1) == 0) d = get(6);
            else if (get(1) == 0) d = 64 + get(8);
            else d = 320 + get(12);
            if (d == kMaxDistanceCode) {
                it.kind = Kind::Mark;
            } else {
                unsigned k = 0;
                while (ok && get(1) == 0) {
                    if (++k > 8) return Item{};  // no length of a 512-byte block needs more
                }
                const uint32_t v = (1u << k) | get(k);
                it = {Kind::Match, 0, d, std::size_t(v) + 2};
            }
        }
        if (!ok) it.kind = Kind::Bad;
        return it;
    };

    std::vector<uint8_t> out;
    std::size_t pos = 0;
    while (pos < length) {
        const Item it = next();
        if (it.kind == Kind::Literal) {
            out.push_back(it.byte);
            ++pos;
        } else if (it.kind == Kind::Match) {
            const std::size_t blockEnd = std::min(length, (pos / kCompressBlock + 1) * kCompressBlock);
            if (it.distance == 0 || it.distance > pos || it.distance > kCompressWindow ||
                it.length > blockEnd - pos)
                return std::nullopt;
            for (std::size_t i = 0; i < it.length; ++i) {
                const uint8_t b = out[pos - it.distance + i];  // may be a byte this match just wrote
                out.push_back(b);
            }
            pos += it.length;
        } else {
            return std::nullopt;
        }
        if (pos % kCompressBlock == 0 && next().kind != Kind::Mark) return std::nullopt;
    }
    if (next().kind != Kind::Mark) return std::nullopt;
    // Only zero padding may follow, and no whole byte.
    if (stream.size() != (bit + 7) / 8) return std::nullopt;
    if (bit % 8 && (stream.back() >> (bit % 8)) != 0) return std::nullopt;
    return out;
}

std::vector<uint8_t> BuildDamageProfileMessage(std::span<const uint8_t> content) {
    NetDamageProfile m;
    m.contentLength = uint32_t(content.size());
    m.stream = CompressFast(content);
    return m.encode();
}

namespace {
constexpr std::uintmax_t kMaxProfileBytes = 16u << 20;
}

std::optional<std::vector<uint8_t>> LoadDamageProfileContent(const std::string& path,
                                                             const std::filesystem::path& workDir, bool unhittable,
                                                             std::string* error) {
    auto fail = [&](std::string why) -> std::optional<std::vector<uint8_t>> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    if (path.empty()) return fail("no damage profile path");
    if (unhittable) return std::vector<uint8_t>{0x0D, 0x0A};
    std::string portable = path;
    std::replace(portable.begin(), portable.end(), '\\', '/');
    std::filesystem::path file(portable);
    if (file.is_relative()) file = workDir / file;

    std::ifstream in(file, std::ios::binary);
    if (!in) return fail("cannot open damage profile " + file.string());
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec) return fail("cannot size damage profile " + file.string() + ": " + ec.message());
    if (size > kMaxProfileBytes) return fail("damage profile " + file.string() + " is larger than 16 MiB");
    std::vector<uint8_t> content(static_cast<std::size_t>(size));
    if (!content.empty() && !in.read(reinterpret_cast<char*>(content.data()), std::streamsize(content.size())))
        return fail("cannot read damage profile " + file.string() + " to its end");
    return content;
}

std::optional<std::vector<uint8_t>> BuildDamageProfileFromFile(const std::string& path,
                                                               const std::filesystem::path& workDir,
                                                               bool unhittable, std::string* error) {
    auto content = LoadDamageProfileContent(path, workDir, unhittable, error);
    if (!content) return std::nullopt;
    return BuildDamageProfileMessage(*content);
}

}  // namespace qd
