// The side link over loopback sockets, and over scripted ones for its error paths.
#include <poll.h>

#include <algorithm>
#include <deque>
#include <map>
#include <sstream>

#include "platform/host_process.h"
#include "platform/log.h"
#include "session/service.h"
#include "sidelink/settings_link.h"

namespace qd {
namespace {

using namespace std::chrono_literals;

constexpr FormationStepBasis kSteps{{7999, 65439}, {857385, 23527}};
constexpr DPID kPlayer = 0x0C00001F, kGroup = 0x0C000005;
constexpr uint32_t kLoopback = 0x0100007F;  // 127.0.0.1 in memory order
const std::string kNoPort = "Port not yet available for: 127.0.0.1";
const std::string kAttempting = "QDL attempting to create connection...", kRetry = "Connect failed, trying again...";
const std::string kGiveUp = "Connect failed, giving up...", kConnected = "Connect successful!!!";

// A DirectPlay address with the INet text, of another service provider if given.
std::vector<uint8_t> Address(const std::string& text, const Guid& sp = kDpspGuidTcpip) {
    auto a = BuildTcpipAddress(text);
    const auto g = sp.bytes();
    std::copy(g.begin(), g.end(), a.begin() + 44);
    return a;
}

// The window thread of the tests: the host's records behind the hooks; posted 1295
// messages and connect completions handled in order on the test's own thread.
struct Host {
    testing::TempDir tmp;
    std::map<DPID, PlayerRecord> records{
        {kPlayer, {.kind = kKindClient, .teamGroup = kGroup, .status = kStatusWaiting, .teamSlot = 2}}};
    TeamDefinition team{.name = {}, .latitude = 1000000, .longitude = 2000000, .startSpeed = 200, .startInAir = 1,
                        .formationType = 1, .maxPlayers = 6};
    SessionDesc session;
    SettingsHostState state{.hostPlayerId = 0x11, .hostPort1 = 2350};
    std::vector<uint8_t> address = Address("127.0.0.1");
    HRESULT addressResult = S_OK;
    std::function<std::vector<LinkPortEntry>()> ports = [] { return std::vector<LinkPortEntry>{}; };
    int portCalls = 0;
    std::vector<std::string> texts;
    std::deque<std::pair<DPID, uint32_t>> posted;
    std::size_t logSeen = 0;
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<std::pair<LinkHandle, int>> completions;

