#include "sidelink/host_lists.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <unordered_set>

#include "sidelink/adapter_discovery.h"

namespace qd {

namespace {

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File OpenFile(const std::filesystem::path& path, const char* mode) {
    return File(std::fopen(path.c_str(), mode), &std::fclose);
}

void Put(std::FILE* f, const std::string& text) { std::fwrite(text.data(), 1, text.size(), f); }

std::string Endpoint(uint32_t address, int32_t port) {
    uint8_t b[4];
    std::memcpy(b, &address, 4);
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d:%d", b[0], b[1], b[2], b[3], port);
    return text;
}

uint64_t LocalKey(const NetEntry& e) {
    return (uint64_t{e.localAddress} << 32) | static_cast<uint32_t>(e.localPort);
}

struct TupleHash {
    std::size_t operator()(const NetEntry& e) const {
        uint64_t remote = (uint64_t{e.remoteAddress} << 32) | static_cast<uint32_t>(e.remotePort);
        return std::hash<uint64_t>()(LocalKey(e) * 0x9E3779B97F4A7C15ull ^ remote);
    }
};
struct TupleEqual {
    bool operator()(const NetEntry& a, const NetEntry& b) const {
        return a.localAddress == b.localAddress && a.localPort == b.localPort &&
               a.remoteAddress == b.remoteAddress && a.remotePort == b.remotePort;
    }
};

}  // namespace

const char* TcpStateName(int32_t state) {
    switch (state) {
        case kTcpClosed: return "CLOSED";
        case kTcpListen: return "LISTENING";
        case kTcpSynSent: return "SYN_SENT";
        case kTcpSynReceived: return "SEN_RECEIVED";
        case kTcpEstablished: return "ESTABLISHED";
        case kTcpFinWait1: return "FIN_WAIT";
        case kTcpFinWait2: return "FIN_WAIT2";
        case kTcpCloseWait: return "CLOSE_WAIT";
        case kTcpLastAck: return "LAST_ACK";
        case kTcpClosing: return "CLOSING";
        case kTcpTimeWait: return "TIME_WAIT";
        case kTcpDeleteTcb: return "DELETE_TCB";
        default: return "UNKNOWN";
    }
}

std::string FormatNetEntryLine(const NetEntry& entry) {
    const int32_t remotePort = entry.state == kTcpListen ? 0 : entry.remotePort;
    std::string local = Endpoint(entry.localAddress, entry.localPort);
    std::string remote = Endpoint(entry.remoteAddress, remotePort);
    char line[128];
    std::snprintf(line, sizeof line, "%-23s%-23s%s\n", local.c_str(), remote.c_str(), TcpStateName(entry.state));
    return line;
}

SideLinkState::SideLinkState(NetTableSource& source, std::filesystem::path workDir)
    : source_(source), workDir_(std::move(workDir)), hostAddress_(MakeAddress(127, 0, 0, 1)) {}

std::filesystem::path SideLinkState::listFilePath() const { return workDir_ / "quarneld" / "xconnect.txt"; }

int SideLinkState::DiscoverAdapters() { return qd::DiscoverAdapters(source_, adapterList, &discoveryFailure_); }

int SideLinkState::ReadTable() {
    newList_.clear();
    std::vector<NetEntry> rows;
    if (!source_.tcpConnections(rows)) return 1;
    newList_ = std::move(rows);
    return 0;
}

void SideLinkState::FilterIgnored() {
    if (ignoreList_.empty()) return;
    std::unordered_set<uint64_t> listening;
    std::unordered_set<NetEntry, TupleHash, TupleEqual> exact;
    for (const auto& i : ignoreList_) {
        if (i.state == kTcpListen) listening.insert(LocalKey(i));
        exact.insert(i);
    }
    std::erase_if(newList_, [&](const NetEntry& n) { return listening.count(LocalKey(n)) != 0 || exact.count(n) != 0; });
}

int SideLinkState::BuildNewNetList() {
    if (ReadTable() != 0) return 1;
    FilterIgnored();
    return 0;
}

int SideLinkState::BuildIgnoreList() {
    // Everything that exists now is ignored, including what an earlier call already
    // ignored: filtering by the old list here would let those connections through
    // again when the session is opened a second time.
    if (ReadTable() != 0) return 1;

    hostAddress_ = ChooseHostAddress(adapterList).address;
    hostAddressText_ = DottedAddress(hostAddress_);

    bool haveEnumListener = false;
    for (const auto& e : newList_) haveEnumListener |= e.localPort == kDirectPlayEnumPort;
    if (!haveEnumListener) newList_.push_back(NetEntry{kTcpListen, 0, kDirectPlayEnumPort, 0, 0});

    ignoreList_ = std::move(newList_);
    newList_.clear();
    WriteList(ignoreList_, kWriteListFirst);
    WriteHostSection();
    return 0;
}

void SideLinkState::WriteHostSection() {
    HostNameInfo info;
    if (!source_.hostName(info)) return;
    File f = OpenFile(listFilePath(), "a");
    if (!f) return;
    Put(f.get(), "Host IP's and names\n\n");
    char line[320];
    if (!info.resolved) {
        std::snprintf(line, sizeof line, "%-20.20s%s\n", "(not resolved)", info.hostName.c_str());
        Put(f.get(), line);
    }
    for (uint32_t address : info.addresses) {
        std::snprintf(line, sizeof line, "%-20.20s%s\n", DottedAddress(address).c_str(), info.hostName.c_str());
        Put(f.get(), line);
    }
    Put(f.get(), "\n\n");
    Put(f.get(), "Aliases\n\n");
    for (const auto& alias : info.aliases) Put(f.get(), alias + "\n");
    Put(f.get(), "\n\n");
}

int SideLinkState::RecordHostPorts() {
    BuildNewNetList();
    for (auto it = newList_.rbegin(); it != newList_.rend(); ++it) {
        if (hostPort1_ == 0)
            hostPort1_ = static_cast<uint16_t>(it->localPort);
        else
            hostPort2_ = static_cast<uint16_t>(it->localPort);
    }
    if (hostPort1_ == hostPort2_) hostPort2_ = 0;
    WriteList(newList_, kWriteListHostPorts);
    return 0;
}

int SideLinkState::GetPort() {
    if (BuildNewNetList() != 0) return 1;
    const int32_t p1 = hostPort1_, p2 = hostPort2_;
    // A client on this very machine shows both ends of its stream to the host: the end
    // that points at the host's own port is the host's, whatever address it names.
    auto ownAddress = [&](uint32_t a) {
        if (a == hostAddress_ || (a & 0xFFu) == 127u) return true;  // first byte in memory: 127/8
        for (const auto& adapter : adapterList)
            if (adapter.address == a) return true;
        return false;
    };
    std::erase_if(newList_, [&](const NetEntry& e) {
        const bool keep = e.localPort != p1 && e.localPort != p2 && e.state == kTcpEstablished &&
                          !(ownAddress(e.remoteAddress) && (e.remotePort == p1 || e.remotePort == p2)) &&
                          e.localPort != 3782 && e.remotePort != 3782 && e.remotePort >= 1024 &&
                          e.remotePort <= 5000;
        return !keep;
    });
    WriteList(newList_, 0);
    portList_ = std::move(newList_);
    newList_.clear();
    return 0;
}

void SideLinkState::WriteList(const std::vector<NetEntry>& list, int flags) {
    File f = OpenFile(listFilePath(), (flags & kWriteListFirst) != 0 ? "w" : "a");
    if (!f) return;
    if ((flags & kWriteListFirst) != 0) Put(f.get(), "Ignored sockets\n\n");
    if ((flags & kWriteListHostPorts) != 0) Put(f.get(), "QUARNELD ports\n\n");
    for (const auto& e : list)
        if (e.state != 0) Put(f.get(), FormatNetEntryLine(e));
    if (!list.empty()) Put(f.get(), "\n\n");
    if ((flags & kWriteListHostPorts) != 0) Put(f.get(), "Connection info\n\n");
}

}  // namespace qd
