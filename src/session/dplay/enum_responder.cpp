#include "session/dplay/enum_responder.h"

#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>

#include "session/dplay/framer.h"

namespace qd::dplay {

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;

namespace {
constexpr uint32_t kSessionNewPlayersDisabled = 0x1;
constexpr uint32_t kSessionJoinDisabled = 0x20;
constexpr uint32_t kSessionPrivate = 0x200;
constexpr uint32_t kSessionPasswordRequired = 0x400;
constexpr std::size_t kEnumFrameLimit = 4096;  // an enumeration request is < 1 KiB
}  // namespace

std::optional<Bytes> buildEnumSessionsReply(const EnumSessionsRequest& request, uint16_t requestVersion,
                                            const SessionDesc& session, uint16_t streamPort) {
    if (!request.application.isNull() && request.application != session.guidApplication) return std::nullopt;
    bool full = session.dwMaxPlayers != 0 && session.dwCurrentPlayers >= session.dwMaxPlayers;
    bool closed = (session.dwFlags & (kSessionNewPlayersDisabled | kSessionJoinDisabled)) != 0;
    if ((request.flags & kEnumAvailable) && !(request.flags & kEnumAll) && (full || closed)) return std::nullopt;
    bool passwordMatches = session.password.value_or(u"") == request.password.value_or(u"");
    if ((session.dwFlags & kSessionPrivate) && !passwordMatches) return std::nullopt;
    if ((session.dwFlags & kSessionPasswordRequired) && !passwordMatches &&
        !(request.flags & kEnumPasswordRequired))
        return std::nullopt;
    EnumSessionsReply reply{session};
    reply.desc.password.reset();
    EncodeContext ctx{Token::Remote, SockAddrIn{2, streamPort, {}}, requestVersion};
    Bytes out = encode(ctx, reply);
    if (out.empty()) return std::nullopt;
    return out;
}

std::optional<asio::ip::address_v4> broadcastAddressOf(const asio::ip::address_v4& address) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return std::nullopt;
    std::optional<asio::ip::address_v4> found;
    for (ifaddrs* i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr || !i->ifa_netmask || i->ifa_addr->sa_family != AF_INET) continue;
        uint32_t a = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
        uint32_t mask = ntohl(reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr);
        if (a == address.to_uint() && mask != 0xFFFFFFFF) found = asio::ip::address_v4(a | ~mask);
    }
    freeifaddrs(list);
    return found;
}

RateLimiter::RateLimiter(double perSecond, double burst, std::size_t maxSources)
    : perSecond_(perSecond), burst_(burst), maxSources_(std::max<std::size_t>(maxSources, 1)) {}

bool RateLimiter::allow(uint32_t source, Clock::time_point now) {
    auto it = buckets_.find(source);
    if (it == buckets_.end()) {
        if (buckets_.size() >= maxSources_) {
            auto oldest = std::min_element(buckets_.begin(), buckets_.end(),
                                           [](const auto& a, const auto& b) { return a.second.last < b.second.last; });
            buckets_.erase(oldest);
        }
        it = buckets_.emplace(source, Bucket{burst_, now}).first;
    } else {
        double elapsed = std::chrono::duration<double>(now - it->second.last).count();
        if (elapsed > 0) it->second.tokens = std::min(burst_, it->second.tokens + elapsed * perSecond_);
        it->second.last = now;
    }
    if (it->second.tokens < 1.0) return false;
    it->second.tokens -= 1.0;
    return true;
}

// A connection accepted, or a reply on its way: whose it is, and how to end it early.
struct EnumResponder::Slot {
    uint32_t source = 0;
    std::function<void()> cancel;
};

// What outlives the responder: handlers check `alive` before calling back into it.
struct EnumResponder::Shared {
    bool alive = true;
    std::map<uint64_t, Slot> connections, replies;  // by age
    uint64_t next = 0;
};

bool EnumResponder::admit(std::map<uint64_t, Slot>& slots, uint32_t source, std::size_t total,
                          std::size_t perSource) {
    std::map<uint32_t, std::size_t> held;
    for (const auto& [id, slot] : slots) ++held[slot.source];
    const std::size_t mine = held.count(source) ? held[source] : 0;
    if (mine >= perSource) return false;
    if (slots.size() < total) return true;
    if (mine > 0 || held.empty()) return false;
    const uint32_t busiest =
        std::max_element(held.begin(), held.end(), [](auto& a, auto& b) { return a.second < b.second; })->first;
    auto oldest = std::find_if(slots.begin(), slots.end(), [&](const auto& e) { return e.second.source == busiest; });
    auto cancel = std::move(oldest->second.cancel);
    slots.erase(oldest);
    ++stats_.evicted;
    if (cancel) cancel();
    return true;
}

