#include "session/engine.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "session/sysmsg.h"

namespace qd {

namespace {

constexpr uint32_t kPlayerFlagsAllowed = DPPLAYER_SPECTATOR | DPPLAYER_SERVERPLAYER;
constexpr uint32_t kGroupFlagsAllowed = 0x800 /* staging area */ | 0x1000 /* hidden */;
constexpr uint32_t kSendFlagsAllowed = DPSEND_GUARANTEED | 0x2 /* high priority */;

Guid randomGuid() {
    std::random_device rd;
    Guid g;
    g.data1 = rd();
    g.data2 = static_cast<uint16_t>(rd());
    g.data3 = static_cast<uint16_t>((rd() & 0x0FFF) | 0x4000);
    for (auto& b : g.data4) b = static_cast<uint8_t>(rd());
    g.data4[0] = static_cast<uint8_t>((g.data4[0] & 0x3F) | 0x80);
    return g;
}

bool isIpv4(const std::string& text) {
    in_addr a{};
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

}  // namespace

Engine::Engine(EngineOptions options) : options_(std::move(options)) {
    idKey_ = options_.idKey;
    while (idKey_ == 0) idKey_ = std::random_device{}();
}

Engine::~Engine() = default;

// ---- helpers (mutex held) -------------------------------------------------------------

HRESULT Engine::notOpen() const { return initialized_ ? DPERR_INVALIDPARAMS : DPERR_UNINITIALIZED; }

bool Engine::nameFits(const DpName& n) const {
    const auto max = options_.limits.maxNameUnits;
    return (!n.shortName || n.shortName->size() <= max) && (!n.longName || n.longName->size() <= max);
}

Engine::Entry* Engine::find(DPID id) {
    auto it = entries_.find(id);
    return it == entries_.end() ? nullptr : &it->second;
}
Engine::Entry* Engine::findPlayer(DPID id) {
    Entry* e = find(id);
    return e && !e->isGroup ? e : nullptr;
}
Engine::Entry* Engine::findGroup(DPID id) {
    Entry* e = find(id);
    return e && e->isGroup ? e : nullptr;
}

DPID Engine::allocateIdLocked() {
    for (;;) {
        const DPID id = nextIndex_++ ^ idKey_;
        if (id == 0 || id == DPID_SERVERPLAYER || id == DPID_UNKNOWN || usedIds_.count(id)) continue;
        usedIds_.insert(id);
        return id;
    }
}

void Engine::releaseIdLocked(DPID id) {
    usedIds_.erase(id);
    pendingIds_.erase(id);
}

HRESULT Engine::claimIdLocked(DPID requested, DPID* out) {
    if (requested == 0) {
        *out = allocateIdLocked();
        return S_OK;
    }
    if (!pendingIds_.erase(requested)) return DPERR_INVALIDPLAYER;  // only ids this host handed out
    *out = requested;
    return S_OK;
}

uint32_t Engine::currentPlayersLocked() const {
    uint32_t n = 0;
    for (const auto& [id, e] : entries_) n += e.isGroup ? 0 : 1;
    return n;
}

std::size_t Engine::nameBytes(const DpName& n) {
    return (n.shortName ? 2 * (n.shortName->size() + 1) : 0) + (n.longName ? 2 * (n.longName->size() + 1) : 0);
}

// What an entry costs in the name table sent to a joining machine, a little over its
// encoded size in any dialect: fixed fields, names, remote data, the provider data of a
// player and its place in each group's member list.
std::size_t Engine::weight(const Entry& e) {
    return 64 + nameBytes(e.name) + e.remoteData.size() + (e.isGroup ? 0 : 36 + 4 * e.links.size());
}

// Whether `machine` may add `moreEntries` entries and `moreBytes` of table to what it has.
bool Engine::roomLocked(MachineId machine, std::size_t moreEntries, std::size_t moreBytes) const {
    const auto& lim = options_.limits;
    constexpr std::size_t kSystemPlayer = 100;
    auto owner = machines_.find(machine);
    if (owner == machines_.end()) return false;
    struct Use {
        std::size_t entries = 0, bytes = kSystemPlayer;
    };
    std::map<MachineId, Use> use;
    for (const auto& [id, m] : machines_) use[id];
    std::size_t sharedEntries = 0, sharedBytes = 0;
    for (const auto& [id, e] : entries_) {
        if (e.local) {
            ++sharedEntries;
            sharedBytes += weight(e);
        } else if (auto u = use.find(e.machine); u != use.end()) {
            ++u->second.entries;
            u->second.bytes += weight(e);
        }
    }
    std::size_t addressEntries = 0, addressBytes = 0;
    for (const auto& [id, u] : use) {
        sharedEntries += u.entries > lim.entryShare ? u.entries - lim.entryShare : 0;
        sharedBytes += u.bytes > lim.tableShareBytes ? u.bytes - lim.tableShareBytes : 0;
        if (machines_.at(id).address == owner->second.address) {
            addressEntries += u.entries;
            addressBytes += u.bytes;
        }
    }
    const Use mine = use[machine];
    const std::size_t entries = mine.entries + moreEntries, bytes = mine.bytes + moreBytes;
    if (bytes > lim.tableBytesPerMachine || addressEntries + moreEntries > lim.maxEntriesPerAddress ||
        addressBytes + moreBytes > lim.tableBytesPerAddress)
        return false;
    // Only what goes beyond the machine's own share draws on the shared budget.
    const auto beyond = [](std::size_t now, std::size_t after, std::size_t share) {
        return (after > share ? after - share : 0) - (now > share ? now - share : 0);
    };
    const std::size_t reserved = lim.maxMachines * lim.entryShare;
    const std::size_t entryBudget = lim.maxEntries > reserved ? lim.maxEntries - reserved : 0;
    return sharedEntries + beyond(mine.entries, entries, lim.entryShare) <= entryBudget &&
           sharedBytes + beyond(mine.bytes, bytes, lim.tableShareBytes) <= lim.tableBytes;
}

void Engine::enqueueLocked(Entry& p, DPID from, const Bytes& bytes, bool system) {
    const auto& lim = options_.limits;
    const std::size_t n = bytes->size();
    const std::size_t count = p.appCount + p.sysCount;
    const std::size_t total = p.appBytes + p.sysBytes;
    const bool full = system ? (count >= 2 * lim.maxQueuedMessages || total + n > 2 * lim.maxQueuedBytes)
                             : (count >= lim.maxQueuedMessages || total + n > lim.maxQueuedBytes);
    if (full) {
        ++counters_.droppedMessages;
        counters_.droppedBytes += n;
        return;
    }
    p.queue.push_back(Queued{nextSeq_++, from, system, bytes});
    if (system) {
        ++p.sysCount;
        p.sysBytes += n;
    } else {
        ++p.appCount;
        p.appBytes += n;
    }
    if (p.event) p.event->set();
}

void Engine::systemToLocalsLocked(const Bytes& bytes, DPID except) {
    for (auto it = locals_.rbegin(); it != locals_.rend(); ++it)
        if (*it != except) enqueueLocked(entries_.at(*it), DPID_SYSMSG, bytes, true);
}

void Engine::applicationToLocalsLocked(DPID from, const Bytes& bytes, const std::vector<DPID>& recipients) {
    for (DPID id : recipients)
        if (id != from)
            if (Entry* p = findPlayer(id); p && p->local) enqueueLocked(*p, from, bytes, false);
}

Engine::Entry& Engine::addEntryLocked(Entry entry) {
    entry.order = nextOrder_++;
    const DPID id = entry.id;
    order_.push_back(id);
    if (entry.local && !entry.isGroup) locals_.push_back(id);
    if (entry.machine) ++machines_.at(entry.machine).owned;
    return entries_.emplace(id, std::move(entry)).first->second;
}

void Engine::createdLocked(const Entry& e, DPID except, Outbox* out) {
    SysCreatePlayerOrGroup m;
    m.playerType = e.isGroup ? DPPLAYERTYPE_GROUP : DPPLAYERTYPE_PLAYER;
    m.id = e.id;
    m.currentPlayers = currentPlayersLocked();
    m.data = e.remoteData;
    m.name = e.name;
    m.flags = e.flags | (e.local ? DPPLAYER_LOCAL : 0);
    systemToLocalsLocked(std::make_shared<const std::vector<uint8_t>>(EncodeCreatePlayerOrGroup(m)), except);
    if (out) {
        OutboundNotice n;
        n.kind = e.isGroup ? OutboundNotice::Kind::GroupCreated : OutboundNotice::Kind::PlayerCreated;
        n.id = e.id;
        n.isGroup = e.isGroup;
        n.name = e.name;
        n.flags = e.flags;
        n.data = e.remoteData;
        post(*out, std::move(n));
    }
}

void Engine::membershipLocked(Entry& group, Entry& player, bool added, Outbox* out) {
    if (added) {
        group.links.push_back(player.id);
        player.links.push_back(group.id);
    } else {
        std::erase(group.links, player.id);
        std::erase(player.links, group.id);
    }
    const uint32_t type = added ? DPSYS_ADDPLAYERTOGROUP : DPSYS_DELETEPLAYERFROMGROUP;
    systemToLocalsLocked(std::make_shared<const std::vector<uint8_t>>(
        EncodeGroupMembership(type, SysGroupMembership{group.id, player.id})));
    if (out) {
        OutboundNotice n;
        n.kind = added ? OutboundNotice::Kind::AddedToGroup : OutboundNotice::Kind::RemovedFromGroup;
        n.group = group.id;
        n.id = player.id;
        post(*out, std::move(n));
    }
}

void Engine::destroyLocked(DPID id, Outbox* out) {
    Entry& e = entries_.at(id);
    // Leaving every group (or losing every member) comes first, as its own messages.
    const std::vector<DPID> links = e.links;
    for (DPID other : links) {
        Entry* o = find(other);
        if (!o) continue;
        if (e.isGroup)
            membershipLocked(e, *o, false, nullptr);
        else
            membershipLocked(*o, e, false, nullptr);
    }
    Entry gone = std::move(e);
    entries_.erase(id);
    std::erase(order_, id);
    if (gone.local && !gone.isGroup) std::erase(locals_, id);
    if (gone.machine) {
        if (auto m = machines_.find(gone.machine); m != machines_.end() && m->second.owned) --m->second.owned;
    }
    releaseIdLocked(id);

    SysDestroyPlayerOrGroup m;
    m.playerType = gone.isGroup ? DPPLAYERTYPE_GROUP : DPPLAYERTYPE_PLAYER;
    m.id = id;
    m.localData = std::move(gone.localData);
    m.remoteData = std::move(gone.remoteData);
    m.name = std::move(gone.name);
    m.flags = gone.flags | (gone.local ? DPPLAYER_LOCAL : 0);
    systemToLocalsLocked(std::make_shared<const std::vector<uint8_t>>(EncodeDestroyPlayerOrGroup(m)));
    if (out) {
        OutboundNotice n;
        n.kind = gone.isGroup ? OutboundNotice::Kind::GroupDestroyed : OutboundNotice::Kind::PlayerDestroyed;
        n.id = id;
        n.isGroup = gone.isGroup;
        post(*out, std::move(n));
    }
}

void Engine::renameLocked(Entry& e, const DpName& name, Outbox* out) {
    e.name = name;
    e.name.dwSize = 16;
    systemToLocalsLocked(std::make_shared<const std::vector<uint8_t>>(
        EncodeSetName(SysSetName{e.isGroup ? DPPLAYERTYPE_GROUP : DPPLAYERTYPE_PLAYER, e.id, e.name})));
    if (out) {
        OutboundNotice n;
        n.kind = OutboundNotice::Kind::NameChanged;
        n.id = e.id;
        n.isGroup = e.isGroup;
        n.name = e.name;
        post(*out, std::move(n));
    }
}

void Engine::remoteDataLocked(Entry& e, std::span<const uint8_t> data, Outbox* out) {
    e.remoteData.assign(data.begin(), data.end());
    systemToLocalsLocked(std::make_shared<const std::vector<uint8_t>>(
        EncodeSetData(SysSetData{e.isGroup ? DPPLAYERTYPE_GROUP : DPPLAYERTYPE_PLAYER, e.id, e.remoteData})));
    if (out) {
        OutboundNotice n;
        n.kind = OutboundNotice::Kind::DataChanged;
        n.id = e.id;
        n.isGroup = e.isGroup;
        n.data = e.remoteData;
        post(*out, std::move(n));
    }
}

void Engine::post(Outbox& out, OutboundNotice notice) {
    out.sink = sink_;
    if (out.sink) out.notices.push_back(std::move(notice));
}

void Engine::flush(Outbox& out) {
    if (!out.sink) return;
    for (const auto& n : out.notices) out.sink->Notify(n);
}

HRESULT Engine::refuse(HRESULT code) {
    ++counters_.refusedInbound;
    return code;
}

void Engine::clearLocked() {
    entries_.clear();
    order_.clear();
    locals_.clear();
    usedIds_.clear();
    pendingIds_.clear();
    machines_.clear();
    hostSystemPlayer_ = 0;
    open_ = false;
}

// ---- connections and session ------------------------------------------------------------

HRESULT Engine::EnumConnections(const Guid*, const EnumConnectionsCallback& callback, uint32_t) {
    if (!callback) return DPERR_INVALIDPARAMS;
    if (!options_.offerTcpip) return S_OK;
    const auto address = BuildTcpipAddress({});
    DpName name;
    name.shortName = u"Internet TCP/IP Connection For DirectPlay";
    callback(kDpspGuidTcpip, address, name, DPCONNECTION_DIRECTPLAY);
    return S_OK;
}

HRESULT Engine::InitializeConnection(std::span<const uint8_t> address, uint32_t flags) {
    if (flags != 0) return DPERR_INVALIDFLAGS;
    if (!ParseCompoundAddress(address)) return DPERR_INVALIDPARAMS;
    const auto sp = AddressServiceProvider(address);
    if (!sp || *sp != kDpspGuidTcpip || !options_.offerTcpip) return DPERR_UNAVAILABLE;
    std::lock_guard lock(mutex_);
    if (initialized_) return DPERR_ALREADYINITIALIZED;
    initialized_ = true;
    connectionAddress_ = AddressINet(address).value_or("");
    return S_OK;
}

HRESULT Engine::Open(const SessionDesc& desc, uint32_t flags) {
    {
        std::lock_guard lock(mutex_);
        if (!initialized_) return DPERR_UNINITIALIZED;
        if (open_) return DPERR_ALREADYINITIALIZED;
        if (flags & DPOPEN_JOIN) return DPERR_NOSESSIONS;  // this engine only hosts
        if (!(flags & DPOPEN_CREATE)) return DPERR_INVALIDFLAGS;
        if (desc.dwSize != 80) return DPERR_INVALIDPARAMS;
        desc_ = desc;
        // DirectPlay names every session it creates: clients key their session lists on
        // the instance, so two hosts of one application must never share it. Only a lobby
        // that named the session keeps its name.
        if (!(flags & kOpenLobbyInstance) || desc_.guidInstance.isNull()) desc_.guidInstance = randomGuid();
        desc_.dwCurrentPlayers = 0;
        open_ = true;
        hostSystemPlayer_ = allocateIdLocked();
    }
    if (options_.onOpen) {
        const HRESULT hr = options_.onOpen(*this);
        if (FAILED(hr)) {
            Close();
            return hr;
        }
    }
    return S_OK;
}

HRESULT Engine::Close() {
    Outbox out;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return S_OK;
    }
    if (options_.onClose) options_.onClose(*this);
    {
        std::lock_guard lock(mutex_);
        if (!open_) return S_OK;
        OutboundNotice n;
        n.kind = OutboundNotice::Kind::SessionClosed;
        post(out, std::move(n));
        clearLocked();
    }
    flush(out);
    return S_OK;
}

HRESULT Engine::GetSessionDesc(SessionDesc& out) {
    std::lock_guard lock(mutex_);
    if (!open_) return notOpen();
    out = desc_;
    out.dwCurrentPlayers = currentPlayersLocked();
    return S_OK;
}

HRESULT Engine::SetSessionDesc(const SessionDesc& desc, uint32_t) {
    Outbox out;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        if (desc.dwSize != 80) return DPERR_INVALIDPARAMS;
        // The instance, the application and the player count are the session's own.
        const SessionDesc old = desc_;
        desc_ = desc;
        desc_.guidInstance = old.guidInstance;
        desc_.guidApplication = old.guidApplication;
        desc_.dwCurrentPlayers = currentPlayersLocked();
        systemToLocalsLocked(std::make_shared<const std::vector<uint8_t>>(EncodeSetSessionDesc(desc_)));
        OutboundNotice n;
        n.kind = OutboundNotice::Kind::SessionDescChanged;
        n.desc = desc_;
        post(out, std::move(n));
    }
    flush(out);
    return S_OK;
}

