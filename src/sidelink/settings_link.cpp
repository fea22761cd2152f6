#include "sidelink/settings_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "platform/log.h"
#include "sidelink/host_lists.h"

namespace qd {

// ---- Winsock error codes -------------------------------------------------------------

int WinsockErrorFromErrno(int err) {
    switch (err) {
    case EINTR: return wsa::kEINTR;
    case EACCES: case EPERM: return wsa::kEACCES;
    case EFAULT: return wsa::kEFAULT;
    case EINVAL: return wsa::kEINVAL;
    case EMFILE: case ENFILE: return wsa::kEMFILE;
    case EAGAIN: return wsa::kEWOULDBLOCK;
    case EINPROGRESS: return wsa::kEINPROGRESS;
    case EALREADY: return wsa::kEALREADY;
    case ENOTSOCK: case EBADF: return wsa::kENOTSOCK;
    case EDESTADDRREQ: return wsa::kEDESTADDRREQ;
    case EMSGSIZE: return wsa::kEMSGSIZE;
    case EPROTOTYPE: return wsa::kEPROTOTYPE;
    case ENOPROTOOPT: return wsa::kENOPROTOOPT;
    case EPROTONOSUPPORT: return wsa::kEPROTONOSUPPORT;
    case EOPNOTSUPP: return wsa::kEOPNOTSUPP;
    case EAFNOSUPPORT: return wsa::kEAFNOSUPPORT;
    case EADDRINUSE: return wsa::kEADDRINUSE;
    case EADDRNOTAVAIL: return wsa::kEADDRNOTAVAIL;
    case ENETDOWN: return wsa::kENETDOWN;
    case ENETUNREACH: return wsa::kENETUNREACH;
    case ENETRESET: return wsa::kENETRESET;
    case ECONNABORTED: return wsa::kECONNABORTED;
    case ECONNRESET: return wsa::kECONNRESET;
    case ENOBUFS: case ENOMEM: return wsa::kENOBUFS;
    case EISCONN: return wsa::kEISCONN;
    case ENOTCONN: return wsa::kENOTCONN;
    // Writing after the peer or we shut the connection down: Winsock says "shutdown".
    case EPIPE: case ESHUTDOWN: return wsa::kESHUTDOWN;
    case ETIMEDOUT: return wsa::kETIMEDOUT;
    case ECONNREFUSED: return wsa::kECONNREFUSED;
    case EHOSTDOWN: return wsa::kEHOSTDOWN;
    case EHOSTUNREACH: return wsa::kEHOSTUNREACH;
    default: return err;
    }
}

const char* WinsockErrorText(int code) {
    switch (code) {
    case wsa::kEINTR: return "call cancelled";
    case wsa::kEACCES: return "broadcast addr";
    case wsa::kEFAULT: return "parameter error";
    case wsa::kEINVAL: return "unknown flag";
    case wsa::kEWOULDBLOCK: return "would block";
    case wsa::kEINPROGRESS: return "in progress";
    case wsa::kENOTSOCK: return "not a socket";
    case wsa::kEDESTADDRREQ: return "dest addr required";
    case wsa::kEMSGSIZE: return "message to large";
    case wsa::kEOPNOTSUPP: return "oob error or wrong direction";
    case wsa::kEAFNOSUPPORT: return "not supported";
    case wsa::kEADDRNOTAVAIL: return "invalid address";
    case wsa::kENETDOWN: return "network failure";
    case wsa::kENETUNREACH: return "network cannot be reached";
    case wsa::kENETRESET: return "net reset";
    case wsa::kECONNABORTED: return "conn aborted";
    case wsa::kECONNRESET: return "conn reset";
    case wsa::kENOBUFS: return "no buffer space";
    case wsa::kENOTCONN: return "not connected";
    case wsa::kESHUTDOWN: return "shutdown";
    case wsa::kETIMEDOUT: return "timed out";
    case wsa::kEHOSTUNREACH: return "host unreachable";
    case wsa::kNOTINITIALISED: return "not initialized";
    default: return nullptr;
    }
}

// ---- DirectPlay address ----------------------------------------------------------------

namespace {

class Reader {
public:
    explicit Reader(std::span<const uint8_t> b) : b_(b) {}
    bool guid(Guid& g) {
        if (left() < 16) return false;
        g = Guid::fromBytes(b_.data() + p_);
        p_ += 16;
        return true;
    }
    bool u32(uint32_t& v) {
        if (left() < 4) return false;
        v = uint32_t(b_[p_]) | uint32_t(b_[p_ + 1]) << 8 | uint32_t(b_[p_ + 2]) << 16 | uint32_t(b_[p_ + 3]) << 24;
        p_ += 4;
        return true;
    }
    bool take(uint32_t n, std::span<const uint8_t>& out) {
        if (left() < n) return false;
        out = b_.subspan(p_, n);
        p_ += n;
        return true;
    }
    std::size_t left() const { return b_.size() - p_; }

private:
    std::span<const uint8_t> b_;
    std::size_t p_ = 0;
};

bool chunk(Reader& r, const Guid& type, std::span<const uint8_t>& data) {
    Guid g;
    uint32_t size = 0;
    return r.guid(g) && g == type && r.u32(size) && r.take(size, data);
}

}  // namespace

std::optional<uint32_t> PlayerInetAddress(std::span<const uint8_t> address) {
    Reader r(address);
    std::span<const uint8_t> data;
    if (!chunk(r, kDpaidTotalSize, data)) return std::nullopt;
    if (!chunk(r, kDpaidServiceProvider, data) || data.size() != 16 || Guid::fromBytes(data.data()) != kDpspGuidTcpip)
        return std::nullopt;
    if (!chunk(r, kDpaidINet, data)) return std::nullopt;
    // The text ends at its NUL or at the chunk's end, whichever comes first.
    std::string text(data.begin(), data.end());
    text.resize(std::strlen(text.c_str()));
    long a = 0, b = 0, c = 0, d = 0;
    if (std::sscanf(text.c_str(), "%li.%li.%li.%li", &a, &b, &c, &d) != 4) return std::nullopt;
    return static_cast<uint32_t>(static_cast<unsigned long>(a) + (static_cast<unsigned long>(b) << 8) +
                                 (static_cast<unsigned long>(c) << 16) + (static_cast<unsigned long>(d) << 24));
}

// ---- Posix sockets ---------------------------------------------------------------------

namespace {
uint64_t NowMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}
}  // namespace

