#include "session/scripted_peer.h"

namespace qd {

std::shared_ptr<ScriptedNetwork> ScriptedNetwork::Attach(Engine& engine) {
    auto network = std::make_shared<ScriptedNetwork>(engine);
    engine.SetSink(network);
    return network;
}

ScriptedPeer& ScriptedNetwork::AddPeer(std::string address) {
    std::lock_guard lock(mutex_);
    peers_.push_back(std::unique_ptr<ScriptedPeer>(new ScriptedPeer(*this, engine_, nextMachine_++, std::move(address))));
    return *peers_.back();
}

void ScriptedNetwork::Notify(const OutboundNotice& notice) {
    std::lock_guard lock(mutex_);
    for (auto& p : peers_) {
        if (!p->joined_ || (notice.machine != kAllMachines && notice.machine != p->machine_)) continue;
        if (p->log_.size() >= logLimit_) p->log_.erase(p->log_.begin());
        p->log_.push_back(notice);
    }
}

void ScriptedNetwork::SetLogLimit(std::size_t limit) {
    std::lock_guard lock(mutex_);
    logLimit_ = limit ? limit : 1;
}

HRESULT ScriptedPeer::Join() {
    DPID id = 0;
    if (HRESULT r = engine_.AllocateId(&id); FAILED(r)) return r;
    if (HRESULT r = engine_.MachineJoined(machine_, id, address_); FAILED(r)) return r;
    std::lock_guard lock(network_.mutex_);
    systemPlayer_ = id;
    joined_ = true;
    return S_OK;
}

HRESULT ScriptedPeer::CreatePlayer(const std::u16string& shortName, const std::u16string& longName, DPID* id,
                                   uint32_t flags) {
    RemotePlayer p;
    if (HRESULT r = engine_.AllocateId(&p.id); FAILED(r)) return r;
    p.name.shortName = shortName;
    p.name.longName = longName;
    p.flags = flags;
    DPID created = 0;
    if (HRESULT r = engine_.RemotePlayerCreated(machine_, p, &created); FAILED(r)) return r;
    names_[created] = p.name;
    if (id) *id = created;
    return S_OK;
}

HRESULT ScriptedPeer::SetName(DPID player, const DpName& name) {
    const HRESULT r = engine_.RemoteNameChanged(machine_, player, name);
    if (SUCCEEDED(r)) names_[player] = name;
    return r;
}

HRESULT ScriptedPeer::Rename(DPID player, const std::u16string& longName) {
    DpName name = names_.count(player) ? names_[player] : DpName{};
    name.longName = longName;
    return SetName(player, name);
}

HRESULT ScriptedPeer::SetStatusLetter(DPID player, char16_t letter) {
    std::u16string longName = names_.count(player) ? names_[player].longName.value_or(u"") : u"";
    if (longName.size() >= 2 && longName[longName.size() - 2] == u']')
        longName.back() = letter;
    else
        longName += std::u16string(u"[]") + letter;
    return Rename(player, longName);
}

HRESULT ScriptedPeer::SetRemoteData(DPID player, std::span<const uint8_t> data) {
    return engine_.RemoteDataChanged(machine_, player, data);
}

HRESULT ScriptedPeer::DestroyPlayer(DPID player) {
    const HRESULT r = engine_.RemotePlayerDestroyed(machine_, player);
    if (SUCCEEDED(r)) names_.erase(player);
    return r;
}

HRESULT ScriptedPeer::JoinGroup(DPID group, DPID player) {
    return engine_.RemoteGroupMembership(machine_, group, player, true);
}

HRESULT ScriptedPeer::LeaveGroup(DPID group, DPID player) {
    return engine_.RemoteGroupMembership(machine_, group, player, false);
}

HRESULT ScriptedPeer::SendTo(DPID from, DPID to, std::span<const uint8_t> bytes) {
    return engine_.RemoteMessage(machine_, from, to, bytes);
}

HRESULT ScriptedPeer::SendToAll(DPID from, std::span<const uint8_t> bytes) {
    return engine_.RemoteMessage(machine_, from, DPID_ALLPLAYERS, bytes);
}

HRESULT ScriptedPeer::Vanish() {
    const HRESULT r = engine_.MachineVanished(machine_);
    std::lock_guard lock(network_.mutex_);
    joined_ = false;
    names_.clear();
    return r;
}

std::vector<OutboundNotice> ScriptedPeer::Log() const {
    std::lock_guard lock(network_.mutex_);
    return log_;
}

void ScriptedPeer::ClearLog() {
    std::lock_guard lock(network_.mutex_);
    log_.clear();
}

}  // namespace qd
