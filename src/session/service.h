#pragma once
// The DirectPlay service the host is written against: IDirectPlay3's operations with
// DirectPlay's result codes. Names and session descriptions are handed over as values
// (the two-call size query of the original is plumbing); player and group data and
// Receive keep DirectPlay's byte-buffer form, where a buffer that is absent or too small
// gives DPERR_BUFFERTOOSMALL and the size needed.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <span>
#include <vector>

#include "platform/event.h"
#include "platform/result.h"
#include "session/dptypes.h"

namespace qd {

// Connection callback: service provider, the connection's compound address, its name
// (short name = the provider's display name), DPCONNECTION_* flags. Return false to stop.
using EnumConnectionsCallback =
    std::function<bool(const Guid& serviceProvider, std::span<const uint8_t> address, const DpName& name, uint32_t flags)>;
// Player/group callback: id, DPPLAYERTYPE_*, name, flags (DPPLAYER_LOCAL, ...). Return false to stop.
using EnumPlayersCallback = std::function<bool(DPID id, uint32_t playerType, const DpName& name, uint32_t flags)>;

class DirectPlayService {
public:
    virtual ~DirectPlayService() = default;

    // Connections and the session.
    virtual HRESULT EnumConnections(const Guid* application, const EnumConnectionsCallback& callback, uint32_t flags) = 0;
    virtual HRESULT InitializeConnection(std::span<const uint8_t> address, uint32_t flags) = 0;
    virtual HRESULT Open(const SessionDesc& desc, uint32_t flags) = 0;
    virtual HRESULT Close() = 0;
    virtual HRESULT GetSessionDesc(SessionDesc& out) = 0;
    virtual HRESULT SetSessionDesc(const SessionDesc& desc, uint32_t flags) = 0;

    // Players. CreatePlayer's data is the player's remote data.
    virtual HRESULT CreatePlayer(DPID* id, const DpName& name, AutoResetEvent* event, std::span<const uint8_t> data,
                                 uint32_t flags) = 0;
    virtual HRESULT DestroyPlayer(DPID id) = 0;
    virtual HRESULT GetPlayerName(DPID id, DpName& out) = 0;
    virtual HRESULT SetPlayerName(DPID id, const DpName& name, uint32_t flags) = 0;
    virtual HRESULT GetPlayerData(DPID id, uint8_t* buffer, uint32_t* size, uint32_t flags) = 0;  // DPGET_LOCAL or remote
    virtual HRESULT SetPlayerData(DPID id, std::span<const uint8_t> data, uint32_t flags) = 0;    // DPSET_LOCAL or remote
    virtual HRESULT GetPlayerFlags(DPID id, uint32_t* flags) = 0;
    // The compound address of a player's machine: DPAID_TotalSize, DPAID_ServiceProvider
    // (DPSPGUID_TCPIP) and DPAID_INet with the dotted IPv4 text.
    virtual HRESULT GetPlayerAddress(DPID id, std::vector<uint8_t>& out) = 0;
    virtual HRESULT EnumPlayers(const Guid* session, const EnumPlayersCallback& callback, uint32_t flags) = 0;

    // Groups.
    virtual HRESULT CreateGroup(DPID* id, const DpName& name, std::span<const uint8_t> data, uint32_t flags) = 0;
    virtual HRESULT DestroyGroup(DPID id) = 0;
    virtual HRESULT AddPlayerToGroup(DPID group, DPID player) = 0;
    virtual HRESULT DeletePlayerFromGroup(DPID group, DPID player) = 0;
    virtual HRESULT GetGroupName(DPID id, DpName& out) = 0;
    virtual HRESULT SetGroupName(DPID id, const DpName& name, uint32_t flags) = 0;
    virtual HRESULT GetGroupData(DPID id, uint8_t* buffer, uint32_t* size, uint32_t flags) = 0;
    virtual HRESULT SetGroupData(DPID id, std::span<const uint8_t> data, uint32_t flags) = 0;
    virtual HRESULT EnumGroups(const Guid* session, const EnumPlayersCallback& callback, uint32_t flags) = 0;
    virtual HRESULT EnumGroupPlayers(DPID group, const Guid* session, const EnumPlayersCallback& callback,
                                     uint32_t flags) = 0;

    // Messages. Receive takes the oldest message for any local player (DPRECEIVE_ALL), or
    // filters with DPRECEIVE_TOPLAYER / DPRECEIVE_FROMPLAYER; DPRECEIVE_PEEK leaves it
    // queued. *size is the buffer's size on entry and the message's size on return.
    virtual HRESULT Receive(DPID* from, DPID* to, uint32_t flags, uint8_t* buffer, uint32_t* size) = 0;
    virtual HRESULT Send(DPID from, DPID to, uint32_t flags, std::span<const uint8_t> data) = 0;
};

// DirectPlay compound addresses: a list of chunks, each a 16-byte data type GUID, a u32
// size and that many bytes. TotalSize's value is the byte count of the whole address.
struct AddressChunk {
    Guid type;
    std::vector<uint8_t> data;
};
std::vector<uint8_t> BuildTcpipAddress(std::string_view inetText);  // empty text: no DPAID_INet chunk
std::optional<std::vector<AddressChunk>> ParseCompoundAddress(std::span<const uint8_t> address);
// The dotted text of the DPAID_INet chunk, nullopt when absent or malformed.
std::optional<std::string> AddressINet(std::span<const uint8_t> address);
std::optional<Guid> AddressServiceProvider(std::span<const uint8_t> address);

}  // namespace qd