class EnumResponder::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, EnumResponder* owner, std::shared_ptr<Shared> shared, asio::ip::address_v4 source)
        : socket_(std::move(socket)), timer_(socket_.get_executor()), owner_(owner), shared_(std::move(shared)),
          framer_(kEnumFrameLimit), source_(source), id_(shared_->next++) {}
    ~Connection() { shared_->connections.erase(id_); }

    void start(std::chrono::milliseconds timeout) {
        shared_->connections[id_] = Slot{source_.to_uint(), [weak = weak_from_this()] {
                                             if (auto self = weak.lock()) self->close();
                                         }};
        timer_.expires_after(timeout);
        timer_.async_wait([self = shared_from_this()](boost::system::error_code e) {
            if (!e) self->close();
        });
        read();
    }

private:
    void read() {
        socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](boost::system::error_code ec,
                                                                                    std::size_t n) {
            if (ec || !self->shared_->alive) return self->close();
            auto status = self->framer_.feed(ByteView(self->buffer_.data(), n), [&](ByteView frame) {
                if (self->shared_->alive) self->owner_->handleFrame(frame, self->source_);
            });
            if (status == StreamFramer::Status::Refused) {
                if (self->shared_->alive) ++self->owner_->stats_.malformed;
                return self->close();
            }
            self->read();
        });
    }
    void close() {
        boost::system::error_code ignored;
        timer_.cancel();
        socket_.close(ignored);
    }

    tcp::socket socket_;
    asio::steady_timer timer_;
    EnumResponder* owner_;
    std::shared_ptr<Shared> shared_;
    StreamFramer framer_;
    std::array<uint8_t, 2048> buffer_{};
    asio::ip::address_v4 source_;
    uint64_t id_;
};

EnumResponder::EnumResponder(asio::io_context& io, EnumResponderConfig config, SessionProvider session)
    : io_(io), config_(config), session_(std::move(session)), udp_(io), broadcastUdp_(io), acceptor_(io),
      datagram_(65536), broadcastDatagram_(65536),
      limiter_(config.repliesPerSecond, config.replyBurst, config.maxSources), shared_(std::make_shared<Shared>()) {}

EnumResponder::~EnumResponder() { stop(); }

bool EnumResponder::start(std::string& error) {
    boost::system::error_code ec;
    udp::endpoint udpAt(config_.bindAddress, config_.port);
    udp_.open(udp::v4(), ec);
    if (!ec) udp_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) udp_.set_option(asio::socket_base::broadcast(true), ec);
    if (!ec) udp_.bind(udpAt, ec);
    if (ec) {
        error = "cannot bind UDP " + udpAt.address().to_string() + ":" + std::to_string(udpAt.port()) + ": " +
                ec.message();
        return false;
    }
    tcp::endpoint tcpAt(config_.bindAddress, config_.port ? config_.port : udp_.local_endpoint().port());
    acceptor_.open(tcp::v4(), ec);
    if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(tcpAt, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on TCP " + tcpAt.address().to_string() + ":" + std::to_string(tcpAt.port()) + ": " +
                ec.message();
        udp_.close(ec);
        return false;
    }
    if (config_.bindAddress != asio::ip::address_v4::any()) {
        auto bcast = config_.broadcastAddress ? config_.broadcastAddress : broadcastAddressOf(config_.bindAddress);
        if (bcast && *bcast != config_.bindAddress) {
            boost::system::error_code bec;
            broadcastUdp_.open(udp::v4(), bec);
            if (!bec) broadcastUdp_.set_option(asio::socket_base::reuse_address(true), bec);
            if (!bec) broadcastUdp_.bind(udp::endpoint(*bcast, udp_.local_endpoint().port()), bec);
            // Without it only direct enumeration works; that is no reason to refuse hosting.
            if (bec) broadcastUdp_.close(bec);
            else receiveDatagram(broadcastUdp_);
        }
    }
    receiveDatagram(udp_);
    acceptConnection();
    return true;
}

void EnumResponder::stop() {
    shared_->alive = false;
    boost::system::error_code ignored;
    udp_.close(ignored);
    broadcastUdp_.close(ignored);
    acceptor_.close(ignored);
}

uint16_t EnumResponder::udpPort() const {
    boost::system::error_code ec;
    auto ep = udp_.local_endpoint(ec);
    return ec ? 0 : ep.port();
}

