#include <algorithm>
#include <string>

#include "session/service.h"

namespace qd {

namespace {
void putU32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void putChunk(std::vector<uint8_t>& out, const Guid& type, std::span<const uint8_t> data) {
    const auto g = type.bytes();
    out.insert(out.end(), g.begin(), g.end());
    putU32(out, static_cast<uint32_t>(data.size()));
    out.insert(out.end(), data.begin(), data.end());
}
}  // namespace

std::vector<uint8_t> BuildTcpipAddress(std::string_view inetText) {
    std::vector<uint8_t> out;
    const uint32_t total = 24 + 36 + (inetText.empty() ? 0 : 20 + static_cast<uint32_t>(inetText.size()) + 1);
    uint8_t totalBytes[4];
    for (int i = 0; i < 4; ++i) totalBytes[i] = static_cast<uint8_t>(total >> (8 * i));
    putChunk(out, kDpaidTotalSize, totalBytes);
    const auto sp = kDpspGuidTcpip.bytes();
    putChunk(out, kDpaidServiceProvider, sp);
    if (!inetText.empty()) {
        std::vector<uint8_t> text(inetText.begin(), inetText.end());
        text.push_back(0);
        putChunk(out, kDpaidINet, text);
    }
    return out;
}

std::optional<std::vector<AddressChunk>> ParseCompoundAddress(std::span<const uint8_t> a) {
    std::vector<AddressChunk> chunks;
    std::size_t p = 0;
    while (p < a.size()) {
        // Callers hand fixed-size blocks whose tail is zero padding after the last chunk.
        if (std::all_of(a.begin() + static_cast<std::ptrdiff_t>(p), a.end(), [](uint8_t b) { return b == 0; })) break;
        if (a.size() - p < 20) return std::nullopt;
        AddressChunk c;
        c.type = Guid::fromBytes(a.data() + p);
        const uint32_t size = uint32_t(a[p + 16]) | uint32_t(a[p + 17]) << 8 | uint32_t(a[p + 18]) << 16 |
                              uint32_t(a[p + 19]) << 24;
        p += 20;
        if (size > a.size() - p) return std::nullopt;
        c.data.assign(a.begin() + static_cast<std::ptrdiff_t>(p), a.begin() + static_cast<std::ptrdiff_t>(p + size));
        p += size;
        chunks.push_back(std::move(c));
        if (chunks.size() > 64) return std::nullopt;
    }
    return chunks;
}

std::optional<std::string> AddressINet(std::span<const uint8_t> address) {
    const auto chunks = ParseCompoundAddress(address);
    if (!chunks) return std::nullopt;
    for (const auto& c : *chunks) {
        if (c.type != kDpaidINet) continue;
        std::string text;
        for (uint8_t b : c.data) {
            if (b == 0) return text;
            text.push_back(static_cast<char>(b));
        }
        return std::nullopt;  // no terminator
    }
    return std::nullopt;
}

std::optional<Guid> AddressServiceProvider(std::span<const uint8_t> address) {
    const auto chunks = ParseCompoundAddress(address);
    if (!chunks) return std::nullopt;
    for (const auto& c : *chunks)
        if (c.type == kDpaidServiceProvider && c.data.size() == 16) return Guid::fromBytes(c.data.data());
    return std::nullopt;
}

}  // namespace qd
