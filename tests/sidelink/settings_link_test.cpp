#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "platform/temp_dir.h"
#include "sidelink/host_lists.h"
#include "sidelink/settings_link.h"

namespace qd {
namespace {

constexpr FormationStepBasis kSteps{{7999, 65439}, {857385, 23527}};
constexpr DPID kPlayer = 0x0C00001F;
constexpr DPID kGroup = 0x0C000005;
constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in memory order

void PutChunk(std::vector<uint8_t>& out, const Guid& type, const std::vector<uint8_t>& data) {
    const auto g = type.bytes();
    out.insert(out.end(), g.begin(), g.end());
    const auto n = static_cast<uint32_t>(data.size());
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
    out.insert(out.end(), data.begin(), data.end());
}

std::vector<uint8_t> TcpAddress(const std::string& text, const Guid& sp = kDpspGuidTcpip) {
    std::vector<uint8_t> out;
    const uint32_t total = 24 + 36 + 20 + static_cast<uint32_t>(text.size()) + 1;
    PutChunk(out, kDpaidTotalSize, {uint8_t(total), uint8_t(total >> 8), 0, 0});
    const auto spBytes = sp.bytes();
    PutChunk(out, kDpaidServiceProvider, std::vector<uint8_t>(spBytes.begin(), spBytes.end()));
    std::vector<uint8_t> t(text.begin(), text.end());
    t.push_back(0);
    PutChunk(out, kDpaidINet, t);
    return out;
}

// The window thread of the tests: posted 1295 messages and connect completions, handled
// in order on the test's own thread.
struct Host {
    testing::TempDir tmp;
    std::filesystem::path dir = tmp.path();
    std::map<DPID, PlayerRecord> records;
    TeamDefinition team;
    SessionDesc session;
    SettingsHostState state;
    std::vector<uint8_t> address = TcpAddress("127.0.0.1");
    HRESULT addressResult = S_OK;
    std::function<std::vector<LinkPortEntry>()> ports = [] { return std::vector<LinkPortEntry>{}; };
    int portCalls = 0;
    std::vector<std::string> texts;
    std::deque<std::pair<DPID, uint32_t>> posted;

    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::pair<LinkHandle, int>> completions;

    Host() {
        SetErrorLogPath(dir / "qdlerror.txt");
        records[kPlayer] = PlayerRecord{.kind = kKindClient, .teamGroup = kGroup, .status = kStatusWaiting, .teamSlot = 2};
        team.latitude = 1000000;
        team.longitude = 2000000;
        team.startInAir = 1;
        team.startSpeed = 200;
        team.formationType = 1;
        team.maxPlayers = 6;
        session.guidApplication = kGuidCombatFs;
        session.dwUser2 = 0x4;
        state.hostPlayerId = 0x11;
        state.hostPort1 = 2350;
    }

    LinkSocketPort::CompletionSink Sink() {
        return [this](LinkHandle h, int e) {
            std::lock_guard lock(mutex);
            completions.emplace_back(h, e);
            cv.notify_all();
        };
    }

    SettingsLinkHooks Hooks() {
        SettingsLinkHooks k;
        k.readPlayerRecord = [this](DPID id) -> std::optional<PlayerRecord> {
            auto it = records.find(id);
            return it == records.end() ? std::nullopt : std::optional(it->second);
        };
        k.writePlayerRecord = [this](DPID id, const PlayerRecord& r) { return (records[id] = r, true); };
        k.readTeamGroupRecord = [](DPID g) -> std::optional<TeamGroupRecord> {
            if (g != kGroup) return std::nullopt;
            TeamGroupRecord r;
            r.team = 1;
            return r;
        };
        k.team = [this](uint32_t i) { return i == 1 ? &team : nullptr; };
        k.sessionDesc = [this] { return std::optional(session); };
        k.playerAddress = [this](DPID, std::vector<uint8_t>& out) {
            out = address;
            return addressResult;
        };
        k.sendPlayerText = [this](DPID, const std::string& t) { texts.push_back(t); };
        k.postSendPlayerSettings = [this](DPID id, uint32_t w) { posted.emplace_back(id, w); };
        k.portList = [this] {
            ++portCalls;
            return ports();
        };
        k.hostState = [this] { return state; };
        return k;
    }

