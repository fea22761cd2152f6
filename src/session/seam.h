#pragma once
// The seam between the session engine and whatever carries the session to other
// machines: the DirectPlay wire transport, or scripted peers in tests. One transport at
// a time plugs in.
//
// Inbound (SessionSeam, implemented by the engine, callable from any thread): what a
// remote machine did. Each call names the machine, and the engine refuses (with a
// DirectPlay error, changing nothing) anything that machine may not do: touching players
// it does not own, unknown ids, names or data over the limits, more machines or players
// than the limits allow.
//
// Outbound (SessionSink, implemented by the transport): what remote machines must be told
// about what the host did. Inbound events are not echoed back out: in a peer-to-peer
// session every machine tells the others itself, and a transport that must relay as the
// name server does so at its own level.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/result.h"
#include "session/dptypes.h"

namespace qd {

using MachineId = uint32_t;  // chosen by the transport, never 0
constexpr MachineId kAllMachines = 0;

struct OutboundNotice {
    enum class Kind {
        PlayerCreated,       // id, name, flags, data (remote data)
        GroupCreated,        // id, name, flags, data
        PlayerDestroyed,     // id
        GroupDestroyed,      // id
        NameChanged,         // id, isGroup, name
        DataChanged,         // id, isGroup, data (remote data)
        AddedToGroup,        // group, id (the player)
        RemovedFromGroup,    // group, id
        SessionDescChanged,  // desc
        Message,             // from, to (a remote player, a group, or DPID_ALLPLAYERS), flags, data
        SessionClosed,
    };
    Kind kind = Kind::Message;
    MachineId machine = kAllMachines;  // the one machine to tell, or every remote machine
    DPID id = 0;
    bool isGroup = false;
    DPID group = 0;
    DpName name;
    uint32_t flags = 0;
    std::vector<uint8_t> data;
    SessionDesc desc;
    DPID from = 0;
    DPID to = 0;
};

class SessionSink {
public:
    virtual ~SessionSink() = default;
    // Called without any engine lock held, in the order the host's calls happened.
    virtual void Notify(const OutboundNotice& notice) = 0;
};

struct RemotePlayer {
    DPID id = 0;  // 0: the engine allocates one
    DpName name;
    uint32_t flags = 0;  // DPPLAYER_SPECTATOR, ...
    std::vector<uint8_t> remoteData;
};

class SessionSeam {
public:
    virtual ~SessionSeam() = default;

    // Plugs a transport in (nullptr unplugs it).
    virtual void SetSink(std::shared_ptr<SessionSink> sink) = 0;
    // A fresh id the transport may hand a remote machine that asks for one.
    virtual HRESULT AllocateId(DPID* id) = 0;
    // The host's own DirectPlay system player (valid while the session is open).
    virtual DPID HostSystemPlayer() const = 0;

    // A machine joined with its system player; address is its dotted IPv4 text.
    virtual HRESULT MachineJoined(MachineId machine, DPID systemPlayer, std::string address) = 0;
    virtual HRESULT RemotePlayerCreated(MachineId machine, const RemotePlayer& player, DPID* id) = 0;
    virtual HRESULT RemoteGroupCreated(MachineId machine, DPID id, const DpName& name,
                                       std::span<const uint8_t> remoteData, uint32_t flags, DPID* outId) = 0;
    virtual HRESULT RemoteNameChanged(MachineId machine, DPID id, const DpName& name) = 0;
    virtual HRESULT RemoteDataChanged(MachineId machine, DPID id, std::span<const uint8_t> remoteData) = 0;
    virtual HRESULT RemotePlayerDestroyed(MachineId machine, DPID id) = 0;
    virtual HRESULT RemoteGroupMembership(MachineId machine, DPID group, DPID player, bool added) = 0;
    // An application message from a remote player to a local player, a group, or all (0).
    virtual HRESULT RemoteMessage(MachineId machine, DPID from, DPID to, std::span<const uint8_t> data) = 0;
    // The machine left or stopped answering: its players and groups are destroyed and
    // the local players told.
    virtual HRESULT MachineVanished(MachineId machine) = 0;
};

}  // namespace qd
