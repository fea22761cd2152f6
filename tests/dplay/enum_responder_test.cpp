#include <gtest/gtest.h>

#include <thread>

#include "dplay/vectors.h"
#include "session/dplay/enum_responder.h"
#include "session/dplay/framer.h"

namespace qd::dplay {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using namespace std::chrono_literals;

SessionDesc cfs2Session() {
    SessionDesc d;
    d.dwFlags = DPSESSION_MIGRATEHOST;
    d.guidInstance = *Guid::parse("{11111111-2222-3333-4444-555555555555}");
    d.guidApplication = kGuidCfs2;
    d.dwMaxPlayers = 8;
    d.dwCurrentPlayers = 3;
    d.dwUser1 = 0x00030000;
    d.sessionName = u"Dogfight[]notes[]AAAAAAAAAAAA[]AAAAAAAAAAAA";
    return d;
}

std::optional<EnumSessionsReply> replyTo(const EnumSessionsRequest& req, const SessionDesc& s) {
    auto bytes = buildEnumSessionsReply(req, dialect::DX8, s, 2350);
    if (!bytes) return std::nullopt;
    auto f = decodeFrame(*bytes);
    EXPECT_TRUE(f);
    EXPECT_EQ(f->header.version, dialect::DX8);  // answered in the client's dialect
    EXPECT_EQ(f->header.sockAddr.port, 2350);    // where to join
    return std::get<EnumSessionsReply>(f->message);
}

TEST(EnumSessions, WhichRequestsGetWhichReply) {
    SessionDesc s = cfs2Session();
    auto r = replyTo({kGuidCfs2, kEnumAvailable, std::nullopt}, s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->desc, s);

    EXPECT_FALSE(replyTo({kGuidCombatFs, kEnumAll, std::nullopt}, s));  // other simulator
    EXPECT_TRUE(replyTo({Guid{}, kEnumAll, std::nullopt}, s));           // any application

    SessionDesc full = s;
    full.dwCurrentPlayers = 8;
    EXPECT_FALSE(replyTo({kGuidCfs2, kEnumAvailable, std::nullopt}, full));
    EXPECT_TRUE(replyTo({kGuidCfs2, kEnumAll, std::nullopt}, full));
    SessionDesc unlimited = full;
    unlimited.dwMaxPlayers = 0;
    EXPECT_TRUE(replyTo({kGuidCfs2, kEnumAvailable, std::nullopt}, unlimited));

    SessionDesc priv = s;
    priv.dwFlags |= 0x200;
    priv.password = u"secret";
    EXPECT_FALSE(replyTo({kGuidCfs2, kEnumAll, u"guess"}, priv));
    auto ok = replyTo({kGuidCfs2, kEnumAll, u"secret"}, priv);
    ASSERT_TRUE(ok);
    EXPECT_FALSE(ok->desc.password);  // never sent back
}

TEST(EnumSessions, RateLimiterPerSourceWithABoundedTable) {
    RateLimiter rl(2.0, 3.0, 4);
    auto t0 = RateLimiter::Clock::now();
    EXPECT_TRUE(rl.allow(1, t0));
    EXPECT_TRUE(rl.allow(1, t0));
    EXPECT_TRUE(rl.allow(1, t0));
    EXPECT_FALSE(rl.allow(1, t0));
    EXPECT_TRUE(rl.allow(2, t0));  // another source has its own bucket
    EXPECT_TRUE(rl.allow(1, t0 + 500ms));
    EXPECT_FALSE(rl.allow(1, t0 + 600ms));
    for (uint32_t src = 10; src < 100; ++src) rl.allow(src, t0 + 1s);
    EXPECT_LE(rl.tracked(), 4u);
}

// A client on loopback: listens on its own stream port and collects whatever the
// responder connects and sends there.
class LoopbackClient {
public:
    LoopbackClient() : acceptor_(io_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)) {}
    uint16_t streamPort() const { return acceptor_.local_endpoint().port(); }

    Bytes request(const EnumSessionsRequest& req) {
        return encode({Token::Remote, SockAddrIn{2, streamPort(), {}}, dialect::DX9}, req);
    }
    void sendUdp(uint16_t port, const Bytes& b) {
        udp::socket s(io_, udp::v4());
        s.send_to(asio::buffer(b), udp::endpoint(asio::ip::address_v4::loopback(), port));
    }
    void sendTcp(uint16_t port, const Bytes& b) {
        tcp::socket s(io_);
        s.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port));
        asio::write(s, asio::buffer(b));
        boost::system::error_code ignored;
        s.shutdown(tcp::socket::shutdown_send, ignored);
        kept_.push_back(std::move(s));  // the responder closes it when done
    }
    // Messages received on connections accepted within `window`; stops early once
    // `enough` have arrived.
    std::vector<Bytes> collect(std::chrono::milliseconds window, std::size_t enough = SIZE_MAX) {
        std::vector<Bytes> got;
        acceptNext(got);
        io_.restart();
        auto until = std::chrono::steady_clock::now() + window;
        while (got.size() < enough && std::chrono::steady_clock::now() < until) io_.run_for(10ms);
        acceptor_.cancel();
        io_.restart();
        io_.run_for(50ms);
        return got;
    }