    // Handles posted messages and completions until nothing is left or time runs out.
    void Pump(SettingsLink& link, int maxMs = 8000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
        while (std::chrono::steady_clock::now() < end) {
            std::optional<std::pair<LinkHandle, int>> done;
            {
                std::unique_lock lock(mutex);
                if (completions.empty() && posted.empty() && link.ConnectPending(kPlayer))
                    cv.wait_until(lock, end, [&] { return !completions.empty(); });
                if (!completions.empty()) {
                    done = completions.front();
                    completions.pop_front();
                }
            }
            if (done) {
                link.OnConnectComplete(done->first, done->second);
            } else if (!posted.empty()) {
                auto [id, w] = posted.front();
                posted.pop_front();
                link.SendPlayerSettings(id, w);
            } else if (!link.ConnectPending(kPlayer)) {
                return;
            }
        }
        ADD_FAILURE() << "pump did not settle";
    }

    std::vector<std::string> LogLines() const {
        std::ifstream in(dir / "qdlerror.txt");
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);)
            if (!l.empty() && l.find("*** New run") == std::string::npos) lines.push_back(l);
        return lines;
    }
    int LogCount(const std::string& line) const {
        int n = 0;
        for (const auto& l : LogLines()) n += l == line;
        return n;
    }
};

// A listening "DirectPlay port" of a client machine, in 2300-2400 on loopback.
struct Listener {
    int fd = -1;
    uint16_t port = 0;
    Listener() {
        for (uint16_t p = 2300; p <= 2400 && fd < 0; ++p) {
            int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(p);
            sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(s, 4) == 0) {
                fd = s;
                port = p;
            } else {
                ::close(s);
            }
        }
    }
    ~Listener() {
        if (fd >= 0) ::close(fd);
    }
    // Accepts one connection and reads exactly n bytes (bounded by time).
    std::vector<uint8_t> Read(std::size_t n, int* conn = nullptr) {
        int c = conn && *conn >= 0 ? *conn : -1;
        if (c < 0) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) return {};
            c = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) return {};
        }
        std::vector<uint8_t> out;
        uint8_t buf[512];
        while (out.size() < n) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) break;
            const ssize_t got = ::recv(c, buf, std::min(sizeof buf, n - out.size()), 0);
            if (got <= 0) break;
            out.insert(out.end(), buf, buf + got);
        }
        if (conn)
            *conn = c;
        else
            ::close(c);
        return out;
    }
};

// A loopback port that refuses connections.
uint16_t ClosedPort() {
    int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    socklen_t len = sizeof sa;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len);
    ::close(s);
    return ntohs(sa.sin_port);
}

uint32_t u32(const std::vector<uint8_t>& m, std::size_t at) {
    return uint32_t(m[at]) | uint32_t(m[at + 1]) << 8 | uint32_t(m[at + 2]) << 16 | uint32_t(m[at + 3]) << 24;
}

