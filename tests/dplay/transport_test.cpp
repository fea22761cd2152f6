#include <gtest/gtest.h>

#include <sys/wait.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <thread>

#include "session/dplay/framer.h"
#include "session/dplay/transport.h"
#include "session/engine.h"
#include "session/sysmsg.h"
#include "tshark_check.h"

namespace qd::dplay {
namespace {

namespace asio = boost::asio;
using asio::ip::tcp;
using namespace std::chrono_literals;

constexpr char16_t kHostLong[] = u"Host[]";
constexpr char16_t kGroup[] = u"Red";

SessionDesc sessionDesc() {
    SessionDesc d;
    d.dwFlags = DPSESSION_MIGRATEHOST;
    d.guidApplication = kGuidCfs2;
    d.dwMaxPlayers = 16;
    d.sessionName = u"Dogfight";
    return d;
}

std::string narrow(const std::optional<std::u16string>& s) {
    std::string out;
    if (s)
        for (char16_t c : *s) out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

// The host side of the road: one host player in a team, answering text commands from
// client players the way a test needs to see the session from the host's side.
class ScriptedHost {
public:
    explicit ScriptedHost(Engine& engine) : engine_(engine) {
        DpName name;
        name.shortName = u"Host";
        name.longName = kHostLong;
        EXPECT_EQ(engine_.CreatePlayer(&player_, name, &event_, {}, 0), S_OK);
        DpName group;
        group.shortName = kGroup;
        EXPECT_EQ(engine_.CreateGroup(&group_, group, {}, 0), S_OK);
        EXPECT_EQ(engine_.AddPlayerToGroup(group_, player_), S_OK);
        thread_ = std::thread([this] { loop(); });
    }
    ~ScriptedHost() {
        done_ = true;
        thread_.join();
    }
    DPID player() const { return player_; }

private:
    void loop() {
        while (!done_) {
            WaitForAny({&event_}, 50);
            for (int guard = 0; guard < 1000; ++guard) {
                DPID from = 0, to = 0;
                uint32_t size = 0;
                if (engine_.Receive(&from, &to, DPRECEIVE_ALL, nullptr, &size) != DPERR_BUFFERTOOSMALL) break;
                std::vector<uint8_t> bytes(size);
                if (FAILED(engine_.Receive(&from, &to, DPRECEIVE_ALL, bytes.data(), &size))) break;
                if (from != DPID_SYSMSG) answer(from, std::string(bytes.begin(), bytes.end()));
            }
        }
    }
    void reply(DPID to, const std::string& text, uint32_t flags = DPSEND_GUARANTEED) {
        engine_.Send(player_, to, flags, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
    }
    void answer(DPID from, const std::string& text) {
        char hex[16];
        if (text == "names") {
            std::string out = "names:";
            engine_.EnumPlayers(nullptr, [&](DPID id, uint32_t, const DpName& n, uint32_t) {
                std::snprintf(hex, sizeof hex, "%08x", id);
                out += std::string(hex) + "=" + narrow(n.longName) + ";";
                return true;
            }, 0);
            reply(from, out);
        } else if (text.rfind("members:", 0) == 0) {
            std::string out = "members:";
            DPID group = static_cast<DPID>(std::stoul(text.substr(8), nullptr, 16));
            engine_.EnumGroupPlayers(group, nullptr, [&](DPID id, uint32_t, const DpName&, uint32_t) {
                std::snprintf(hex, sizeof hex, "%08x", id);
                out += std::string(hex) + ";";
                return true;
            }, 0);
            reply(from, out);
        } else if (text.rfind("echo:", 0) == 0) {
            reply(from, "got:" + text.substr(5));
        } else if (text.rfind("shout:", 0) == 0) {
            reply(DPID_ALLPLAYERS, "all:" + text.substr(6), 0);
        } else if (text.rfind("desc:", 0) == 0) {
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
    std::atomic<bool> done_{false};
    std::thread thread_;
};

struct Hosted {
    std::shared_ptr<Engine> engine;
    std::shared_ptr<Transport> transport;
};

Hosted host(TransportConfig config = {}, Transport::FrameObserver observer = {}) {
    Hosted h;
    EngineOptions options;
    options.idKey = 0x3C3C0000;
    h.engine = std::make_shared<Engine>(options);
    EXPECT_EQ(h.engine->InitializeConnection(BuildTcpipAddress("127.0.0.1"), 0), S_OK);
    EXPECT_EQ(h.engine->Open(sessionDesc(), DPOPEN_CREATE), S_OK);
    config.bindAddress = asio::ip::make_address_v4("127.0.0.1");
    config.enumPort = 0;
    h.transport = Transport::create(*h.engine, config);
    if (observer) h.transport->setFrameObserver(std::move(observer));
    std::string error;
    EXPECT_TRUE(h.transport->start(error)) << error;
    return h;
}

// A capture of what the host sent, with made-up IPv4/TCP/UDP headers around each frame.
void writePcap(const std::string& path, const std::vector<Transport::SentFrame>& frames, uint16_t hostStreamPort) {
    std::ofstream out(path, std::ios::binary);
    auto u16be = [&](uint16_t v) { out.put(char(v >> 8)).put(char(v)); };
    auto u32le = [&](uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u32be = [&](uint32_t v) { u16be(uint16_t(v >> 16)); u16be(uint16_t(v)); };
    u32le(0xA1B2C3D4);
    out.put(2).put(0).put(4).put(0);  // version 2.4
    u32le(0);
    u32le(0);
    u32le(262144);
    u32le(101);  // raw IPv4
    std::map<std::pair<uint16_t, uint16_t>, uint32_t> seq;
    uint32_t t = 0;
    for (const auto& f : frames) {
        const uint16_t src = f.stream ? hostStreamPort : f.fromPort;
        const std::size_t l4 = f.stream ? 20 : 8;
        const uint16_t total = uint16_t(20 + l4 + f.bytes.size());
        u32le(1700000000);
        u32le(t++);
        u32le(total);
        u32le(total);
        uint8_t ip[20] = {0x45, 0, uint8_t(total >> 8), uint8_t(total), 0, 0, 0x40, 0, 64, uint8_t(f.stream ? 6 : 17),
                          0, 0, 127, 0, 0, 1, 127, 0, 0, 1};
        uint32_t sum = 0;
        for (int i = 0; i < 20; i += 2) sum += uint32_t(ip[i] << 8 | ip[i + 1]);
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        ip[10] = uint8_t(~sum >> 8);
        ip[11] = uint8_t(~sum);
        out.write(reinterpret_cast<const char*>(ip), 20);
        u16be(src);
        u16be(f.toPort);
        if (f.stream) {
            uint32_t& s = seq[{src, f.toPort}];
            u32be(s + 1);
            s += uint32_t(f.bytes.size());
            u32be(1);
            out.put(0x50).put(0x18);  // header length 20, PSH|ACK
            u16be(65535);
            u16be(0);  // checksum left unchecked
            u16be(0);
        } else {
            u16be(uint16_t(8 + f.bytes.size()));
            u16be(0);
        }
        out.write(reinterpret_cast<const char*>(f.bytes.data()), std::streamsize(f.bytes.size()));
    }
}

int run(const std::string& command) {
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The whole road over real sockets, played by an independent client written in Python.
TEST(DplayTransport, ScriptedClientsRoad) {
    if (run("python3 --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not installed";
    std::mutex capturedMutex;
    std::vector<Transport::SentFrame> captured;
    auto h = host({}, [&](const Transport::SentFrame& f) {
        std::lock_guard lock(capturedMutex);
        captured.push_back(f);
    });
    ASSERT_GE(h.transport->streamPort(), 2300);
    ASSERT_LE(h.transport->streamPort(), 2400);
    ScriptedHost scripted(*h.engine);

    const std::string command = "timeout 90 python3 " QUARNELD_SOURCE_DIR "/tests/dplay/client.py --host 127.0.0.1" +
                                std::string(" --enum-port ") + std::to_string(h.transport->enumUdpPort()) +
                                " --app '" + kGuidCfs2.toString() + "' --session-name Dogfight --max-players 16" +
                                " --host-long '" + narrow(std::u16string(kHostLong)) + "' --group " +
                                narrow(std::u16string(kGroup));
    EXPECT_EQ(run(command), 0) << command;

    // Everyone left: the host's player and team are all that remain.
    for (int i = 0; i < 100 && h.engine->Stats().machines != 0; ++i) std::this_thread::sleep_for(20ms);
    const EngineStats s = h.engine->Stats();
    EXPECT_EQ(s.machines, 0u);
    EXPECT_EQ(s.players, 1u);
    EXPECT_EQ(s.groups, 1u);
    EXPECT_EQ(h.transport->machineCount(), 0u);
    EXPECT_GE(h.transport->stats().malformed.load(), 1u);
    EXPECT_EQ(h.transport->stats().joins.load(), 3u);
    EXPECT_EQ(h.transport->stats().vanished.load(), 3u);  // B lost, C and A left
    const uint16_t streamPort = h.transport->streamPort();
    h.transport->stop();

    // Every frame the host sent reads back whole, with our prefix port, in a known dialect.
    std::lock_guard lock(capturedMutex);
    ASSERT_FALSE(captured.empty());
    std::size_t framed = 0;
    for (const auto& f : captured) {
        if (!f.stream) {
            EXPECT_TRUE(decodeBarePlayerMessage(f.bytes));
            continue;
        }
        auto frame = decodeFrame(f.bytes);
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->header.sockAddr.port, streamPort);
        EXPECT_EQ(frame->header.sockAddr.addr, (std::array<uint8_t, 4>{}));
        if (frame->header.hasEnvelope) {
            EXPECT_TRUE(frame->header.version == 7 || frame->header.version == 9 || frame->header.version == 14);
            ++framed;
        }
    }
    EXPECT_GT(framed, 10u);

    const std::string pcap = QUARNELD_BINARY_DIR "/dplay_host_frames.pcap";
    writePcap(pcap, captured, streamPort);
    if (!tshark::installed()) {
        std::printf("tshark not installed: Wireshark check of %s skipped\n", pcap.c_str());
        return;
    }
    // Wireshark reads every frame the host sent, and reads what we meant.
    const tshark::Reading wireshark = tshark::read(pcap);
    ASSERT_TRUE(wireshark.ran);
    ASSERT_EQ(wireshark.rows.size(), captured.size());
    std::size_t disagreements = 0;
    for (const auto& [number, line] : wireshark.complaints) {
        ASSERT_GE(number, 1u);
        ASSERT_LE(number, captured.size());
        // Wireshark knows the dialects from DX6 (9) on; the pre-DX6 machine's frames carry 7,
        // which it names unknown and reads no further.
        if (line.find("version: Unknown (0x0007)") != std::string::npos ||
            line.find("version: Unknown (0x00000007)") != std::string::npos)
            continue;
        // YouAreDead is the bare 28-byte header in Microsoft's document; Wireshark's
        // dissector reads on past it. The document wins.
        const auto frame = decodeFrame(captured[number - 1].bytes);
        if (frame && std::holds_alternative<YouAreDead>(frame->message) && captured[number - 1].bytes.size() == 28) {
            ++disagreements;
            continue;
        }
        ADD_FAILURE() << "tshark, frame " << number << ": " << line;
    }
    EXPECT_LE(disagreements, 4u);  // the one YouAreDead: its malformed mark and expert lines
    std::size_t checkedNames = 0;
    for (std::size_t i = 0; i < captured.size(); ++i) {
        const auto frame = decodeFrame(captured[i].bytes);
        if (!captured[i].stream || !frame || !frame->header.hasEnvelope) continue;
        const tshark::Row& row = wireshark.rows[i];
        char want[16];
        std::snprintf(want, sizeof want, "0x%04x", unsigned(frame->header.command));
        EXPECT_EQ(row.command, want) << "frame " << i + 1 << " " << row.protocols;
        std::snprintf(want, sizeof want, "0x%04x", unsigned(frame->header.version));
        EXPECT_EQ(row.version, want) << "frame " << i + 1;
        if (frame->header.version < dialect::DX6) continue;
        std::optional<SessionDesc> desc;
        if (auto* m = std::get_if<EnumSessionsReply>(&frame->message)) desc = m->desc;
        if (auto* m = std::get_if<SuperEnumPlayersReply>(&frame->message)) desc = m->desc;
        if (auto* m = std::get_if<EnumPlayersReply>(&frame->message)) desc = m->desc;
        if (auto* m = std::get_if<SessionDescChanged>(&frame->message)) desc = m->desc;
        if (!desc) continue;
        EXPECT_EQ(row.sessionName, narrow(desc->sessionName)) << "frame " << i + 1;
        if (!std::holds_alternative<SessionDescChanged>(frame->message)) {
            EXPECT_EQ(row.players, std::to_string(desc->dwCurrentPlayers)) << "frame " << i + 1;
        }
        ++checkedNames;
    }
    EXPECT_GE(checkedNames, 4u);  // two name tables, two description changes
}

// Blocking helpers for the edge checks below.
tcp::socket connectTo(asio::io_context& io, uint16_t port) {
    tcp::socket s(io);
    s.connect(tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), port));
    return s;
}

bool closedByPeer(tcp::socket& s) {
    // Bounded: the host closes at once or never.
    struct timeval tv{3, 0};
    setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    uint8_t b[64];
    // Plain recv: its timeout holds (Asio's blocking read would wait on regardless).
    ssize_t n = ::recv(s.native_handle(), b, sizeof b, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

Bytes requestSystemId(uint16_t replyPort, SockAddrIn claimed = {}) {
    claimed.port = replyPort;
    return encode(EncodeContext{Token::Remote, claimed, dialect::DX9}, RequestPlayerId{kPlayerSystem | kPlayerLocal});
}

// Reads one frame from a stream the host opened to our listening port.
std::optional<Frame> nextFrame(tcp::acceptor& listener, tcp::socket& s) {
    listener.accept(s);
    struct timeval tv{3, 0};
    setsockopt(s.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    StreamFramer framer;
    std::optional<Frame> out;
    uint8_t b[4096];
    for (int i = 0; i < 10 && !out; ++i) {
        ssize_t n = ::recv(s.native_handle(), b, sizeof b, 0);
        if (n <= 0) break;
        framer.feed(ByteView(b, std::size_t(n)), [&](ByteView f) {
            if (!out) out = decodeFrame(f);
        });
    }
    return out;
}

TEST(DplayTransport, EdgeLimits) {
    TransportConfig config;
    config.maxMachines = 1;
    config.maxConnectionsPerAddress = 3;
    config.maxFrameBytes = 1024;
    auto h = host(config);
    asio::io_context io;
    const uint16_t port = h.transport->streamPort();

    // A size word beyond the limit cannot be framed: the stream closes, the session stays.
    {
        tcp::socket s = connectTo(io, port);
        uint8_t big[4] = {0x00, 0x10, 0xB0, 0xFA};  // 0x1000 bytes, token 0xFAB
        asio::write(s, asio::buffer(big));
        EXPECT_TRUE(closedByPeer(s));
    }
    // Inbound streams from one address are bounded.
    {
        std::vector<tcp::socket> held;
        for (int i = 0; i < 3; ++i) held.push_back(connectTo(io, port));
        std::this_thread::sleep_for(100ms);
        tcp::socket extra = connectTo(io, port);
        EXPECT_TRUE(closedByPeer(extra));
    }
    std::this_thread::sleep_for(100ms);
    // One machine fits; the second asker hears DPERR_NONEWPLAYERS. Both replies come to the
    // address the request came from, whatever the prefix claims.
    tcp::acceptor first(io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
    tcp::acceptor second(io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
    SockAddrIn lie;
    lie.addr = {127, 0, 0, 2};
    tcp::socket a = connectTo(io, port);
    asio::write(a, asio::buffer(requestSystemId(first.local_endpoint().port(), lie)));
    tcp::socket fromHost1(io), fromHost2(io);
    auto r1 = nextFrame(first, fromHost1);
    ASSERT_TRUE(r1);
    ASSERT_TRUE(std::holds_alternative<RequestPlayerReply>(r1->message));
    EXPECT_EQ(std::get<RequestPlayerReply>(r1->message).result, S_OK);
    EXPECT_NE(std::get<RequestPlayerReply>(r1->message).id, 0u);
    tcp::socket b = connectTo(io, port);
    asio::write(b, asio::buffer(requestSystemId(second.local_endpoint().port())));
    auto r2 = nextFrame(second, fromHost2);
    ASSERT_TRUE(r2);
    EXPECT_EQ(std::get<RequestPlayerReply>(r2->message).result, DPERR_NONEWPLAYERS);
    // A request naming port 0 has nowhere to be answered: dropped, the stream with it.
    asio::write(b, asio::buffer(requestSystemId(0)));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(h.transport->machineCount(), 1u);
    EXPECT_GE(h.transport->stats().overloaded.load(), 2u);
    EXPECT_GE(h.transport->stats().malformed.load(), 2u);
    EXPECT_EQ(h.engine->Stats().machines, 0u);  // asked for an id, never joined

    // The first asker goes away without joining: its id is not lost but handed on (the
    // engine keeps every id it hands out until used, so dropping them would exhaust it).
    const DPID abandoned = std::get<RequestPlayerReply>(r1->message).id;
    fromHost1.close();
    first.close();
    for (int i = 0; i < 100 && h.transport->machineCount() != 0; ++i) std::this_thread::sleep_for(20ms);
    asio::write(b, asio::buffer(requestSystemId(second.local_endpoint().port())));
    tcp::socket fromHost3(io);
    auto r3 = nextFrame(second, fromHost3);
    ASSERT_TRUE(r3);
    EXPECT_EQ(std::get<RequestPlayerReply>(r3->message).result, S_OK);
    EXPECT_EQ(std::get<RequestPlayerReply>(r3->message).id, abandoned);
    h.transport->stop();
}

}  // namespace
}  // namespace qd::dplay

namespace qd::dplay {
namespace {

// A machine that joins and then falls silent is pinged, then removed with its player.
TEST(DplayTransport, SilentMachineIsPingedThenRemoved) {
    TransportConfig config;
    config.pingAfterSilence = 200ms;
    config.silenceLimit = 900ms;
    auto h = host(config);
    asio::io_context io;
    tcp::acceptor mine(io, tcp::endpoint(asio::ip::make_address_v4("127.0.0.1"), 0));
    const uint16_t myPort = mine.local_endpoint().port();
    const EncodeContext ctx{Token::Remote, SockAddrIn{2, myPort, {}}, dialect::DX8};
    tcp::socket toHost = connectTo(io, h.transport->streamPort());
    asio::write(toHost, asio::buffer(requestSystemId(myPort)));

    tcp::socket fromHost(io);
    mine.accept(fromHost);
    struct timeval tv{3, 0};
    setsockopt(fromHost.native_handle(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    StreamFramer framer;
    std::vector<Frame> got;
    auto waitFor = [&](auto pred) -> const Frame* {
        for (int i = 0; i < 20; ++i) {
            for (const auto& f : got)
                if (pred(f)) return &f;
            uint8_t b[4096];
            ssize_t n = ::recv(fromHost.native_handle(), b, sizeof b, 0);
            if (n <= 0) return nullptr;
            framer.feed(ByteView(b, std::size_t(n)), [&](ByteView f) {
                if (auto d = decodeFrame(f)) got.push_back(*d);
            });
        }
        return nullptr;
    };
    const Frame* reply = waitFor([](const Frame& f) { return std::holds_alternative<RequestPlayerReply>(f.message); });
    ASSERT_TRUE(reply);
    const DPID system = std::get<RequestPlayerReply>(reply->message).id;
    AddForwardRequest req;
    req.playerId = system;
    req.info.flags = kPlayerSystem | kPlayerLocal;
    req.info.id = system;
    req.info.systemPlayerId = system;
    req.info.version = dialect::DX8;
    asio::write(toHost, asio::buffer(encode(ctx, req)));
    ASSERT_TRUE(waitFor([](const Frame& f) { return std::holds_alternative<SuperEnumPlayersReply>(f.message); }));
    asio::write(toHost, asio::buffer(encode(ctx, RequestPlayerId{kPlayerLocal})));
    const Frame* second = waitFor([&](const Frame& f) {
        return std::holds_alternative<RequestPlayerReply>(f.message) &&
               std::get<RequestPlayerReply>(f.message).id != system;
    });
    ASSERT_TRUE(second);
    PlayerMgmt create;
    create.command = Command::CreatePlayer;
    create.playerId = std::get<RequestPlayerReply>(second->message).id;
    create.info = PackedPlayer{};
    create.info->id = create.playerId;
    create.info->shortName = u"Quiet";
    create.info->systemPlayerId = system;
    asio::write(toHost, asio::buffer(encode(ctx, create)));

    const Frame* ping = waitFor([](const Frame& f) {
        return std::holds_alternative<Ping>(f.message) && !std::get<Ping>(f.message).reply;
    });
    ASSERT_TRUE(ping);
    EXPECT_EQ(ping->header.version, dialect::DX8);  // answered in its own dialect
    EXPECT_EQ(h.engine->Stats().players, 1u);
    // Silence past the limit: the machine and its player are gone, its streams closed.
    for (int i = 0; i < 100 && h.engine->Stats().machines != 0; ++i) std::this_thread::sleep_for(20ms);
    EXPECT_EQ(h.engine->Stats().machines, 0u);
    EXPECT_EQ(h.engine->Stats().players, 0u);
    EXPECT_EQ(h.transport->stats().vanished.load(), 1u);
    EXPECT_TRUE(closedByPeer(fromHost));
    h.transport->stop();
}

}  // namespace
}  // namespace qd::dplay
