#include "session/dplay/transport.h"

#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>

#include <algorithm>
#include <deque>
#include <set>

#include "platform/event.h"
#include "session/dplay/framer.h"

namespace qd::dplay {

namespace asio = boost::asio;
using asio::ip::address_v4;
using asio::ip::tcp;
using asio::ip::udp;
using Clock = std::chrono::steady_clock;

namespace {
constexpr uint32_t kSessionNewPlayersDisabled = 0x1;
constexpr uint32_t kSessionJoinDisabled = 0x20;
constexpr uint16_t kFirstPort = 2300;
constexpr uint16_t kLastPort = 2400;
// Ids handed to a machine and not yet used for a player or group. The engine keeps every
// id it hands out until claimed, so ids a machine leaves unused go back to our spares.
constexpr std::size_t kMaxUnclaimedIds = 4;
constexpr std::size_t kMaxAwaitedAcks = 256;

std::string dotted(const address_v4& a) { return a.to_string(); }
SockAddrIn sockAddr(const address_v4& a, uint16_t port) {
    SockAddrIn s;
    s.port = port;
    s.addr = a.to_bytes();
    return s;
}
}  // namespace

// One TCP stream, accepted or opened by us. Frames read from either kind are handled
// alike; writes are queued with a byte limit.
struct Transport::Link : std::enable_shared_from_this<Link> {
    Link(asio::io_context& io, std::size_t frameLimit) : socket(io), timer(io), framer(frameLimit) {}
    tcp::socket socket;
    asio::steady_timer timer;
    StreamFramer framer;
    std::array<uint8_t, 16384> buffer{};
    std::deque<std::shared_ptr<const Bytes>> queue;
    std::size_t queuedBytes = 0;
    bool inbound = false;
    bool connected = false;
    bool writing = false;
    bool closed = false;
    bool malformed = false;  // closed for a bad frame: the session stays untouched
    bool stranger = false;   // inbound, not (yet) speaking for a machine
    bool closeWhenSent = false;  // carries one refusal to a stranger, then closes
    MachineId machine = 0;   // the machine this stream belongs to, once known
    Clock::time_point opened = Clock::now();
    std::optional<Clock::time_point> partialSince;  // a frame begun and not yet complete
    std::size_t partial = 0;  // its bytes, as counted in partialBytes_
    address_v4 remote;
    uint16_t remotePort = 0;
    address_v4 local;
    uint16_t localPort = 0;
};

struct Transport::Machine {
    enum class State { Pending, Joining, Joined };
    MachineId id = 0;
    State state = State::Pending;
    address_v4 address;
    uint16_t streamPort = 0;
    uint16_t datagramPort = 0;
    address_v4 hostAddressSeen;  // where this machine reached us
    DPID systemPlayer = 0;
    uint16_t version = dialect::DX9;
    std::set<DPID> unclaimed;
    std::shared_ptr<Link> out;  // our stream to its stream port
    std::size_t inboundLinks = 0;
    std::set<MachineId> awaitingAcks;
    std::size_t missedAcks = 0;  // AddForwards in a row it left unanswered
    Clock::time_point created = Clock::now();
    Clock::time_point deadline;  // join step deadline
    Clock::time_point lastHeard;
    Clock::time_point lastPing;
};

std::shared_ptr<Transport> Transport::create(Engine& engine, TransportConfig config) {
    return std::make_shared<Transport>(engine, std::move(config));
}

Transport::Transport(Engine& engine, TransportConfig config)
    : engine_(engine), config_(std::move(config)), acceptor_(io_), udp_(io_), timer_(io_), datagram_(65536) {}

Transport::~Transport() { stop(); }

uint16_t Transport::enumUdpPort() const { return enum_ ? enum_->udpPort() : 0; }
uint16_t Transport::enumTcpPort() const { return enum_ ? enum_->tcpPort() : 0; }

bool Transport::bindPorts(std::string& error) {
    boost::system::error_code ec;
    auto tryStream = [&](uint16_t port) {
        acceptor_.close(ec);
        acceptor_.open(tcp::v4(), ec);
        if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) acceptor_.bind(tcp::endpoint(config_.bindAddress, port), ec);
        if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) acceptor_.close(ec);
        return acceptor_.is_open();
    };
    auto tryDatagram = [&](uint16_t port) {
        udp_.close(ec);
        udp_.open(udp::v4(), ec);
        if (!ec) udp_.bind(udp::endpoint(config_.bindAddress, port), ec);
        if (!ec) udp_.non_blocking(true, ec);
        if (ec) udp_.close(ec);
        return udp_.is_open();
    };
    if (config_.streamPort) {
        if (!tryStream(config_.streamPort)) {
            error = "cannot listen on TCP " + dotted(config_.bindAddress) + ":" + std::to_string(config_.streamPort);
            return false;
        }
        streamPort_ = config_.streamPort;
    } else {
        for (uint16_t p = kFirstPort; p <= kLastPort && !streamPort_; ++p)
            if (tryStream(p)) streamPort_ = p;
        if (!streamPort_) {
            error = "no free TCP port from 2300 to 2400 on " + dotted(config_.bindAddress);
            return false;
        }
    }
    if (config_.datagramPort) {
        if (!tryDatagram(config_.datagramPort)) {
            error = "cannot bind UDP " + dotted(config_.bindAddress) + ":" + std::to_string(config_.datagramPort);
            return false;
        }
        datagramPort_ = config_.datagramPort;
    } else {
        uint16_t first = streamPort_ >= kFirstPort && streamPort_ <= kLastPort ? streamPort_ : kFirstPort;
        for (uint16_t p = first; p <= kLastPort && !datagramPort_; ++p)
            if (tryDatagram(p)) datagramPort_ = p;
        for (uint16_t p = kFirstPort; p < first && !datagramPort_; ++p)
            if (tryDatagram(p)) datagramPort_ = p;
        if (!datagramPort_) {
            error = "no free UDP port from 2300 to 2400 on " + dotted(config_.bindAddress);
            return false;
        }
    }
    return true;
}

