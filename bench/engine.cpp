// Drives the session engine and the receive pump with scripted peers and prints:
//   - messages per second from the peers through DrainReceiveQueue to the handlers,
//     for messages to one host player and for messages to all (one copy per local player);
//   - the engine's memory per remote player (heap in use, measured with mallinfo2).
#include <malloc.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "session/engine.h"
#include "session/pump.h"
#include "session/scripted_peer.h"

using namespace qd;

namespace {

constexpr int kTargets = 32;
constexpr int kPeers = 32;

SessionDesc Desc() {
    SessionDesc d;
    d.guidApplication = kGuidCfs2;
    d.dwMaxPlayers = 255;
    d.sessionName = u"bench";
    return d;
}

std::shared_ptr<Engine> Open() {
    auto e = std::make_shared<Engine>();
    e->InitializeConnection(BuildTcpipAddress("127.0.0.1"), 0);
    e->Open(Desc(), DPOPEN_CREATE);
    return e;
}

struct Result {
    uint64_t handled = 0;
    double seconds = 0;
    uint64_t dropped = 0;
    uint32_t drains = 0;
};

// Each peer sends `perPeer` 56-byte messages (the size of NET_MOTION), to the host
// player or to all, while the window thread drains on every posted signal.
Result Run(bool toAll, int perPeer) {
    HostContext ctx;
    auto engine = Open();
    ctx.directPlay = engine;
    ctx.receiveEvent = std::make_unique<AutoResetEvent>();
    for (int i = 0; i < kTargets; ++i) {
        DPID id = 0;
        DpName n;
        n.shortName = u"target" + std::u16string(1, char16_t(u'A' + i % 26));
        n.longName = u"AJ[]Zero[]C";
        engine->CreatePlayer(&id, n, ctx.receiveEvent.get(), {}, 0);
        if (i == 0) ctx.hostPlayerId = id;
    }
    auto net = ScriptedNetwork::Attach(*engine);
    std::vector<ScriptedPeer*> peers;
    std::vector<DPID> players;
    for (int i = 0; i < kPeers; ++i) {
        auto& p = net->AddPeer("192.0.2." + std::to_string(i + 1));
        p.Join();
        DPID id = 0;
        p.CreatePlayer(u"pilot", u"xx[]P-51D[]C", &id);
        peers.push_back(&p);
        players.push_back(id);
    }
    DrainReceiveQueue(ctx, {}, {});

    AutoResetEvent drainRequest;  // stands in for the posted MSG_DPLAY_RECEIVE
    StartReceiveThread(ctx, [&] { drainRequest.set(); });

    std::atomic<bool> sending{true};
    const auto start = std::chrono::steady_clock::now();
    std::thread network([&] {
        std::vector<uint8_t> motion(56, 0);
        motion[0] = 0x0B;
        motion[1] = 0x10;
        motion[4] = 48;
        for (int n = 0; n < perPeer; ++n) {
            for (int i = 0; i < kPeers; ++i) {
                while (engine->QueuedFor(ctx.hostPlayerId) > 2048) std::this_thread::yield();
                motion[8] = static_cast<uint8_t>(n);
                if (toAll)
                    peers[i]->SendToAll(players[i], motion);
                else
                    peers[i]->SendTo(players[i], ctx.hostPlayerId, motion);
            }
        }
        sending = false;
    });

    const uint64_t expected = uint64_t(perPeer) * kPeers * (toAll ? kTargets : 1);
    Result r;
    MessageHandler count = [&](HostContext&, const uint8_t* b, uint32_t n, DPID, DPID) {
        r.handled += (n >= 8 && b[0] == 0x0B) ? 1 : 0;
    };
    while (r.handled < expected) {
        if (WaitForAny({&drainRequest}, 1000) != 0 && !sending) {
            // A last signal may have been consumed by a drain that already ran.
            DrainReceiveQueue(ctx, count, count);
            if (r.handled < expected) break;
        }
        DrainReceiveQueue(ctx, count, count);
        ++r.drains;
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    network.join();
    r.dropped = engine->Stats().droppedMessages;
    CloseHostSession(ctx);
    return r;
}

double HeapInUse() { return static_cast<double>(mallinfo2().uordblks); }

}  // namespace

int main() {
    std::printf("session engine benchmark: %d local players (targets), %d scripted peers\n", kTargets, kPeers);
    for (bool toAll : {false, true}) {
        const int perPeer = toAll ? 2000 : 20000;
        const Result r = Run(toAll, perPeer);
        std::printf("%-28s %10llu messages in %.3f s: %12.0f messages/s through DrainReceiveQueue (%u drains, %llu dropped)\n",
                    toAll ? "56-byte messages to all:" : "56-byte messages to host:",
                    static_cast<unsigned long long>(r.handled), r.seconds, r.handled / r.seconds, r.drains,
                    static_cast<unsigned long long>(r.dropped));
    }

    // Memory per remote player: a name table of 1000 clients spread over 100 machines.
    {
        const double before = HeapInUse();
        auto engine = Open();
        auto net = ScriptedNetwork::Attach(*engine);
        constexpr int kMachines = 100, kPerMachine = 10;
        for (int m = 0; m < kMachines; ++m) {
            auto& p = net->AddPeer("198.51.100." + std::to_string(m + 1));
            p.Join();
            for (int i = 0; i < kPerMachine; ++i) {
                DPID id = 0;
                p.CreatePlayer(u"Pilot" + std::u16string(1, char16_t(u'0' + i)), u"xx[]P-51D Mustang[]C", &id);
                const std::vector<uint8_t> record(52, 0);
                engine->SetPlayerData(id, record, DPSET_LOCAL);
            }
        }
        const double withPlayers = HeapInUse();
        std::printf("engine memory per remote player (name table entry, names, 52-byte record, machine share): %.0f bytes\n",
                    (withPlayers - before) / (kMachines * kPerMachine));
        std::printf("(scripted peers keep their own copies of names; they are included in that figure)\n");
    }
    return 0;
}
