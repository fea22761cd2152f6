#include "sidelink/net_tables.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if_arp.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <tuple>

namespace qd {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

// Splits a line into blank-separated tokens; at most maxTokens are kept.
std::vector<std::string_view> Tokens(std::string_view line, std::size_t maxTokens) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size() && out.size() < maxTokens) {
        while (i < line.size() && IsBlank(line[i])) ++i;
        std::size_t start = i;
        while (i < line.size() && !IsBlank(line[i])) ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Exactly `width` hexadecimal digits (width <= 8).
bool ParseHexExact(std::string_view text, std::size_t width, uint32_t& out) {
    if (text.size() != width) return false;
    uint32_t v = 0;
    for (char c : text) {
        int d = HexDigit(c);
        if (d < 0) return false;
        v = (v << 4) | static_cast<uint32_t>(d);
    }
    out = v;
    return true;
}

// 1 to 10 decimal digits with a value that fits `limit`.
bool ParseDecimal(std::string_view text, uint64_t limit, uint64_t& out) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > limit) return false;
    out = v;
    return true;
}

// "AAAAAAAA:PPPP": the kernel's address word and port, both hexadecimal.
bool ParseEndpoint(std::string_view text, uint32_t& address, int32_t& port) {
    if (text.size() != 13 || text[8] != ':') return false;
    uint32_t a = 0, p = 0;
    if (!ParseHexExact(text.substr(0, 8), 8, a) || !ParseHexExact(text.substr(9, 4), 4, p)) return false;
    // The kernel prints the address word as an integer of this machine, so its value
    // held in memory here has the network byte order again.
    address = a;
    port = static_cast<int32_t>(p);
    return true;
}

// The IPv6 form, four address words then the port. `isIpv4` tells whether the address
// is an IPv4-mapped one (::ffff:a.b.c.d) or unspecified (::, a dual-stack listener),
// which IPv4 peers reach.
bool ParseEndpoint6(std::string_view text, uint32_t& address, int32_t& port, bool& isIpv4) {
    if (text.size() != 37 || text[32] != ':') return false;
    uint32_t w[4], p = 0;
    for (int i = 0; i < 4; ++i)
        if (!ParseHexExact(text.substr(static_cast<std::size_t>(i) * 8, 8), 8, w[i])) return false;
    if (!ParseHexExact(text.substr(33, 4), 4, p)) return false;
    const bool unspecified = w[0] == 0 && w[1] == 0 && w[2] == 0 && w[3] == 0;
    isIpv4 = unspecified || (w[0] == 0 && w[1] == 0 && w[2] == htonl(0x0000FFFFu));
    address = w[3];
    port = static_cast<int32_t>(p);
    return true;
}

bool ParseDotted(std::string_view text, uint32_t& out) {
    uint8_t bytes[4];
    std::size_t pos = 0;
    for (int part = 0; part < 4; ++part) {
        std::size_t end = pos;
        while (end < text.size() && text[end] != '.') ++end;
        std::string_view digits = text.substr(pos, end - pos);
        uint64_t v = 0;
        if (digits.size() > 3 || !ParseDecimal(digits, 255, v)) return false;
        bytes[part] = static_cast<uint8_t>(v);
        if (part < 3) {
            if (end >= text.size()) return false;
            pos = end + 1;
        } else if (end != text.size()) {
            return false;
        }
    }
    return (out = MakeAddress(bytes[0], bytes[1], bytes[2], bytes[3])), true;
}

uint32_t MaskFromPrefix(unsigned prefix) {
    uint32_t host = prefix == 0 ? 0u : (0xFFFFFFFFu << (32 - prefix));
    return htonl(host);
}

std::string_view BaseName(std::string_view label) {
    std::size_t cut = label.find_first_of(":@");
    return cut == std::string_view::npos ? label : label.substr(0, cut);
}

uint32_t SockaddrIpv4(const sockaddr* sa) {
    if (sa == nullptr || sa->sa_family != AF_INET) return 0;
    sockaddr_in sin;
    std::memcpy(&sin, sa, sizeof sin);
    return sin.sin_addr.s_addr;
}