private:
    void acceptNext(std::vector<Bytes>& got) {
        acceptor_.async_accept([this, &got](boost::system::error_code ec, tcp::socket s) {
            if (ec) return;
            auto conn = std::make_shared<std::pair<tcp::socket, std::array<uint8_t, 1024>>>(std::move(s),
                                                                                            std::array<uint8_t, 1024>{});
            auto framer = std::make_shared<StreamFramer>();
            readFrom(conn, framer, got);
            acceptNext(got);
        });
    }
    template <class Conn>
    void readFrom(Conn conn, std::shared_ptr<StreamFramer> framer, std::vector<Bytes>& got) {
        conn->first.async_read_some(asio::buffer(conn->second), [this, conn, framer, &got](boost::system::error_code ec,
                                                                                           std::size_t n) {
            if (ec) return;
            framer->feed(ByteView(conn->second.data(), n), [&](ByteView m) { got.emplace_back(m.begin(), m.end()); });
            readFrom(conn, framer, got);
        });
    }

    asio::io_context io_;
    tcp::acceptor acceptor_;
    std::vector<tcp::socket> kept_;
};

struct RunningResponder {
    explicit RunningResponder(EnumResponderConfig cfg) : work(asio::make_work_guard(io)) {
        cfg.bindAddress = asio::ip::address_v4::loopback();
        cfg.port = 0;
        cfg.streamPort = 2399;
        cfg.ioTimeout = 1000ms;
        responder = std::make_unique<EnumResponder>(io, cfg, [] { return std::optional<SessionDesc>(cfs2Session()); });
        std::string error;
        EXPECT_TRUE(responder->start(error)) << error;
        thread = std::thread([this] { io.run(); });
    }
    ~RunningResponder() {
        asio::post(io, [this] { responder->stop(); });
        work.reset();
        io.stop();
        thread.join();
    }
    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work;
    std::unique_ptr<EnumResponder> responder;
    std::thread thread;
};

TEST(EnumSessions, AnswersOverUdpAndTcpOnLoopback) {
    RunningResponder host(EnumResponderConfig{});
    LoopbackClient client;

    client.sendUdp(host.responder->udpPort(), client.request({kGuidCfs2, kEnumAvailable, std::nullopt}));
    auto got = client.collect(2000ms, 1);
    ASSERT_EQ(got.size(), 1u);
    auto f = decodeFrame(got[0]);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->header.sockAddr.port, 2399);
    EXPECT_EQ(std::get<EnumSessionsReply>(f->message).desc, cfs2Session());

    client.sendTcp(host.responder->tcpPort(), client.request({kGuidCfs2, kEnumAll, std::nullopt}));
    got = client.collect(2000ms, 1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(decodeFrame(got[0]));

    // Another application's enumeration and garbage get nothing back.
    client.sendUdp(host.responder->udpPort(), client.request({kGuidCombatFs, kEnumAll, std::nullopt}));
    client.sendUdp(host.responder->udpPort(), testvec::hex("13 00 B0 FA 00 00"));
    EXPECT_TRUE(client.collect(300ms).empty());
    EXPECT_EQ(host.responder->stats().notMatching.load(), 1u);
    EXPECT_EQ(host.responder->stats().malformed.load(), 1u);
}

TEST(EnumSessions, RepliesToOneSourceAreRateLimited) {
    EnumResponderConfig cfg;
    cfg.repliesPerSecond = 0.01;
    cfg.replyBurst = 3;
    cfg.maxPendingRepliesPerSource = 3;
    RunningResponder host(cfg);
    LoopbackClient client;
    Bytes req = client.request({kGuidCfs2, kEnumAll, std::nullopt});
    for (int i = 0; i < 20; ++i) client.sendUdp(host.responder->udpPort(), req);
    auto got = client.collect(800ms);
    EXPECT_EQ(got.size(), 3u);
    EXPECT_EQ(host.responder->stats().rateLimited.load(), 17u);
}

}  // namespace
}  // namespace qd::dplay