bool Transport::start(std::string& error) {
    if (running_) return true;
    if (!bindPorts(error)) return false;
    EnumResponderConfig ec = config_.enumeration;
    ec.bindAddress = config_.bindAddress;
    ec.port = config_.enumPort;
    ec.streamPort = streamPort_;
    enum_ = std::make_unique<EnumResponder>(io_, ec, [this]() -> std::optional<SessionDesc> {
        SessionDesc d;
        if (FAILED(engine_.GetSessionDesc(d))) return std::nullopt;
        return d;
    });
    if (!enum_->start(error)) {
        enum_.reset();
        boost::system::error_code ignored;
        acceptor_.close(ignored);
        udp_.close(ignored);
        return false;
    }
    SessionDesc d;
    if (SUCCEEDED(engine_.GetSessionDesc(d))) sessionFlags_ = d.dwFlags;
    accept();
    receiveDatagram();
    startTimer();
    engine_.SetSink(shared_from_this());
    running_ = true;
    thread_ = std::thread([this] { io_.run(); });
    return true;
}

void Transport::stop() {
    if (!running_) return;
    running_ = false;
    engine_.SetSink(nullptr);
    asio::post(io_, [this] {
        boost::system::error_code ignored;
        if (enum_) enum_->stop();
        acceptor_.close(ignored);
        udp_.close(ignored);
        timer_.cancel();
        for (const auto& link : links_) {
            link->closed = true;
            link->socket.close(ignored);
            link->timer.cancel();
        }
        links_.clear();
        machines_.clear();
        byKey_.clear();
        machineCount_ = 0;
        stats_.machinesJoined = 0;
        io_.stop();
    });
    if (thread_.joinable()) thread_.join();
}

void Transport::Notify(const OutboundNotice& notice) {
    // Weak: a notice left in the queue after stop() must not keep the transport alive.
    asio::post(io_, [weak = weak_from_this(), notice] {
        if (auto self = weak.lock()) self->handleNotice(notice);
    });
}

// ---- sockets --------------------------------------------------------------------------------

void Transport::accept() {
    acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
        if (!ec) {
            boost::system::error_code e1, e2;
            auto remote = socket.remote_endpoint(e1);
            auto local = socket.local_endpoint(e2);
            const bool v4 = !e1 && !e2 && remote.address().is_v4() && local.address().is_v4();
            const uint32_t from = v4 ? remote.address().to_v4().to_uint() : 0;
            const auto held = inboundPerAddress_.find(from);
            bool room = v4 && (held == inboundPerAddress_.end() || held->second < config_.maxConnectionsPerAddress) &&
                        strangerStreams(from, true) < config_.maxStrangerStreamsPerAddress;
            if (room && links_.size() >= config_.maxConnections) room = evictStranger(from);
            if (!room) {
                ++stats_.overloaded;
                socket.close(e1);
            } else {
                // Small frames only until it speaks for a machine.
                auto link = std::make_shared<Link>(io_, std::min(config_.strangerFrameBytes, config_.maxFrameBytes));
                link->socket = std::move(socket);
                link->inbound = true;
                link->stranger = true;
                link->connected = true;
                link->remote = remote.address().to_v4();
                link->remotePort = remote.port();
                link->local = local.address().to_v4();
                link->localPort = local.port();
                ++inboundPerAddress_[from];
                links_.insert(link);
                read(link);
            }
        }
        accept();
    });
}

void Transport::read(const std::shared_ptr<Link>& link) {
    link->socket.async_read_some(asio::buffer(link->buffer), [this, link](boost::system::error_code ec,
                                                                            std::size_t n) {
        if (link->closed) return;
        if (ec) return closeLink(link);
        stats_.streamBytesIn += n;
        bool completed = false;
        auto status = link->framer.feed(ByteView(link->buffer.data(), n), [&](ByteView frame) {
            completed = true;
            if (!link->closed) onStreamFrame(link, frame);
        });
        if (status == StreamFramer::Status::Refused) {
            ++stats_.malformed;
            link->malformed = true;
        }
        if (link->malformed) return closeLink(link);
        if (link->closed) return;
        // What unfinished frames hold is bounded over all streams, and each must finish in time.
        const std::size_t partial = link->framer.buffered();
        partialBytes_ = partialBytes_ - link->partial + partial;
        link->partial = partial;
        if (!partial)
            link->partialSince.reset();
        else if (completed || !link->partialSince)
            link->partialSince = Clock::now();
        if (partialBytes_ > config_.maxPartialFrameBytes) {
            ++stats_.overloaded;
            link->malformed = true;
            return closeLink(link);
        }
        read(link);
    });
}

void Transport::write(const std::shared_ptr<Link>& link) {
    if (link->writing || link->closed || !link->connected || link->queue.empty()) return;
    link->writing = true;
    auto bytes = link->queue.front();
    asio::async_write(link->socket, asio::buffer(*bytes), [this, link, bytes](boost::system::error_code ec,
                                                                              std::size_t) {
        link->writing = false;
        if (link->closed) return;
        if (ec) return closeLink(link);
        link->queuedBytes -= bytes->size();
        link->queue.pop_front();
        if (link->queue.empty() && link->closeWhenSent) return closeLink(link);
        write(link);
    });
}

bool Transport::enqueue(const std::shared_ptr<Link>& link, Bytes frame) {
    if (link->closed) return false;
    if (link->queuedBytes + frame.size() > config_.maxQueuedBytes) {
        ++stats_.overloaded;
        return false;
    }
    observe(true, link->local, link->localPort, link->remote, link->remotePort, frame);
    link->queuedBytes += frame.size();
    ++stats_.streamFramesOut;
    stats_.streamBytesOut += frame.size();
    link->queue.push_back(std::make_shared<const Bytes>(std::move(frame)));
    ++stats_.framesOut;
    write(link);
    return true;
}

