#pragma once
// The host's per-player and per-team records, kept as DirectPlay local player and group
// data (52 and 20 bytes). The two pointer fields of the original become 32-bit handles
// so the stored size and field order stay as clients and tools know them:
//   PlayerRecord::lastMotion  1-based handle of a 56-byte motion copy (0 = none)
//   PlayerRecord::object      1-based index into the target table (0 = none)
//   TeamGroupRecord::team     1-based index into the team table (0 = none)
#include <array>
#include <cstdint>
#include <cstring>

namespace qd {

enum PlayerKind : uint32_t { kKindNone = 0, kKindHostObject = 1, kKindClient = 2 };

enum PlayerStatus : uint32_t {
    kStatusUnknown = 16,   // "Unk": no status letter
    kStatusWaiting = 17,
    kStatusReady = 18,
    kStatusFlying = 19,
    kStatusWait2 = 20,
    kStatusNfReady = 21,
    kStatusNfFlying = 22,
};

struct PlayerRecord {
    uint32_t kind = 0;
    uint32_t teamGroup = 0;
    uint32_t status = 0;
    uint32_t reservedA = 0;
    uint32_t reservedB = 0;
    uint32_t linkConnected = 0;
    uint32_t linkSocket = 0;
    uint32_t linkRetries = 0;
    uint32_t teamSlot = 0;
    uint32_t lastMotion = 0;
    uint32_t lastMotionTick = 0;
    uint32_t latencyMs = 0;
    uint32_t object = 0;

    static constexpr std::size_t kSize = 52;
    std::array<uint8_t, kSize> toBytes() const {
        std::array<uint8_t, kSize> b{};
        const uint32_t f[13] = {kind,       teamGroup, status,         reservedA, reservedB, linkConnected, linkSocket,
                                linkRetries, teamSlot, lastMotion, lastMotionTick, latencyMs, object};
        for (int i = 0; i < 13; ++i)
            for (int k = 0; k < 4; ++k) b[4 * i + k] = static_cast<uint8_t>(f[i] >> (8 * k));
        return b;
    }
    static PlayerRecord fromBytes(const uint8_t* p) {
        uint32_t f[13];
        for (int i = 0; i < 13; ++i)
            f[i] = uint32_t(p[4 * i]) | uint32_t(p[4 * i + 1]) << 8 | uint32_t(p[4 * i + 2]) << 16 |
                   uint32_t(p[4 * i + 3]) << 24;
        return PlayerRecord{f[0], f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], f[9], f[10], f[11], f[12]};
    }
    friend bool operator==(const PlayerRecord&, const PlayerRecord&) = default;
};

struct TeamGroupRecord {
    uint32_t memberCount = 0;
    uint32_t sumReservedA = 0;
    uint32_t sumReservedB = 0;
    uint32_t slotMask = 0;
    uint32_t team = 0;

    static constexpr std::size_t kSize = 20;
    std::array<uint8_t, kSize> toBytes() const {
        std::array<uint8_t, kSize> b{};
        const uint32_t f[5] = {memberCount, sumReservedA, sumReservedB, slotMask, team};
        for (int i = 0; i < 5; ++i)
            for (int k = 0; k < 4; ++k) b[4 * i + k] = static_cast<uint8_t>(f[i] >> (8 * k));
        return b;
    }
    static TeamGroupRecord fromBytes(const uint8_t* p) {
        uint32_t f[5];
        for (int i = 0; i < 5; ++i)
            f[i] = uint32_t(p[4 * i]) | uint32_t(p[4 * i + 1]) << 8 | uint32_t(p[4 * i + 2]) << 16 |
                   uint32_t(p[4 * i + 3]) << 24;
        return TeamGroupRecord{f[0], f[1], f[2], f[3], f[4]};
    }
    friend bool operator==(const TeamGroupRecord&, const TeamGroupRecord&) = default;
};

}  // namespace qd
