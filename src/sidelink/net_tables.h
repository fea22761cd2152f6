#pragma once
// The machine's network tables as the side link reads them: interfaces, IPv4 addresses
// and TCP connections, numbered and ordered the way MIB-II tables are. Each table has a
// pure part (text or records in, rows out; what the tests feed with recorded fixtures)
// and a live part that reads this Linux machine.
#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace qd {

// MIB-II tcpConnState numbers.
enum TcpState : int32_t {
    kTcpClosed = 1,
    kTcpListen = 2,
    kTcpSynSent = 3,
    kTcpSynReceived = 4,
    kTcpEstablished = 5,
    kTcpFinWait1 = 6,
    kTcpFinWait2 = 7,
    kTcpCloseWait = 8,
    kTcpLastAck = 9,
    kTcpClosing = 10,
    kTcpTimeWait = 11,
    kTcpDeleteTcb = 12,
};

// One row of the TCP connection table. Addresses are IPv4 in network byte order in
// memory (the bytes a.b.c.d in that order); ports are host numbers.
struct NetEntry {
    int32_t state = 0;
    uint32_t localAddress = 0;
    int32_t localPort = 0;
    uint32_t remoteAddress = 0;
    int32_t remotePort = 0;
    bool operator==(const NetEntry&) const = default;
};

// One row of the interface table.
struct InterfaceRow {
    int32_t ifIndex = 0;
    std::string description;
    int32_t ifType = 0;
    std::array<uint8_t, 6> macAddress{};
};

// One row of the IPv4 address table.
struct Ipv4AddressRow {
    uint32_t address = 0;  // network byte order in memory
    int32_t ifIndex = 0;
    uint32_t netmask = 0;  // network byte order in memory
    uint32_t broadcast = 0;
};

// What the kernel tells about one link: the raw material of an interface row.
struct LinkRecord {
    std::string name;
    int32_t ifIndex = 0;
    uint16_t arphrdType = 0;  // ARPHRD_*
    std::vector<uint8_t> hardwareAddress;
};

// One IPv4 address of an interface, before it is put in table order.
struct AddressRecord {
    std::string label;  // interface name, possibly with an alias suffix ("eth0:1")
    int32_t ifIndex = 0;  // 0 when still to be found from the label
    uint32_t address = 0;
    uint32_t netmask = 0;
    uint32_t broadcast = 0;
};

// The names and IPv4 addresses the host-name lookup gives for this machine.
struct HostNameInfo {
    std::string hostName;
    bool resolved = false;
    std::vector<uint32_t> addresses;  // network byte order in memory
    std::vector<std::string> aliases;
};

// Limits on what the readers accept, so a huge or hostile input cannot exhaust memory.
constexpr std::size_t kMaxTcpRows = 200000;
constexpr std::size_t kMaxTcpLineLength = 512;
constexpr std::size_t kMaxTableFileBytes = 64u * 1024 * 1024;
constexpr std::size_t kMaxInterfaces = 4096;
constexpr std::size_t kMaxAddresses = 65536;
constexpr std::size_t kMaxHostNameEntries = 64;

// The ifType MIB-II gives the link type of an ARPHRD_* number (1, "other", when it has none).
int32_t IfTypeFromArphrd(uint16_t arphrdType);

// MIB-II state number of a Linux TCP state (include/net/tcp_states.h); 0 when unknown.
int32_t TcpStateFromLinux(unsigned linuxState);

struct TcpParseResult {
    std::vector<NetEntry> rows;  // in MIB-II table order (see SortTcpTable)
    std::size_t rejectedLines = 0;  // malformed lines left out
    bool truncated = false;  // more than kMaxTcpRows rows: the rest was left out
};

// Parses the text of /proc/net/tcp. The header line is skipped; a line that is not
// exactly "sl: local remote state ..." with hexadecimal fields of the kernel's widths and
// a known state is refused (counted, left out). The address text is the kernel's
// printout of the address word in this machine's byte order.
TcpParseResult ParseProcNetTcp(std::string_view text);