std::shared_ptr<Transport::Link> Transport::openLink(const address_v4& address, uint16_t port, bool joined) {
    if (links_.size() >= config_.maxConnections ||
        (!joined && strangerStreams(address.to_uint(), false) >= config_.maxStrangerStreamsPerAddress)) {
        ++stats_.overloaded;
        return nullptr;
    }
    auto link = std::make_shared<Link>(
        io_, joined ? config_.maxFrameBytes : std::min(config_.strangerFrameBytes, config_.maxFrameBytes));
    link->remote = address;
    link->remotePort = port;
    links_.insert(link);
    link->timer.expires_after(config_.connectTimeout);
    link->timer.async_wait([this, link](boost::system::error_code ec) {
        if (!ec && !link->connected && !link->closed) closeLink(link);
    });
    boost::system::error_code ec;
    link->socket.open(tcp::v4(), ec);
    // Our stream leaves from the address we were reached at, so the peer sees one host.
    if (!ec && config_.bindAddress != address_v4::any())
        link->socket.bind(tcp::endpoint(config_.bindAddress, 0), ec);
    if (ec) {
        closeLink(link);
        return link;
    }
    link->socket.async_connect(tcp::endpoint(address, port), [this, link](boost::system::error_code e) {
        if (link->closed) return;
        if (e) return closeLink(link);
        link->connected = true;
        link->timer.cancel();
        boost::system::error_code ignored;
        auto local = link->socket.local_endpoint(ignored);
        if (!ignored) {
            link->local = local.address().to_v4();
            link->localPort = local.port();
        }
        // Frames captured before the connection existed named no source port.
        read(link);
        write(link);
    });
    return link;
}

void Transport::closeLink(const std::shared_ptr<Link>& link) {
    if (link->closed) return;
    link->closed = true;
    boost::system::error_code ignored;
    link->socket.shutdown(tcp::socket::shutdown_both, ignored);
    link->socket.close(ignored);
    link->timer.cancel();
    link->queue.clear();
    link->queuedBytes = 0;
    partialBytes_ -= link->partial;
    link->partial = 0;
    links_.erase(link);
    if (link->inbound) {
        auto it = inboundPerAddress_.find(link->remote.to_uint());
        if (it != inboundPerAddress_.end() && --it->second == 0) inboundPerAddress_.erase(it);
    }
    auto mit = machines_.find(link->machine);
    if (mit == machines_.end()) return;
    Machine& m = *mit->second;
    if (link->inbound && m.inboundLinks) --m.inboundLinks;
    if (link->malformed) {
        if (m.out == link) m.out.reset();
        return;  // a bad frame costs the stream, never the session
    }
    // The machine closed its stream to us, or ours to it failed: it is gone.
    const bool ours = m.out == link;
    if (ours || (link->inbound && m.inboundLinks == 0)) {
        if (m.state == Machine::State::Joined)
            vanish(m.id, true);
        else
            forgetMachine(m.id);
    }
}

void Transport::bindLink(const std::shared_ptr<Link>& link, Machine& m) {
    if (link->machine) return;
    link->machine = m.id;
    link->stranger = false;
    link->framer.setLimit(config_.maxFrameBytes);
    if (link->inbound) ++m.inboundLinks;
}

std::size_t Transport::strangerStreams(uint32_t address, bool inbound) const {
    std::size_t n = 0;
    for (const auto& link : links_) {
        if (link->inbound != inbound || link->remote.to_uint() != address) continue;
        if (inbound) {
            n += link->stranger ? 1 : 0;
        } else {
            auto m = machines_.find(link->machine);
            n += m == machines_.end() || m->second->state == Machine::State::Pending ? 1 : 0;
        }
    }
    return n;
}

// Every stream is taken: a new source gets the place of the oldest stranger's stream from
// the address holding the most of them, so that a crowd from a few addresses cannot keep
// everyone else out.
bool Transport::evictStranger(uint32_t newcomer) {
    if (strangerStreams(newcomer, true) > 0) return false;
    std::map<uint32_t, std::size_t> perAddress;
    for (const auto& link : links_)
        if (link->inbound && link->stranger) ++perAddress[link->remote.to_uint()];
    if (perAddress.empty()) return false;
    const uint32_t busiest =
        std::max_element(perAddress.begin(), perAddress.end(), [](auto& a, auto& b) { return a.second < b.second; })
            ->first;
    std::shared_ptr<Link> oldest;
    for (const auto& link : links_)
        if (link->inbound && link->stranger && link->remote.to_uint() == busiest &&
            (!oldest || link->opened < oldest->opened))
            oldest = link;
    ++stats_.evicted;
    closeLink(oldest);
    return true;
}

std::size_t Transport::pendingJoins(uint32_t address) const {
    std::size_t n = 0;
    for (const auto& [id, m] : machines_)
        n += m->state == Machine::State::Pending && m->address.to_uint() == address ? 1 : 0;
    return n;
}

// As evictStranger, for pending joins: the oldest of the address holding the most.
bool Transport::evictPending(uint32_t newcomer) {
    if (pendingJoins(newcomer) > 0) return false;
    std::map<uint32_t, std::size_t> perAddress;
    for (const auto& [id, m] : machines_)
        if (m->state == Machine::State::Pending) ++perAddress[m->address.to_uint()];
    if (perAddress.empty()) return false;
    const uint32_t busiest =
        std::max_element(perAddress.begin(), perAddress.end(), [](auto& a, auto& b) { return a.second < b.second; })
            ->first;
    const Machine* oldest = nullptr;
    for (const auto& [id, m] : machines_)
        if (m->state == Machine::State::Pending && m->address.to_uint() == busiest &&
            (!oldest || m->created < oldest->created))
            oldest = m.get();
    ++stats_.evicted;
    forgetMachine(oldest->id);
    return true;
}

// One frame to a machine we keep no stream with, on a stream that closes once it is sent.
void Transport::refuse(const address_v4& address, uint16_t port, Bytes frame) {
    if (auto link = openLink(address, port, false)) {
        link->closeWhenSent = true;
        enqueue(link, std::move(frame));
    }
}

void Transport::receiveDatagram() {
    udp_.async_receive_from(asio::buffer(datagram_), datagramFrom_, [this](boost::system::error_code ec,
                                                                           std::size_t n) {
        if (ec == asio::error::operation_aborted || !udp_.is_open()) return;
        if (!ec && datagramFrom_.address().is_v4()) onDatagram(ByteView(datagram_.data(), n), datagramFrom_);
        // Take what else is waiting before going back to the reactor (bounded, so streams get their turn).
        for (int more = 0; more < 64; ++more) {
            boost::system::error_code e;
            std::size_t got = udp_.receive_from(asio::buffer(datagram_), datagramFrom_, 0, e);
            if (e) break;
            if (datagramFrom_.address().is_v4()) onDatagram(ByteView(datagram_.data(), got), datagramFrom_);
        }
        receiveDatagram();
    });
}

void Transport::startTimer() {
    timer_.expires_after(std::chrono::milliseconds(500));
    timer_.async_wait([this](boost::system::error_code ec) {
        if (ec) return;
        onTimer();
        startTimer();
    });
}

