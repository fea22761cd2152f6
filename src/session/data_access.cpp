#include "session/data_access.h"

namespace qd {

DataAccess::DataAccess(HostContext& context, std::size_t maxMotionBuffers)
    : context_(context), maxMotion_(maxMotionBuffers) {}

std::optional<PlayerRecord> DataAccess::GetPlayerRecord(DPID player) {
    if (!context_.directPlay) return std::nullopt;
    std::array<uint8_t, PlayerRecord::kSize> buf{};
    uint32_t size = PlayerRecord::kSize;
    if (FAILED(context_.directPlay->GetPlayerData(player, buf.data(), &size, DPGET_LOCAL))) return std::nullopt;
    return PlayerRecord::fromBytes(buf.data());
}

HRESULT DataAccess::PutPlayerRecord(DPID player, const PlayerRecord& record) {
    if (!context_.directPlay) return DPERR_UNINITIALIZED;
    const auto bytes = record.toBytes();
    return context_.directPlay->SetPlayerData(player, bytes, DPSET_LOCAL);
}

HRESULT DataAccess::InitPlayerRecord(DPID player) {
    if (const auto existing = GetPlayerRecord(player); existing && existing->kind != kKindNone) return S_OK;
    PlayerRecord r;
    r.kind = kKindClient;
    r.status = kStatusWaiting;
    r.lastMotion = newMotion();
    const HRESULT result = PutPlayerRecord(player, r);
    if (FAILED(result)) ReleaseMotion(r.lastMotion);  // nobody holds the handle
    return result;
}

std::optional<TeamGroupRecord> DataAccess::GetTeamGroupRecord(DPID group) {
    if (!context_.directPlay) return std::nullopt;
    std::array<uint8_t, TeamGroupRecord::kSize> buf{};
    uint32_t size = TeamGroupRecord::kSize;
    if (FAILED(context_.directPlay->GetGroupData(group, buf.data(), &size, DPGET_LOCAL))) return std::nullopt;
    return TeamGroupRecord::fromBytes(buf.data());
}

HRESULT DataAccess::PutTeamGroupRecord(DPID group, const TeamGroupRecord& record) {
    if (!context_.directPlay) return DPERR_UNINITIALIZED;
    const auto bytes = record.toBytes();
    return context_.directPlay->SetGroupData(group, bytes, DPSET_LOCAL);
}

HRESULT DataAccess::GetPlayerNames(DPID player, DpName& out) {
    if (!context_.directPlay) return DPERR_UNINITIALIZED;
    return context_.directPlay->GetPlayerName(player, out);
}

HRESULT DataAccess::SetPlayerLongName(DPID player, const std::optional<std::u16string>& longName) {
    DpName name;
    if (HRESULT r = GetPlayerNames(player, name); FAILED(r)) return r;
    name.longName = longName;
    return context_.directPlay->SetPlayerName(player, name, DPSET_GUARANTEED);
}

uint32_t DataAccess::newMotion() {
    if (!freeHandles_.empty()) {
        const uint32_t h = freeHandles_.back();
        freeHandles_.pop_back();
        motion_[h - 1] = MotionBuffer{};
        ++inUse_;
        return h;
    }
    if (motion_.size() >= maxMotion_) return 0;
    motion_.emplace_back(MotionBuffer{});
    ++inUse_;
    return static_cast<uint32_t>(motion_.size());
}

MotionBuffer* DataAccess::Motion(uint32_t handle) {
    if (handle == 0 || handle > motion_.size() || !motion_[handle - 1]) return nullptr;
    return &*motion_[handle - 1];
}

void DataAccess::ReleaseMotion(uint32_t handle) {
    if (!Motion(handle)) return;
    motion_[handle - 1].reset();
    freeHandles_.push_back(handle);
    --inUse_;
}

std::string NarrowCopy(std::u16string_view wide) {
    std::string out;
    for (char16_t c : wide) {
        const auto low = static_cast<char>(c & 0xFF);
        if (low == 0) break;
        out.push_back(low);
    }
    return out;
}

std::optional<std::string> NarrowCopyOrNull(const std::optional<std::u16string>& wide) {
    if (!wide) return std::nullopt;
    return NarrowCopy(std::u16string_view(*wide));
}

std::u16string WideCopy(std::string_view text) {
    std::u16string out;
    for (char c : text) {
        if (c == 0) break;
        out.push_back(static_cast<char16_t>(static_cast<int16_t>(static_cast<int8_t>(c))));
    }
    return out;
}

std::optional<std::u16string> WideCopyOrNull(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return WideCopy(std::string_view(*text));
}

}  // namespace qd
