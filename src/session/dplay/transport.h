#pragma once
// The DirectPlay 4 TCP/IP transport: carries the engine's session to Windows clients as
// the name server of a peer-to-peer session. Runs its own thread with one io_context;
// every socket and every table below lives on that thread. The engine reaches it through
// Notify (posted to the thread); it reaches the engine through the seam.
//
// Who is who: a machine is known by the address its packets come from and the stream port
// it listens on (the prefix port). Nothing inside a message can name another address.
#include <utility>  // before Asio: some of its headers use std::exchange unannounced

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "session/dplay/enum_responder.h"
#include "session/dplay/wire.h"
#include "session/engine.h"

namespace qd::dplay {

struct TransportConfig {
    boost::asio::ip::address_v4 bindAddress = boost::asio::ip::address_v4::any();
    // The host's address put into its service-provider data (behind NAT); unset: the
    // address each client reached us at.
    std::optional<boost::asio::ip::address_v4> publicAddress;
    uint16_t enumPort = kDirectPlayPort;  // 0 picks a free port (tests)
    uint16_t streamPort = 0;              // 0: the first free one from 2300 to 2400
    uint16_t datagramPort = 0;            // 0: the stream port's number if free, else the next free one

    std::size_t maxFrameBytes = 64 * 1024;
    std::size_t maxMachines = 128;              // joined and joining
    std::size_t maxConnections = 512;           // streams, both directions
    std::size_t maxConnectionsPerAddress = 16;  // inbound streams from one address
    std::size_t maxQueuedBytes = 1024 * 1024;   // unsent bytes per connection
    // Strangers: streams that speak for no machine yet (inbound), or that go to a machine
    // that has not joined (outbound: replies to a joining or refused machine).
    std::size_t maxStrangerStreamsPerAddress = 4;  // each direction
    std::size_t strangerFrameBytes = 4096;         // frame limit until a stream speaks for a machine
    std::size_t maxPartialFrameBytes = 8 * 1024 * 1024;  // held in unfinished frames, every stream
    std::size_t maxPendingJoins = 32;              // asked for a system player, not yet joined
    std::size_t maxPendingJoinsPerAddress = 2;
    std::size_t maxMissedAcks = 3;                 // AddForwards in a row a peer may leave unanswered
    std::chrono::milliseconds connectTimeout{5000};
    std::chrono::milliseconds strangerTimeout{5000};    // a stranger's stream without a frame
    std::chrono::milliseconds frameTimeout{10000};      // for the rest of a frame once it began
    std::chrono::milliseconds joinTimeout{10000};       // RequestPlayerId to AddForwardRequest
    std::chrono::milliseconds addForwardWait{2000};     // for the other peers' acknowledgements
    std::chrono::milliseconds pingAfterSilence{10000};
    std::chrono::milliseconds silenceLimit{30000};      // then the machine is gone
    EnumResponderConfig enumeration;                    // address, ports and stream port filled in by start()
};

class Transport final : public SessionSink, public std::enable_shared_from_this<Transport> {
public:
    // Every frame the host sends, with both ends (tests capture them).
    struct SentFrame {
        bool stream = true;
        boost::asio::ip::address_v4 fromAddress, toAddress;
        uint16_t fromPort = 0, toPort = 0;
        Bytes bytes;
    };
    using FrameObserver = std::function<void(const SentFrame&)>;

    struct Stats {
        std::atomic<uint64_t> framesIn{0};
        std::atomic<uint64_t> framesOut{0};
        std::atomic<uint64_t> playerMessagesIn{0};
        std::atomic<uint64_t> malformed{0};
        std::atomic<uint64_t> refused{0};     // well-formed but not allowed (engine or transport checks)
        std::atomic<uint64_t> overloaded{0};  // connections or bytes over the limits
        std::atomic<uint64_t> joins{0};
        std::atomic<uint64_t> vanished{0};
        // By transport, for the metrics: frames (a datagram is one) and bytes.
        std::atomic<uint64_t> streamFramesIn{0}, streamFramesOut{0}, datagramsIn{0}, datagramsOut{0};
        std::atomic<uint64_t> streamBytesIn{0}, streamBytesOut{0}, datagramBytesIn{0}, datagramBytesOut{0};
        std::atomic<uint64_t> machinesJoined{0};  // now
        // What the limits on strangers and peers turned away:
        std::atomic<uint64_t> timedOut{0};          // streams that did not complete a frame in time
        std::atomic<uint64_t> evicted{0};           // strangers' streams or pending joins, for a new source
        std::atomic<uint64_t> impostors{0};         // new streams naming a machine that has its own
        std::atomic<uint64_t> datagramsRefused{0};  // session changes sent on the datagram port
        std::atomic<uint64_t> missedAcks{0};
        std::atomic<uint64_t> peersDropped{0};      // for missing acknowledgement after acknowledgement
    };

    static std::shared_ptr<Transport> create(Engine& engine, TransportConfig config);
    ~Transport() override;

