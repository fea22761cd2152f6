#pragma once
// Player and group data access: the host's records kept as DirectPlay local data, the
// players' names, and the conversions between 8-bit texts and DirectPlay's wide strings.
//
// Records are handed out as values. A player whose data was never stored reads as a
// record of zeros; a player DirectPlay does not know (or whose data is larger than a
// record) reads as no record. PlayerRecord::lastMotion is a handle into the motion
// buffer table kept here: 56-byte copies of a player's last NET_MOTION.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/result.h"
#include "session/host_context.h"
#include "session/records.h"

namespace qd {

constexpr std::size_t kMotionBufferSize = 56;
using MotionBuffer = std::array<uint8_t, kMotionBufferSize>;

class DataAccess {
public:
    // maxMotionBuffers bounds the table; past it new records get lastMotion 0 (no buffer).
    explicit DataAccess(HostContext& context, std::size_t maxMotionBuffers = 4096);

    std::optional<PlayerRecord> GetPlayerRecord(DPID player);  // GetPlayerData, 52 bytes, DPGET_LOCAL
    HRESULT PutPlayerRecord(DPID player, const PlayerRecord& record);  // SetPlayerData, DPSET_LOCAL
    // Stores a fresh record (kind 2, status 17, a new zeroed motion buffer) unless the
    // player already has one with a non-zero kind (then 0 and nothing changes).
    HRESULT InitPlayerRecord(DPID player);
    std::optional<TeamGroupRecord> GetTeamGroupRecord(DPID group);
    HRESULT PutTeamGroupRecord(DPID group, const TeamGroupRecord& record);

    HRESULT GetPlayerNames(DPID player, DpName& out);
    // Replaces the long name, keeps the short name, and sets it with DPSET_GUARANTEED.
    HRESULT SetPlayerLongName(DPID player, const std::optional<std::u16string>& longName);

    // The motion buffer behind a handle, nullptr for 0 or an unknown handle.
    MotionBuffer* Motion(uint32_t handle);
    // Gives a departed player's buffer back for reuse.
    void ReleaseMotion(uint32_t handle);
    std::size_t MotionBuffersInUse() const { return inUse_; }

private:
    uint32_t newMotion();

    HostContext& context_;
    std::size_t maxMotion_;
    std::vector<std::optional<MotionBuffer>> motion_;  // handle h is motion_[h - 1]
    std::vector<uint32_t> freeHandles_;
    std::size_t inUse_ = 0;
};

// Low byte of each unit up to the first unit whose low byte is zero (0x0100 ends the text).
std::string NarrowCopy(std::u16string_view wide);
// Each byte up to the first zero, widened as a signed 8-bit value (0xE9 -> 0xFFE9).
std::u16string WideCopy(std::string_view text);
// The same for texts that may be absent (a null name stays null).
std::optional<std::string> NarrowCopyOrNull(const std::optional<std::u16string>& wide);
std::optional<std::u16string> WideCopyOrNull(const std::optional<std::string>& text);

}  // namespace qd