struct IfAddrsDeleter {
    void operator()(ifaddrs* p) const { freeifaddrs(p); }
};
using IfAddrsPtr = std::unique_ptr<ifaddrs, IfAddrsDeleter>;

IfAddrsPtr GetIfAddrs() {
    ifaddrs* head = nullptr;
    if (getifaddrs(&head) != 0) return nullptr;
    return IfAddrsPtr(head);
}

}  // namespace

uint32_t MakeAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t v;
    std::memcpy(&v, bytes, 4);
    return v;
}

std::string DottedAddress(uint32_t networkOrder) {
    uint8_t b[4];
    std::memcpy(b, &networkOrder, 4);
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return text;
}

int32_t IfTypeFromArphrd(uint16_t arphrdType) {
    switch (arphrdType) {
        case ARPHRD_ETHER:
        case ARPHRD_EETHER: return 6;  // ethernetCsmacd
        case ARPHRD_LOOPBACK: return 24;  // softwareLoopback
        case ARPHRD_PPP: return 23;  // ppp
        case ARPHRD_SLIP:
        case ARPHRD_CSLIP: return 28;  // slip
        case ARPHRD_IEEE802:
        case ARPHRD_IEEE802_TR: return 9;  // iso88025TokenRing
        case ARPHRD_FDDI: return 15;  // fddi
        case ARPHRD_X25: return 5;  // rfc877x25
        case ARPHRD_HDLC: return 118;  // hdlc
        case ARPHRD_ATM: return 37;  // atm
        case ARPHRD_ARCNET: return 35;  // arcnet
        case ARPHRD_IEEE1394: return 144;  // ieee1394
        case ARPHRD_INFINIBAND: return 199;  // infiniband
        case ARPHRD_IEEE80211:
        case ARPHRD_IEEE80211_PRISM:
        case ARPHRD_IEEE80211_RADIOTAP: return 71;  // ieee80211
        case ARPHRD_TUNNEL:
        case ARPHRD_TUNNEL6:
        case ARPHRD_SIT:
        case ARPHRD_IPGRE:
        case 823:  // ARPHRD_IP6GRE
            return 131;  // tunnel
        default: return 1;  // other
    }
}

int32_t TcpStateFromLinux(unsigned linuxState) {
    switch (linuxState) {
        case 1: return kTcpEstablished;
        case 2: return kTcpSynSent;
        case 3: return kTcpSynReceived;
        case 4: return kTcpFinWait1;
        case 5: return kTcpFinWait2;
        case 6: return kTcpTimeWait;
        case 7: return kTcpClosed;
        case 8: return kTcpCloseWait;
        case 9: return kTcpLastAck;
        case 10: return kTcpListen;
        case 11: return kTcpClosing;
        case 12: return kTcpSynReceived;  // TCP_NEW_SYN_RECV, a half-open request
        default: return 0;
    }
}

void SortTcpTable(std::vector<NetEntry>& rows) {
    auto key = [](const NetEntry& e) {
        return std::make_tuple(ntohl(e.localAddress), e.localPort, ntohl(e.remoteAddress), e.remotePort);
    };
    std::stable_sort(rows.begin(), rows.end(),
                     [&](const NetEntry& a, const NetEntry& b) { return key(a) < key(b); });
    rows.erase(std::unique(rows.begin(), rows.end(),
                           [&](const NetEntry& a, const NetEntry& b) { return key(a) == key(b); }),
               rows.end());
}