// The same for /proc/net/tcp6: rows whose two addresses are IPv4-mapped or unspecified
// (a dual-stack socket) become IPv4 rows; other IPv6 rows are left out without counting.
TcpParseResult ParseProcNetTcp6(std::string_view text);

// MIB-II order of tcpConnTable: by local address, local port, remote address, remote
// port (addresses compared byte by byte in network order). A row whose four-tuple
// repeats an earlier one is dropped, as the table index cannot hold it twice.
void SortTcpTable(std::vector<NetEntry>& rows);

// Parses a hardware address text of /sys/class/net/<if>/address ("02:fc:00:00:00:01").
// Returns false on anything else.
bool ParseHardwareAddressText(std::string_view text, std::vector<uint8_t>& out);

// Reads a /sys/class/net-shaped directory (one folder per interface with the files
// ifindex, type and address). Interfaces whose files are missing or malformed are left
// out. Returns false when the directory cannot be listed.
bool ReadSysClassNet(const std::filesystem::path& dir, std::vector<LinkRecord>& out);

// Interface table from link records: ascending interface index, MIB-II type, the first
// six bytes of the hardware address (a shorter address leaves the rest zero).
std::vector<InterfaceRow> BuildInterfaceTable(std::vector<LinkRecord> links);

// Parses the output of `ip -o -4 addr show` (one address per line:
// "2: eth0    inet 192.168.1.10/24 brd 192.168.1.255 scope global eth0 ..."). Lines
// without an IPv4 address are skipped; returns false on a malformed address line.
bool ParseIpAddrShow(std::string_view text, std::vector<AddressRecord>& out);

// Address table from address records: the interface index is taken from the record, or
// else found through the link whose name is the label without its alias suffix; records
// whose interface is unknown are dropped. Ordered by address, as MIB-II indexes
// ipAddrTable by the address.
std::vector<Ipv4AddressRow> BuildAddressTable(const std::vector<AddressRecord>& records,
                                              const std::vector<LinkRecord>& links);

// Dotted text of an address held in network byte order in memory.
std::string DottedAddress(uint32_t networkOrder);
// The address a.b.c.d in network byte order in memory.
uint32_t MakeAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d);

// Where the side link gets the machine's tables. Tests substitute recorded data.
class NetTableSource {
public:
    virtual ~NetTableSource() = default;
    virtual bool interfaces(std::vector<InterfaceRow>& out) = 0;
    virtual bool addresses(std::vector<Ipv4AddressRow>& out) = 0;
    virtual bool tcpConnections(std::vector<NetEntry>& out) = 0;
    // False when the machine's host name cannot be had at all.
    virtual bool hostName(HostNameInfo& out) = 0;
};

// The tables of this Linux machine: getifaddrs (AF_PACKET links, falling back to
// /sys/class/net; AF_INET addresses), /proc/net/tcp and tcp6, gethostname and the
// resolver.
class LinuxNetTables : public NetTableSource {
public:
    LinuxNetTables() = default;
    // Roots for tests that point the readers at copies (procNet holds tcp and tcp6).
    LinuxNetTables(std::filesystem::path procNet, std::filesystem::path sysClassNet)
        : procNet_(std::move(procNet)), sysClassNet_(std::move(sysClassNet)) {}

    bool interfaces(std::vector<InterfaceRow>& out) override;
    bool addresses(std::vector<Ipv4AddressRow>& out) override;
    bool tcpConnections(std::vector<NetEntry>& out) override;
    bool hostName(HostNameInfo& out) override;

private:
    bool links(std::vector<LinkRecord>& out);

    std::filesystem::path procNet_ = "/proc/net";
    std::filesystem::path sysClassNet_ = "/sys/class/net";
};

// Reads a whole file of at most maxBytes; false when it cannot be read or is larger.
bool ReadSmallFile(const std::filesystem::path& path, std::size_t maxBytes, std::string& out);

}  // namespace qd