void Transport::observe(bool stream, const address_v4& from, uint16_t fromPort, const address_v4& to,
                        uint16_t toPort, const Bytes& bytes) {
    if (!observer_) return;
    SentFrame f;
    f.stream = stream;
    f.fromAddress = from;
    f.fromPort = fromPort;
    f.toAddress = to;
    f.toPort = toPort;
    f.bytes = bytes;
    observer_(f);
}

// ---- machines --------------------------------------------------------------------------------

Transport::Machine* Transport::machineFor(uint32_t address, uint16_t streamPort) {
    auto it = byKey_.find({address, streamPort});
    if (it == byKey_.end()) return nullptr;
    auto m = machines_.find(it->second);
    return m == machines_.end() ? nullptr : m->second.get();
}

Transport::Machine* Transport::machineBySystemPlayer(DPID id) {
    for (auto& [mid, m] : machines_)
        if (m->systemPlayer == id && m->state != Machine::State::Pending) return m.get();
    return nullptr;
}

Transport::Machine* Transport::newMachine(const address_v4& address, uint16_t streamPort,
                                          const std::shared_ptr<Link>& via) {
    if (machines_.size() >= config_.maxMachines) {
        ++stats_.overloaded;
        return nullptr;
    }
    auto m = std::make_unique<Machine>();
    m->id = nextMachine_++;
    if (nextMachine_ == 0) nextMachine_ = 1;
    m->address = address;
    m->streamPort = streamPort;
    m->datagramPort = streamPort;
    m->hostAddressSeen = via ? via->local : config_.bindAddress;
    m->lastHeard = m->lastPing = Clock::now();
    m->deadline = Clock::now() + config_.joinTimeout;
    m->out = openLink(address, streamPort, false);
    if (!m->out) return nullptr;
    m->out->machine = m->id;
    Machine* raw = m.get();
    byKey_[{address.to_uint(), streamPort}] = m->id;
    machines_.emplace(m->id, std::move(m));
    machineCount_ = machines_.size();
    return raw;
}

void Transport::forgetMachine(MachineId id) {
    auto it = machines_.find(id);
    if (it == machines_.end()) return;
    std::unique_ptr<Machine> m = std::move(it->second);
    machines_.erase(it);
    if (m->state == Machine::State::Joined) --stats_.machinesJoined;
    byKey_.erase({m->address.to_uint(), m->streamPort});
    // Still pending in the engine: the next machine that asks gets them.
    spareIds_.insert(spareIds_.end(), m->unclaimed.begin(), m->unclaimed.end());
    machineCount_ = machines_.size();
    // Streams of a forgotten machine close without another round of farewells.
    std::vector<std::shared_ptr<Link>> mine;
    for (const auto& link : links_)
        if (link->machine == id) mine.push_back(link);
    for (const auto& link : mine) {
        link->machine = 0;
        closeLink(link);
    }
    // Joins waiting for this machine's acknowledgement need not wait any more.
    std::vector<MachineId> ready;
    for (auto& [other, om] : machines_)
        if (om->state == Machine::State::Joining && om->awaitingAcks.erase(id) && om->awaitingAcks.empty())
            ready.push_back(other);
    for (MachineId r : ready) finishJoin(r);
}

void Transport::vanish(MachineId id, bool tellOthers) {
    auto it = machines_.find(id);
    if (it == machines_.end()) return;
    const DPID system = it->second->systemPlayer;
    std::vector<std::pair<DPID, bool>> owned;  // id, is a group
    if (it->second->state == Machine::State::Joined) {
        for (const auto& e : engine_.Snapshot().entries)
            if (!e.local && e.machine == id) owned.emplace_back(e.id, e.isGroup);
        engine_.MachineVanished(id);
        ++stats_.vanished;
    }
    forgetMachine(id);
    if (!tellOthers) return;
    std::stable_partition(owned.begin(), owned.end(), [](const auto& e) { return !e.second; });
    for (auto& [mid, m] : machines_) {
        if (m->state != Machine::State::Joined) continue;
        const EncodeContext ctx = contextFor(*m);
        for (const auto& [eid, group] : owned) {
            PlayerMgmt msg;
            msg.command = group ? Command::DeleteGroup : Command::DeletePlayer;
            (group ? msg.groupId : msg.playerId) = eid;
            sendStream(*m, encode(ctx, msg));
        }
        PlayerMgmt sys;
        sys.command = Command::DeletePlayer;
        sys.playerId = system;
        sendStream(*m, encode(ctx, sys));
    }
}

void Transport::onTimer() {
    const auto now = Clock::now();
    SessionDesc d;
    if (SUCCEEDED(engine_.GetSessionDesc(d))) sessionFlags_ = d.dwFlags;
    std::vector<MachineId> expired, ready, silent;
    for (auto& [id, m] : machines_) {
        switch (m->state) {
        case Machine::State::Pending:
            if (now > m->deadline) expired.push_back(id);
            break;
        case Machine::State::Joining:
            if (now > m->deadline) ready.push_back(id);
            break;
        case Machine::State::Joined:
            if (now - m->lastHeard > config_.silenceLimit) {
                silent.push_back(id);
            } else if (now - m->lastHeard > config_.pingAfterSilence && now - m->lastPing > config_.pingAfterSilence) {
                m->lastPing = now;
                sendStream(*m, encode(contextFor(*m), Ping{false, engine_.HostSystemPlayer(), GetTickCount()}));
            }
            break;
        }
    }
    for (MachineId id : expired) forgetMachine(id);
    for (MachineId id : ready) {
        auto it = machines_.find(id);
        if (it == machines_.end()) continue;
        const std::set<MachineId> unanswered = it->second->awaitingAcks;
        finishJoin(id);
        // One peer's silence costs the newcomer a short wait only; a peer that keeps
        // leaving newcomers unanswered is not part of the session any more. Runtimes older
        // than DirectPlay 6 never learnt to answer.
        for (MachineId p : unanswered) {
            auto peer = machines_.find(p);
            if (peer == machines_.end()) continue;
            ++stats_.missedAcks;
            if (peer->second->version >= dialect::DX6 && ++peer->second->missedAcks >= config_.maxMissedAcks) {
                ++stats_.peersDropped;
                vanish(p, true);
            }
        }
    }
    for (MachineId id : silent) vanish(id, true);
    // Streams that keep a frame unfinished, strangers' streams that never came to speak
    // for a machine, and our refusals that could not be delivered are closed.
    std::vector<std::shared_ptr<Link>> stale;
    for (const auto& link : links_) {
        const bool strangerDue = (link->stranger || (!link->inbound && link->machine == 0)) &&
                                 now - link->opened > config_.strangerTimeout;
        const bool frameDue = link->partialSince && now - *link->partialSince > config_.frameTimeout;
        if (strangerDue || frameDue) stale.push_back(link);
    }
    for (const auto& link : stale) {
        ++stats_.timedOut;
        closeLink(link);
    }
}

