#pragma once
// For the session tests: an open engine with its local players and scripted peers, and a full drain.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "session/engine.h"
#include "session/scripted_peer.h"
#include "session/sysmsg.h"

namespace qd::test {

inline SessionDesc TestDesc() {
    return {.dwFlags = DPSESSION_MIGRATEHOST, .guidInstance = kGuidCfs2, .guidApplication = kGuidCfs2,
            .dwMaxPlayers = 64, .sessionName = u"Dogfight", .password = std::nullopt};
}

inline std::shared_ptr<Engine> OpenEngine(EngineOptions options = {}) {
    if (options.idKey == 0) options.idKey = 0x5A5A0000;
    auto e = std::make_shared<Engine>(options);
    if (FAILED(e->InitializeConnection(BuildTcpipAddress("127.0.0.1"), 0))) return nullptr;
    if (FAILED(e->Open(TestDesc(), DPOPEN_CREATE))) return nullptr;
    return e;
}

inline DpName Name(std::u16string shortName, std::u16string longName) {
    return {.shortName = std::move(shortName), .longName = std::move(longName)};
}

struct Received {
    DPID from = 0, to = 0;
    std::vector<uint8_t> bytes;
    uint32_t type() const { return SysMessageType(bytes).value_or(0); }
};

// Every waiting message, in the order Receive hands them out (two-call size rule).
inline std::vector<Received> ReceiveAll(DirectPlayService& dp) {
    std::vector<Received> out;
    for (Received r; out.size() < 100000; r = {}) {
        uint32_t size = 0;
        if (dp.Receive(&r.from, &r.to, DPRECEIVE_ALL, nullptr, &size) != DPERR_BUFFERTOOSMALL) break;
        r.bytes.resize(size);
        if (FAILED(dp.Receive(&r.from, &r.to, DPRECEIVE_ALL, r.bytes.data(), &size))) break;
        out.push_back(std::move(r));
    }
    return out;
}

inline std::vector<DPID> Recipients(const std::vector<Received>& got) {
    std::vector<DPID> to;
    for (const auto& r : got) to.push_back(r.to);
    return to;
}

// What the engine told a peer since the last look.
inline std::vector<OutboundNotice> Told(ScriptedPeer& peer) {
    auto log = peer.Log();
    peer.ClearLog();
    return log;
}

// An open engine on a scripted network; its local players signal one event unless told.
struct EngineRig {
    std::shared_ptr<Engine> e;
    std::shared_ptr<ScriptedNetwork> net;
    AutoResetEvent ev;
    explicit EngineRig(EngineOptions o = {}) : e(OpenEngine(o)), net(ScriptedNetwork::Attach(*e)) {}
    DPID Local(std::u16string shortName, std::u16string longName = u"AJ[]F4F[]G", AutoResetEvent* event = nullptr) {
        DPID id = 0;
        const DpName name = Name(std::move(shortName), std::move(longName));
        EXPECT_EQ(e->CreatePlayer(&id, name, event ? event : &ev, {}, 0), S_OK);
        return id;
    }
    ScriptedPeer& Peer(std::string address = "192.0.2.7") {
        ScriptedPeer& p = net->AddPeer(std::move(address));
        EXPECT_EQ(p.Join(), S_OK);
        return p;
    }
    // The players EnumPlayers (or, given a group, EnumGroupPlayers) names, in its order.
    std::vector<DPID> Ids(uint32_t flags, std::optional<DPID> group = std::nullopt) {
        std::vector<DPID> ids;
        auto add = [&](DPID id, uint32_t, const DpName&, uint32_t) { return ids.push_back(id), true; };
        group ? e->EnumGroupPlayers(*group, nullptr, add, flags) : e->EnumPlayers(nullptr, add, flags);
        return ids;
    }
};

inline std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return b; }

}  // namespace qd::test
