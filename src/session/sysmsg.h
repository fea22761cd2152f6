#pragma once
// DirectPlay system messages (sender DPID_SYSMSG) as the bytes Receive hands out.
//
// Layouts are DirectPlay's published DPMSG_* structures in their 32-bit form, dwType
// first, all fields little-endian. Where the original structure holds a pointer (names,
// data, the session name and password), the field holds the offset of that item from the
// start of the message, or 0 for a null pointer; the items themselves follow the fixed
// structure. Wide strings are UTF-16LE with a terminating zero unit. A DPNAME inside a
// message is 16 bytes: dwSize (16), dwFlags, short name offset, long name offset.
//
// Fixed sizes: CREATEPLAYERORGROUP 48, DESTROYPLAYERORGROUP 52, ADD/DELETEPLAYERTOGROUP 12,
// SETPLAYERORGROUPNAME 28, SETPLAYERORGROUPDATA 20, SETSESSIONDESC 84, HOST 4.
//
// Decoders check everything against the buffer: a message that is shorter than its
// structure, of another type, with an offset that points into the structure or past the
// end, with data that runs past the end or a string without its terminator decodes to
// nullopt.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "session/dptypes.h"

namespace qd {

constexpr uint32_t DPSYS_CREATEPLAYERORGROUP = 0x0003;
constexpr uint32_t DPSYS_DESTROYPLAYERORGROUP = 0x0005;
constexpr uint32_t DPSYS_ADDPLAYERTOGROUP = 0x0007;
constexpr uint32_t DPSYS_DELETEPLAYERFROMGROUP = 0x0021;
constexpr uint32_t DPSYS_SESSIONLOST = 0x0031;
constexpr uint32_t DPSYS_HOST = 0x0101;
constexpr uint32_t DPSYS_SETPLAYERORGROUPDATA = 0x0102;
constexpr uint32_t DPSYS_SETPLAYERORGROUPNAME = 0x0103;
constexpr uint32_t DPSYS_SETSESSIONDESC = 0x0104;

constexpr uint32_t DPPLAYERTYPE_GROUP = 0;
constexpr uint32_t DPPLAYERTYPE_PLAYER = 1;

struct SysCreatePlayerOrGroup {
    uint32_t playerType = DPPLAYERTYPE_PLAYER;
    DPID id = 0;
    uint32_t currentPlayers = 0;
    std::vector<uint8_t> data;  // remote data
    DpName name;
    DPID parent = 0;
    uint32_t flags = 0;
    friend bool operator==(const SysCreatePlayerOrGroup&, const SysCreatePlayerOrGroup&) = default;
};

struct SysDestroyPlayerOrGroup {
    uint32_t playerType = DPPLAYERTYPE_PLAYER;
    DPID id = 0;
    std::vector<uint8_t> localData;  // what the host stored with DPSET_LOCAL
    std::vector<uint8_t> remoteData;
    DpName name;
    DPID parent = 0;
    uint32_t flags = 0;
    friend bool operator==(const SysDestroyPlayerOrGroup&, const SysDestroyPlayerOrGroup&) = default;
};

// DPMSG_ADDPLAYERTOGROUP and DPMSG_DELETEPLAYERFROMGROUP share this layout.
struct SysGroupMembership {
    DPID group = 0;
    DPID player = 0;
    friend bool operator==(const SysGroupMembership&, const SysGroupMembership&) = default;
};

struct SysSetName {
    uint32_t playerType = DPPLAYERTYPE_PLAYER;
    DPID id = 0;
    DpName name;
    friend bool operator==(const SysSetName&, const SysSetName&) = default;
};

struct SysSetData {
    uint32_t playerType = DPPLAYERTYPE_PLAYER;
    DPID id = 0;
    std::vector<uint8_t> data;
    friend bool operator==(const SysSetData&, const SysSetData&) = default;
};

// The type of a system message (its first u32), nullopt when shorter than 4 bytes.
std::optional<uint32_t> SysMessageType(std::span<const uint8_t> message);

std::vector<uint8_t> EncodeCreatePlayerOrGroup(const SysCreatePlayerOrGroup& m);
std::vector<uint8_t> EncodeDestroyPlayerOrGroup(const SysDestroyPlayerOrGroup& m);
// type is DPSYS_ADDPLAYERTOGROUP or DPSYS_DELETEPLAYERFROMGROUP.
std::vector<uint8_t> EncodeGroupMembership(uint32_t type, const SysGroupMembership& m);
std::vector<uint8_t> EncodeSetName(const SysSetName& m);
std::vector<uint8_t> EncodeSetData(const SysSetData& m);
std::vector<uint8_t> EncodeSetSessionDesc(const SessionDesc& desc);
std::vector<uint8_t> EncodeGeneric(uint32_t type);  // DPSYS_HOST, DPSYS_SESSIONLOST

std::optional<SysCreatePlayerOrGroup> DecodeCreatePlayerOrGroup(std::span<const uint8_t> message);
std::optional<SysDestroyPlayerOrGroup> DecodeDestroyPlayerOrGroup(std::span<const uint8_t> message);
// Accepts either membership type; the type read is stored in *type when given.
std::optional<SysGroupMembership> DecodeGroupMembership(std::span<const uint8_t> message, uint32_t* type = nullptr);
std::optional<SysSetName> DecodeSetName(std::span<const uint8_t> message);
std::optional<SysSetData> DecodeSetData(std::span<const uint8_t> message);
std::optional<SessionDesc> DecodeSetSessionDesc(std::span<const uint8_t> message);

}  // namespace qd