// ---- what arrives --------------------------------------------------------------------------------

void Transport::onStreamFrame(const std::shared_ptr<Link>& link, ByteView frame) {
    ++stats_.framesIn;
    ++stats_.streamFramesIn;
    auto decoded = decodeFrame(frame, noMessageIds());
    if (!decoded) {
        ++stats_.malformed;
        link->malformed = true;
        return;
    }
    Machine* known = nullptr;
    if (link->machine) {
        auto it = machines_.find(link->machine);
        if (it != machines_.end()) known = it->second.get();
    }
    dispatch(*decoded, link->remote, known, link);
}

void Transport::onDatagram(ByteView data, const udp::endpoint& from) {
    ++stats_.framesIn;
    ++stats_.datagramsIn;
    stats_.datagramBytesIn += data.size();
    const address_v4 source = from.address().to_v4();
    // Datagrams count only from machines we know, at their datagram port.
    Machine* m = nullptr;
    for (auto& [id, candidate] : machines_)
        if (candidate->state == Machine::State::Joined && candidate->address == source &&
            candidate->datagramPort == from.port()) {
            m = candidate.get();
            break;
        }
    if (!m) {
        ++stats_.refused;
        return;
    }
    // A datagram is either a whole frame (prefix with its own size) or a bare player message.
    // Its source is easily forged, so only what DirectPlay sends unguaranteed is taken from
    // it: player messages, pings and their replies. Whatever changes the session comes on
    // the streams the machine joined on.
    if (auto header = decodeHeader(data)) {
        auto f = decodeFrame(data, noMessageIds());
        if (!f) {
            ++stats_.malformed;
            return;
        }
        const auto* ping = std::get_if<Ping>(&f->message);
        const bool unguaranteed = ping || std::holds_alternative<PlayerMessage>(f->message) ||
                                  std::holds_alternative<PlayerWrapper>(f->message);
        // A ping that names someone else would be answered with YouAreDead on the stream.
        if (!unguaranteed || (ping && !ping->reply && ping->idFrom != m->systemPlayer)) {
            ++stats_.datagramsRefused;
            return;
        }
        return dispatch(*f, source, m, nullptr);
    }
    auto pm = decodeBarePlayerMessage(data, noMessageIds());
    if (!pm) {
        ++stats_.malformed;
        return;
    }
    m->lastHeard = Clock::now();
    onPlayerMessage(*m, *pm);
}

void Transport::dispatch(const Frame& frame, const address_v4& source, Machine* known,
                         const std::shared_ptr<Link>& link) {
    const Header& h = frame.header;
    const uint16_t replyPort = h.sockAddr.port;
    if (!known && replyPort) {
        known = machineFor(source.to_uint(), replyPort);
        // A machine is the streams it joined on: another stream from its address naming
        // its port is someone else (machines behind one NAT share the address).
        if (known && link && link->inbound && known->inboundLinks > 0) {
            ++stats_.impostors;
            link->malformed = true;
            return;
        }
    }
    if (known && link) bindLink(link, *known);
    if (known) known->lastHeard = Clock::now();

    std::visit(
        [&](const auto& msg) {
            using T = std::decay_t<decltype(msg)>;
            if constexpr (std::is_same_v<T, RequestPlayerId> || std::is_same_v<T, RequestGroupId>) {
                onRequestId(known, source, replyPort, std::is_same_v<T, RequestGroupId>, msg.flags, h.version, link);
            } else if constexpr (std::is_same_v<T, AddForwardRequest>) {
                if (known && known->state == Machine::State::Pending)
                    onAddForwardRequest(*known, msg, h.version);
                else
                    ++stats_.refused;
            } else if constexpr (std::is_same_v<T, AddForwardAck>) {
                Machine* joining = machineBySystemPlayer(msg.id);
                if (known) known->missedAcks = 0;
                if (known && known->state == Machine::State::Joined && joining &&
                    joining->state == Machine::State::Joining && joining->awaitingAcks.erase(known->id) &&
                    joining->awaitingAcks.empty())
                    finishJoin(joining->id);
            } else if constexpr (std::is_same_v<T, PlayerMgmt>) {
                if (known && known->state == Machine::State::Joined)
                    onPlayerMgmt(*known, msg);
                else
                    ++stats_.refused;
            } else if constexpr (std::is_same_v<T, NameChanged>) {
                if (!known || known->state != Machine::State::Joined) return (void)++stats_.refused;
                DpName name;
                name.shortName = msg.shortName;
                name.longName = msg.longName;
                if (FAILED(engine_.RemoteNameChanged(known->id, msg.id, name))) ++stats_.refused;
            } else if constexpr (std::is_same_v<T, DataChanged>) {
                if (!known || known->state != Machine::State::Joined) return (void)++stats_.refused;
                if (FAILED(engine_.RemoteDataChanged(known->id, msg.id, msg.data))) ++stats_.refused;
            } else if constexpr (std::is_same_v<T, Ping>) {
                if (msg.reply) return;  // lastHeard is all a reply is for
                onPing(known, msg);
            } else if constexpr (std::is_same_v<T, PlayerMessage>) {
                if (known && known->state == Machine::State::Joined)
                    onPlayerMessage(*known, msg);
                else
                    ++stats_.refused;
            } else if constexpr (std::is_same_v<T, PlayerWrapper>) {
                auto pm = decodeWrappedPlayerMessage(msg.inner, noMessageIds());
                if (!pm) {
                    ++stats_.malformed;
                    if (link) link->malformed = true;
                } else if (known && known->state == Machine::State::Joined) {
                    onPlayerMessage(*known, *pm);
                } else {
                    ++stats_.refused;
                }
            } else {
                // Enumeration belongs on 47624; replies, host-only messages, fragments and
                // the families our sessions never enable are not for a client to send us.
                ++stats_.refused;
            }
        },
        frame.message);
}

