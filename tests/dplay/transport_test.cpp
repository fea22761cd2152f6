#include <gtest/gtest.h>

#include <fmt/format.h>

#include <functional>
#include <thread>

#include "dplay/vectors.h"
#include "session/data_access.h"
#include "session/dplay/framer.h"
#include "session/dplay/transport.h"
#include "session/session_fixture.h"

namespace qd::dplay {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using namespace std::chrono_literals;

constexpr char16_t kHostLong[] = u"Host[]";
constexpr char16_t kGroup[] = u"Red";
const asio::ip::address_v4 kLoopback = asio::ip::address_v4::loopback();

template <class T>
bool is(const Frame& f) {
    return std::holds_alternative<T>(f.message);
}

TEST(EnumSessions, WhichRequestsGetWhichReply) {
    const SessionDesc open{.dwFlags = DPSESSION_MIGRATEHOST,
                           .guidInstance = *Guid::parse("{11111111-2222-3333-4444-555555555555}"),
                           .guidApplication = kGuidCfs2, .dwMaxPlayers = 8, .dwCurrentPlayers = 3,
                           .sessionName = u"Dogfight[]notes[]AAAAAAAAAAAA[]AAAAAAAAAAAA", .dwUser1 = 0x00030000};
    SessionDesc full = open, unlimited = open, locked = open;
    full.dwCurrentPlayers = unlimited.dwCurrentPlayers = 8;
    unlimited.dwMaxPlayers = 0;
    locked.dwFlags |= 0x200;
    locked.password = u"secret";
    int i = 0;
    for (const auto& [request, session, answered] : {
             std::tuple{EnumSessionsRequest{kGuidCfs2, kEnumAvailable, std::nullopt}, &open, true},
             {{Guid{}, kEnumAll, std::nullopt}, &open, true},  // any application (another: the roads)
             {{kGuidCfs2, kEnumAvailable, std::nullopt}, &full, false},
             {{kGuidCfs2, kEnumAll, std::nullopt}, &full, true},
             {{kGuidCfs2, kEnumAvailable, std::nullopt}, &unlimited, true},
             {{kGuidCfs2, kEnumAll, u"guess"}, &locked, false},
             {{kGuidCfs2, kEnumAll, u"secret"}, &locked, true}}) {
        SCOPED_TRACE(i++);
        const auto bytes = buildEnumSessionsReply(request, dialect::DX8, *session, 2350);
        ASSERT_EQ(bytes.has_value(), answered);
        if (!bytes) continue;
        const auto f = decodeFrame(*bytes);
        ASSERT_TRUE(f);
        SessionDesc sent = *session;
        sent.password.reset();  // never sent back
        EXPECT_EQ(std::get<EnumSessionsReply>(f->message).desc, sent);
    }
}

// Burst: the enumeration test below; refill and a bucket per source: the attack run's floods.
TEST(EnumSessions, RateLimiterTableIsBounded) {
    RateLimiter rl(2.0, 3.0, 4);
    for (uint32_t src = 10; src < 100; ++src) rl.allow(src, RateLimiter::Clock::now());
    EXPECT_LE(rl.tracked(), 4u);
}

// The host side of the road: one host player in a team, answering text commands from
// client players the way a test needs to see the session from the host's side.
class ScriptedHost {
public:
    explicit ScriptedHost(Engine& engine) : engine_(engine) {
        EXPECT_EQ(engine_.CreatePlayer(&player_, test::Name(u"Host", kHostLong), &event_, {}, 0), S_OK);
        EXPECT_EQ(engine_.CreateGroup(&group_, test::Name(kGroup, u""), {}, 0), S_OK);
        EXPECT_EQ(engine_.AddPlayerToGroup(group_, player_), S_OK);
        thread_ = std::jthread([this](std::stop_token stop) {
            while (!stop.stop_requested()) {
                WaitForAny({&event_}, 50);
                for (const auto& r : test::ReceiveAll(engine_))
                    if (r.from != DPID_SYSMSG) answer(r.from, std::string(r.bytes.begin(), r.bytes.end()));
            }
        });
    }

private:
    void reply(DPID to, const std::string& text, uint32_t flags = DPSEND_GUARANTEED) {
        engine_.Send(player_, to, flags, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    }
    void answer(DPID from, const std::string& text) {
        std::string out;
        auto list = [&out](bool named) -> EnumPlayersCallback {
            return [&out, named](DPID id, uint32_t, const DpName& n, uint32_t) {
                out += fmt::format("{:08x}{};", id, named ? "=" + NarrowCopy(n.longName.value_or(u"")) : "");
                return true;
            };
        };
        if (text == "names") {
            engine_.EnumPlayers(nullptr, list(true), 0);
            reply(from, "names:" + out);
        } else if (text.starts_with("members:")) {
            const auto group = static_cast<DPID>(std::stoul(text.substr(8), nullptr, 16));
            engine_.EnumGroupPlayers(group, nullptr, list(false), 0);
            reply(from, "members:" + out);
        } else if (text.starts_with("echo:")) {
            reply(from, "got:" + text.substr(5));
        } else if (text.starts_with("shout:")) {
            reply(DPID_ALLPLAYERS, "all:" + text.substr(6), 0);
        } else if (text.starts_with("desc:")) {
            SessionDesc d;
            engine_.GetSessionDesc(d);
            d.sessionName = std::u16string(text.begin() + 5, text.end());
            engine_.SetSessionDesc(d, 0);
        } else if (text == "addr") {
            std::vector<uint8_t> address;
            engine_.GetPlayerAddress(from, address);
            reply(from, "addr:" + AddressINet(address).value_or("?"));
        }
    }

    Engine& engine_;
    AutoResetEvent event_;
    DPID player_ = 0, group_ = 0;
    std::jthread thread_;  // last: stopped and joined first
};

struct Hosted { std::shared_ptr<Engine> engine; std::shared_ptr<Transport> transport; };

Hosted host(TransportConfig config = {}) {
    Hosted h{test::OpenEngine(), nullptr};
    config.bindAddress = kLoopback;
    config.enumPort = 0;
    h.transport = Transport::create(*h.engine, config);
    std::string error;
    EXPECT_TRUE(h.transport->start(error)) << error;
    return h;
}

// The whole road over real sockets, played by an independent client written in Python (which
// checks each reply's dialect and prefix; HostRoad has Wireshark read the host's frames).
TEST(DplayTransport, ScriptedClientsRoad) {
    if (std::system("python3 --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not installed";
    auto h = host();
    ASSERT_TRUE(h.transport->streamPort() >= 2300 && h.transport->streamPort() <= 2400) << h.transport->streamPort();
    ScriptedHost scripted(*h.engine);

    const std::string command = fmt::format(
        "timeout 90 python3 " QUARNELD_SOURCE_DIR "/tests/dplay/client.py --host 127.0.0.1 --enum-port {} --app '{}' "
        "--session-name Dogfight --max-players 64 --host-long '{}' --group {}",
        h.transport->enumUdpPort(), kGuidCfs2.toString(), NarrowCopy(kHostLong), NarrowCopy(kGroup));
    EXPECT_EQ(std::system(command.c_str()), 0) << command;

    // Everyone left: the host's player and team are all that remain.
    for (int i = 0; i < 100 && h.engine->Stats().machines != 0; ++i) std::this_thread::sleep_for(20ms);
    const EngineStats s = h.engine->Stats();
    EXPECT_EQ(std::tuple(s.machines, s.players, s.groups, h.transport->machineCount()), std::tuple(0u, 1u, 1u, 0u));
    EXPECT_EQ(h.transport->stats().joins.load(), 3u);
    EXPECT_EQ(h.transport->stats().vanished.load(), 3u);  // B lost, C and A left
    h.transport->stop();
}

tcp::socket connectTo(asio::io_context& io, uint16_t port) {
    tcp::socket s(io);
    s.connect(tcp::endpoint(kLoopback, port));
    return s;
}

void udpTo(uint16_t port, const Bytes& b) {
    asio::io_context io;
    udp::socket(io, udp::v4()).send_to(asio::buffer(b), udp::endpoint(kLoopback, port));
}

// A client machine's own stream port: takes every stream the host opens to it and keeps the
// frames that arrive on them.
class Listener {
public:
    Listener() { accept(); }
    uint16_t port() const { return acceptor_.local_endpoint().port(); }
    // Runs until `done` holds or `limit` passes; whether it held.
    bool until(const std::function<bool()>& done, std::chrono::milliseconds limit = 5s) {
        for (auto end = std::chrono::steady_clock::now() + limit; !done(); io_.run_for(10ms))
            if (std::chrono::steady_clock::now() > end) return false;
        return true;
    }
    // The first frame `pred` accepts, taken out of those received.
    template <class Pred>
    std::optional<Frame> next(Pred pred) {
        auto it = frames.end();
        if (!until([&] { return (it = std::find_if(frames.begin(), frames.end(), pred)) != frames.end(); }))
            return std::nullopt;
        Frame f = std::move(*it);
        frames.erase(it);
        return f;
    }

    std::vector<Frame> frames;  // received, not yet taken
    int closed = 0;             // streams the host closed

private:
    struct Stream {
        explicit Stream(tcp::socket s) : socket(std::move(s)) {}
        tcp::socket socket;
        StreamFramer framer;
        std::array<uint8_t, 4096> buffer{};
    };
    void accept() {
        acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket s) {
            if (ec) return;
            read(std::make_shared<Stream>(std::move(s)));
            accept();
        });
    }
    void read(std::shared_ptr<Stream> s) {
        s->socket.async_read_some(asio::buffer(s->buffer), [this, s](boost::system::error_code ec, std::size_t n) {
            if (ec) {
                ++closed;
                return;
            }
            s->framer.feed(ByteView(s->buffer.data(), n), [&](ByteView m) {
                if (auto f = decodeFrame(m)) frames.push_back(std::move(*f));
            });
            read(s);
        });
    }

    asio::io_context io_;
    tcp::acceptor acceptor_{io_, tcp::endpoint(kLoopback, 0)};
};

Bytes requestSystemId(SockAddrIn claimed) {
    return encode({Token::Remote, claimed, dialect::DX9}, RequestPlayerId{kPlayerSystem | kPlayerLocal});
}

// Asks on `s` for a system player, naming the listener's port: the reply the host sends there.
std::optional<RequestPlayerReply> askForId(tcp::socket& s, Listener& listener) {
    asio::write(s, asio::buffer(requestSystemId({2, listener.port(), {}})));
    const auto f = listener.next(is<RequestPlayerReply>);
    return f ? std::optional(std::get<RequestPlayerReply>(f->message)) : std::nullopt;
}

// Oversized frames and streams per address: the attack run's idle streams (host_road_test);
// replies to the requesting address whatever the prefix claims: B on the scripted road.
TEST(DplayTransport, EdgeLimits) {
    TransportConfig config;
    config.maxMachines = 1;
    auto h = host(config);
    asio::io_context io;
    const uint16_t port = h.transport->streamPort();
    // One machine fits; the second asker hears DPERR_NONEWPLAYERS.
    auto first = std::make_unique<Listener>();
    Listener second;
    tcp::socket a = connectTo(io, port), b = connectTo(io, port);
    const auto r1 = askForId(a, *first);
    ASSERT_TRUE(r1);
    EXPECT_EQ(r1->result, S_OK);
    const auto r2 = askForId(b, second);
    ASSERT_TRUE(r2);
    EXPECT_EQ(r2->result, DPERR_NONEWPLAYERS);
    // A request naming port 0 has nowhere to be answered: dropped, the stream with it.
    asio::write(b, asio::buffer(requestSystemId({})));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(h.transport->machineCount(), 1u);
    EXPECT_EQ(h.transport->stats().overloaded.load(), 1u);
    EXPECT_EQ(h.transport->stats().malformed.load(), 1u);
    EXPECT_EQ(h.engine->Stats().machines, 0u);  // asked for an id, never joined

    // The first asker goes away without joining: its id is not lost but handed on (the
    // engine keeps every id it hands out until used, so dropping them would exhaust it).
    first.reset();
    for (int i = 0; i < 100 && h.transport->machineCount() != 0; ++i) std::this_thread::sleep_for(20ms);
    const auto r3 = askForId(b, second);
    ASSERT_TRUE(r3);
    EXPECT_EQ(std::pair(r3->result, r3->id), std::pair(S_OK, r1->id));
    h.transport->stop();
}

// A machine that joins and then falls silent is pinged, then removed with its player.
TEST(DplayTransport, SilentMachineIsPingedThenRemoved) {
    TransportConfig config;
    config.pingAfterSilence = 200ms;
    config.silenceLimit = 900ms;
    auto h = host(config);
    asio::io_context io;
    Listener mine;
    const EncodeContext ctx{Token::Remote, SockAddrIn{2, mine.port(), {}}, dialect::DX8};
    tcp::socket toHost = connectTo(io, h.transport->streamPort());
    const auto reply = askForId(toHost, mine);
    ASSERT_TRUE(reply);
    const DPID system = reply->id;
    const AddForwardRequest join{.playerId = system, .info = {.flags = kPlayerSystem | kPlayerLocal, .id = system,
                                                              .systemPlayerId = system, .version = dialect::DX8}};
    asio::write(toHost, asio::buffer(encode(ctx, join)));
    ASSERT_TRUE(mine.next(is<SuperEnumPlayersReply>));

    const auto ping = mine.next([](const Frame& f) { return is<Ping>(f) && !std::get<Ping>(f.message).reply; });
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->header.version, dialect::DX8);  // answered in its own dialect
    EXPECT_EQ(h.engine->Stats().machines, 1u);
    // Silence past the limit: the machine is gone (its players with it: Engine's vanish test), its
    // streams closed.
    for (int i = 0; i < 100 && h.engine->Stats().machines != 0; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(h.engine->Stats().machines, 0u);
    EXPECT_EQ(h.transport->stats().vanished.load(), 1u);
    EXPECT_TRUE(mine.until([&] { return mine.closed > 0; }));
    h.transport->stop();
}

// Enumeration (the roads ask by UDP and TCP, and another application's request): garbage gets
// nothing; one source gets its burst of replies, then no more.
TEST(DplayTransport, EnumerationRefusesStrangersAndIsRateLimited) {
    TransportConfig config;
    config.enumeration.repliesPerSecond = 0.01;
    config.enumeration.replyBurst = 3;
    config.enumeration.maxPendingRepliesPerSource = 3;
    auto h = host(config);
    Listener client;
    udpTo(h.transport->enumUdpPort(), testvec::hex("13 00 B0 FA 00 00"));
    const Bytes request = encode({Token::Remote, SockAddrIn{2, client.port(), {}}, dialect::DX9},
                                 EnumSessionsRequest{kGuidCfs2, kEnumAll, std::nullopt});
    for (int i = 0; i < 20; ++i) udpTo(h.transport->enumUdpPort(), request);
    const auto* stats = h.transport->enumStats();
    // Waits on the host's own counts, then a little longer for a reply too many.
    client.until([&] { return client.frames.size() >= 3 && stats->rateLimited.load() >= 17; });
    client.until([] { return false; }, 300ms);
    ASSERT_EQ(client.frames.size(), 3u);
    EXPECT_TRUE(is<EnumSessionsReply>(client.frames[0]));
    EXPECT_EQ(stats->malformed.load(), 1u);
    EXPECT_EQ(stats->rateLimited.load(), 17u);
}

}  // namespace
}  // namespace qd::dplay
