#pragma once
// The session engine: the DirectPlay service the host uses, kept in memory, with the
// seam through which a transport (or scripted peers) connects it to remote machines.
//
// What it keeps: the name table (players and groups, with names, local and remote data,
// flags, owning machine, group membership), the session description, and one receive
// queue per local player. Every system message goes to every local player as its own
// copy; each arrival sets the event the player was created with.
//
// How it follows DirectPlay (checked against DirectPlay's conformance tests):
//   - a player created locally is announced (DPSYS_CREATEPLAYERORGROUP) to the other
//     local players, not to itself; copies of one event go to the newest player first;
//   - a name change, remote-data change, group membership change or description change
//     made by the host reaches every local player, the one concerned included;
//   - Send to DPID_ALLPLAYERS from a local player reaches every other local player (one
//     copy each) and the remote machines, never the sender; a send to oneself succeeds
//     and delivers nothing; a send from a remote player is DPERR_ACCESSDENIED;
//   - a destroyed player first leaves its groups (DPSYS_DELETEPLAYERFROMGROUP per group),
//     then DPSYS_DESTROYPLAYERORGROUP carries its local and remote data.
//
// Thread safety: one mutex guards everything. Events are set while it is held (so once
// Close returns no event given to CreatePlayer is touched again); the transport's sink
// and enumeration callbacks are called with it released.
//
// Limits: a remote party cannot grow memory without bound. Application messages beyond
// a player's queue limit (count or bytes) are dropped and counted; system messages have
// an allowance of the same size again on top, so a flood of data cannot push state
// changes out. The name table, machines, names, data and messages have fixed ceilings.
#include <cstdint>
#include <functional>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "session/seam.h"
#include "session/service.h"

namespace qd {

struct EngineLimits {
    std::size_t maxEntries = 1024;          // players and groups in the name table
    std::size_t maxMachines = 128;
    std::size_t maxPlayersPerMachine = 16;  // players and groups a remote machine owns
    std::size_t maxGroupsPerMachine = 4;    // of those, groups
    std::size_t maxNameUnits = 256;         // per short or long name
    std::size_t maxDataBytes = 16 * 1024;   // local or remote data per player or group
    std::size_t maxGroupDataBytes = 4 * 1024;  // remote data of a remote machine's group
    std::size_t maxMessageBytes = 64 * 1024;
    std::size_t maxQueuedMessages = 4096;   // per local player
    std::size_t maxQueuedBytes = 4 * 1024 * 1024;
    // The name table goes to a joining machine as one message of at most 1 MiB. What remote
    // machines put into it (entries; bytes of names, data, memberships) is bounded per
    // machine and per address, and beyond a small share each machine always has, shares
    // one budget with the host's own entries.
    std::size_t maxEntriesPerAddress = 64;
    std::size_t entryShare = 2;                       // entries per machine outside the budget
    std::size_t tableBytesPerMachine = 32 * 1024;
    std::size_t tableBytesPerAddress = 128 * 1024;
    std::size_t tableShareBytes = 2 * 1024;           // per machine, outside the budget
    std::size_t tableBytes = 640 * 1024;              // the shared budget
};

class Engine;

struct EngineOptions {
    EngineLimits limits;
    bool offerTcpip = true;           // EnumConnections offers the TCP/IP connection
    std::string hostAddress;          // local players' address; else from InitializeConnection, else "127.0.0.1"
    uint32_t idKey = 0;               // ids are obscured with this key; 0 picks a random one
    // Called, without the engine's lock, once the session is open (the transport binds its
    // sockets here, as DirectPlay did inside Open); a failure closes the session again and
    // is Open's answer. onClose runs before the session closes.
    std::function<HRESULT(Engine&)> onOpen;
    std::function<void(Engine&)> onClose;
};

struct EngineStats {
    uint64_t droppedMessages = 0;  // messages not queued because a queue was full
    uint64_t droppedBytes = 0;
    uint64_t refusedInbound = 0;   // inbound events refused by the checks
    std::size_t queuedMessages = 0;
    std::size_t queuedBytes = 0;
    std::size_t players = 0;
    std::size_t groups = 0;
    std::size_t machines = 0;
};

// The name table as a transport needs it to introduce the session to a joining machine.
struct NameTableSnapshot {
    struct Entry {
        DPID id = 0;
        bool isGroup = false;
        bool local = false;
        MachineId machine = 0;  // 0 for the host's own
        DpName name;
        uint32_t flags = 0;
        std::vector<uint8_t> remoteData;
        std::vector<DPID> members;  // groups only
    };
    SessionDesc desc;
    DPID hostSystemPlayer = 0;
    std::vector<Entry> entries;  // in creation order
};

class Engine : public DirectPlayService, public SessionSeam {
public:
    explicit Engine(EngineOptions options = {});
    ~Engine() override;