void Transport::onRequestId(Machine* m, const address_v4& source, uint16_t replyPort, bool group, uint32_t flags,
                            uint16_t version, const std::shared_ptr<Link>& via) {
    if (replyPort == 0) return (void)++stats_.malformed;
    const bool system = !group && (flags & kPlayerSystem);
    SessionDesc desc;
    if (FAILED(engine_.GetSessionDesc(desc))) return;
    RequestPlayerReply reply;
    if (system) {
        if (m && m->state != Machine::State::Pending) return (void)++stats_.refused;  // one system player each
        if (!m) {
            // Joins in progress are few per address and well below the machine limit; when
            // they are all taken a new address still gets in, in place of the oldest.
            const uint32_t from = source.to_uint();
            std::size_t pending = 0;
            for (const auto& [id, other] : machines_) pending += other->state == Machine::State::Pending ? 1 : 0;
            const bool room = pendingJoins(from) < config_.maxPendingJoinsPerAddress &&
                              ((pending < config_.maxPendingJoins && machines_.size() < config_.maxMachines) ||
                               evictPending(from));
            if (room)
                m = newMachine(source, replyPort, via);
            else
                ++stats_.overloaded;
        }
        if (!m) {
            // No room: say so once on a stream of its own, then forget the asker.
            reply.result = DPERR_NONEWPLAYERS;
            refuse(source, replyPort,
                   encode(EncodeContext{Token::Remote, sockAddr(address_v4::any(), streamPort_), version}, reply));
            return;
        }
        if (via) bindLink(via, *m);
        m->version = version;
        if (desc.dwFlags & (kSessionJoinDisabled | kSessionNewPlayersDisabled)) reply.result = DPERR_NONEWPLAYERS;
    } else {
        if (!m || m->state != Machine::State::Joined) return (void)++stats_.refused;
        const bool full = desc.dwMaxPlayers != 0 && desc.dwCurrentPlayers >= desc.dwMaxPlayers;
        if (!group && (full || (desc.dwFlags & kSessionNewPlayersDisabled))) reply.result = DPERR_NONEWPLAYERS;
    }
    if (m->unclaimed.size() >= kMaxUnclaimedIds) reply.result = group ? DPERR_CANTCREATEGROUP : DPERR_CANTADDPLAYER;
    if (reply.result == S_OK) {
        if (!spareIds_.empty()) {
            reply.id = spareIds_.back();
            spareIds_.pop_back();
        } else if (FAILED(engine_.AllocateId(&reply.id))) {
            reply.result = group ? DPERR_CANTCREATEGROUP : DPERR_CANTADDPLAYER;
        }
        if (reply.result == S_OK) m->unclaimed.insert(reply.id);
    }
    if (system && reply.result == S_OK) m->systemPlayer = reply.id;
    sendStream(*m, encode(contextFor(*m), reply));
    if (system && reply.result != S_OK) {
        // The refusal goes out before the stream closes.
        if (m->out) {
            m->out->machine = 0;
            m->out->closeWhenSent = true;
            if (m->out->queue.empty() && m->out->connected) closeLink(m->out);
        }
        forgetMachine(m->id);
    }
}

void Transport::onAddForwardRequest(Machine& m, const AddForwardRequest& req, uint16_t version) {
    const PackedPlayer& info = req.info;
    auto fail = [&](HRESULT hr) {
        ++stats_.refused;
        sendStream(m, encode(contextFor(m), AddForwardReply{hr}));
    };
    if (m.systemPlayer == 0 || info.id != m.systemPlayer || req.playerId != m.systemPlayer ||
        !(info.flags & kPlayerSystem))
        return fail(DPERR_INVALIDPLAYER);
    SessionDesc desc;
    if (FAILED(engine_.GetSessionDesc(desc))) return fail(DPERR_NOSESSIONS);
    if (desc.password && !desc.password->empty() && req.password.value_or(u"") != *desc.password)
        return fail(DPERR_INVALIDPASSWORD);
    // The machine's own report of its ports; the address stays the one it came from.
    if (auto sp = decodeSpData(info.spData)) {
        if (sp->datagram.port) m.datagramPort = sp->datagram.port;
    } else if (!info.spData.empty()) {
        return fail(DPERR_INVALIDPARAMS);
    }
    m.version = static_cast<uint16_t>(info.version ? std::min<uint32_t>(info.version, 0xFFFF) : version);
    if (HRESULT hr = engine_.MachineJoined(m.id, m.systemPlayer, dotted(m.address)); FAILED(hr)) return fail(hr);
    m.unclaimed.erase(m.systemPlayer);
    m.state = Machine::State::Joining;
    m.deadline = Clock::now() + config_.addForwardWait;
    // The other peers learn the newcomer first, so that its own streams find them ready.
    for (auto& [id, other] : machines_) {
        if (other->state != Machine::State::Joined || m.awaitingAcks.size() >= kMaxAwaitedAcks) continue;
        PlayerMgmt fwd;
        fwd.command = Command::AddForward;
        fwd.idTo = other->systemPlayer;
        fwd.playerId = m.systemPlayer;
        PackedPlayer p;
        p.flags = kPlayerSystem | kPlayerInGroup;
        p.id = m.systemPlayer;
        p.spData = encodeSpData(machineSpData(m));
        p.systemPlayerId = m.systemPlayer;
        p.version = m.version;
        fwd.info = p;
        sendStream(*other, encode(contextFor(*other), fwd));
        m.awaitingAcks.insert(id);
    }
    if (m.awaitingAcks.empty()) finishJoin(m.id);
}

void Transport::finishJoin(MachineId id) {
    auto it = machines_.find(id);
    if (it == machines_.end() || it->second->state != Machine::State::Joining) return;
    Machine& m = *it->second;
    m.state = Machine::State::Joined;
    m.awaitingAcks.clear();
    m.lastHeard = m.lastPing = Clock::now();
    Bytes table = nameTableFor(m);
    if (table.empty()) {
        // The engine keeps the table within one message; should it not fit after all, the
        // machine is let go rather than left waiting for a table that never comes.
        ++stats_.overloaded;
        return vanish(id, true);
    }
    ++stats_.joins;
    ++stats_.machinesJoined;
    sendStream(m, std::move(table));
}

