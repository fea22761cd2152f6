#pragma once
// DirectPlay's published value types as the host uses them. Pointers of the original
// structures become owned values; sizes and field orders that reach the wire or the
// clients stay as DirectPlay defines them.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qd {

using DPID = uint32_t;
constexpr DPID DPID_SYSMSG = 0;
constexpr DPID DPID_ALLPLAYERS = 0;

// A GUID kept in its Windows memory layout (Data1..3 little-endian on the wire).
struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0;
    uint16_t data3 = 0;
    std::array<uint8_t, 8> data4{};

    // "{BA361865-7A5C-40E7-881A-567C19A150A9}" (braces optional); nullopt when malformed.
    static std::optional<Guid> parse(std::string_view text);
    std::string toString() const;  // upper case, with braces
    std::array<uint8_t, 16> bytes() const;  // wire/memory layout
    static Guid fromBytes(const uint8_t* p);
    bool isNull() const { return *this == Guid{}; }
    friend bool operator==(const Guid&, const Guid&) = default;
};

// Application GUIDs of the two simulator versions.
extern const Guid kGuidCombatFs;   // version 1
extern const Guid kGuidCfs2;       // version 2
extern const Guid kDpspGuidTcpip;  // {36E95EE0-8577-11CF-960C-0080C7534E82}
extern const Guid kDpaidTotalSize;
extern const Guid kDpaidServiceProvider;
extern const Guid kDpaidINet;      // {C4A54DA0-E0AF-11CF-9C4E-00A0C905425E}

constexpr uint32_t DPSESSION_MIGRATEHOST = 0x4;
constexpr uint32_t DPOPEN_JOIN = 0x1;
constexpr uint32_t DPOPEN_CREATE = 0x2;
// Not one of DirectPlay's flags: the lobby's own Open inside DirectPlay, whose description
// carries the instance GUID the lobby gave the session.
constexpr uint32_t kOpenLobbyInstance = 0x40000000;
constexpr uint32_t DPSEND_GUARANTEED = 0x1;
constexpr uint32_t DPGET_LOCAL = 0x1;
constexpr uint32_t DPSET_LOCAL = 0x1;
constexpr uint32_t DPSET_GUARANTEED = 0x2;
constexpr uint32_t DPRECEIVE_ALL = 0x1;
constexpr uint32_t DPENUMPLAYERS_ALL = 0x0;
constexpr uint32_t DPENUMPLAYERS_LOCAL = 0x8;
constexpr uint32_t DPENUMPLAYERS_REMOTE = 0x10;
constexpr uint32_t DPENUMPLAYERS_GROUP = 0x20;
constexpr uint32_t DPPLAYER_LOCAL = 0x8;  // reported by GetPlayerFlags/EnumPlayers
constexpr uint32_t DPPLAYER_SERVERPLAYER = 0x100;
constexpr uint32_t DPPLAYER_SPECTATOR = 0x200;
constexpr uint32_t DPGROUP_LOCAL = 0x8;
constexpr uint32_t DPGET_REMOTE = 0x0;
constexpr uint32_t DPSET_REMOTE = 0x0;
constexpr uint32_t DPRECEIVE_TOPLAYER = 0x2;
constexpr uint32_t DPRECEIVE_FROMPLAYER = 0x4;
constexpr uint32_t DPRECEIVE_PEEK = 0x8;
constexpr uint32_t DPCONNECTION_DIRECTPLAY = 0x1;
constexpr DPID DPID_SERVERPLAYER = 1;
constexpr DPID DPID_UNKNOWN = 0xFFFFFFFF;
constexpr uint32_t DPLCONNECTION_CREATESESSION = 0x2;
constexpr uint32_t DPLCONNECTION_JOINSESSION = 0x1;

// DPSESSIONDESC2: 80 bytes in its 32-bit form (dwSize, dwFlags, two GUIDs, max and
// current players, name and password pointers, two reserved words, four user words).
struct SessionDesc {
    uint32_t dwSize = 80;
    uint32_t dwFlags = 0;
    Guid guidInstance;
    Guid guidApplication;
    uint32_t dwMaxPlayers = 0;
    uint32_t dwCurrentPlayers = 0;
    std::optional<std::u16string> sessionName;  // lpszSessionName; nullopt = null pointer
    std::optional<std::u16string> password;     // lpszPassword
    uint32_t dwReserved1 = 0;
    uint32_t dwReserved2 = 0;
    uint32_t dwUser1 = 0;
    uint32_t dwUser2 = 0;
    uint32_t dwUser3 = 0;
    uint32_t dwUser4 = 0;
    friend bool operator==(const SessionDesc&, const SessionDesc&) = default;
};

// DPNAME: size 16, flags, short and long name (wide, either may be absent).
struct DpName {
    uint32_t dwSize = 16;
    uint32_t dwFlags = 0;
    std::optional<std::u16string> shortName;
    std::optional<std::u16string> longName;
    friend bool operator==(const DpName&, const DpName&) = default;
};

}  // namespace qd