// ---- players ------------------------------------------------------------------------------

HRESULT Engine::CreatePlayer(DPID* id, const DpName& name, AutoResetEvent* event, std::span<const uint8_t> data,
                             uint32_t flags) {
    if (!id) return DPERR_INVALIDPARAMS;
    if (flags & ~kPlayerFlagsAllowed) return DPERR_INVALIDFLAGS;
    Outbox out;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        if (!nameFits(name) || data.size() > options_.limits.maxDataBytes) return DPERR_INVALIDPARAMS;
        if (entries_.size() >= options_.limits.maxEntries) return DPERR_CANTCREATEPLAYER;
        Entry e;
        e.id = allocateIdLocked();
        e.local = true;
        e.name = name;
        e.name.dwSize = 16;
        e.flags = flags;
        e.event = event;
        e.remoteData.assign(data.begin(), data.end());
        Entry& added = addEntryLocked(std::move(e));
        *id = added.id;
        createdLocked(added, added.id, &out);
    }
    flush(out);
    return S_OK;
}

HRESULT Engine::DestroyPlayer(DPID id) {
    Outbox out;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        if (!findPlayer(id)) return DPERR_INVALIDPLAYER;
        // The host may also remove a remote player (the session's name server does so).
        destroyLocked(id, &out);
    }
    flush(out);
    return S_OK;
}