uint16_t EnumResponder::tcpPort() const {
    boost::system::error_code ec;
    auto ep = acceptor_.local_endpoint(ec);
    return ec ? 0 : ep.port();
}

void EnumResponder::receiveDatagram(udp::socket& socket) {
    const bool primary = &socket == &udp_;
    auto& buffer = primary ? datagram_ : broadcastDatagram_;
    auto& from = primary ? datagramFrom_ : broadcastFrom_;
    socket.async_receive_from(asio::buffer(buffer), from,
                              [this, &socket, &buffer, &from, shared = shared_](boost::system::error_code ec,
                                                                                std::size_t n) {
                                  if (!shared->alive || ec == asio::error::operation_aborted) return;
                                  if (!ec && from.address().is_v4())
                                      handleFrame(ByteView(buffer.data(), n), from.address().to_v4());
                                  receiveDatagram(socket);
                              });
}

void EnumResponder::acceptConnection() {
    acceptor_.async_accept([this, shared = shared_](boost::system::error_code ec, tcp::socket socket) {
        if (!shared->alive || ec == asio::error::operation_aborted) return;
        if (!ec) {
            boost::system::error_code e;
            const auto remote = socket.remote_endpoint(e);
            if (e || !remote.address().is_v4() ||
                !admit(shared->connections, remote.address().to_v4().to_uint(), config_.maxConnections,
                       config_.maxConnectionsPerSource)) {
                ++stats_.overloaded;
                socket.close(e);
            } else {
                std::make_shared<Connection>(std::move(socket), this, shared, remote.address().to_v4())
                    ->start(config_.ioTimeout);
            }
        }
        acceptConnection();
    });
}

void EnumResponder::handleFrame(ByteView frame, const asio::ip::address_v4& source) {
    auto decoded = decodeFrame(frame);
    if (!decoded || !std::holds_alternative<EnumSessionsRequest>(decoded->message)) {
        ++stats_.malformed;
        return;
    }
    uint16_t replyPort = decoded->header.sockAddr.port;
    if (replyPort == 0) {
        ++stats_.malformed;
        return;
    }
    auto session = session_ ? session_() : std::nullopt;
    if (!session) return;
    auto reply = buildEnumSessionsReply(std::get<EnumSessionsRequest>(decoded->message), decoded->header.version,
                                        *session, config_.streamPort);
    if (!reply) {
        ++stats_.notMatching;
        return;
    }
    if (!limiter_.allow(source.to_uint(), RateLimiter::Clock::now())) {
        ++stats_.rateLimited;
        return;
    }
    // Only the port comes from the request; the address is where the packet came from.
    sendReply(std::move(*reply), tcp::endpoint(source, replyPort));
}

void EnumResponder::sendReply(Bytes reply, const tcp::endpoint& to) {
    const uint32_t source = to.address().to_v4().to_uint();
    if (!admit(shared_->replies, source, config_.maxPendingReplies, config_.maxPendingRepliesPerSource)) {
        ++stats_.overloaded;
        return;
    }
    struct Op {
        Op(asio::io_context& io, Bytes b, std::shared_ptr<Shared> s)
            : socket(io), timer(io), bytes(std::move(b)), shared(std::move(s)), id(shared->next++) {}
        ~Op() { shared->replies.erase(id); }
        tcp::socket socket;
        asio::steady_timer timer;
        Bytes bytes;
        std::shared_ptr<Shared> shared;
        uint64_t id;
    };
    auto op = std::make_shared<Op>(io_, std::move(reply), shared_);
    shared_->replies[op->id] = Slot{source, [weak = std::weak_ptr<Op>(op)] {
                                        if (auto o = weak.lock()) {
                                            boost::system::error_code ignored;
                                            o->timer.cancel();
                                            o->socket.close(ignored);
                                        }
                                    }};
    op->timer.expires_after(config_.ioTimeout);
    op->timer.async_wait([op](boost::system::error_code ec) {
        if (ec) return;
        boost::system::error_code ignored;
        op->socket.close(ignored);
    });
    op->socket.async_connect(to, [this, op](boost::system::error_code ec) {
        if (ec) return (void)op->timer.cancel();
        asio::async_write(op->socket, asio::buffer(op->bytes), [this, op](boost::system::error_code e, std::size_t) {
            if (!e && op->shared->alive) ++stats_.replies;
            boost::system::error_code ignored;
            op->socket.shutdown(tcp::socket::shutdown_both, ignored);
            op->socket.close(ignored);
            op->timer.cancel();
        });
    });
}

}  // namespace qd::dplay
