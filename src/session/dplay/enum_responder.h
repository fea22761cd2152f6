#pragma once
// Answers DirectPlay session enumeration on port 47624, UDP (broadcast or direct)
// and TCP, as the name server of our one session. Each reply goes out on a TCP
// connection of our own to the requester's stream port — at the address the
// request came from, never at an address named inside the request.
#include <utility>  // before Asio: some of its headers use std::exchange unannounced

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

#include "session/dplay/wire.h"

namespace qd::dplay {

// Whether `session` answers `request`, and with which bytes: the reply in the
// requester's dialect, naming `streamPort` as the port to join on. The session's
// password never leaves the host.
std::optional<Bytes> buildEnumSessionsReply(const EnumSessionsRequest& request, uint16_t requestVersion,
                                            const SessionDesc& session, uint16_t streamPort);

// The broadcast address of the interface holding `address` (its subnet's highest
// address, also for interfaces that do not flag broadcast, such as loopback).
std::optional<boost::asio::ip::address_v4> broadcastAddressOf(const boost::asio::ip::address_v4& address);

// Token bucket per IPv4 source address, with a bounded table (the least recently
// seen source is forgotten first).
class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;
    RateLimiter(double perSecond, double burst, std::size_t maxSources);
    bool allow(uint32_t source, Clock::time_point now);
    std::size_t tracked() const { return buckets_.size(); }

private:
    struct Bucket {
        double tokens;
        Clock::time_point last;
    };
    double perSecond_;
    double burst_;
    std::size_t maxSources_;
    std::unordered_map<uint32_t, Bucket> buckets_;
};

struct EnumResponderConfig {
    boost::asio::ip::address_v4 bindAddress = boost::asio::ip::address_v4::any();
    uint16_t port = kDirectPlayPort;  // 0 picks a free port (tests)
    uint16_t streamPort = 0;          // the host's stream port, named in every reply
    // A socket bound to one address does not see broadcasts: with a specific bind address,
    // the subnet's broadcast address is listened on as well (found by start() when unset).
    std::optional<boost::asio::ip::address_v4> broadcastAddress;
    double repliesPerSecond = 2.0;    // per source address
    double replyBurst = 5.0;
    std::size_t maxSources = 1024;
    // Connections accepted and replies on their way, at once; when all are taken, a source
    // holding none takes the place of the oldest of the source holding the most.
    std::size_t maxConnections = 32;
    std::size_t maxConnectionsPerSource = 4;
    std::size_t maxPendingReplies = 32;
    std::size_t maxPendingRepliesPerSource = 2;
    std::chrono::milliseconds ioTimeout{3000};
};

class EnumResponder {
public:
    // The current session description, name included; nullopt while none is open.
    using SessionProvider = std::function<std::optional<SessionDesc>()>;

    struct Stats {
        std::atomic<uint64_t> replies{0};
        std::atomic<uint64_t> rateLimited{0};
        std::atomic<uint64_t> notMatching{0};
        std::atomic<uint64_t> malformed{0};
        std::atomic<uint64_t> overloaded{0};
        std::atomic<uint64_t> evicted{0};  // connections or replies ended early for a new source
    };

    EnumResponder(boost::asio::io_context& io, EnumResponderConfig config, SessionProvider session);
    ~EnumResponder();
    EnumResponder(const EnumResponder&) = delete;
    EnumResponder& operator=(const EnumResponder&) = delete;

    // Binds both sockets and starts answering. False with `error` naming the port
    // when a socket cannot be bound.
    bool start(std::string& error);
    // Closes everything; call on the io_context's thread or after it stopped.
    void stop();

    uint16_t udpPort() const;
    uint16_t tcpPort() const;
    bool listensForBroadcast() const { return broadcastUdp_.is_open(); }
    const Stats& stats() const { return stats_; }

private:
    struct Shared;
    class Connection;
    void receiveDatagram(boost::asio::ip::udp::socket& socket);
    void acceptConnection();
    void handleFrame(ByteView frame, const boost::asio::ip::address_v4& source);
    void sendReply(Bytes reply, const boost::asio::ip::tcp::endpoint& to);
    struct Slot;
    bool admit(std::map<uint64_t, Slot>& slots, uint32_t source, std::size_t total, std::size_t perSource);

    boost::asio::io_context& io_;
    EnumResponderConfig config_;
    SessionProvider session_;
    boost::asio::ip::udp::socket udp_;
    boost::asio::ip::udp::socket broadcastUdp_;
    boost::asio::ip::tcp::acceptor acceptor_;
    std::vector<uint8_t> datagram_, broadcastDatagram_;
    boost::asio::ip::udp::endpoint datagramFrom_, broadcastFrom_;
    RateLimiter limiter_;
    std::shared_ptr<Shared> shared_;
    Stats stats_;
};

}  // namespace qd::dplay