PosixLinkSockets::PosixLinkSockets(CompletionSink sink, int connectTimeoutMs)
    : sink_(std::move(sink)), timeoutMs_(connectTimeoutMs > 0 ? connectTimeoutMs : 1) {
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    watcher_ = std::thread([this] { Watch(); });
}

PosixLinkSockets::~PosixLinkSockets() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    Wake();
    watcher_.join();
    for (auto& [h, s] : sockets_) ::close(s.fd);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

void PosixLinkSockets::Wake() {
    if (wakeFd_ < 0) return;
    const uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
}

LinkHandle PosixLinkSockets::Open(int* error) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        if (error) *error = WinsockErrorFromErrno(errno);
        return 0;
    }
    std::lock_guard lock(mutex_);
    LinkHandle h = nextHandle_++;
    if (nextHandle_ == 0) nextHandle_ = 1;
    sockets_[h].fd = fd;
    return h;
}

void PosixLinkSockets::StartConnect(LinkHandle h, uint32_t addressNet, uint16_t port) {
    {
        std::lock_guard lock(mutex_);
        auto it = sockets_.find(h);
        if (it == sockets_.end()) {
            // Reported through the sink like every other outcome.
            Socket ghost;
            ghost.fd = -1;
            ghost.immediateError = wsa::kENOTSOCK;
            sockets_[h] = ghost;
        } else {
            sockaddr_in sa{};
            sa.sin_family = AF_INET;
            sa.sin_port = htons(port);
            sa.sin_addr.s_addr = addressNet;
            const int rc = ::connect(it->second.fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
            if (rc == 0)
                it->second.immediateError = 0;
            else if (errno == EINPROGRESS) {
                it->second.connecting = true;
                it->second.deadlineMs = NowMs() + static_cast<uint64_t>(timeoutMs_);
            } else
                it->second.immediateError = WinsockErrorFromErrno(errno);
        }
    }
    Wake();
}

LinkSendResult PosixLinkSockets::Send(LinkHandle h, std::span<const uint8_t> bytes) {
    {
        std::lock_guard lock(mutex_);
        auto it = sockets_.find(h);
        if (it == sockets_.end() || it->second.fd < 0) return {-1, wsa::kENOTSOCK};
        Socket& s = it->second;
        if (s.writeError != 0) return {-1, std::exchange(s.writeError, 0)};
        std::size_t taken = 0;
        if (s.held.empty()) {
            const ssize_t n = ::send(s.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return {-1, WinsockErrorFromErrno(errno)};
            taken = n < 0 ? 0 : static_cast<std::size_t>(n);
        }
        if (taken == bytes.size()) return {static_cast<long>(bytes.size()), 0};
        // Nothing of the message went out: it may still be refused whole.
        if (taken == 0 && s.held.size() + bytes.size() > kMaxHeldBytes) return {-1, wsa::kEWOULDBLOCK};
        s.held.insert(s.held.end(), bytes.begin() + static_cast<std::ptrdiff_t>(taken), bytes.end());
    }
    Wake();  // the watcher finishes it when the socket is writable
    return {static_cast<long>(bytes.size()), 0};
}

void PosixLinkSockets::Flush(Socket& s) {
    while (!s.held.empty()) {
        const ssize_t n = ::send(s.fd, s.held.data(), s.held.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK) return;
            // The connection is broken: what is held can never arrive; the next send says so.
            s.writeError = WinsockErrorFromErrno(errno);
            s.held.clear();
            return;
        }
        s.held.erase(s.held.begin(), s.held.begin() + n);
    }
}

void PosixLinkSockets::Close(LinkHandle h) {
    {
        std::lock_guard lock(mutex_);
        auto it = sockets_.find(h);
        if (it == sockets_.end()) return;
        if (it->second.fd >= 0) {
            ::shutdown(it->second.fd, SHUT_RDWR);
            ::close(it->second.fd);
        }
        sockets_.erase(it);
    }
    Wake();
}

std::size_t PosixLinkSockets::OpenCount() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& [h, s] : sockets_) n += s.fd >= 0;
    return n;
}

