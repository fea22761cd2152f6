#pragma once
// Scripted in-process peers: remote machines that drive an engine through its seam, for
// tests, benchmarks and integration tests. A network plugs in as the engine's transport
// and keeps, per peer, the log of everything the engine told remote machines (notices to
// every machine appear in each joined peer's log).
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "session/engine.h"

namespace qd {

class ScriptedNetwork;

class ScriptedPeer {
public:
    MachineId Machine() const { return machine_; }
    const std::string& Address() const { return address_; }
    DPID SystemPlayer() const { return systemPlayer_; }
    bool Joined() const { return joined_; }

    HRESULT Join();
    // Creates a player with an id handed out by the engine, as a joining client does.
    HRESULT CreatePlayer(const std::u16string& shortName, const std::u16string& longName, DPID* id,
                         uint32_t flags = 0);
    HRESULT SetName(DPID player, const DpName& name);
    HRESULT Rename(DPID player, const std::u16string& longName);  // keeps the short name
    // Replaces the status letter after the final "]" (appends "[]" and the letter when
    // the long name has none).
    HRESULT SetStatusLetter(DPID player, char16_t letter);
    HRESULT SetRemoteData(DPID player, std::span<const uint8_t> data);
    HRESULT DestroyPlayer(DPID player);
    HRESULT JoinGroup(DPID group, DPID player);
    HRESULT LeaveGroup(DPID group, DPID player);
    HRESULT SendTo(DPID from, DPID to, std::span<const uint8_t> bytes);
    HRESULT SendToAll(DPID from, std::span<const uint8_t> bytes);
    // The machine stops answering: the engine removes it with its players.
    HRESULT Vanish();

    std::vector<OutboundNotice> Log() const;
    void ClearLog();
    const std::map<DPID, DpName>& Players() const { return names_; }

private:
    friend class ScriptedNetwork;
    ScriptedPeer(ScriptedNetwork& network, Engine& engine, MachineId machine, std::string address)
        : network_(network), engine_(engine), machine_(machine), address_(std::move(address)) {}

    ScriptedNetwork& network_;
    Engine& engine_;
    MachineId machine_;
    std::string address_;
    DPID systemPlayer_ = 0;
    bool joined_ = false;
    std::map<DPID, DpName> names_;
    std::vector<OutboundNotice> log_;  // guarded by the network's mutex
};

class ScriptedNetwork final : public SessionSink {
public:
    // Plugs a new network into the engine as its transport. The engine must outlive it.
    static std::shared_ptr<ScriptedNetwork> Attach(Engine& engine);

    // A peer at a dotted IPv4 address (not yet joined).
    ScriptedPeer& AddPeer(std::string address);
    void Notify(const OutboundNotice& notice) override;
    // Notices kept per peer; older ones are discarded past this many.
    void SetLogLimit(std::size_t limit);

    explicit ScriptedNetwork(Engine& engine) : engine_(engine) {}

private:
    friend class ScriptedPeer;
    Engine& engine_;
    mutable std::mutex mutex_;
    std::deque<std::unique_ptr<ScriptedPeer>> peers_;
    MachineId nextMachine_ = 1;
    std::size_t logLimit_ = 100000;
};

}  // namespace qd