namespace {

TcpParseResult ParseTcpTable(std::string_view text, bool ipv6) {
    TcpParseResult result;
    bool firstLine = true;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        const bool isFirst = firstLine;
        firstLine = false;

        if (line.size() > kMaxTcpLineLength) {
            ++result.rejectedLines;
            continue;
        }
        auto tokens = Tokens(line, 5);
        if (tokens.empty()) continue;
        if (isFirst && tokens[0] == "sl") continue;
        if (tokens.size() < 4) {
            ++result.rejectedLines;
            continue;
        }
        // "N:" slot number.
        std::string_view slot = tokens[0];
        uint64_t unused = 0;
        if (slot.size() < 2 || slot.back() != ':' ||
            !ParseDecimal(slot.substr(0, slot.size() - 1), 0xFFFFFFFFu, unused)) {
            ++result.rejectedLines;
            continue;
        }
        NetEntry e;
        bool localIpv4 = true, remoteIpv4 = true;
        const bool endpointsOk =
            ipv6 ? ParseEndpoint6(tokens[1], e.localAddress, e.localPort, localIpv4) &&
                       ParseEndpoint6(tokens[2], e.remoteAddress, e.remotePort, remoteIpv4)
                 : ParseEndpoint(tokens[1], e.localAddress, e.localPort) &&
                       ParseEndpoint(tokens[2], e.remoteAddress, e.remotePort);
        uint32_t linuxState = 0;
        if (!endpointsOk || !ParseHexExact(tokens[3], 2, linuxState) ||
            (e.state = TcpStateFromLinux(linuxState)) == 0) {
            ++result.rejectedLines;
            continue;
        }
        if (!localIpv4 || !remoteIpv4) continue;  // an IPv6 peer: not in an IPv4 table
        if (result.rows.size() >= kMaxTcpRows) {
            result.truncated = true;
            break;
        }
        result.rows.push_back(e);
    }
    SortTcpTable(result.rows);
    return result;
}

}  // namespace

TcpParseResult ParseProcNetTcp(std::string_view text) { return ParseTcpTable(text, false); }

TcpParseResult ParseProcNetTcp6(std::string_view text) { return ParseTcpTable(text, true); }

bool ParseHardwareAddressText(std::string_view text, std::vector<uint8_t>& out) {
    while (!text.empty() && (text.back() == '\n' || IsBlank(text.back()))) text.remove_suffix(1);
    out.clear();
    if (text.empty()) return true;  // links without a hardware address (tun, wireguard)
    // "xx:xx:...": two hex digits per byte, ':' between; at most 32 bytes.
    if (text.size() % 3 != 2 || text.size() > 32 * 3 - 1) return false;
    for (std::size_t i = 0; i < text.size(); i += 3) {
        uint32_t byte = 0;
        if (!ParseHexExact(text.substr(i, 2), 2, byte)) return false;
        if (i + 2 < text.size() && text[i + 2] != ':') return false;
        out.push_back(static_cast<uint8_t>(byte));
    }
    return true;
}

bool ReadSmallFile(const std::filesystem::path& path, std::size_t maxBytes, std::string& out) {
    out.clear();
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!f) return false;
    char buf[8192];
    for (;;) {
        std::size_t n = std::fread(buf, 1, sizeof buf, f.get());
        if (n > 0) {
            if (out.size() + n > maxBytes) return false;
            out.append(buf, n);
        }
        if (n < sizeof buf) return std::ferror(f.get()) == 0;
    }
}

bool ReadSysClassNet(const std::filesystem::path& dir, std::vector<LinkRecord>& out) {
    out.clear();
    std::error_code ec;
    std::filesystem::directory_iterator it(dir, ec);
    if (ec) return false;
    std::vector<std::filesystem::path> entries;
    for (; it != std::filesystem::directory_iterator() && entries.size() < kMaxInterfaces; it.increment(ec)) {
        if (ec) return false;
        entries.push_back(it->path());
    }
    std::sort(entries.begin(), entries.end());
    for (const auto& entry : entries) {
        std::string indexText, typeText, addressText;
        if (!ReadSmallFile(entry / "ifindex", 64, indexText) || !ReadSmallFile(entry / "type", 64, typeText))
            continue;
        auto trim = [](std::string_view s) {
            while (!s.empty() && (s.back() == '\n' || IsBlank(s.back()))) s.remove_suffix(1);
            return s;
        };
        uint64_t index = 0, type = 0;
        if (!ParseDecimal(trim(indexText), 0x7FFFFFFF, index) || index == 0 ||
            !ParseDecimal(trim(typeText), 0xFFFF, type))
            continue;
        LinkRecord link;
        link.name = entry.filename().string();
        link.ifIndex = static_cast<int32_t>(index);
        link.arphrdType = static_cast<uint16_t>(type);
        if (ReadSmallFile(entry / "address", 256, addressText) &&
            !ParseHardwareAddressText(addressText, link.hardwareAddress))
            link.hardwareAddress.clear();
        out.push_back(std::move(link));
    }
    return true;
}