HRESULT Engine::GetPlayerName(DPID id, DpName& out) {
    std::lock_guard lock(mutex_);
    if (!open_) return notOpen();
    const Entry* p = findPlayer(id);
    if (!p) return DPERR_INVALIDPLAYER;
    out = p->name;
    return S_OK;
}

HRESULT Engine::SetPlayerName(DPID id, const DpName& name, uint32_t) {
    Outbox out;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        Entry* p = findPlayer(id);
        if (!p) return DPERR_INVALIDPLAYER;
        if (!p->local) return DPERR_ACCESSDENIED;
        if (!nameFits(name)) return DPERR_INVALIDPARAMS;
        renameLocked(*p, name, &out);
    }
    flush(out);
    return S_OK;
}

HRESULT Engine::getData(DPID id, bool group, uint8_t* buffer, uint32_t* size, uint32_t flags) {
    if (!size) return DPERR_INVALIDPARAMS;
    std::lock_guard lock(mutex_);
    if (!open_) return notOpen();
    const Entry* e = group ? findGroup(id) : findPlayer(id);
    if (!e) return group ? DPERR_INVALIDGROUP : DPERR_INVALIDPLAYER;
    const auto& d = (flags & DPGET_LOCAL) ? e->localData : e->remoteData;
    const auto n = static_cast<uint32_t>(d.size());
    if (n > *size || (n > 0 && !buffer)) {
        *size = n;
        return DPERR_BUFFERTOOSMALL;
    }
    if (n) std::memcpy(buffer, d.data(), n);
    *size = n;
    return S_OK;
}