void Transport::onPlayerMgmt(Machine& m, const PlayerMgmt& msg) {
    HRESULT hr = S_OK;
    auto nameOf = [](const PackedPlayer& p) {
        DpName n;
        n.shortName = p.shortName;
        n.longName = p.longName;
        return n;
    };
    switch (msg.command) {
    case Command::CreatePlayer: {
        const PackedPlayer& p = *msg.info;
        if ((p.flags & kPlayerSystem) || p.id == 0 || p.id != msg.playerId) {
            hr = DPERR_INVALIDPARAMS;
            break;
        }
        RemotePlayer rp;
        rp.id = p.id;
        rp.name = nameOf(p);
        rp.remoteData = p.playerData;
        hr = engine_.RemotePlayerCreated(m.id, rp, nullptr);
        if (SUCCEEDED(hr)) m.unclaimed.erase(p.id);
        break;
    }
    case Command::CreateGroup: {
        const PackedPlayer& p = *msg.info;
        if (p.id == 0 || p.id != msg.groupId) {
            hr = DPERR_INVALIDPARAMS;
            break;
        }
        hr = engine_.RemoteGroupCreated(m.id, p.id, nameOf(p), p.playerData, 0, nullptr);
        if (SUCCEEDED(hr)) m.unclaimed.erase(p.id);
        break;
    }
    case Command::DeletePlayer:
        if (msg.playerId == m.systemPlayer) {
            // Leaving: the machine tells every peer itself.
            vanish(m.id, false);
            return;
        }
        hr = engine_.RemotePlayerDestroyed(m.id, msg.playerId);
        break;
    case Command::DeleteGroup: hr = engine_.RemotePlayerDestroyed(m.id, msg.groupId); break;
    case Command::AddPlayerToGroup: hr = engine_.RemoteGroupMembership(m.id, msg.groupId, msg.playerId, true); break;
    case Command::DeletePlayerFromGroup:
        hr = engine_.RemoteGroupMembership(m.id, msg.groupId, msg.playerId, false);
        break;
    case Command::CreatePlayerVerify: return;  // a DX8+ peer confirming a player we already have
    default: hr = DPERR_UNAVAILABLE; break;    // shortcuts, forwards: not a client's to send
    }
    if (FAILED(hr)) ++stats_.refused;
}

void Transport::onPing(Machine* m, const Ping& ping) {
    if (m && m->state == Machine::State::Joined && ping.idFrom == m->systemPlayer) {
        sendStream(*m, encode(contextFor(*m), Ping{true, engine_.HostSystemPlayer(), ping.tickCount}));
        return;
    }
    if (m) {
        sendStream(*m, encode(contextFor(*m), YouAreDead{}));
        return;
    }
    // A stranger gets nothing: answering would open a stream to wherever it names.
    ++stats_.refused;
}

void Transport::onPlayerMessage(Machine& m, const PlayerMessage& pm) {
    ++stats_.playerMessagesIn;
    if (!pm.idFrom || !pm.idTo) return (void)++stats_.refused;  // sessions without ids: cannot tell who
    DPID to = *pm.idTo;
    if (to == engine_.HostSystemPlayer()) to = DPID_ALLPLAYERS;
    if (FAILED(engine_.RemoteMessage(m.id, *pm.idFrom, to, pm.payload))) ++stats_.refused;
}

// ---- what leaves --------------------------------------------------------------------------------

bool Transport::noMessageIds() const { return (sessionFlags_ & kSessionNoMessageId) != 0; }

EncodeContext Transport::contextFor(const Machine& m) const {
    return EncodeContext{Token::Remote, sockAddr(address_v4::any(), streamPort_), m.version};
}

SpData Transport::hostSpData(const Machine& to) const {
    address_v4 at = config_.publicAddress.value_or(to.hostAddressSeen);
    return SpData{sockAddr(at, streamPort_), sockAddr(at, datagramPort_)};
}

SpData Transport::machineSpData(const Machine& m) const {
    return SpData{sockAddr(m.address, m.streamPort), sockAddr(m.address, m.datagramPort)};
}

PackedPlayer Transport::hostSystemPlayer(const Machine& to) const {
    PackedPlayer p;
    p.flags = kPlayerSystem | kPlayerNameServer | kPlayerInGroup;
    p.id = engine_.HostSystemPlayer();
    p.spData = encodeSpData(hostSpData(to));
    p.systemPlayerId = p.id;
    p.version = to.version;  // we speak whatever the client speaks
    return p;
}

Bytes Transport::nameTableFor(const Machine& to) {
    const NameTableSnapshot snap = engine_.Snapshot();
    SessionDesc desc = snap.desc;
    desc.password.reset();  // never leaves the host
    std::set<DPID> inGroup;
    for (const auto& e : snap.entries)
        if (e.isGroup) inGroup.insert(e.members.begin(), e.members.end());

    struct Row {
        uint32_t flags;
        DPID id;
        DPID systemPlayer;
        uint32_t version;
        std::optional<std::u16string> shortName, longName;
        Bytes data, sp;
        std::optional<std::vector<DPID>> members;
    };
    std::vector<Row> players, groups;
    const PackedPlayer host = hostSystemPlayer(to);
    players.push_back({host.flags, host.id, host.id, host.version, {}, {}, {}, host.spData, {}});
    std::map<MachineId, const Machine*> joined;
    for (const auto& [id, m] : machines_)
        if (m->state != Machine::State::Pending) {
            joined[id] = m.get();
            players.push_back({kPlayerSystem | kPlayerInGroup, m->systemPlayer, m->systemPlayer, m->version, {}, {},
                               {}, encodeSpData(machineSpData(*m)), {}});
        }
    for (const auto& e : snap.entries) {
        DPID system = host.id;
        Bytes sp = host.spData;
        if (!e.local && e.machine) {
            auto it = joined.find(e.machine);
            if (it == joined.end()) continue;
            system = it->second->systemPlayer;
            sp = encodeSpData(machineSpData(*it->second));
        }
        Row r{inGroup.count(e.id) ? kPlayerInGroup : 0u, e.id, system, to.version, e.name.shortName,
              e.name.longName, e.remoteData, sp, {}};
        if (e.isGroup) {
            r.flags = 0;
            r.sp.clear();
            r.members = e.members;
            groups.push_back(std::move(r));
        } else {
            players.push_back(std::move(r));
        }
    }

    const EncodeContext ctx = contextFor(to);
    if (to.version < dialect::DX6) {
        // A runtime older than the documented dialects gets the plain name table.
        EnumPlayersReply reply;
        reply.desc = desc;
        auto pack = [](const Row& r) {
            PackedPlayer p;
            p.flags = r.flags;
            p.id = r.id;
            p.shortName = r.shortName;
            p.longName = r.longName;
            p.spData = r.sp;
            p.playerData = r.data;
            if (r.members) p.playerIds = *r.members;
            p.systemPlayerId = r.systemPlayer;
            p.version = r.version;
            return p;
        };
        for (const auto& r : players) reply.players.push_back(pack(r));
        for (const auto& r : groups) reply.groups.push_back(pack(r));
        return encode(ctx, reply);
    }
    SuperEnumPlayersReply reply;
    reply.desc = desc;
    auto superPack = [](const Row& r) {
        SuperPackedPlayer p;
        p.flags = r.flags;
        p.id = r.id;
        p.versionOrSystemPlayerId = (r.flags & kPlayerSystem) ? r.version : r.systemPlayer;
        p.shortName = r.shortName;
        p.longName = r.longName;
        if (!r.data.empty()) p.playerData = r.data;
        if (!r.sp.empty()) p.spData = r.sp;
        if (r.members) p.playerIds = *r.members;
        return p;
    };
    for (const auto& r : players) reply.players.push_back(superPack(r));
    for (const auto& r : groups) reply.groups.push_back(superPack(r));
    return encode(ctx, reply);
}