TEST(SettingsLink, ConnectsToTheClientPortAndSendsItsSettings) {
    Listener client;
    if (client.fd < 0) GTEST_SKIP() << "no free port in 2300-2400";
    Host host;
    const uint16_t port = client.port;
    host.ports = [port] {
        return std::vector<LinkPortEntry>{{0x0200007F, 2301}, {kLoopback, port}};
    };
    PosixLinkSockets sockets(host.Sink());
    SettingsLink link(host.Hooks(), sockets, kSteps);

    link.SendPlayerSettings(kPlayer, 2);
    // The census may come again before the connect finished: no second attempt starts.
    link.SendPlayerSettings(kPlayer, 2);
    host.Pump(link);
    int conn = -1;
    const auto m = client.Read(264, &conn);
    ASSERT_EQ(m.size(), 264u);
    EXPECT_EQ(host.texts, (std::vector<std::string>{"QDL attempting to create connection...", "Connect successful!!!"}));
    EXPECT_EQ(host.records[kPlayer].linkConnected, 1u);
    EXPECT_EQ(host.records[kPlayer].linkRetries, 0u);
    EXPECT_EQ(host.portCalls, 1);

    // The message is built from the player's team and slot, the session and the host.
    const SettingsMessage want = BuildSettingsMessage(
        {host.session, host.team, 2, 0x11, 2, false, false, 1, 2350, kSteps});
    EXPECT_TRUE(std::equal(m.begin(), m.end(), want.begin()));

    // Later settings go straight onto the same connection; a running game sets bit 24.
    host.state.gameRunning = true;
    link.SendPlayerSettings(kPlayer, 0);
    const auto again = client.Read(264, &conn);
    ASSERT_EQ(again.size(), 264u);
    EXPECT_EQ(u32(again, 108), 0x01000000u);
    EXPECT_EQ(host.portCalls, 1);
    EXPECT_TRUE(host.LogLines().empty());

    link.PlayerLeft(kPlayer, host.records[kPlayer]);
    EXPECT_EQ(sockets.OpenCount(), 0u);
    ::close(conn);
}