HRESULT Engine::GetPlayerData(DPID id, uint8_t* buffer, uint32_t* size, uint32_t flags) {
    return getData(id, false, buffer, size, flags);
}

HRESULT Engine::SetPlayerData(DPID id, std::span<const uint8_t> data, uint32_t flags) {
    Outbox out;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        Entry* p = findPlayer(id);
        if (!p) return DPERR_INVALIDPLAYER;
        if (data.size() > options_.limits.maxDataBytes) return DPERR_INVALIDPARAMS;
        if (flags & DPSET_LOCAL) {
            p->localData.assign(data.begin(), data.end());  // the host's own, told to nobody
            return S_OK;
        }
        if (!p->local) return DPERR_ACCESSDENIED;
        remoteDataLocked(*p, data, &out);
    }
    flush(out);
    return S_OK;
}

HRESULT Engine::GetPlayerFlags(DPID id, uint32_t* flags) {
    if (!flags) return DPERR_INVALIDPARAMS;
    std::lock_guard lock(mutex_);
    if (!open_) return notOpen();
    const Entry* p = findPlayer(id);
    if (!p) return DPERR_INVALIDPLAYER;
    *flags = p->flags | (p->local ? DPPLAYER_LOCAL : 0);
    return S_OK;
}

HRESULT Engine::GetPlayerAddress(DPID id, std::vector<uint8_t>& out) {
    std::lock_guard lock(mutex_);
    if (!open_) return notOpen();
    const Entry* p = findPlayer(id);
    if (!p) return DPERR_INVALIDPLAYER;
    std::string text;
    if (p->local) {
        text = !options_.hostAddress.empty()      ? options_.hostAddress
               : !connectionAddress_.empty() ? connectionAddress_
                                             : "127.0.0.1";
    } else {
        text = machines_.at(p->machine).address;
    }
    out = BuildTcpipAddress(text);
    return S_OK;
}