    // DirectPlayService
    HRESULT EnumConnections(const Guid* application, const EnumConnectionsCallback& callback, uint32_t flags) override;
    HRESULT InitializeConnection(std::span<const uint8_t> address, uint32_t flags) override;
    HRESULT Open(const SessionDesc& desc, uint32_t flags) override;
    HRESULT Close() override;
    HRESULT GetSessionDesc(SessionDesc& out) override;
    HRESULT SetSessionDesc(const SessionDesc& desc, uint32_t flags) override;
    HRESULT CreatePlayer(DPID* id, const DpName& name, AutoResetEvent* event, std::span<const uint8_t> data,
                         uint32_t flags) override;
    HRESULT DestroyPlayer(DPID id) override;
    HRESULT GetPlayerName(DPID id, DpName& out) override;
    HRESULT SetPlayerName(DPID id, const DpName& name, uint32_t flags) override;
    HRESULT GetPlayerData(DPID id, uint8_t* buffer, uint32_t* size, uint32_t flags) override;
    HRESULT SetPlayerData(DPID id, std::span<const uint8_t> data, uint32_t flags) override;
    HRESULT GetPlayerFlags(DPID id, uint32_t* flags) override;
    HRESULT GetPlayerAddress(DPID id, std::vector<uint8_t>& out) override;
    HRESULT EnumPlayers(const Guid* session, const EnumPlayersCallback& callback, uint32_t flags) override;
    HRESULT CreateGroup(DPID* id, const DpName& name, std::span<const uint8_t> data, uint32_t flags) override;
    HRESULT DestroyGroup(DPID id) override;
    HRESULT AddPlayerToGroup(DPID group, DPID player) override;
    HRESULT DeletePlayerFromGroup(DPID group, DPID player) override;
    HRESULT GetGroupName(DPID id, DpName& out) override;
    HRESULT SetGroupName(DPID id, const DpName& name, uint32_t flags) override;
    HRESULT GetGroupData(DPID id, uint8_t* buffer, uint32_t* size, uint32_t flags) override;
    HRESULT SetGroupData(DPID id, std::span<const uint8_t> data, uint32_t flags) override;
    HRESULT EnumGroups(const Guid* session, const EnumPlayersCallback& callback, uint32_t flags) override;
    HRESULT EnumGroupPlayers(DPID group, const Guid* session, const EnumPlayersCallback& callback,
                             uint32_t flags) override;
    HRESULT Receive(DPID* from, DPID* to, uint32_t flags, uint8_t* buffer, uint32_t* size) override;
    HRESULT Send(DPID from, DPID to, uint32_t flags, std::span<const uint8_t> data) override;

    // SessionSeam
    void SetSink(std::shared_ptr<SessionSink> sink) override;
    HRESULT AllocateId(DPID* id) override;
    DPID HostSystemPlayer() const override;
    HRESULT MachineJoined(MachineId machine, DPID systemPlayer, std::string address) override;
    HRESULT RemotePlayerCreated(MachineId machine, const RemotePlayer& player, DPID* id) override;
    HRESULT RemoteGroupCreated(MachineId machine, DPID id, const DpName& name, std::span<const uint8_t> remoteData,
                               uint32_t flags, DPID* outId) override;
    HRESULT RemoteNameChanged(MachineId machine, DPID id, const DpName& name) override;
    HRESULT RemoteDataChanged(MachineId machine, DPID id, std::span<const uint8_t> remoteData) override;
    HRESULT RemotePlayerDestroyed(MachineId machine, DPID id) override;
    HRESULT RemoteGroupMembership(MachineId machine, DPID group, DPID player, bool added) override;
    HRESULT RemoteMessage(MachineId machine, DPID from, DPID to, std::span<const uint8_t> data) override;
    HRESULT MachineVanished(MachineId machine) override;

