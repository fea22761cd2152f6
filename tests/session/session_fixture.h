#pragma once
// Shared helpers for the session tests: an open engine and a full drain of its queue.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "session/engine.h"
#include "session/scripted_peer.h"
#include "session/sysmsg.h"

namespace qd::test {

inline SessionDesc TestDesc() {
    SessionDesc d;
    d.dwFlags = DPSESSION_MIGRATEHOST;
    d.guidInstance = kGuidCfs2;
    d.guidApplication = kGuidCfs2;
    d.dwMaxPlayers = 64;
    d.sessionName = u"Dogfight";
    return d;
}

inline std::shared_ptr<Engine> OpenEngine(EngineOptions options = {}) {
    if (options.idKey == 0) options.idKey = 0x5A5A0000;
    auto e = std::make_shared<Engine>(options);
    if (FAILED(e->InitializeConnection(BuildTcpipAddress("127.0.0.1"), 0))) return nullptr;
    if (FAILED(e->Open(TestDesc(), DPOPEN_CREATE))) return nullptr;
    return e;
}

inline DpName Name(std::u16string shortName, std::u16string longName) {
    DpName n;
    n.shortName = std::move(shortName);
    n.longName = std::move(longName);
    return n;
}

struct Received {
    DPID from = 0;
    DPID to = 0;
    std::vector<uint8_t> bytes;
    uint32_t type() const { return SysMessageType(bytes).value_or(0); }
};

// Every waiting message, in the order Receive hands them out (two-call size rule).
inline std::vector<Received> ReceiveAll(DirectPlayService& dp) {
    std::vector<Received> out;
    for (int guard = 0; guard < 100000; ++guard) {
        Received r;
        uint32_t size = 0;
        HRESULT h = dp.Receive(&r.from, &r.to, DPRECEIVE_ALL, nullptr, &size);
        if (h != DPERR_BUFFERTOOSMALL) break;
        r.bytes.resize(size);
        h = dp.Receive(&r.from, &r.to, DPRECEIVE_ALL, r.bytes.data(), &size);
        if (FAILED(h)) break;
        out.push_back(std::move(r));
    }
    return out;
}

// An open engine with one local host player and one remote pilot on a scripted peer.
struct HostAndPilot {
    std::shared_ptr<Engine> e;
    std::shared_ptr<ScriptedNetwork> net;
    ScriptedPeer& peer;
    AutoResetEvent ev;
    DPID host = 0, pilot = 0;
    explicit HostAndPilot(EngineOptions o = {})
        : e(OpenEngine(o)), net(ScriptedNetwork::Attach(*e)), peer(net->AddPeer("192.0.2.7")) {
        e->CreatePlayer(&host, Name(u"h", u"h"), &ev, {}, 0);
        EXPECT_EQ(peer.Join(), S_OK);
        EXPECT_EQ(peer.CreatePlayer(u"p", u"p", &pilot), S_OK);
        ReceiveAll(*e);
    }
};

inline std::vector<uint8_t> Bytes(std::initializer_list<uint8_t> b) { return b; }

}  // namespace qd::test