HRESULT Engine::enumerate(const std::vector<DPID>& ids, const EnumPlayersCallback& callback, uint32_t flags) {
    struct Item {
        DPID id;
        uint32_t type;
        DpName name;
        uint32_t flags;
    };
    std::vector<Item> items;
    {
        std::lock_guard lock(mutex_);
        for (DPID id : ids) {
            const Entry* e = find(id);
            if (!e) continue;
            if ((flags & DPENUMPLAYERS_LOCAL) && !e->local) continue;
            if ((flags & DPENUMPLAYERS_REMOTE) && e->local) continue;
            items.push_back({id, e->isGroup ? DPPLAYERTYPE_GROUP : DPPLAYERTYPE_PLAYER, e->name,
                             e->flags | (e->local ? DPPLAYER_LOCAL : 0)});
        }
    }
    for (const auto& it : items)
        if (!callback(it.id, it.type, it.name, it.flags)) break;
    return S_OK;
}

HRESULT Engine::EnumPlayers(const Guid*, const EnumPlayersCallback& callback, uint32_t flags) {
    if (!callback) return DPERR_INVALIDPARAMS;
    std::vector<DPID> ids;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        for (DPID id : order_)
            if (!entries_.at(id).isGroup) ids.push_back(id);
    }
    return enumerate(ids, callback, flags);
}

// ---- groups -------------------------------------------------------------------------------

HRESULT Engine::CreateGroup(DPID* id, const DpName& name, std::span<const uint8_t> data, uint32_t flags) {
    if (!id) return DPERR_INVALIDPARAMS;
    if (flags & ~kGroupFlagsAllowed) return DPERR_INVALIDFLAGS;
    Outbox out;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        if (!nameFits(name) || data.size() > options_.limits.maxDataBytes) return DPERR_INVALIDPARAMS;
        if (entries_.size() >= options_.limits.maxEntries) return DPERR_CANTCREATEGROUP;
        Entry e;
        e.id = allocateIdLocked();
        e.isGroup = true;
        e.local = true;
        e.name = name;
        e.name.dwSize = 16;
        e.flags = flags;
        e.remoteData.assign(data.begin(), data.end());
        Entry& added = addEntryLocked(std::move(e));
        *id = added.id;
        createdLocked(added, 0, &out);
    }
    flush(out);
    return S_OK;
}

HRESULT Engine::DestroyGroup(DPID id) {
    Outbox out;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        if (!findGroup(id)) return DPERR_INVALIDGROUP;
        destroyLocked(id, &out);
    }
    flush(out);
    return S_OK;
}

HRESULT Engine::AddPlayerToGroup(DPID group, DPID player) {
    Outbox out;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        Entry* g = findGroup(group);
        if (!g) return DPERR_INVALIDGROUP;
        Entry* p = findPlayer(player);
        if (!p) return DPERR_INVALIDPLAYER;
        // Already a member: nothing changes and nobody is told again.
        if (std::find(g->links.begin(), g->links.end(), player) != g->links.end()) return S_OK;
        membershipLocked(*g, *p, true, &out);
    }
    flush(out);
    return S_OK;
}

HRESULT Engine::DeletePlayerFromGroup(DPID group, DPID player) {
    Outbox out;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        Entry* g = findGroup(group);
        if (!g) return DPERR_INVALIDGROUP;
        Entry* p = findPlayer(player);
        if (!p || std::find(g->links.begin(), g->links.end(), player) == g->links.end()) return DPERR_INVALIDPLAYER;
        membershipLocked(*g, *p, false, &out);
    }
    flush(out);
    return S_OK;
}

HRESULT Engine::GetGroupName(DPID id, DpName& out) {
    std::lock_guard lock(mutex_);
    if (!open_) return notOpen();
    const Entry* g = findGroup(id);
    if (!g) return DPERR_INVALIDGROUP;
    out = g->name;
    return S_OK;
}

HRESULT Engine::SetGroupName(DPID id, const DpName& name, uint32_t) {
    Outbox out;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        Entry* g = findGroup(id);
        if (!g) return DPERR_INVALIDGROUP;
        if (!g->local) return DPERR_ACCESSDENIED;
        if (!nameFits(name)) return DPERR_INVALIDPARAMS;
        renameLocked(*g, name, &out);
    }
    flush(out);
    return S_OK;
}

