// 64 client machines on loopback against the DirectPlay transport and the engine: they
// join at once, then each sends a NET_MOTION-sized message to all at 20 Hz and a chat line
// now and then. The clients run in a child process so that the figures are the host's.
//
//   bench_dplay_load [machines] [seconds of load]
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "session/dplay/framer.h"
#include "session/dplay/transport.h"
#include "session/engine.h"

extern char** environ;

namespace {

using namespace qd;
using namespace qd::dplay;
namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMotionBytes = 56;
const asio::ip::address_v4 kLoopback = asio::ip::make_address_v4("127.0.0.1");

// ---- the client machines -----------------------------------------------------------------

struct ClientMachine : std::enable_shared_from_this<ClientMachine> {
    ClientMachine(asio::io_context& io, int index, uint16_t hostStream, uint16_t hostDatagram)
        : io(io), index(index), acceptor(io, tcp::endpoint(kLoopback, 0)), udpSocket(io, udp::endpoint(kLoopback, 0)),
          out(io), tick(io), hostStream(hostStream), hostDatagram(hostDatagram) {}

    asio::io_context& io;
    int index;
    tcp::acceptor acceptor;
    udp::socket udpSocket;
    tcp::socket out;
    asio::steady_timer tick;
    uint16_t hostStream, hostDatagram;
    DPID systemId = 0, playerId = 0;
    bool playing = false;
    uint64_t ticks = 0;

    uint16_t streamPort() const { return acceptor.local_endpoint().port(); }
    EncodeContext ctx() const { return EncodeContext{Token::Remote, SockAddrIn{2, streamPort(), {}}, dialect::DX9}; }
    SpData sp() const {
        return SpData{SockAddrIn{2, streamPort(), {}}, SockAddrIn{2, udpSocket.local_endpoint().port(), {}}};
    }

    void send(Bytes frame) {
        auto b = std::make_shared<Bytes>(std::move(frame));
        asio::async_write(out, asio::buffer(*b), [b](boost::system::error_code, std::size_t) {});
    }

    void start() {
        accept();
        out.async_connect(tcp::endpoint(kLoopback, hostStream), [self = shared_from_this()](auto ec) {
            if (!ec) self->send(encode(self->ctx(), RequestPlayerId{kPlayerSystem | kPlayerLocal}));
        });
    }

    void accept() {
        auto s = std::make_shared<tcp::socket>(io);
        acceptor.async_accept(*s, [self = shared_from_this(), s](auto ec) {
            if (ec) return;
            self->read(s, std::make_shared<StreamFramer>(), std::make_shared<std::array<uint8_t, 8192>>());
            self->accept();
        });
    }

    void read(std::shared_ptr<tcp::socket> s, std::shared_ptr<StreamFramer> framer,
              std::shared_ptr<std::array<uint8_t, 8192>> buf) {
        s->async_read_some(asio::buffer(*buf), [self = shared_from_this(), s, framer, buf](auto ec, std::size_t n) {
            if (ec) return;
            framer->feed(ByteView(buf->data(), n), [&](ByteView f) { self->onFrame(f); });
            self->read(s, framer, buf);
        });
    }

    void onFrame(ByteView bytes) {
        auto f = decodeFrame(bytes);
        if (!f) return;
        if (auto* r = std::get_if<RequestPlayerReply>(&f->message)) {
            if (r->result != S_OK) return;
            if (!systemId) {
                systemId = r->id;
                AddForwardRequest req;
                req.playerId = systemId;
                req.info.flags = kPlayerSystem | kPlayerLocal;
                req.info.id = systemId;
                req.info.spData = encodeSpData(sp());
                req.info.systemPlayerId = systemId;
                send(encode(ctx(), req));
            } else if (!playerId) {
                playerId = r->id;
                PlayerMgmt create;
                create.command = Command::CreatePlayer;
                create.playerId = playerId;
                PackedPlayer p;
                p.flags = kPlayerLocal;
                p.id = playerId;
                p.shortName = u"Pilot" + std::u16string(1, char16_t(u'A' + index % 26));
                p.longName = *p.shortName + u"[]";
                p.spData = encodeSpData(sp());
                p.systemPlayerId = systemId;
                create.info = p;
                send(encode(ctx(), create));
                playing = true;
                tick.expires_after(std::chrono::milliseconds(50 * (index % 20) / 20 + 1));
                tick.async_wait([self = shared_from_this()](auto e) { self->onTick(e); });
            }
        } else if (std::holds_alternative<SuperEnumPlayersReply>(f->message)) {
            send(encode(ctx(), RequestPlayerId{kPlayerLocal}));
        } else if (auto* m = std::get_if<PlayerMgmt>(&f->message); m && m->command == Command::AddForward) {
            send(encode(ctx(), AddForwardAck{m->playerId}));
        }
    }

