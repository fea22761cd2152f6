#include <gtest/gtest.h>

#include <atomic>

#include "session/pump.h"
#include "session_fixture.h"

namespace qd {
using namespace qd::test;

namespace {
// The host player and a target on the context's receive event, a remote pilot, and handlers
// that record every call.
struct Pumped : EngineRig {
    HostContext ctx;
    ScriptedPeer& peer = Peer();
    DPID host = 0, target = 0, pilot = 0;
    struct Call { bool system; std::vector<uint8_t> bytes; DPID from, to; };
    std::vector<Call> calls;
    MessageHandler system = recorder(true), application = recorder(false);

    Pumped() {
        ctx.directPlay = e;
        ctx.receiveEvent = std::make_unique<AutoResetEvent>();
        host = ctx.hostPlayerId = Local(u"h", u"AJ[]F4F[]G", ctx.receiveEvent.get());
        target = Local(u"t", u"AJ[]Zero[]C", ctx.receiveEvent.get());
        peer.CreatePlayer(u"p", u"p[]x[]C", &pilot);
        DrainReceiveQueue(ctx, {}, {});
        WaitForAny({ctx.receiveEvent.get()}, 0);
    }
    MessageHandler recorder(bool isSystem) {
        return [this, isSystem](HostContext&, const uint8_t* b, uint32_t n, DPID from, DPID to) {
            calls.push_back({isSystem, {b, b + n}, from, to});
        };
    }
};
}  // namespace

// Ten queued messages give one post and one drain, in order; a second thread is refused.
// Closing twice and after a failed start: tests/app HostSession.
TEST(Pump, TenQueuedMessagesGiveOnePostAndOneDrainInOrderThenCloseStopsAll) {
    Pumped s;
    for (uint8_t i = 0; i < 10; ++i) s.peer.SendTo(s.pilot, s.host, std::vector<uint8_t>{i, 0, 0, 0, 0});
    std::atomic<int> posts{0};
    AutoResetEvent posted;
    ASSERT_EQ(StartReceiveThread(s.ctx, [&] { ++posts, posted.set(); }), S_OK);
    EXPECT_EQ(StartReceiveThread(s.ctx, [] {}), DPERR_ALREADYINITIALIZED);
    ASSERT_EQ(WaitForAny({&posted}, 5000), 0);
    DrainStats stats;
    DrainReceiveQueue(s.ctx, s.system, s.application, &stats);
    ASSERT_EQ(s.calls.size(), 10u);
    for (uint8_t i = 0; i < 10; ++i) {
        const auto& c = s.calls[i];
        EXPECT_EQ(std::tuple(c.system, c.bytes[0], c.from, c.to), std::tuple(false, i, s.pilot, s.host));
    }
    EXPECT_EQ(stats.last, DPERR_NOMESSAGES);
    EXPECT_EQ(WaitForAny({&posted}, 100), kWaitTimeout);
    EXPECT_EQ(posts.load(), 1);

    std::shared_ptr<Engine> engine = s.e;
    EXPECT_EQ(CloseHostSession(s.ctx), S_OK);
    EXPECT_FALSE(s.ctx.receiveThread.joinable() || s.ctx.stopEvent || s.ctx.directPlay || s.ctx.receiveEvent);
    SessionDesc d;
    EXPECT_NE(engine->GetSessionDesc(d), S_OK);  // closed
    s.calls.clear();
    DrainReceiveQueue(s.ctx, s.system, s.application);  // nothing to drain from
    EXPECT_TRUE(s.calls.empty());
}

TEST(Pump, DrainDispatchesBySenderDropsShortMessagesAndKeepsTheBufferRule) {
    Pumped s;
    s.e->Send(s.target, s.host, 0, Bytes({1, 2, 3}));  // 3 bytes: no handler
    s.peer.SendTo(s.pilot, s.host, std::vector<uint8_t>(100, 1));
    s.peer.SendTo(s.pilot, s.host, std::vector<uint8_t>(40, 2));
    s.peer.SendTo(s.pilot, s.host, std::vector<uint8_t>(60, 3));
    s.peer.SetStatusLetter(s.pilot, u'D');  // a system message, one copy per local player

    DrainStats stats;
    DrainReceiveQueue(s.ctx, s.system, s.application, &stats);
    EXPECT_EQ(stats.dropped, 1u);
    ASSERT_EQ(s.calls.size(), 5u);
    EXPECT_EQ(std::tuple(s.calls[0].bytes.size(), s.calls[1].bytes.size(), s.calls[2].bytes.size()),
              std::tuple(100u, 40u, 60u));
    // Replaced for the first message and for the third (larger than the second), never for the second.
    EXPECT_EQ(stats.allocations, (std::vector<uint32_t>{3, 100, 60}));
    EXPECT_EQ(std::tuple(s.calls[3].system, s.calls[3].from, s.calls[3].to), std::tuple(true, DPID_SYSMSG, s.target));
}

}  // namespace qd