std::vector<InterfaceRow> BuildInterfaceTable(std::vector<LinkRecord> links) {
    std::stable_sort(links.begin(), links.end(),
                     [](const LinkRecord& a, const LinkRecord& b) { return a.ifIndex < b.ifIndex; });
    std::vector<InterfaceRow> rows;
    for (const auto& link : links) {
        if (rows.size() >= kMaxInterfaces) break;
        if (!rows.empty() && rows.back().ifIndex == link.ifIndex) continue;
        InterfaceRow row;
        row.ifIndex = link.ifIndex;
        row.description = link.name;
        row.ifType = IfTypeFromArphrd(link.arphrdType);
        std::copy_n(link.hardwareAddress.begin(), std::min<std::size_t>(6, link.hardwareAddress.size()),
                    row.macAddress.begin());
        rows.push_back(std::move(row));
    }
    return rows;
}

bool ParseIpAddrShow(std::string_view text, std::vector<AddressRecord>& out) {
    out.clear();
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line.size() > 1024) return false;
        auto tokens = Tokens(line, 8);
        if (tokens.empty()) continue;
        if (tokens.size() < 4) return false;
        if (tokens[2] != "inet") continue;
        std::string_view indexText = tokens[0];
        uint64_t index = 0;
        if (indexText.size() < 2 || indexText.back() != ':' ||
            !ParseDecimal(indexText.substr(0, indexText.size() - 1), 0x7FFFFFFF, index) || index == 0)
            return false;
        std::string_view cidr = tokens[3];
        std::size_t slash = cidr.find('/');
        AddressRecord rec;
        uint64_t prefix = 32;
        if (slash == std::string_view::npos) {
            if (!ParseDotted(cidr, rec.address)) return false;
        } else if (!ParseDotted(cidr.substr(0, slash), rec.address) ||
                   !ParseDecimal(cidr.substr(slash + 1), 32, prefix)) {
            return false;
        }
        rec.netmask = MaskFromPrefix(static_cast<unsigned>(prefix));
        if (tokens.size() >= 6 && tokens[4] == "brd" && !ParseDotted(tokens[5], rec.broadcast)) return false;
        rec.label = std::string(BaseName(tokens[1]));
        rec.ifIndex = static_cast<int32_t>(index);
        if (out.size() >= kMaxAddresses) return false;
        out.push_back(std::move(rec));
    }
    return true;
}

std::vector<Ipv4AddressRow> BuildAddressTable(const std::vector<AddressRecord>& records,
                                              const std::vector<LinkRecord>& links) {
    std::vector<Ipv4AddressRow> rows;
    for (const auto& rec : records) {
        if (rows.size() >= kMaxAddresses) break;
        int32_t index = rec.ifIndex;
        if (index == 0) {
            std::string_view base = BaseName(rec.label);
            for (const auto& link : links) {
                if (link.name == base) {
                    index = link.ifIndex;
                    break;
                }
            }
        }
        if (index == 0) continue;
        rows.push_back(Ipv4AddressRow{rec.address, index, rec.netmask, rec.broadcast});
    }
    auto key = [](const Ipv4AddressRow& r) { return ntohl(r.address); };
    std::stable_sort(rows.begin(), rows.end(),
                     [&](const Ipv4AddressRow& a, const Ipv4AddressRow& b) { return key(a) < key(b); });
    rows.erase(std::unique(rows.begin(), rows.end(),
                           [&](const Ipv4AddressRow& a, const Ipv4AddressRow& b) { return key(a) == key(b); }),
               rows.end());
    return rows;
}