void Transport::sendStream(Machine& m, Bytes frame) {
    if (frame.empty()) return;
    if (!m.out || m.out->closed) {
        m.out = openLink(m.address, m.streamPort, m.state != Machine::State::Pending);
        if (!m.out) return;
        m.out->machine = m.id;
    }
    if (!enqueue(m.out, std::move(frame)) && m.state == Machine::State::Joined) {
        // It cannot keep up with guaranteed traffic: losing some would break the session
        // for it, so it goes, and the others are told (later: callers may be iterating).
        asio::post(io_, [this, id = m.id] { vanish(id, true); });
    }
}

void Transport::sendDatagram(Machine& m, Bytes datagram) {
    if (datagram.empty()) return;
    boost::system::error_code ec;
    udp::endpoint to(m.address, m.datagramPort);
    observe(false, config_.publicAddress.value_or(m.hostAddressSeen), datagramPort_, m.address, m.datagramPort,
            datagram);
    ++stats_.framesOut;
    ++stats_.datagramsOut;
    stats_.datagramBytesOut += datagram.size();
    udp_.send_to(asio::buffer(datagram), to, 0, ec);  // unguaranteed: a full buffer drops it
}

void Transport::handleNotice(const OutboundNotice& n) {
    if (n.kind == OutboundNotice::Kind::SessionClosed) {
        std::vector<MachineId> all;
        for (const auto& [id, m] : machines_) all.push_back(id);
        for (MachineId id : all) forgetMachine(id);
        spareIds_.clear();  // the next session hands out its own
        return;
    }
    if (n.kind == OutboundNotice::Kind::SessionDescChanged) sessionFlags_ = n.desc.dwFlags;
    const DPID host = engine_.HostSystemPlayer();
    for (auto& [id, mp] : machines_) {
        if (mp->state != Machine::State::Joined || (n.machine != kAllMachines && n.machine != id)) continue;
        Machine* m = mp.get();
        const EncodeContext ctx = contextFor(*m);
        using K = OutboundNotice::Kind;
        switch (n.kind) {
        case K::PlayerCreated:
        case K::GroupCreated: {
            const bool group = n.kind == K::GroupCreated;
            PlayerMgmt msg;
            msg.command = group ? Command::CreateGroup : Command::CreatePlayer;
            (group ? msg.groupId : msg.playerId) = n.id;
            PackedPlayer p;
            p.flags = group ? 0 : kPlayerLocal;
            p.id = n.id;
            p.shortName = n.name.shortName;
            p.longName = n.name.longName;
            if (!group) p.spData = encodeSpData(hostSpData(*m));
            p.playerData = n.data;
            p.systemPlayerId = host;
            p.version = m->version;
            msg.info = p;
            sendStream(*m, encode(ctx, msg));
            break;
        }
        case K::PlayerDestroyed:
        case K::GroupDestroyed: {
            PlayerMgmt msg;
            const bool group = n.kind == K::GroupDestroyed;
            msg.command = group ? Command::DeleteGroup : Command::DeletePlayer;
            (group ? msg.groupId : msg.playerId) = n.id;
            sendStream(*m, encode(ctx, msg));
            break;
        }
        case K::NameChanged:
            sendStream(*m, encode(ctx, NameChanged{n.isGroup ? Command::GroupNameChanged : Command::PlayerNameChanged,
                                                   0, n.id, n.name.shortName, n.name.longName}));
            break;
        case K::DataChanged:
            sendStream(*m, encode(ctx, DataChanged{n.isGroup ? Command::GroupDataChanged : Command::PlayerDataChanged,
                                                   0, n.id, n.data}));
            break;
        case K::AddedToGroup:
        case K::RemovedFromGroup: {
            PlayerMgmt msg;
            msg.command = n.kind == K::AddedToGroup ? Command::AddPlayerToGroup : Command::DeletePlayerFromGroup;
            msg.playerId = n.id;
            msg.groupId = n.group;
            sendStream(*m, encode(ctx, msg));
            break;
        }
        case K::SessionDescChanged: {
            SessionDescChanged msg;
            msg.desc = n.desc;
            msg.desc.password.reset();
            sendStream(*m, encode(ctx, msg));
            break;
        }
        case K::Message: {
            PlayerMessage pm;
            if (!noMessageIds()) {
                pm.idFrom = n.from;
                pm.idTo = n.to;
            }
            pm.payload = n.data;
            if (n.flags & DPSEND_GUARANTEED)
                sendStream(*m, encode(ctx, pm));
            else
                sendDatagram(*m, encodeBarePlayerMessage(pm));
            break;
        }
        case K::SessionClosed: break;
        }
    }
}

}  // namespace qd::dplay