    void onTick(boost::system::error_code ec) {
        if (ec) return;
        ++ticks;
        PlayerMessage pm{playerId, DPID_ALLPLAYERS, Bytes(kMotionBytes, uint8_t(ticks))};
        Bytes datagram = encodeBarePlayerMessage(pm);
        boost::system::error_code ignored;
        udpSocket.send_to(asio::buffer(datagram), udp::endpoint(kLoopback, hostDatagram), 0, ignored);
        if ((ticks + uint64_t(index) * 7) % 100 == 0) {  // a chat line every 5 s, guaranteed
            std::string text = "chat from pilot " + std::to_string(index);
            send(encode(ctx(), PlayerMessage{playerId, DPID_ALLPLAYERS, Bytes(text.begin(), text.end())}));
        }
        tick.expires_at(tick.expiry() + std::chrono::milliseconds(50));
        tick.async_wait([self = shared_from_this()](auto e) { self->onTick(e); });
    }
};

int runClients(int machines, uint16_t hostStream, uint16_t hostDatagram, int seconds) {
    asio::io_context io;
    std::vector<std::shared_ptr<ClientMachine>> all;
    for (int i = 0; i < machines; ++i) {
        all.push_back(std::make_shared<ClientMachine>(io, i, hostStream, hostDatagram));
        all.back()->start();
    }
    asio::steady_timer stop(io);
    stop.expires_after(std::chrono::seconds(seconds));
    stop.async_wait([&](auto) { io.stop(); });
    io.run();
    int playing = 0;
    for (auto& m : all) playing += m->playing;
    return playing == machines ? 0 : 1;
}

// ---- the host ---------------------------------------------------------------------------------

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double threadCpuSeconds(std::thread& t) {
    clockid_t id;
    timespec ts{};
    if (pthread_getcpuclockid(t.native_handle(), &id) != 0 || clock_gettime(id, &ts) != 0) return 0;
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

long rssKiB() {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 6 && std::strcmp(argv[1], "--clients") == 0)
        return runClients(std::atoi(argv[2]), uint16_t(std::atoi(argv[3])), uint16_t(std::atoi(argv[4])),
                          std::atoi(argv[5]));
    const int machines = argc > 1 ? std::atoi(argv[1]) : 64;
    const int loadSeconds = argc > 2 ? std::atoi(argv[2]) : 8;

    EngineOptions options;
    options.limits.maxEntriesPerAddress = options.limits.maxEntries;  // one address for all
    options.limits.tableBytesPerAddress = options.limits.tableBytes;
    Engine engine(options);
    engine.InitializeConnection(BuildTcpipAddress("127.0.0.1"), 0);
    SessionDesc desc;
    desc.guidApplication = kGuidCfs2;
    desc.dwMaxPlayers = 200;
    desc.sessionName = u"Load";
    engine.Open(desc, DPOPEN_CREATE);
    AutoResetEvent event;
    DPID host = 0;
    DpName name;
    name.shortName = u"Host";
    engine.CreatePlayer(&host, name, &event, {}, 0);

    TransportConfig config;
    config.bindAddress = kLoopback;
    config.enumPort = 0;
    // Every machine is 127.0.0.1 here, and all join at once.
    config.maxConnectionsPerAddress = std::size_t(2 * machines);
    config.maxStrangerStreamsPerAddress = std::size_t(2 * machines);
    config.maxPendingJoins = config.maxPendingJoinsPerAddress = std::size_t(machines);
    auto transport = Transport::create(engine, config);
    std::string error;
    if (!transport->start(error)) {
        std::fprintf(stderr, "bench_dplay_load: %s\n", error.c_str());
        return 1;
    }

    // The host's receive thread: drains everything, as the window thread would.
    std::atomic<bool> done{false};
    std::atomic<uint64_t> appMessages{0};
    std::thread drain([&] {
        std::vector<uint8_t> buf(70000);
        while (!done) {
            WaitForAny({&event}, 20);
            for (;;) {
                DPID from = 0, to = 0;
                uint32_t size = uint32_t(buf.size());
                if (engine.Receive(&from, &to, DPRECEIVE_ALL, buf.data(), &size) != S_OK) break;
                if (from != DPID_SYSMSG) ++appMessages;
            }
        }
    });

    const std::string self = "/proc/self/exe";
    std::vector<std::string> args = {"bench_dplay_load", "--clients", std::to_string(machines),
                                     std::to_string(transport->streamPort()), std::to_string(transport->datagramPort()),
                                     std::to_string(loadSeconds + 6)};
    std::vector<char*> argvChild;
    for (auto& a : args) argvChild.push_back(a.data());
    argvChild.push_back(nullptr);
    const double cpuStart = cpuSeconds();
    const auto t0 = Clock::now();
    pid_t child = 0;
    if (posix_spawn(&child, self.c_str(), nullptr, nullptr, argvChild.data(), environ) != 0) {
        std::fprintf(stderr, "bench_dplay_load: cannot start the clients\n");
        return 1;
    }
    while (transport->stats().joins.load() < uint64_t(machines) && Clock::now() - t0 < std::chrono::seconds(5))
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const double joinSeconds = std::chrono::duration<double>(Clock::now() - t0).count();
    const uint64_t joined = transport->stats().joins.load();
    const double cpuJoin = cpuSeconds() - cpuStart;

    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // players created, ticks running
    const uint64_t m0 = appMessages.load();
    const double c0 = cpuSeconds();
    const double d0 = threadCpuSeconds(drain);
    const auto w0 = Clock::now();
    const std::size_t queued0 = engine.Stats().queuedMessages;
    std::this_thread::sleep_for(std::chrono::seconds(loadSeconds));
    const double window = std::chrono::duration<double>(Clock::now() - w0).count();
    const uint64_t handled = appMessages.load() - m0;
    const double cpu = cpuSeconds() - c0;
    const double drainCpu = threadCpuSeconds(drain) - d0;
    const EngineStats es = engine.Stats();

    int status = 0;
    waitpid(child, &status, 0);
    done = true;
    drain.join();
    transport->stop();

    std::printf("machines joined:             %llu of %d in %.3f s (host CPU %.3f s)\n", (unsigned long long)joined,
                machines, joinSeconds, cpuJoin);
    std::printf("messages handled:            %.0f per second (%llu in %.1f s; %d x 20 Hz offered)\n",
                double(handled) / window, (unsigned long long)handled, window, machines);
    std::printf("host CPU per 10,000 messages: %.4f s (%.2f %% of one core)\n",
                handled ? cpu / (double(handled) / 10000.0) : 0.0, 100.0 * cpu / window);
    std::printf("  of which the host's receive loop %.2f %%, transport and engine %.2f %%\n",
                100.0 * drainCpu / window, 100.0 * (cpu - drainCpu) / window);
    std::printf("queued at the host:          %zu at start, %zu at end; dropped %llu\n", queued0, es.queuedMessages,
                (unsigned long long)es.droppedMessages);
    std::printf("host memory (RSS):           %ld KiB\n", rssKiB());
    std::printf("transport: %llu frames in, %llu malformed, %llu refused, %llu over limits; clients %s\n",
                (unsigned long long)transport->stats().framesIn.load(),
                (unsigned long long)transport->stats().malformed.load(),
                (unsigned long long)transport->stats().refused.load(),
                (unsigned long long)transport->stats().overloaded.load(),
                WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "all played" : "NOT all played");
    return joined == uint64_t(machines) ? 0 : 1;
}