bool LinuxNetTables::links(std::vector<LinkRecord>& out) {
    out.clear();
    if (IfAddrsPtr head = GetIfAddrs()) {
        for (ifaddrs* p = head.get(); p != nullptr; p = p->ifa_next) {
            if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_PACKET || p->ifa_name == nullptr) continue;
            if (out.size() >= kMaxInterfaces) break;
            sockaddr_ll sll;
            std::memcpy(&sll, p->ifa_addr, sizeof sll);
            LinkRecord link;
            link.name = p->ifa_name;
            link.ifIndex = sll.sll_ifindex;
            link.arphrdType = sll.sll_hatype;
            std::size_t len = std::min<std::size_t>(sll.sll_halen, sizeof sll.sll_addr);
            link.hardwareAddress.assign(sll.sll_addr, sll.sll_addr + len);
            out.push_back(std::move(link));
        }
    }
    // Some sandboxes hide packet sockets from getifaddrs; sysfs still lists the links.
    if (out.empty()) return ReadSysClassNet(sysClassNet_, out) && !out.empty();
    return true;
}

bool LinuxNetTables::interfaces(std::vector<InterfaceRow>& out) {
    std::vector<LinkRecord> found;
    if (!links(found)) return false;
    out = BuildInterfaceTable(std::move(found));
    return true;
}

bool LinuxNetTables::addresses(std::vector<Ipv4AddressRow>& out) {
    IfAddrsPtr head = GetIfAddrs();
    if (!head) return false;
    std::vector<AddressRecord> records;
    for (ifaddrs* p = head.get(); p != nullptr; p = p->ifa_next) {
        if (p->ifa_addr == nullptr || p->ifa_addr->sa_family != AF_INET || p->ifa_name == nullptr) continue;
        if (records.size() >= kMaxAddresses) break;
        AddressRecord rec;
        rec.label = p->ifa_name;
        rec.address = SockaddrIpv4(p->ifa_addr);
        rec.netmask = SockaddrIpv4(p->ifa_netmask);
        if ((p->ifa_flags & IFF_BROADCAST) != 0) rec.broadcast = SockaddrIpv4(p->ifa_broadaddr);
        std::string base(BaseName(rec.label));
        rec.ifIndex = static_cast<int32_t>(if_nametoindex(base.c_str()));
        records.push_back(std::move(rec));
    }
    std::vector<LinkRecord> known;
    links(known);  // only to place labels if_nametoindex could not
    out = BuildAddressTable(records, known);
    return true;
}

bool LinuxNetTables::tcpConnections(std::vector<NetEntry>& out) {
    std::string text;
    if (!ReadSmallFile(procNet_ / "tcp", kMaxTableFileBytes, text)) return false;
    TcpParseResult v4 = ParseProcNetTcp(text);
    // Dual-stack sockets show their IPv4 peers only here. No such file: no IPv6 at all.
    TcpParseResult v6;
    std::error_code ec;
    if (std::filesystem::exists(procNet_ / "tcp6", ec)) {
        if (!ReadSmallFile(procNet_ / "tcp6", kMaxTableFileBytes, text)) return false;
        v6 = ParseProcNetTcp6(text);
    }
    // A cut table would put live connections on no list at all; better to report it.
    if (v4.truncated || v6.truncated || v4.rows.size() + v6.rows.size() > kMaxTcpRows) return false;
    out = std::move(v4.rows);
    out.insert(out.end(), v6.rows.begin(), v6.rows.end());
    SortTcpTable(out);
    return true;
}

bool LinuxNetTables::hostName(HostNameInfo& out) {
    out = HostNameInfo{};
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return false;
    out.hostName = name;

    std::vector<char> buf(8192);
    hostent entry{};
    hostent* result = nullptr;
    int herr = 0;
    int rc;
    while ((rc = gethostbyname_r(name, &entry, buf.data(), buf.size(), &result, &herr)) == ERANGE &&
           buf.size() < 1024 * 1024)
        buf.resize(buf.size() * 2);
    if (rc != 0 || result == nullptr) return true;  // the name exists but does not resolve
    out.resolved = true;
    if (result->h_addrtype == AF_INET && result->h_length == 4) {
        for (char** a = result->h_addr_list; a != nullptr && *a != nullptr; ++a) {
            if (out.addresses.size() >= kMaxHostNameEntries) break;
            uint32_t v;
            std::memcpy(&v, *a, 4);
            out.addresses.push_back(v);
        }
    }
    for (char** a = result->h_aliases; a != nullptr && *a != nullptr; ++a) {
        if (out.aliases.size() >= kMaxHostNameEntries) break;
        out.aliases.emplace_back(*a);
    }
    return true;
}

}  // namespace qd