HRESULT Engine::GetGroupData(DPID id, uint8_t* buffer, uint32_t* size, uint32_t flags) {
    return getData(id, true, buffer, size, flags);
}

HRESULT Engine::SetGroupData(DPID id, std::span<const uint8_t> data, uint32_t flags) {
    Outbox out;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        Entry* g = findGroup(id);
        if (!g) return DPERR_INVALIDGROUP;
        if (data.size() > options_.limits.maxDataBytes) return DPERR_INVALIDPARAMS;
        if (flags & DPSET_LOCAL) {
            g->localData.assign(data.begin(), data.end());
            return S_OK;
        }
        if (!g->local) return DPERR_ACCESSDENIED;
        remoteDataLocked(*g, data, &out);
    }
    flush(out);
    return S_OK;
}

HRESULT Engine::EnumGroups(const Guid*, const EnumPlayersCallback& callback, uint32_t flags) {
    if (!callback) return DPERR_INVALIDPARAMS;
    std::vector<DPID> ids;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        for (DPID id : order_)
            if (entries_.at(id).isGroup) ids.push_back(id);
    }
    return enumerate(ids, callback, flags);
}

HRESULT Engine::EnumGroupPlayers(DPID group, const Guid*, const EnumPlayersCallback& callback, uint32_t flags) {
    if (!callback) return DPERR_INVALIDPARAMS;
    std::vector<DPID> ids;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        const Entry* g = findGroup(group);
        if (!g) return DPERR_INVALIDGROUP;
        ids = g->links;
    }
    return enumerate(ids, callback, flags);
}

// ---- messages -----------------------------------------------------------------------------

HRESULT Engine::Receive(DPID* from, DPID* to, uint32_t flags, uint8_t* buffer, uint32_t* size) {
    if (!from || !to || !size) return DPERR_INVALIDPARAMS;
    std::lock_guard lock(mutex_);
    const bool all = flags == 0 || (flags & DPRECEIVE_ALL);
    const bool toFilter = !all && (flags & DPRECEIVE_TOPLAYER);
    const bool fromFilter = !all && (flags & DPRECEIVE_FROMPLAYER);
    Entry* best = nullptr;
    std::size_t bestIndex = 0;
    for (DPID id : locals_) {
        if (toFilter && id != *to) continue;
        Entry& p = entries_.at(id);
        for (std::size_t i = 0; i < p.queue.size(); ++i) {
            if (fromFilter && p.queue[i].from != *from) continue;
            if (!best || p.queue[i].seq < best->queue[bestIndex].seq) {
                best = &p;
                bestIndex = i;
            }
            break;
        }
    }
    if (!best) return DPERR_NOMESSAGES;
    const Queued& q = best->queue[bestIndex];
    const auto n = static_cast<uint32_t>(q.bytes->size());
    if (!buffer || *size < n) {
        *size = n;
        return DPERR_BUFFERTOOSMALL;
    }
    std::memcpy(buffer, q.bytes->data(), n);
    *size = n;
    *from = q.from;
    *to = best->id;
    if (!(flags & DPRECEIVE_PEEK)) {
        if (q.system) {
            --best->sysCount;
            best->sysBytes -= n;
        } else {
            --best->appCount;
            best->appBytes -= n;
        }
        best->queue.erase(best->queue.begin() + static_cast<std::ptrdiff_t>(bestIndex));
    }
    return S_OK;
}

HRESULT Engine::Send(DPID from, DPID to, uint32_t flags, std::span<const uint8_t> data) {
    if (data.empty()) return DPERR_INVALIDPARAMS;
    if (flags & ~kSendFlagsAllowed) return DPERR_INVALIDPARAMS;
    Outbox out;
    {
        std::lock_guard lock(mutex_);
        if (!open_) return notOpen();
        if (data.size() > options_.limits.maxMessageBytes) return DPERR_SENDTOOBIG;
        const Entry* sender = findPlayer(from);
        if (!sender) return DPERR_INVALIDPLAYER;
        if (!sender->local) return DPERR_ACCESSDENIED;
        if (to == from) return S_OK;  // DirectPlay accepts it and delivers nothing
        Entry* target = to == DPID_ALLPLAYERS ? nullptr : find(to);
        if (to != DPID_ALLPLAYERS && !target) return DPERR_INVALIDPLAYER;

        const auto bytes = std::make_shared<const std::vector<uint8_t>>(data.begin(), data.end());
        auto remote = [&](MachineId machine) {
            OutboundNotice n;
            n.kind = OutboundNotice::Kind::Message;
            n.machine = machine;
            n.from = from;
            n.to = to;
            n.flags = flags;
            n.data.assign(data.begin(), data.end());
            post(out, std::move(n));
        };
        if (!target) {
            std::vector<DPID> newestFirst(locals_.rbegin(), locals_.rend());
            applicationToLocalsLocked(from, bytes, newestFirst);
            if (!machines_.empty()) remote(kAllMachines);
        } else if (!target->isGroup) {
            if (target->local)
                enqueueLocked(*target, from, bytes, false);
            else
                remote(target->machine);
        } else {
            applicationToLocalsLocked(from, bytes, target->links);
            std::vector<MachineId> told;
            for (DPID member : target->links) {
                const Entry* m = findPlayer(member);
                if (m && !m->local && std::find(told.begin(), told.end(), m->machine) == told.end()) {
                    told.push_back(m->machine);
                    remote(m->machine);
                }
            }
        }
    }
    flush(out);
    return S_OK;
}