    Host() {
        SetErrorLogPath(tmp.path() / "qdlerror.txt");
        session.guidApplication = kGuidCombatFs;
        session.dwUser2 = 0x4;
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
        k.readPlayerRecord = [this](DPID id) {
            auto it = records.find(id);
            return it == records.end() ? std::nullopt : std::optional(it->second);
        };
        k.writePlayerRecord = [this](DPID id, const PlayerRecord& r) { return (records[id] = r, true); };
        k.readTeamGroupRecord = [](DPID g) {
            return g == kGroup ? std::optional(TeamGroupRecord{.team = 1}) : std::nullopt;
        };
        k.team = [this](uint32_t i) { return i == 1 ? &team : nullptr; };
        k.sessionDesc = [this] { return std::optional(session); };
        k.playerAddress = [this](DPID, std::vector<uint8_t>& out) { return (out = address, addressResult); };
        k.sendPlayerText = [this](DPID, const std::string& t) { texts.push_back(t); };
        k.postSendPlayerSettings = [this](DPID id, uint32_t w) { posted.emplace_back(id, w); };
        k.portList = [this] { return ++portCalls, ports(); };
        k.hostState = [this] { return state; };
        return k;
    }
    // Handles completions and posted messages until nothing is left or time runs out.
    void Pump(SettingsLink& link) {
        const auto end = std::chrono::steady_clock::now() + 8s;
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
    // The error-log lines written since the last call.
    std::vector<std::string> Logged() {
        std::istringstream in(tmp.read("qdlerror.txt"));
        std::vector<std::string> lines;
        for (std::string l; std::getline(in, l);)
            if (!l.empty() && l.find("*** New run") == std::string::npos) lines.push_back(l);
        lines.erase(lines.begin(), lines.begin() + std::ptrdiff_t(std::min(logSeen, lines.size())));
        logSeen += lines.size();
        return lines;
    }
    // The player's link state: connected, and retries made.
    std::pair<uint32_t, uint32_t> Link() { return {records[kPlayer].linkConnected, records[kPlayer].linkRetries}; }
    std::vector<uint8_t> Built(uint32_t winCriterion, bool running, uint16_t hostPort1) const {
        const auto m =
            BuildSettingsMessage({session, team, 2, 0x11, winCriterion, running, false, 1, hostPort1, kSteps});
        return {m.begin(), m.end()};
    }
};

// A client machine's listening DirectPlay port in 2300-2400 on loopback, where the
// host's port filter looks for it.
struct Listener {
    int fd = -1, conn = -1;
    uint16_t port = 0;
    Listener() {
        for (uint16_t p = 2300; p <= 2400 && fd < 0; ++p) {
            const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            const sockaddr_in sa{
                .sin_family = AF_INET, .sin_port = htons(p), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
            if (::bind(s, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0 && ::listen(s, 4) == 0)
                fd = s, port = p;
            else
                ::close(s);
        }
    }
    ~Listener() {
        for (int f : {conn, fd})
            if (f >= 0) ::close(f);
    }
    // The next n bytes of the connection accepted first (bounded by time), read slowly
    // if asked.
    std::vector<uint8_t> Read(std::size_t n, bool slowly = false) {
        pollfd p{fd, POLLIN, 0};
        if (conn < 0 && ::poll(&p, 1, 5000) == 1) conn = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        std::vector<uint8_t> out(n);
        std::size_t got = 0;
        for (pollfd c{conn, POLLIN, 0}; conn >= 0 && got < n && ::poll(&c, 1, 5000) == 1;) {
            const ssize_t k = ::recv(conn, out.data() + got, std::min<std::size_t>(n - got, 4096), 0);
            if (k <= 0) break;
            got += std::size_t(k);
            if (slowly) std::this_thread::sleep_for(1ms);
        }
        out.resize(got);
        return out;
    }
};

// A refusing port and another machine's entry are passed over; after the sixth attempt
// the link gives up. When the player comes back, its port appears at the third attempt.
// The client's small receive buffer then fills, read slowly, with whole messages only.
TEST(SettingsLink, GivesUpAfterTheSixthAttemptALateListenerGetsTheMessageAndASlowReaderWholeOnes) {
    Listener client;
    if (client.fd < 0) GTEST_SKIP() << "no free port in 2300-2400";
    const int small = 1024;
    ::setsockopt(client.fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);  // the accepted socket inherits it
    Host host;
    const uint16_t refused = test::freePort(), port = client.port;
    int listensFrom = 1000;
    host.ports = [&] {
        std::vector<LinkPortEntry> list{{0x0200007F, port}, {kLoopback, refused}};
        if (host.portCalls >= listensFrom) list.push_back({kLoopback, port});
        return list;
    };
    PosixLinkSockets sockets(host.Sink());
    SettingsLink link(host.Hooks(), sockets, kSteps);
    link.SendPlayerSettings(kPlayer, 0);
    host.Pump(link);
    EXPECT_EQ(host.texts, (std::vector<std::string>{kAttempting, kRetry, kRetry, kRetry, kRetry, kRetry, kGiveUp}));
    EXPECT_EQ(host.Logged(), std::vector<std::string>(6, kNoPort));
    EXPECT_EQ(host.Link(), std::pair(0u, 5u));
    EXPECT_EQ(sockets.OpenCount(), 1u);  // every retry replaced its socket
    link.SendPlayerSettings(kPlayer, 0);  // each later census only repeats the notice
    EXPECT_EQ(host.texts.size(), 8u);
    EXPECT_EQ(host.texts.back(), kGiveUp);
    EXPECT_TRUE(host.posted.empty());

    link.PlayerLeft(kPlayer, host.records[kPlayer]);
    EXPECT_EQ(sockets.OpenCount(), 0u);
    host.records[kPlayer].linkSocket = host.records[kPlayer].linkRetries = 0;
    host.texts.clear();
    host.portCalls = 0;
    listensFrom = 3;
    link.SendPlayerSettings(kPlayer, 2);
    link.SendPlayerSettings(kPlayer, 2);  // a census before the connect finished: no second attempt
    host.Pump(link);
    EXPECT_EQ(client.Read(264), host.Built(2, false, 2350));
    EXPECT_EQ(host.texts, (std::vector<std::string>{kAttempting, kRetry, kRetry, kConnected}));
    EXPECT_EQ(host.Logged(), std::vector<std::string>(2, kNoPort));
    EXPECT_EQ(host.Link(), std::pair(1u, 2u));
    EXPECT_EQ(sockets.OpenCount(), 1u);
    // Later settings go straight onto the same connection.
    host.state.gameRunning = true;
    link.SendPlayerSettings(kPlayer, 0);
    EXPECT_EQ(client.Read(264), host.Built(0, true, 2350));
    EXPECT_EQ(host.portCalls, 3);

    // Numbered messages until the link refuses one whole (the client has not read yet).
    constexpr int kMost = 20000;  // more than the kernel's largest send buffer (4 MiB) holds
    std::vector<uint8_t> sent, message(264);
    for (int k = 0; k < kMost; ++k) {
        for (std::size_t i = 0; i < message.size(); ++i) message[i] = uint8_t(k + i);
        const LinkSendResult r = sockets.Send(host.records[kPlayer].linkSocket, message);
        if (r.sent < 0) {
            EXPECT_EQ(r.error, wsa::kEWOULDBLOCK);
            break;
        }
        ASSERT_EQ(r.sent, 264) << "message " << k << " was cut";
        sent.insert(sent.end(), message.begin(), message.end());
    }
    ASSERT_LT(sent.size(), kMost * 264u) << "the client's buffers never filled";
    EXPECT_TRUE(client.Read(sent.size(), true) == sent) << "messages cut, lost or out of order";
}

// Connects at once and answers every send with a scripted result.
struct ScriptedSockets final : LinkSocketPort {
    Host& host;
    std::vector<uint16_t> connects;
    LinkSendResult next{264, 0};
    int opens = 0, sends = 0;
    explicit ScriptedSockets(Host& h) : host(h) {}
    LinkHandle Open(int*) override { return LinkHandle(++opens); }
    void StartConnect(LinkHandle h, uint32_t, uint16_t port) override {
        connects.push_back(port);
        host.Sink()(h, 0);
    }
    LinkSendResult Send(LinkHandle, std::span<const uint8_t>) override { return ++sends, next; }
    void Close(LinkHandle) override {}
};

class ScriptedLink : public ::testing::Test {
protected:
    Host host;
    ScriptedSockets sockets{host};
    SettingsLink link{host.Hooks(), sockets, kSteps};
};

TEST_F(ScriptedLink, NothingIsSentToWhomItDoesNotConcern) {
    // A host object, a client on no team, a player without a record: nothing at all.
    PlayerRecord& r = host.records[kPlayer];
    r.kind = kKindHostObject;
    link.SendPlayerSettings(kPlayer, 0);
    r.kind = kKindClient, r.teamGroup = 0;
    link.SendPlayerSettings(kPlayer, 0);
    link.SendPlayerSettings(0x999, 0);
    EXPECT_TRUE(host.texts.empty());
    EXPECT_EQ(sockets.opens, 0);

    // A DirectPlay address that is not TCP/IP: the attempt ends without a log line.
    r.teamGroup = kGroup;
    host.address = Address("127.0.0.1", kGuidCfs2);
    link.SendPlayerSettings(kPlayer, 0);
    EXPECT_EQ(host.texts, std::vector<std::string>{kAttempting});
    EXPECT_TRUE(host.Logged().empty());

    // GetPlayerAddress failures are logged by their code; an empty address is 0.0.0.0,
    // which no connection matches.
    for (HRESULT code : {E_INVALIDARG, DPERR_INVALIDOBJECT, DPERR_INVALIDPLAYER, DPERR_NOCONNECTION}) {
        host.addressResult = code;
        link.SendPlayerSettings(kPlayer, 0);
    }
    host.addressResult = S_OK;
    host.address.clear();
    link.SendPlayerSettings(kPlayer, 0);
    EXPECT_EQ(host.Logged(),
              (std::vector<std::string>{"Invalid params, GetPlayerAddress", "Invalid object, GetPlayerAddress",
                                        "Invalid player, GetPlayerAddress", "Unknown error, GetPlayerAddress",
                                        "Port not yet available for: 0.0.0.0"}));
    EXPECT_EQ(host.posted.size(), 1u);  // only the last: a retry through 1295
    EXPECT_TRUE(sockets.connects.empty());
}

TEST_F(ScriptedLink, SendErrors) {
    host.ports = [] { return std::vector<LinkPortEntry>{{0x0200007F, 2301}, {kLoopback, 2350}}; };
    link.SendPlayerSettings(kPlayer, 0);
    host.Pump(link);
    EXPECT_EQ(sockets.connects, std::vector<uint16_t>{2350});  // only the player's own address
    ASSERT_EQ(host.Link(), std::pair(1u, 0u));
    ASSERT_TRUE(host.Logged().empty());

    // WSAEINVAL: two lines, only the first three times in the run, never a retry.
    sockets.next = {-1, wsa::kEINVAL};
    for (int i = 0; i < 5; ++i) link.SendPlayerSettings(kPlayer, 0);
    auto lines = host.Logged();
    EXPECT_EQ(lines.size(), 6u);
    EXPECT_EQ(std::ranges::count(lines, "unknown flag"), 3);
    EXPECT_TRUE(host.posted.empty());

    // A code outside the six that keep the connection retries through 1295, at most ten
    // times in a row; the next census tries once more, without a new chain.
    sockets.next = {-1, wsa::kEWOULDBLOCK};
    sockets.sends = 0;
    link.SendPlayerSettings(kPlayer, 0);
    host.Pump(link);
    EXPECT_EQ(sockets.sends, 11);
    lines = host.Logged();
    EXPECT_EQ(std::ranges::count(lines, "would block"), 11);
    EXPECT_EQ(std::ranges::count(lines, "settings send() keeps failing for player 201326623, retries stopped"), 1);
    link.SendPlayerSettings(kPlayer, 0);
    EXPECT_EQ(sockets.sends, 12);
    EXPECT_TRUE(host.posted.empty());
    sockets.next = {264, 0};  // a send that goes through restores the retries
    link.SendPlayerSettings(kPlayer, 0);
    host.Logged();

    // One send each: the lines logged, and whether a retry is posted.
    const std::string failed = "settings send() failed, socket error";
    const struct {
        LinkSendResult result;
        std::vector<std::string> lines;
        bool retried;
    } cases[] = {
        {{-1, wsa::kECONNRESET}, {"conn reset"}, false},
        {{-1, WinsockErrorFromErrno(EPIPE)}, {"shutdown"}, false},  // a broken pipe keeps the connection
        {{-1, wsa::kENOBUFS}, {failed, "no buffer space"}, true},
        {{-1, 12345}, {failed, "unknown error", "Error code is:00003039"}, true},
        {{100, 0}, {"settings send() failed, too few bytes"}, false},
    };
    for (const auto& c : cases) {
        sockets.next = c.result;
        host.posted.clear();
        link.SendPlayerSettings(kPlayer, 0);
        EXPECT_EQ(host.Logged(), c.lines);
        EXPECT_EQ(host.posted.size(), c.retried ? 1u : 0u) << c.lines.back();
    }
}

TEST(SettingsLink, PlayerAddressWalk) {
    EXPECT_EQ(PlayerInetAddress(Address("192.168.0.77")), 0x4D00A8C0u);
    EXPECT_EQ(PlayerInetAddress(Address("localhost")), std::nullopt);
    EXPECT_EQ(PlayerInetAddress(Address("1.2.3.4", kGuidCombatFs)), std::nullopt);
    // Every truncation is refused (reading past the end, of any bytes at all: the fuzz
    // target settings_address).
    const auto full = Address("10.1.2.3");
    for (std::size_t n = 0; n + 9 < full.size(); ++n)
        EXPECT_EQ(PlayerInetAddress(std::span(full.data(), n)), std::nullopt) << n;
    // The text without its terminating zero still reads.
    auto noNul = Address("1.2.3.4");
    noNul.pop_back();
    noNul[76] -= 1;
    EXPECT_EQ(PlayerInetAddress(noNul), 0x04030201u);
}

}  // namespace
}  // namespace qd