void PosixLinkSockets::Watch() {
    struct Polled {
        LinkHandle handle;
        int fd;
        bool writing;  // held bytes wait for POLLOUT (else a connect does)
    };
    std::vector<std::pair<LinkHandle, int>> done;
    std::vector<pollfd> fds;
    std::vector<Polled> polled;
    for (;;) {
        int timeout = -1;
        {
            std::lock_guard lock(mutex_);
            if (stop_) return;
            fds.clear();
            polled.clear();
            fds.push_back({wakeFd_, POLLIN, 0});
            const uint64_t now = NowMs();
            for (auto it = sockets_.begin(); it != sockets_.end();) {
                Socket& s = it->second;
                if (s.immediateError >= 0) {
                    done.emplace_back(it->first, s.immediateError);
                    s.immediateError = -1;
                    if (s.fd < 0) {
                        it = sockets_.erase(it);
                        continue;
                    }
                } else if (s.connecting) {
                    if (now >= s.deadlineMs) {
                        s.connecting = false;
                        done.emplace_back(it->first, wsa::kETIMEDOUT);
                    } else {
                        fds.push_back({s.fd, POLLOUT, 0});
                        polled.push_back({it->first, s.fd, false});
                        const auto wait = static_cast<int>(s.deadlineMs - now);
                        if (timeout < 0 || wait < timeout) timeout = wait;
                    }
                } else if (!s.held.empty() && s.fd >= 0) {
                    fds.push_back({s.fd, POLLOUT, 0});
                    polled.push_back({it->first, s.fd, true});
                }
                ++it;
            }
        }
        if (!done.empty()) {
            for (auto [h, err] : done)
                if (sink_) sink_(h, err);
            done.clear();
            continue;
        }
        ::poll(fds.data(), fds.size(), timeout);
        if (fds[0].revents & POLLIN) {
            uint64_t v;
            [[maybe_unused]] auto n = ::read(wakeFd_, &v, sizeof v);
        }
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < polled.size(); ++i) {
            if (!fds[i + 1].revents) continue;
            auto it = sockets_.find(polled[i].handle);
            // Closed (and its number perhaps reused) while we polled: not ours any more.
            if (it == sockets_.end() || it->second.fd != polled[i].fd) continue;
            if (polled[i].writing) {
                Flush(it->second);
                continue;
            }
            if (!it->second.connecting) continue;
            int err = 0;
            socklen_t len = sizeof err;
            if (::getsockopt(it->second.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
            it->second.connecting = false;
            it->second.immediateError = err == 0 ? 0 : WinsockErrorFromErrno(err);
        }
    }
}

// ---- The link logic ---------------------------------------------------------------------

std::vector<LinkPortEntry> RefreshLinkPorts(SideLinkState& state) {
    state.GetPort();  // an unreadable table leaves the previous list
    std::vector<LinkPortEntry> out;
    out.reserve(state.portList().size());
    for (const NetEntry& e : state.portList()) out.push_back({e.remoteAddress, e.remotePort});
    return out;
}

namespace {
bool KeepsConnection(int code) {
    switch (code) {
    case wsa::kEINVAL: case wsa::kENETUNREACH: case wsa::kECONNABORTED:
    case wsa::kECONNRESET: case wsa::kESHUTDOWN: case wsa::kETIMEDOUT:
        return true;
    default:
        return false;
    }
}
}  // namespace

SettingsLink::SettingsLink(SettingsLinkHooks hooks, LinkSocketPort& sockets, FormationStepBasis steps)
    : hooks_(std::move(hooks)), sockets_(sockets), steps_(steps) {}

void SettingsLink::Log(const std::string& line) { LogError(line); }

void SettingsLink::SendPlayerSettings(DPID player, uint32_t winCriterion) {
    const auto record = hooks_.readPlayerRecord(player);
    if (!record || record->kind != kKindClient || record->teamGroup == 0) return;
    const auto group = hooks_.readTeamGroupRecord(record->teamGroup);
    if (!group || group->team == 0) return;
    const TeamDefinition* team = hooks_.team(group->team);
    if (!team) return;
    const auto session = hooks_.sessionDesc();
    if (!session) return;
    const SettingsHostState host = hooks_.hostState();

    SettingsMessageInputs in;
    in.session = *session;
    in.team = *team;
    in.teamSlot = record->teamSlot;
    in.hostPlayerId = host.hostPlayerId;
    in.winCriterion = winCriterion;
    in.gameRunning = host.gameRunning;
    in.unrestrictAllTeams = host.unrestrictAllTeams;
    in.simulatorVersion = host.simulatorVersion;
    in.hostPort1 = host.hostPort1;
    in.steps = steps_;
    const SettingsMessage message = BuildSettingsMessage(in);
    SendOverSideLink(player, message, winCriterion);
}

LinkHandle SettingsLink::FreshSocket(LinkHandle old) {
    // A socket whose connect failed cannot connect again on Linux.
    if (old) sockets_.Close(old);
    int error = 0;
    return sockets_.Open(&error);
}

void SettingsLink::SendOverSideLink(DPID player, std::span<const uint8_t> bytes, uint32_t winCriterion) {
    if (bytes.empty()) return;
    auto record = hooks_.readPlayerRecord(player);
    if (!record) return;
    if (record->linkConnected == 1) {
        Send(player, record->linkSocket, bytes, winCriterion);
        return;
    }
    if (auto it = pending_.find(player); it != pending_.end()) {
        // A connect is in flight: it will carry the newest settings.
        it->second.bytes.assign(bytes.begin(), bytes.end());
        it->second.winCriterion = winCriterion;
        return;
    }
    if (pending_.size() >= kMaxTrackedPlayers) {
        Log("Side link busy, settings not sent");
        return;
    }

    if (record->linkSocket == 0) {
        hooks_.sendPlayerText(player, "QDL attempting to create connection...");
        int error = 0;
        const LinkHandle h = sockets_.Open(&error);
        if (!h) {
            Log("socket() failed");
            return;
        }
        record->linkSocket = h;
        hooks_.writePlayerRecord(player, *record);
    } else {
        if (record->linkRetries >= 5) {
            hooks_.sendPlayerText(player, "Connect failed, giving up...");
            return;
        }
        hooks_.sendPlayerText(player, "Connect failed, trying again...");
        record->linkRetries += 1;
        const LinkHandle h = FreshSocket(record->linkSocket);
        if (h) record->linkSocket = h;
        hooks_.writePlayerRecord(player, *record);
        if (!h) {
            Log("socket() failed");
            return;
        }
    }

    std::vector<uint8_t> address;
    const HRESULT r = hooks_.playerAddress(player, address);
    if (FAILED(r)) {
        if (r == E_INVALIDARG)
            Log("Invalid params, GetPlayerAddress");
        else if (r == DPERR_INVALIDOBJECT)
            Log("Invalid object, GetPlayerAddress");
        else if (r == DPERR_INVALIDPLAYER)
            Log("Invalid player, GetPlayerAddress");
        else
            Log("Unknown error, GetPlayerAddress");
        return;
    }
    uint32_t ip = 0;  // an empty answer leaves 0.0.0.0, which matches no connection
    if (!address.empty()) {
        const auto parsed = PlayerInetAddress(address);
        if (!parsed) return;  // not TCP/IP: nothing to connect to
        ip = *parsed;
    }

    Pending p;
    p.handle = record->linkSocket;
    p.address = ip;
    for (const LinkPortEntry& e : hooks_.portList())
        if (e.remoteAddress == ip && e.remotePort > 0 && e.remotePort <= 65535)
            p.ports.push_back(static_cast<uint16_t>(e.remotePort));
    if (p.ports.empty()) {
        PortNotAvailable(player, ip, winCriterion);
        return;
    }
    p.bytes.assign(bytes.begin(), bytes.end());
    p.winCriterion = winCriterion;
    const LinkHandle h = p.handle;
    const uint16_t port = p.ports.front();
    pending_[player] = std::move(p);
    sockets_.StartConnect(h, ip, port);
}

void SettingsLink::OnConnectComplete(LinkHandle h, int error) {
    auto it = pending_.begin();
    while (it != pending_.end() && it->second.handle != h) ++it;
    if (it == pending_.end()) return;  // the player left, or the socket was replaced
    const DPID player = it->first;
    auto record = hooks_.readPlayerRecord(player);
    if (!record || record->linkSocket != h) {
        sockets_.Close(h);
        pending_.erase(it);
        return;
    }
    Pending& p = it->second;
    if (error == 0) {
        record->linkConnected = 1;
        hooks_.writePlayerRecord(player, *record);
        hooks_.sendPlayerText(player, "Connect successful!!!");
        Pending done = std::move(p);
        pending_.erase(it);
        Send(player, h, done.bytes, done.winCriterion);
        return;
    }
    if (++p.next < p.ports.size()) {
        const LinkHandle fresh = FreshSocket(h);
        if (!fresh) {
            Log("socket() failed");
            pending_.erase(it);
            return;
        }
        record->linkSocket = fresh;
        hooks_.writePlayerRecord(player, *record);
        p.handle = fresh;
        sockets_.StartConnect(fresh, p.address, p.ports[p.next]);
        return;
    }
    const uint32_t address = p.address;
    const uint32_t winCriterion = p.winCriterion;
    pending_.erase(it);
    PortNotAvailable(player, address, winCriterion);
}

void SettingsLink::PortNotAvailable(DPID player, uint32_t address, uint32_t winCriterion) {
    char line[64];
    std::snprintf(line, sizeof line, "Port not yet available for: %d.%d.%d.%d", int(address & 0xFF),
                  int(address >> 8 & 0xFF), int(address >> 16 & 0xFF), int(address >> 24 & 0xFF));
    Log(line);
    if (hooks_.postSendPlayerSettings) hooks_.postSendPlayerSettings(player, winCriterion);
}

void SettingsLink::Send(DPID player, LinkHandle h, std::span<const uint8_t> bytes, uint32_t winCriterion) {
    const LinkSendResult r = sockets_.Send(h, bytes);
    if (r.sent == static_cast<long>(bytes.size())) {
        sendFailures_.erase(player);
        return;
    }
    if (r.sent >= 0) {
        Log("settings send() failed, too few bytes");
        return;
    }
    const int code = r.error;
    if (!KeepsConnection(code)) {
        Log("settings send() failed, socket error");
        // A send that keeps failing is retried a bounded number of times in a row; later
        // settings (the next census) still try once each.
        int failures = kMaxSendRetries + 2;
        if (auto f = sendFailures_.find(player); f != sendFailures_.end())
            failures = ++f->second;
        else if (sendFailures_.size() < kMaxTrackedPlayers)
            failures = sendFailures_[player] = 1;
        if (failures <= kMaxSendRetries) {
            if (hooks_.postSendPlayerSettings) hooks_.postSendPlayerSettings(player, winCriterion);
        } else if (failures == kMaxSendRetries + 1) {
            char line[96];
            std::snprintf(line, sizeof line, "settings send() keeps failing for player %" PRIu32 ", retries stopped",
                          player);
            Log(line);
        }
    }
    if (code == wsa::kEINVAL) {
        if (invalidArgumentLogs_ < 3) {
            ++invalidArgumentLogs_;
            Log("settings send() failed, socket error");
            Log("unknown flag");
        }
        return;
    }
    if (const char* text = WinsockErrorText(code)) {
        Log(text);
    } else {
        Log("unknown error");
        char line[32];
        std::snprintf(line, sizeof line, "Error code is:%8.8x", static_cast<unsigned>(code));
        Log(line);
    }
}

void SettingsLink::PlayerLeft(DPID player, const PlayerRecord& record) {
    if (auto it = pending_.find(player); it != pending_.end()) {
        sockets_.Close(it->second.handle);
        pending_.erase(it);
    }
    if (record.linkSocket) sockets_.Close(record.linkSocket);
    sendFailures_.erase(player);
}

}  // namespace qd