// ---- the seam -----------------------------------------------------------------------------

void Engine::SetSink(std::shared_ptr<SessionSink> sink) {
    std::lock_guard lock(mutex_);
    sink_ = std::move(sink);
}

HRESULT Engine::AllocateId(DPID* id) {
    if (!id) return DPERR_INVALIDPARAMS;
    std::lock_guard lock(mutex_);
    if (!open_) return notOpen();
    if (pendingIds_.size() >= options_.limits.maxEntries) return refuse(DPERR_CANTADDPLAYER);
    *id = allocateIdLocked();
    pendingIds_.insert(*id);
    return S_OK;
}

DPID Engine::HostSystemPlayer() const {
    std::lock_guard lock(mutex_);
    return hostSystemPlayer_;
}

HRESULT Engine::MachineJoined(MachineId machine, DPID systemPlayer, std::string address) {
    std::lock_guard lock(mutex_);
    if (!open_) return refuse(notOpen());
    if (machine == kAllMachines || machines_.count(machine) || !isIpv4(address)) return refuse(DPERR_INVALIDPARAMS);
    if (machines_.size() >= options_.limits.maxMachines) return refuse(DPERR_CANTADDPLAYER);
    DPID id = 0;
    if (HRESULT r = claimIdLocked(systemPlayer, &id); FAILED(r)) return refuse(r);
    machines_.emplace(machine, Machine{id, std::move(address), 0});
    return S_OK;
}

HRESULT Engine::RemotePlayerCreated(MachineId machine, const RemotePlayer& player, DPID* id) {
    std::lock_guard lock(mutex_);
    if (!open_) return refuse(notOpen());
    auto m = machines_.find(machine);
    if (m == machines_.end()) return refuse(DPERR_INVALIDPARAMS);
    if (!nameFits(player.name) || player.remoteData.size() > options_.limits.maxDataBytes)
        return refuse(DPERR_INVALIDPARAMS);
    Entry e;
    e.machine = machine;
    e.name = player.name;
    e.name.dwSize = 16;
    e.flags = player.flags & kPlayerFlagsAllowed;
    e.remoteData = player.remoteData;
    if (entries_.size() >= options_.limits.maxEntries || m->second.owned >= options_.limits.maxPlayersPerMachine ||
        !roomLocked(machine, 1, weight(e)))
        return refuse(DPERR_CANTADDPLAYER);
    if (HRESULT r = claimIdLocked(player.id, &e.id); FAILED(r)) return refuse(r);
    Entry& added = addEntryLocked(std::move(e));
    if (id) *id = added.id;
    createdLocked(added, 0, nullptr);
    return S_OK;
}

HRESULT Engine::RemoteGroupCreated(MachineId machine, DPID requested, const DpName& name,
                                   std::span<const uint8_t> remoteData, uint32_t flags, DPID* outId) {
    std::lock_guard lock(mutex_);
    if (!open_) return refuse(notOpen());
    auto m = machines_.find(machine);
    if (m == machines_.end()) return refuse(DPERR_INVALIDPARAMS);
    if (!nameFits(name) || remoteData.size() > options_.limits.maxGroupDataBytes) return refuse(DPERR_INVALIDPARAMS);
    std::size_t groups = 0;
    for (const auto& [id, other] : entries_) groups += other.isGroup && other.machine == machine ? 1 : 0;
    Entry e;
    e.isGroup = true;
    e.machine = machine;
    e.name = name;
    e.name.dwSize = 16;
    e.flags = flags & kGroupFlagsAllowed;
    e.remoteData.assign(remoteData.begin(), remoteData.end());
    if (entries_.size() >= options_.limits.maxEntries || m->second.owned >= options_.limits.maxPlayersPerMachine ||
        groups >= options_.limits.maxGroupsPerMachine || !roomLocked(machine, 1, weight(e)))
        return refuse(DPERR_CANTCREATEGROUP);
    if (HRESULT r = claimIdLocked(requested, &e.id); FAILED(r)) return refuse(r);
    Entry& added = addEntryLocked(std::move(e));
    if (outId) *outId = added.id;
    createdLocked(added, 0, nullptr);
    return S_OK;
}

HRESULT Engine::RemoteNameChanged(MachineId machine, DPID id, const DpName& name) {
    std::lock_guard lock(mutex_);
    if (!open_) return refuse(notOpen());
    Entry* e = find(id);
    if (!e) return refuse(DPERR_INVALIDPLAYER);
    if (e->local || e->machine != machine) return refuse(DPERR_ACCESSDENIED);
    if (!nameFits(name)) return refuse(DPERR_INVALIDPARAMS);
    const std::size_t now = nameBytes(e->name), after = nameBytes(name);
    if (after > now && !roomLocked(machine, 0, after - now)) return refuse(DPERR_INVALIDPARAMS);
    renameLocked(*e, name, nullptr);
    return S_OK;
}