    // Binds every socket, plugs into the engine and starts the thread. False with an
    // error naming the address and port that failed.
    bool start(std::string& error);
    // Unplugs from the engine, closes everything and joins the thread.
    void stop();

    uint16_t streamPort() const { return streamPort_; }
    uint16_t datagramPort() const { return datagramPort_; }
    uint16_t enumUdpPort() const;
    uint16_t enumTcpPort() const;
    const Stats& stats() const { return stats_; }
    // The enumeration responder's counters; null before start().
    const EnumResponder::Stats* enumStats() const { return enum_ ? &enum_->stats() : nullptr; }
    std::size_t machineCount() const { return machineCount_.load(); }
    // Set before start().
    void setFrameObserver(FrameObserver observer) { observer_ = std::move(observer); }

    void Notify(const OutboundNotice& notice) override;

    Transport(Engine& engine, TransportConfig config);  // use create()

private:
    struct Link;
    struct Machine;
    using Key = std::pair<uint32_t, uint16_t>;  // address, stream port

    bool bindPorts(std::string& error);
    void accept();
    void receiveDatagram();
    void startTimer();
    void onTimer();

    void onStreamFrame(const std::shared_ptr<Link>& link, ByteView frame);
    void onDatagram(ByteView data, const boost::asio::ip::udp::endpoint& from);
    void read(const std::shared_ptr<Link>& link);
    void write(const std::shared_ptr<Link>& link);
    bool enqueue(const std::shared_ptr<Link>& link, Bytes frame);
    void closeLink(const std::shared_ptr<Link>& link);
    void bindLink(const std::shared_ptr<Link>& link, Machine& m);
    std::size_t strangerStreams(uint32_t address, bool inbound) const;
    bool evictStranger(uint32_t newcomer);
    std::size_t pendingJoins(uint32_t address) const;
    bool evictPending(uint32_t newcomer);
    void refuse(const boost::asio::ip::address_v4& address, uint16_t port, Bytes frame);
    void dispatch(const Frame& frame, const boost::asio::ip::address_v4& source, Machine* known,
                  const std::shared_ptr<Link>& link);
    Machine* machineFor(uint32_t address, uint16_t streamPort);
    Machine* machineBySystemPlayer(DPID id);
    Machine* newMachine(const boost::asio::ip::address_v4& address, uint16_t streamPort,
                        const std::shared_ptr<Link>& via);

    void onRequestId(Machine* m, const boost::asio::ip::address_v4& source, uint16_t replyPort, bool group,
                     uint32_t flags, uint16_t version, const std::shared_ptr<Link>& via);
    void onAddForwardRequest(Machine& m, const AddForwardRequest& req, uint16_t version);
    void finishJoin(MachineId id);
    void onPlayerMgmt(Machine& m, const PlayerMgmt& msg);
    void onPing(Machine* m, const Ping& ping);
    void onPlayerMessage(Machine& m, const PlayerMessage& pm);
    void vanish(MachineId id, bool tellOthers);
    void handleNotice(const OutboundNotice& n);

    Bytes nameTableFor(const Machine& m);
    PackedPlayer hostSystemPlayer(const Machine& to) const;
    SpData hostSpData(const Machine& to) const;
    SpData machineSpData(const Machine& m) const;
    EncodeContext contextFor(const Machine& m) const;
    void sendStream(Machine& m, Bytes frame);
    void sendDatagram(Machine& m, Bytes datagram);
    // A stream of ours; to a machine that has not joined only within the strangers' limit.
    std::shared_ptr<Link> openLink(const boost::asio::ip::address_v4& address, uint16_t port, bool joined);
    void observe(bool stream, const boost::asio::ip::address_v4& from, uint16_t fromPort,
                 const boost::asio::ip::address_v4& to, uint16_t toPort, const Bytes& bytes);
    void forgetMachine(MachineId id);
    bool noMessageIds() const;

    Engine& engine_;
    TransportConfig config_;
    boost::asio::io_context io_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::udp::socket udp_;
    boost::asio::steady_timer timer_;
    std::unique_ptr<EnumResponder> enum_;
    std::thread thread_;
    bool running_ = false;
    uint16_t streamPort_ = 0;
    uint16_t datagramPort_ = 0;
    FrameObserver observer_;
    Stats stats_;
    std::atomic<std::size_t> machineCount_{0};

    // io thread only:
    std::vector<uint8_t> datagram_;
    boost::asio::ip::udp::endpoint datagramFrom_;
    std::map<MachineId, std::unique_ptr<Machine>> machines_;
    std::map<Key, MachineId> byKey_;
    std::set<std::shared_ptr<Link>> links_;
    std::map<uint32_t, std::size_t> inboundPerAddress_;
    std::size_t partialBytes_ = 0;  // in unfinished frames, every stream
    std::vector<DPID> spareIds_;  // handed out, never used, still pending in the engine
    MachineId nextMachine_ = 1;
    uint32_t sessionFlags_ = 0;
};

}  // namespace qd::dplay
