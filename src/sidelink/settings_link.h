#pragma once
// The side link: a TCP connection of the host's own to each client machine's DirectPlay
// port, on which the host writes the player's settings message. Retries travel through
// re-posted 1295 messages; connects never block the window thread: they complete on a
// socket watcher and the completion is handed back to the window thread.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "config/types.h"
#include "platform/result.h"
#include "session/dptypes.h"
#include "session/records.h"
#include "sidelink/settings_message.h"

namespace qd {

// ---- Winsock error codes as the error log names them -------------------------------

namespace wsa {
constexpr int kEINTR = 10004;
constexpr int kEACCES = 10013;
constexpr int kEFAULT = 10014;
constexpr int kEINVAL = 10022;
constexpr int kEMFILE = 10024;
constexpr int kEWOULDBLOCK = 10035;
constexpr int kEINPROGRESS = 10036;
constexpr int kEALREADY = 10037;
constexpr int kENOTSOCK = 10038;
constexpr int kEDESTADDRREQ = 10039;
constexpr int kEMSGSIZE = 10040;
constexpr int kEPROTOTYPE = 10041;
constexpr int kENOPROTOOPT = 10042;
constexpr int kEPROTONOSUPPORT = 10043;
constexpr int kEOPNOTSUPP = 10045;
constexpr int kEAFNOSUPPORT = 10047;
constexpr int kEADDRINUSE = 10048;
constexpr int kEADDRNOTAVAIL = 10049;
constexpr int kENETDOWN = 10050;
constexpr int kENETUNREACH = 10051;
constexpr int kENETRESET = 10052;
constexpr int kECONNABORTED = 10053;
constexpr int kECONNRESET = 10054;
constexpr int kENOBUFS = 10055;
constexpr int kEISCONN = 10056;
constexpr int kENOTCONN = 10057;
constexpr int kESHUTDOWN = 10058;
constexpr int kETIMEDOUT = 10060;
constexpr int kECONNREFUSED = 10061;
constexpr int kEHOSTDOWN = 10064;
constexpr int kEHOSTUNREACH = 10065;
constexpr int kNOTINITIALISED = 10093;
}  // namespace wsa

// The Winsock code for a Linux errno value. An errno with no Winsock counterpart is
// returned unchanged (below 10000), so the log shows it as an unknown code.
int WinsockErrorFromErrno(int err);
// The logged text of a send error code, or nullptr when the table has none.
const char* WinsockErrorText(int code);

// ---- The player's IPv4 address from its DirectPlay address -------------------------

// Walks a DirectPlay compound address: DPAID_TotalSize, then DPAID_ServiceProvider with
// DPSPGUID_TCPIP, then DPAID_INet with "%li.%li.%li.%li". Returns the address in network
// order in memory (a + b<<8 + c<<16 + d<<24); nullopt when a chunk does not match or the
// bytes end early.
std::optional<uint32_t> PlayerInetAddress(std::span<const uint8_t> address);

// ---- Sockets ------------------------------------------------------------------------

// A socket handle id: never 0, never reused in a run, so a stale id in a player record
// cannot reach another player's socket.
using LinkHandle = uint32_t;

struct LinkSendResult {
    long sent = 0;        // bytes sent, or -1
    int error = 0;        // Winsock code when sent is -1
};

// The TCP operations of the side link. StartConnect returns at once; the outcome
// (0 or a Winsock code, wsa::kETIMEDOUT after the time limit) is reported once through
// the completion sink, never from inside StartConnect. Send never blocks and takes a
// message whole or not at all: a cut message would leave the client's stream unreadable.
class LinkSocketPort {
public:
    using CompletionSink = std::function<void(LinkHandle, int error)>;
    virtual ~LinkSocketPort() = default;
    // A fresh TCP socket; 0 and *error set when none can be made.
    virtual LinkHandle Open(int* error) = 0;
    // addressNet: IPv4 in network order in memory; port: host number.
    virtual void StartConnect(LinkHandle h, uint32_t addressNet, uint16_t port) = 0;
    virtual LinkSendResult Send(LinkHandle h, std::span<const uint8_t> bytes) = 0;
    // Shuts a connected socket down and closes it; unknown handles are ignored.
    virtual void Close(LinkHandle h) = 0;
};

// Non-blocking Linux sockets with one watcher thread for pending connects and for the
// rest of messages the kernel did not take at once. The sink runs on the watcher thread:
// it must only post the completion to the window thread (where
// SettingsLink::OnConnectComplete handles it), never call into the link itself.
class PosixLinkSockets final : public LinkSocketPort {
public:
    explicit PosixLinkSockets(CompletionSink sink, int connectTimeoutMs = 3000);
    ~PosixLinkSockets() override;
    PosixLinkSockets(const PosixLinkSockets&) = delete;
    PosixLinkSockets& operator=(const PosixLinkSockets&) = delete;

    // Bytes a socket may hold back for a client that reads slowly; a message that would
    // start beyond them is refused (wsa::kEWOULDBLOCK), one already begun is always kept.
    static constexpr std::size_t kMaxHeldBytes = 8192;

