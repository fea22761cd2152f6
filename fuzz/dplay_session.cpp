// A joined client machine sends the input to the host on its stream and as one
// datagram: whatever it is, the host must answer a ping afterwards (or have closed the
// stream for a malformed frame), and the engine's name table must stay consistent.
//
// Four-byte markers in the input stand for live ids, so that seeds reach the handlers:
// EE EE 00 01 (little-endian 0xEEEE0001) the machine's system player, ...02 an id the
// host handed it for a player, ...03 the host's player, ...04 the host's group.
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <boost/asio/write.hpp>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <optional>

#include "session/dplay/framer.h"
#include "session/dplay/transport.h"
#include "session/engine.h"

using namespace qd;
using namespace qd::dplay;
namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

namespace {

const asio::ip::address_v4 kLoopback = asio::ip::make_address_v4("127.0.0.1");

void timeouts(int fd) {
    struct timeval tv{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

struct HostStream {
    tcp::socket& s;
    StreamFramer framer;
    bool ended = false;  // closed, or nothing came in time
    // The next frame that satisfies `want`, or nullopt on close or timeout.
    template <class Want>
    std::optional<Frame> until(Want want) {
        std::optional<Frame> found;
        for (int i = 0; i < 50 && !found && !ended; ++i) {
            uint8_t b[8192];
            // Plain recv: its timeout holds (Asio's blocking read would wait on regardless).
            ssize_t n = ::recv(s.native_handle(), b, sizeof b, 0);
            if (n <= 0) {
                ended = true;
                break;
            }
            framer.feed(ByteView(b, std::size_t(n)), [&](ByteView f) {
                auto d = decodeFrame(f);
                if (d && !found && want(*d)) found = std::move(d);
            });
        }
        return found;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 65536) return 0;
    EngineOptions options;
    options.idKey = 0x13570000;
    Engine engine(options);
    engine.InitializeConnection(BuildTcpipAddress("127.0.0.1"), 0);
    SessionDesc desc;
    desc.guidApplication = kGuidCfs2;
    desc.dwMaxPlayers = 16;
    desc.sessionName = u"Fuzz";
    engine.Open(desc, DPOPEN_CREATE);
    AutoResetEvent event;
    DPID hostPlayer = 0, hostGroup = 0;
    DpName name;
    name.shortName = u"Host";
    engine.CreatePlayer(&hostPlayer, name, &event, {}, 0);
    engine.CreateGroup(&hostGroup, name, {}, 0);
    engine.AddPlayerToGroup(hostGroup, hostPlayer);

    TransportConfig config;
    config.bindAddress = kLoopback;
    config.enumPort = 0;
    auto transport = Transport::create(engine, config);
    std::string error;
    if (!transport->start(error)) return 0;

    asio::io_context io;
    tcp::acceptor mine(io, tcp::endpoint(kLoopback, 0));
    udp::socket datagrams(io, udp::endpoint(kLoopback, 0));
    const uint16_t myPort = mine.local_endpoint().port();
    const EncodeContext ctx{Token::Remote, SockAddrIn{2, myPort, {}}, dialect::DX9};
    tcp::socket toHost(io), fromHost(io);
    boost::system::error_code ec;
    toHost.connect(tcp::endpoint(kLoopback, transport->streamPort()), ec);
    if (ec) return 0;
    timeouts(toHost.native_handle());
    asio::write(toHost, asio::buffer(encode(ctx, RequestPlayerId{kPlayerSystem | kPlayerLocal})), ec);
    mine.accept(fromHost, ec);
    if (ec) return 0;
    timeouts(fromHost.native_handle());
    HostStream in{fromHost, StreamFramer()};
    auto isReply = [](const Frame& f) { return std::holds_alternative<RequestPlayerReply>(f.message); };
    auto r = in.until(isReply);
    if (!r) std::abort();  // the join itself must work
    const DPID system = std::get<RequestPlayerReply>(r->message).id;
    AddForwardRequest req;
    req.playerId = system;
    req.info.flags = kPlayerSystem | kPlayerLocal;
    req.info.id = system;
    req.info.systemPlayerId = system;
    req.info.spData = encodeSpData(SpData{SockAddrIn{2, myPort, {}}, SockAddrIn{2, datagrams.local_endpoint().port(), {}}});
    asio::write(toHost, asio::buffer(encode(ctx, req)), ec);
    if (!in.until([](const Frame& f) { return std::holds_alternative<SuperEnumPlayersReply>(f.message); }))
        std::abort();
    asio::write(toHost, asio::buffer(encode(ctx, RequestPlayerId{kPlayerLocal})), ec);
    auto p = in.until(isReply);
    if (!p) std::abort();
    const DPID player = std::get<RequestPlayerReply>(p->message).id;

    Bytes input(data, data + size);
    const DPID live[4] = {system, player, hostPlayer, hostGroup};
    for (std::size_t i = 0; i + 4 <= input.size(); ++i) {
        if (input[i + 3] != 0xEE || input[i + 2] != 0xEE || input[i + 1] != 0 || input[i] < 1 || input[i] > 4)
            continue;
        const DPID id = live[input[i] - 1];
        for (int k = 0; k < 4; ++k) input[i + k] = uint8_t(id >> (8 * k));
        i += 3;
    }
    // Bytes that leave a frame unfinished swallow the ping that follows: no answer is due.
    StreamFramer local;
    const bool unfinished =
        local.feed(ByteView(input), [](ByteView) {}) == StreamFramer::Status::Ok && local.buffered() != 0;
    datagrams.send_to(asio::buffer(input), udp::endpoint(kLoopback, transport->datagramPort()), 0, ec);
    asio::write(toHost, asio::buffer(input), ec);
    asio::write(toHost, asio::buffer(encode(ctx, Ping{false, system, 77})), ec);
    // The host answers the ping, unless the input left the stream unframeable or was
    // malformed (then the stream is closed), or was the machine's farewell (both closed).
    bool answer = false, closed = false;
    StreamFramer replies;
    for (int round = 0; round < 20 && !answer && !closed; ++round) {
        pollfd fds[2] = {{fromHost.native_handle(), POLLIN, 0}, {toHost.native_handle(), POLLIN, 0}};
        if (::poll(fds, 2, 1000) <= 0) break;
        uint8_t b[8192];
        for (int k = 0; k < 2 && !closed; ++k) {
            if (!fds[k].revents) continue;
            ssize_t n = ::recv(fds[k].fd, b, sizeof b, MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN)) closed = true;
            if (n <= 0 || k == 1) continue;
            replies.feed(ByteView(b, std::size_t(n)), [&](ByteView f) {
                auto d = decodeFrame(f);
                if (d && (std::holds_alternative<YouAreDead>(d->message) ||
                          (std::holds_alternative<Ping>(d->message) && std::get<Ping>(d->message).tickCount == 77)))
                    answer = true;
            });
        }
    }
    transport->stop();
    if (!answer && !closed && !unfinished) std::abort();  // neither answered nor closed: the host is stuck

    // Whatever happened, the name table is whole: every member of a group is a player.
    const NameTableSnapshot snap = engine.Snapshot();
    for (const auto& e : snap.entries)
        for (DPID m : e.members) {
            bool found = false;
            for (const auto& o : snap.entries) found = found || (o.id == m && !o.isGroup);
            if (!found) std::abort();
        }
    return 0;
}