HRESULT Engine::RemoteDataChanged(MachineId machine, DPID id, std::span<const uint8_t> remoteData) {
    std::lock_guard lock(mutex_);
    if (!open_) return refuse(notOpen());
    Entry* e = find(id);
    if (!e) return refuse(DPERR_INVALIDPLAYER);
    if (e->local || e->machine != machine) return refuse(DPERR_ACCESSDENIED);
    if (remoteData.size() > (e->isGroup ? options_.limits.maxGroupDataBytes : options_.limits.maxDataBytes))
        return refuse(DPERR_INVALIDPARAMS);
    if (remoteData.size() > e->remoteData.size() &&
        !roomLocked(machine, 0, remoteData.size() - e->remoteData.size()))
        return refuse(DPERR_INVALIDPARAMS);
    remoteDataLocked(*e, remoteData, nullptr);
    return S_OK;
}

HRESULT Engine::RemotePlayerDestroyed(MachineId machine, DPID id) {
    std::lock_guard lock(mutex_);
    if (!open_) return refuse(notOpen());
    Entry* e = find(id);
    if (!e) return refuse(DPERR_INVALIDPLAYER);
    if (e->local || e->machine != machine) return refuse(DPERR_ACCESSDENIED);
    destroyLocked(id, nullptr);
    return S_OK;
}

HRESULT Engine::RemoteGroupMembership(MachineId machine, DPID group, DPID player, bool added) {
    std::lock_guard lock(mutex_);
    if (!open_) return refuse(notOpen());
    Entry* g = findGroup(group);
    if (!g) return refuse(DPERR_INVALIDGROUP);
    Entry* p = findPlayer(player);
    if (!p) return refuse(DPERR_INVALIDPLAYER);
    // A machine moves its own players only, whoever owns the group.
    if (p->local || p->machine != machine) return refuse(DPERR_ACCESSDENIED);
    const bool member = std::find(g->links.begin(), g->links.end(), player) != g->links.end();
    if (added == member) return added ? S_OK : refuse(DPERR_INVALIDPLAYER);
    if (added && !roomLocked(machine, 0, 4)) return refuse(DPERR_CANTADDPLAYER);
    membershipLocked(*g, *p, added, nullptr);
    return S_OK;
}

HRESULT Engine::RemoteMessage(MachineId machine, DPID from, DPID to, std::span<const uint8_t> data) {
    std::lock_guard lock(mutex_);
    if (!open_) return refuse(notOpen());
    const Entry* sender = findPlayer(from);
    if (!sender) return refuse(DPERR_INVALIDPLAYER);
    if (sender->local || sender->machine != machine) return refuse(DPERR_ACCESSDENIED);
    if (data.empty() || data.size() > options_.limits.maxMessageBytes) return refuse(DPERR_INVALIDPARAMS);
    const auto bytes = std::make_shared<const std::vector<uint8_t>>(data.begin(), data.end());
    if (to == DPID_ALLPLAYERS) {
        std::vector<DPID> newestFirst(locals_.rbegin(), locals_.rend());
        applicationToLocalsLocked(from, bytes, newestFirst);
        return S_OK;
    }
    Entry* target = find(to);
    if (!target || (!target->isGroup && !target->local)) return refuse(DPERR_INVALIDPLAYER);
    if (target->isGroup)
        applicationToLocalsLocked(from, bytes, target->links);
    else
        enqueueLocked(*target, from, bytes, false);
    return S_OK;
}

HRESULT Engine::MachineVanished(MachineId machine) {
    std::lock_guard lock(mutex_);
    auto m = machines_.find(machine);
    if (m == machines_.end()) return refuse(DPERR_INVALIDPARAMS);
    std::vector<DPID> owned;
    for (DPID id : order_)
        if (entries_.at(id).machine == machine) owned.push_back(id);
    // Players first (each leaves its groups), then the machine's groups.
    std::stable_partition(owned.begin(), owned.end(), [&](DPID id) { return !entries_.at(id).isGroup; });
    for (DPID id : owned)
        if (entries_.count(id)) destroyLocked(id, nullptr);
    releaseIdLocked(m->second.systemPlayer);
    machines_.erase(m);
    return S_OK;
}

// ---- inspection -----------------------------------------------------------------------------

EngineStats Engine::Stats() const {
    std::lock_guard lock(mutex_);
    EngineStats s = counters_;
    for (const auto& [id, e] : entries_) {
        if (e.isGroup) {
            ++s.groups;
            continue;
        }
        ++s.players;
        s.queuedMessages += e.queue.size();
        s.queuedBytes += e.appBytes + e.sysBytes;
    }
    s.machines = machines_.size();
    return s;
}

NameTableSnapshot Engine::Snapshot() const {
    std::lock_guard lock(mutex_);
    NameTableSnapshot snap;
    snap.desc = desc_;
    snap.desc.dwCurrentPlayers = currentPlayersLocked();
    snap.hostSystemPlayer = hostSystemPlayer_;
    for (DPID id : order_) {
        const Entry& e = entries_.at(id);
        snap.entries.push_back({e.id, e.isGroup, e.local, e.machine, e.name, e.flags, e.remoteData,
                                e.isGroup ? e.links : std::vector<DPID>{}});
    }
    return snap;
}

std::size_t Engine::QueuedFor(DPID player) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(player);
    return it == entries_.end() ? 0 : it->second.queue.size();
}

}  // namespace qd