    LinkHandle Open(int* error) override;
    void StartConnect(LinkHandle h, uint32_t addressNet, uint16_t port) override;
    LinkSendResult Send(LinkHandle h, std::span<const uint8_t> bytes) override;
    void Close(LinkHandle h) override;

    std::size_t OpenCount() const;

private:
    struct Socket {
        int fd = -1;
        bool connecting = false;
        int immediateError = -1;      // >= 0: connect already finished, report it
        uint64_t deadlineMs = 0;
        std::vector<uint8_t> held;    // accepted, not yet taken by the kernel
        int writeError = 0;           // Winsock code of a failed background write
    };
    // Writes what the kernel takes of held now (mutex held).
    void Flush(Socket& s);
    void Watch();
    void Wake();

    CompletionSink sink_;
    int timeoutMs_;
    mutable std::mutex mutex_;
    std::map<LinkHandle, Socket> sockets_;
    LinkHandle nextHandle_ = 1;
    int wakeFd_ = -1;
    bool stop_ = false;
    std::thread watcher_;
};

// ---- The link logic -----------------------------------------------------------------

// Where a connection to the player's machine may be: an established connection seen in
// the host's connection table (remote address in network order, remote port).
struct LinkPortEntry {
    uint32_t remoteAddress = 0;
    int32_t remotePort = 0;
};

class SideLinkState;
// The host's connection lists as the link reads them: GetPort, then the port list.
std::vector<LinkPortEntry> RefreshLinkPorts(SideLinkState& state);

// Host state read when a message is built.
struct SettingsHostState {
    DPID hostPlayerId = 0;
    bool gameRunning = false;  // gameState 1 or 2, or flyingCount not 0
    bool unrestrictAllTeams = false;
    int simulatorVersion = 1;
    uint16_t hostPort1 = 0;
};

// What the link needs of the rest of the host, all called on the window thread.
struct SettingsLinkHooks {
    std::function<std::optional<PlayerRecord>(DPID)> readPlayerRecord;
    std::function<bool(DPID, const PlayerRecord&)> writePlayerRecord;
    std::function<std::optional<TeamGroupRecord>(DPID group)> readTeamGroupRecord;
    // The team a group record refers to (its 1-based team index); null for none.
    std::function<const TeamDefinition*(uint32_t team)> team;
    std::function<std::optional<SessionDesc>()> sessionDesc;
    // DirectPlay's GetPlayerAddress: the compound address bytes, or a failure code.
    std::function<HRESULT(DPID, std::vector<uint8_t>&)> playerAddress;
    // A notice line (NET_TEXT kind 2 from hostPlayerId, guaranteed).
    std::function<void(DPID, const std::string&)> sendPlayerText;
    // Posts MSG_SEND_PLAYER_SETTINGS (1295) with (player, winCriterion) to the main window.
    std::function<void(DPID, uint32_t winCriterion)> postSendPlayerSettings;
    // Refreshes the connection table (GetPort) and returns the port list in its order; a
    // table that cannot be read gives the previous list.
    std::function<std::vector<LinkPortEntry>()> portList;
    std::function<SettingsHostState()> hostState;
};

class SettingsLink {
public:
    // Consecutive failed sends (outside the six codes that keep the connection) after
    // which no more 1295 messages are posted for a player, until a send goes through.
    static constexpr int kMaxSendRetries = 10;
    // Players with a connect in flight or a failing send; more are refused.
    static constexpr std::size_t kMaxTrackedPlayers = 1024;

    SettingsLink(SettingsLinkHooks hooks, LinkSocketPort& sockets, FormationStepBasis steps);

    // The 1295 handler and the census entry: builds and sends this player's settings.
    void SendPlayerSettings(DPID player, uint32_t winCriterion);
    // Connects if needed and sends.
    void SendOverSideLink(DPID player, std::span<const uint8_t> bytes, uint32_t winCriterion);
    // A connect started by this link finished (window thread).
    void OnConnectComplete(LinkHandle h, int error);
    // The player left: its connected or pending socket is closed and its state dropped.
    void PlayerLeft(DPID player, const PlayerRecord& record);

    bool ConnectPending(DPID player) const { return pending_.count(player) != 0; }

private:
    struct Pending {
        LinkHandle handle = 0;
        uint32_t address = 0;
        std::vector<uint16_t> ports;  // candidates in port-list order
        std::size_t next = 0;         // index of the port being tried
        std::vector<uint8_t> bytes;   // the newest message for the player
        uint32_t winCriterion = 0;
    };

    void Send(DPID player, LinkHandle h, std::span<const uint8_t> bytes, uint32_t winCriterion);
    void PortNotAvailable(DPID player, uint32_t address, uint32_t winCriterion);
    LinkHandle FreshSocket(LinkHandle old);
    void Log(const std::string& line);

    SettingsLinkHooks hooks_;
    LinkSocketPort& sockets_;
    FormationStepBasis steps_;
    std::map<DPID, Pending> pending_;
    std::map<DPID, int> sendFailures_;
    int invalidArgumentLogs_ = 0;
};

}  // namespace qd