// A client whose receive buffer is small and who reads slowly still gets every message
// the link took whole, in order; the window thread's sends never block.
TEST(SettingsLink, SlowReaderGetsWholeMessages) {
    Listener client;
    if (client.fd < 0) GTEST_SKIP() << "no free port in 2300-2400";
    const int small = 1024;
    ::setsockopt(client.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);  // the accepted socket inherits it
    std::mutex m;
    std::condition_variable cv;
    std::optional<int> connected;
    PosixLinkSockets sockets([&](LinkHandle, int error) {
        std::lock_guard lock(m);
        connected = error;
        cv.notify_all();
    });
    const LinkHandle h = sockets.Open(nullptr);
    sockets.StartConnect(h, kLoopback, client.port);
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(5), [&] { return connected.has_value(); }));
        ASSERT_EQ(*connected, 0);
    }
    const int conn = ::accept4(client.fd, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(conn, 0);

    // Numbered messages until the link refuses one whole (the client has not read yet).
    std::vector<uint8_t> message(264);
    int taken = 0;
    constexpr int kMost = 20000;  // more than the kernel's largest send buffer (4 MiB) holds
    for (; taken < kMost; ++taken) {
        for (std::size_t i = 0; i < message.size(); ++i) message[i] = static_cast<uint8_t>(taken + i);
        const LinkSendResult r = sockets.Send(h, message);
        if (r.sent < 0) {
            EXPECT_EQ(r.error, wsa::kEWOULDBLOCK);
            break;
        }
        ASSERT_EQ(r.sent, 264) << "message " << taken << " was cut";
    }
    ASSERT_LT(taken, kMost) << "the client's buffers never filled";

    std::vector<uint8_t> got;
    uint8_t buf[4096];
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (got.size() < std::size_t(taken) * 264 && std::chrono::steady_clock::now() < end) {
        pollfd p{conn, POLLIN, 0};
        if (::poll(&p, 1, 2000) != 1) break;
        const ssize_t n = ::recv(conn, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.insert(got.end(), buf, buf + n);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ::close(conn);
    ASSERT_EQ(got.size(), std::size_t(taken) * 264);
    for (int k = 0; k < taken; ++k)
        for (std::size_t i = 0; i < 264; ++i)
            ASSERT_EQ(got[std::size_t(k) * 264 + i], static_cast<uint8_t>(k + i)) << "message " << k << " byte " << i;
    sockets.Close(h);
}

// The host finds the client's DirectPlay port in this machine's own connection table.
TEST(SettingsLink, FindsTheClientPortInTheLiveConnectionTable) {
    Listener client;
    if (client.fd < 0) GTEST_SKIP() << "no free port in 2300-2400";
    Host host;
    LinuxNetTables tables;
    SideLinkState lists(tables, host.dir);
    std::filesystem::create_directories(host.dir / "quarneld");
    lists.BuildIgnoreList();
    lists.RecordHostPorts();

    // The client's session connection to its DirectPlay port, as the host machine sees it.
    const int session = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(client.port);
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(session, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    const int accepted = ::accept4(client.fd, nullptr, nullptr, SOCK_CLOEXEC);
    ASSERT_GE(accepted, 0);

    host.ports = [&lists] { return RefreshLinkPorts(lists); };
    host.state.hostPort1 = lists.hostPort1();
    PosixLinkSockets sockets(host.Sink());
    SettingsLink link(host.Hooks(), sockets, TeamParserStepBasis());
    link.SendPlayerSettings(kPlayer, 2);
    host.Pump(link);
    const auto m = client.Read(264);
    ASSERT_EQ(m.size(), 264u) << "log: " << (host.LogLines().empty() ? "" : host.LogLines().back());
    EXPECT_EQ(m[6] << 8 | m[7], lists.hostPort1());
    EXPECT_EQ(u32(m, 104), 6u << 16);
    EXPECT_EQ(host.texts.back(), "Connect successful!!!");
    ::close(accepted);
    ::close(session);
}

TEST(SettingsLink, GivesUpAfterTheSixthAttempt) {
    Host host;
    PosixLinkSockets sockets(host.Sink());
    SettingsLink link(host.Hooks(), sockets, kSteps);
    link.SendPlayerSettings(kPlayer, 0);
    host.Pump(link);
    std::vector<std::string> want{"QDL attempting to create connection..."};
    for (int i = 0; i < 5; ++i) want.push_back("Connect failed, trying again...");
    want.push_back("Connect failed, giving up...");
    EXPECT_EQ(host.texts, want);
    EXPECT_EQ(host.LogCount("Port not yet available for: 127.0.0.1"), 6);
    EXPECT_EQ(host.records[kPlayer].linkRetries, 5u);
    EXPECT_EQ(host.records[kPlayer].linkConnected, 0u);
    EXPECT_TRUE(host.posted.empty());
    EXPECT_LE(sockets.OpenCount(), 1u);  // every retry replaced its socket

    // Each later census only repeats the notice.
    link.SendPlayerSettings(kPlayer, 0);
    EXPECT_EQ(host.texts.back(), "Connect failed, giving up...");
    EXPECT_TRUE(host.posted.empty());
}

TEST(SettingsLink, RefusedPortsAreSkippedAndALateListenerGetsTheMessage) {
    Listener client;
    if (client.fd < 0) GTEST_SKIP() << "no free port in 2300-2400";
    Host host;
    const uint16_t refused = ClosedPort();
    const uint16_t port = client.port;
    // Attempts 1-2: the client's port is not in the table yet and a stale entry refuses;
    // attempt 3: the real port appears behind the refusing one.
    host.ports = [&host, refused, port] {
        std::vector<LinkPortEntry> list{{kLoopback, refused}};
        if (host.portCalls >= 3) list.push_back({kLoopback, port});
        return list;
    };
    PosixLinkSockets sockets(host.Sink());
    SettingsLink link(host.Hooks(), sockets, kSteps);
    link.SendPlayerSettings(kPlayer, 2);
    host.Pump(link);
    const auto m = client.Read(264);
    ASSERT_EQ(m.size(), 264u);
    EXPECT_EQ(std::string(m.begin() + 20, m.begin() + 24), "play");
    EXPECT_EQ(host.texts, (std::vector<std::string>{"QDL attempting to create connection...",
                                                   "Connect failed, trying again...", "Connect failed, trying again...",
                                                   "Connect successful!!!"}));
    EXPECT_EQ(host.LogCount("Port not yet available for: 127.0.0.1"), 2);
    EXPECT_EQ(host.records[kPlayer].linkRetries, 2u);
    EXPECT_EQ(host.records[kPlayer].linkConnected, 1u);
    EXPECT_EQ(sockets.OpenCount(), 1u);
}

TEST(SettingsLink, NothingIsSentToWhomItDoesNotConcern) {
    Host host;
    PosixLinkSockets sockets(host.Sink());
    SettingsLink link(host.Hooks(), sockets, kSteps);
    // A host object, and a client on no team: nothing at all.
    host.records[kPlayer].kind = kKindHostObject;
    link.SendPlayerSettings(kPlayer, 0);
    host.records[kPlayer].kind = kKindClient;
    host.records[kPlayer].teamGroup = 0;
    link.SendPlayerSettings(kPlayer, 0);
    link.SendPlayerSettings(0x999, 0);  // no record
    EXPECT_TRUE(host.texts.empty());
    EXPECT_EQ(sockets.OpenCount(), 0u);

    // A DirectPlay address that is not TCP/IP: the attempt ends without a log line.
    host.records[kPlayer].teamGroup = kGroup;
    host.address = TcpAddress("127.0.0.1", kGuidCfs2);
    link.SendPlayerSettings(kPlayer, 0);
    EXPECT_EQ(host.texts, std::vector<std::string>{"QDL attempting to create connection..."});
    EXPECT_TRUE(host.LogLines().empty());
    EXPECT_TRUE(host.posted.empty());

    // GetPlayerAddress failures are logged by their code.
    const std::pair<HRESULT, const char*> failures[] = {
        {E_INVALIDARG, "Invalid params, GetPlayerAddress"},
        {DPERR_INVALIDOBJECT, "Invalid object, GetPlayerAddress"},
        {DPERR_INVALIDPLAYER, "Invalid player, GetPlayerAddress"},
        {DPERR_NOCONNECTION, "Unknown error, GetPlayerAddress"},
    };
    for (auto [code, line] : failures) {
        host.addressResult = code;
        link.SendPlayerSettings(kPlayer, 0);
        EXPECT_EQ(host.LogLines().back(), line);
    }
    EXPECT_TRUE(host.posted.empty());

    // An empty address is 0.0.0.0, which no connection matches.
    host.addressResult = S_OK;
    host.address.clear();
    link.SendPlayerSettings(kPlayer, 0);
    EXPECT_EQ(host.LogLines().back(), "Port not yet available for: 0.0.0.0");
}

// Connects at once and answers every send with a scripted result.
class ScriptedSockets final : public LinkSocketPort {
public:
    explicit ScriptedSockets(Host& h) : host_(h) {}
    LinkSendResult next{264, 0};
    int sends = 0;
    LinkHandle Open(int*) override { return ++last_; }
    void StartConnect(LinkHandle h, uint32_t, uint16_t) override { host_.Sink()(h, 0); }
    LinkSendResult Send(LinkHandle, std::span<const uint8_t>) override { return ++sends, next; }
    void Close(LinkHandle) override {}

private:
    Host& host_;
    LinkHandle last_ = 0;
};

TEST(SettingsLink, SendErrors) {
    Host host;
    host.ports = [] { return std::vector<LinkPortEntry>{{kLoopback, 2350}}; };
    ScriptedSockets sockets(host);
    SettingsLink link(host.Hooks(), sockets, kSteps);
    link.SendPlayerSettings(kPlayer, 0);
    host.Pump(link);
    ASSERT_EQ(host.records[kPlayer].linkConnected, 1u);
    ASSERT_TRUE(host.LogLines().empty());

    // WSAEINVAL: two lines, only the first three times in the run, never a retry.
    sockets.next = {-1, wsa::kEINVAL};
    for (int i = 0; i < 5; ++i) link.SendPlayerSettings(kPlayer, 0);
    EXPECT_EQ(host.LogCount("unknown flag"), 3);
    EXPECT_EQ(host.LogCount("settings send() failed, socket error"), 3);
    EXPECT_TRUE(host.posted.empty());

    // The other five codes that keep the connection: their name, no retry.
    sockets.next = {-1, wsa::kECONNRESET};
    link.SendPlayerSettings(kPlayer, 0);
    EXPECT_EQ(host.LogLines().back(), "conn reset");
    EXPECT_TRUE(host.posted.empty());

    // Any other code retries through 1295, at most ten times in a row.
    std::filesystem::remove(host.dir / "qdlerror.txt");
    SetErrorLogPath(host.dir / "qdlerror.txt");
    sockets.next = {-1, wsa::kEWOULDBLOCK};
    sockets.sends = 0;
    link.SendPlayerSettings(kPlayer, 0);
    host.Pump(link);
    EXPECT_EQ(sockets.sends, 11);
    EXPECT_EQ(host.LogCount("would block"), 11);
    EXPECT_EQ(host.LogCount("settings send() keeps failing for player 201326623, retries stopped"), 1);
    // The next census tries once more, without a new chain.
    link.SendPlayerSettings(kPlayer, 0);
    EXPECT_EQ(sockets.sends, 12);
    EXPECT_TRUE(host.posted.empty());
    // A send that goes through restores the retries.
    sockets.next = {264, 0};
    link.SendPlayerSettings(kPlayer, 0);
    sockets.next = {-1, wsa::kENOBUFS};
    link.SendPlayerSettings(kPlayer, 0);
    EXPECT_EQ(host.posted.size(), 1u);
    EXPECT_EQ(host.LogLines().back(), "no buffer space");
    host.posted.clear();

    // A broken pipe is Winsock's "shutdown": it keeps the connection, no retry.
    EXPECT_EQ(WinsockErrorFromErrno(EPIPE), wsa::kESHUTDOWN);

    // Unknown codes, and a short send.
    sockets.next = {-1, 12345};
    link.SendPlayerSettings(kPlayer, 0);
    auto lines = host.LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "unknown error");
    EXPECT_EQ(lines.back(), "Error code is:00003039");
    host.posted.clear();
    sockets.next = {100, 0};
    link.SendPlayerSettings(kPlayer, 0);
    EXPECT_EQ(host.LogLines().back(), "settings send() failed, too few bytes");
    EXPECT_TRUE(host.posted.empty());
}

TEST(SettingsLink, PlayerAddressWalk) {
    EXPECT_EQ(PlayerInetAddress(TcpAddress("10.1.2.3")), 0x0302010Au);
    EXPECT_EQ(PlayerInetAddress(TcpAddress("192.168.0.77")), 0x4D00A8C0u);
    EXPECT_EQ(PlayerInetAddress(TcpAddress("localhost")), std::nullopt);
    EXPECT_EQ(PlayerInetAddress(TcpAddress("1.2.3.4", kGuidCombatFs)), std::nullopt);
    // Every truncation is refused without reading past the end.
    const auto full = TcpAddress("10.1.2.3");
    for (std::size_t n = 0; n + 9 < full.size(); ++n)
        EXPECT_EQ(PlayerInetAddress(std::span(full.data(), n)), std::nullopt) << n;
    // A chunk size beyond the buffer.
    auto bad = full;
    bad[16] = 0xFF;
    bad[19] = 0x7F;
    EXPECT_EQ(PlayerInetAddress(bad), std::nullopt);
    // Chunks out of order.
    std::vector<uint8_t> swapped;
    const auto sp = kDpspGuidTcpip.bytes();
    PutChunk(swapped, kDpaidServiceProvider, std::vector<uint8_t>(sp.begin(), sp.end()));
    PutChunk(swapped, kDpaidTotalSize, {0, 0, 0, 0});
    EXPECT_EQ(PlayerInetAddress(swapped), std::nullopt);
    // The text without its terminating zero still reads.
    std::vector<uint8_t> noNul;
    PutChunk(noNul, kDpaidTotalSize, {0, 0, 0, 0});
    PutChunk(noNul, kDpaidServiceProvider, std::vector<uint8_t>(sp.begin(), sp.end()));
    PutChunk(noNul, kDpaidINet, {'1', '.', '2', '.', '3', '.', '4'});
    EXPECT_EQ(PlayerInetAddress(noNul), 0x04030201u);
}

}  // namespace
}  // namespace qd