    EngineStats Stats() const;
    NameTableSnapshot Snapshot() const;
    // Messages waiting for one local player (0 for any other id).
    std::size_t QueuedFor(DPID player) const;

private:
    using Bytes = std::shared_ptr<const std::vector<uint8_t>>;
    struct Queued {
        uint64_t seq;
        DPID from;
        bool system;
        Bytes bytes;
    };
    struct Entry {
        DPID id = 0;
        bool isGroup = false;
        bool local = false;
        MachineId machine = 0;
        uint64_t order = 0;
        DpName name;
        uint32_t flags = 0;
        std::vector<uint8_t> localData;
        std::vector<uint8_t> remoteData;
        std::vector<DPID> links;  // a player's groups, or a group's members (in join order)
        // Local players only:
        AutoResetEvent* event = nullptr;
        std::deque<Queued> queue;
        std::size_t appCount = 0, appBytes = 0, sysCount = 0, sysBytes = 0;
    };
    struct Machine {
        DPID systemPlayer = 0;
        std::string address;
        std::size_t owned = 0;
    };
    struct Outbox {
        std::vector<OutboundNotice> notices;
        std::shared_ptr<SessionSink> sink;
    };

    HRESULT notOpen() const;
    bool nameFits(const DpName& name) const;
    Entry* find(DPID id);
    Entry* findPlayer(DPID id);
    Entry* findGroup(DPID id);
    DPID allocateIdLocked();
    void releaseIdLocked(DPID id);
    HRESULT claimIdLocked(DPID requested, DPID* out);
    uint32_t currentPlayersLocked() const;
    static std::size_t nameBytes(const DpName& name);
    static std::size_t weight(const Entry& e);
    bool roomLocked(MachineId machine, std::size_t moreEntries, std::size_t moreBytes) const;
    void enqueueLocked(Entry& player, DPID from, const Bytes& bytes, bool system);
    void systemToLocalsLocked(const Bytes& bytes, DPID except = 0);
    void applicationToLocalsLocked(DPID from, const Bytes& bytes, const std::vector<DPID>& recipients);
    Entry& addEntryLocked(Entry entry);
    void createdLocked(const Entry& e, DPID except, Outbox* out);
    void destroyLocked(DPID id, Outbox* out);
    void membershipLocked(Entry& group, Entry& player, bool added, Outbox* out);
    void renameLocked(Entry& e, const DpName& name, Outbox* out);
    void remoteDataLocked(Entry& e, std::span<const uint8_t> data, Outbox* out);
    void post(Outbox& out, OutboundNotice notice);
    void flush(Outbox& out);
    HRESULT getData(DPID id, bool group, uint8_t* buffer, uint32_t* size, uint32_t flags);
    HRESULT enumerate(const std::vector<DPID>& ids, const EnumPlayersCallback& callback, uint32_t flags);
    HRESULT refuse(HRESULT code);
    void clearLocked();

    const EngineOptions options_;
    mutable std::mutex mutex_;
    std::shared_ptr<SessionSink> sink_;
    bool initialized_ = false;
    bool open_ = false;
    std::string connectionAddress_;
    SessionDesc desc_;
    DPID hostSystemPlayer_ = 0;
    uint32_t idKey_ = 0;
    uint32_t nextIndex_ = 1;
    uint64_t nextOrder_ = 1;
    uint64_t nextSeq_ = 1;
    std::unordered_map<DPID, Entry> entries_;
    std::vector<DPID> order_;   // every entry, creation order
    std::vector<DPID> locals_;  // local players, creation order
    std::unordered_set<DPID> usedIds_;
    std::unordered_set<DPID> pendingIds_;  // handed out by AllocateId, not yet claimed
    std::map<MachineId, Machine> machines_;
    EngineStats counters_;
};

}  // namespace qd
