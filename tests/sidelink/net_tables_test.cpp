#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "fixture_source.h"
#include "sidelink/adapter_discovery.h"
#include "sidelink/net_tables.h"

namespace qd {
namespace {

using test::FixtureDir;
using test::ReadFixture;

NetEntry Row(int32_t state, uint32_t la, int32_t lp, uint32_t ra, int32_t rp) { return NetEntry{state, la, lp, ra, rp}; }

// The fixture was recorded on a little-endian machine; the kernel's address words are
// only meaningful on a machine of the same byte order.
bool LittleEndian() {
    const uint16_t one = 1;
    uint8_t first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

TEST(ProcNetTcp, RecordedTableGivesMibStatesInIndexOrder) {
    if (!LittleEndian()) GTEST_SKIP() << "fixture recorded on a little-endian machine";
    TcpParseResult r = ParseProcNetTcp(ReadFixture("proc_net/tcp"));
    EXPECT_EQ(r.rejectedLines, 0u);
    EXPECT_FALSE(r.truncated);
    const uint32_t any = 0, lo = MakeAddress(127, 0, 0, 1), me = MakeAddress(192, 168, 1, 10);
    const uint32_t peer = MakeAddress(192, 168, 1, 50), web = MakeAddress(93, 184, 216, 34);
    const std::vector<NetEntry> expected = {
        Row(kTcpListen, any, 2300, any, 0),
        Row(kTcpListen, any, 47624, any, 0),
        Row(kTcpListen, lo, 631, any, 0),
        Row(kTcpCloseWait, lo, 8080, lo, 41968),
        Row(kTcpEstablished, me, 22, MakeAddress(192, 168, 1, 77), 51514),
        Row(kTcpSynReceived, me, 2300, MakeAddress(192, 168, 1, 60), 3001),
        Row(kTcpEstablished, me, 2350, peer, 2301),
        Row(kTcpTimeWait, me, 49152, peer, 2302),
        Row(kTcpFinWait1, me, 50000, web, 443),
        Row(kTcpFinWait2, me, 50001, web, 443),
        Row(kTcpLastAck, me, 50002, web, 443),
        Row(kTcpClosing, me, 50003, web, 443),
        Row(kTcpClosed, me, 50004, web, 443),
        Row(kTcpSynSent, me, 54321, MakeAddress(10, 11, 12, 13), 80),
    };
    EXPECT_EQ(r.rows, expected);
}

TEST(ProcNetTcp, MalformedLinesAreRefusedAndTheRestKept) {
    const std::string good = "   1: 0100007F:0CEA 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 1 1\n";
    const std::string text =
        "  sl  local_address rem_address   st tx_queue\n" + good +
        "   2: 0100007F:0CEA 00000000:0000 0D 0 0\n"          // state 13 does not exist
        "   3: 0100007F:0CEA 00000000:0000 00 0 0\n"          // nor does state 0
        "   4: 0100007F:CEA 00000000:0000 0A 0 0\n"           // short port
        "   5: 100007F:0CEA 00000000:0000 0A 0 0\n"           // short address
        "   6: 0100007G:0CEA 00000000:0000 0A 0 0\n"          // not hexadecimal
        "   7 0100007F:0CEA 00000000:0000 0A 0 0\n"           // slot without colon
        "   8: 0100007F-0CEA 00000000:0000 0A 0 0\n"          // no separator
        "   9: 0100007F:0CEA 00000000:0000\n"                 // no state
        "  sl  local_address rem_address   st tx_queue\n"     // a header only heads the table
        "  10: 0100007F:0CEA 00000000:0000 0A" + std::string(600, ' ') + "x\n"  // too long
        "\n"
        "  11: 0100007F:0CEB 00000000:0000 0a";               // last line without line end, lower case
    TcpParseResult r = ParseProcNetTcp(text);
    EXPECT_EQ(r.rejectedLines, 10u);
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[0].localPort, 0x0CEA);
    EXPECT_EQ(r.rows[1].localPort, 0x0CEB);
    EXPECT_EQ(r.rows[1].state, kTcpListen);

    // A four-tuple the table index cannot hold twice (SO_REUSEPORT listeners) stays once.
    EXPECT_EQ(ParseProcNetTcp(good + good).rows.size(), 1u);
    EXPECT_TRUE(ParseProcNetTcp("").rows.empty());
}

TEST(ProcNetTcp, DualStackRowsWithIpv4PeersJoinTheTable) {
    if (!LittleEndian()) GTEST_SKIP() << "fixture recorded on a little-endian machine";
    TcpParseResult r = ParseProcNetTcp6(ReadFixture("proc_net/tcp6"));
    EXPECT_EQ(r.rejectedLines, 0u);
    const uint32_t lo = MakeAddress(127, 0, 0, 1);
    EXPECT_EQ(r.rows, (std::vector<NetEntry>{
                          Row(kTcpListen, 0, 2300, 0, 0),  // "::": reached by IPv4 peers too
                          Row(kTcpTimeWait, lo, 8081, lo, 41000),
                          Row(kTcpEstablished, MakeAddress(192, 168, 1, 10), 40000, MakeAddress(192, 168, 1, 50), 2350),
                      }));
    EXPECT_EQ(ParseProcNetTcp6("   0: 00000000000000000000000000000000:08FC 0000:0000 0A\n").rejectedLines, 1u);
    // An IPv4 line is malformed in the IPv6 table and the other way round.
    EXPECT_EQ(ParseProcNetTcp6("   0: 0100007F:0CEA 00000000:0000 0A\n").rejectedLines, 1u);
    EXPECT_EQ(ParseProcNetTcp("   0: 00000000000000000000000000000000:08FC 00000000000000000000000000000000:0000 0A\n")
                  .rejectedLines,
              1u);
}

TEST(ProcNetTcp, LinuxStatesMapToMibNumbers) {
    const int32_t expected[] = {0, 5, 3, 4, 6, 7, 11, 1, 8, 9, 2, 10, 4, 0};
    for (unsigned s = 0; s < std::size(expected); ++s) EXPECT_EQ(TcpStateFromLinux(s), expected[s]) << s;
}

TEST(InterfaceTable, RecordedSysfsGivesIndexOrderTypesAndMacs) {
    std::vector<LinkRecord> links;
    ASSERT_TRUE(ReadSysClassNet(FixtureDir() / "sys_class_net", links));
    auto rows = BuildInterfaceTable(links);
    // "broken" has no type file and is left out.
    ASSERT_EQ(rows.size(), 5u);
    std::vector<std::string> names;
    for (auto& r : rows) names.push_back(r.description);
    EXPECT_EQ(names, (std::vector<std::string>{"lo", "eth0", "wlan0", "tun0", "ib0"}));
    EXPECT_EQ(rows[0].ifType, 24);
    EXPECT_EQ(rows[1].ifType, 6);
    EXPECT_EQ(rows[1].ifIndex, 2);
    EXPECT_EQ(FormatMacAddress(rows[1].macAddress), "52-54-00-12-34-56");
    EXPECT_EQ(rows[3].ifType, 1);  // ARPHRD_NONE: other
    EXPECT_EQ(FormatMacAddress(rows[3].macAddress), "00-00-00-00-00-00");
    EXPECT_EQ(rows[4].ifType, 199);  // infiniband: the first six of twenty bytes
    EXPECT_EQ(FormatMacAddress(rows[4].macAddress), "80-00-02-08-fe-80");

    EXPECT_FALSE(ReadSysClassNet(FixtureDir() / "no_such_dir", links));

    std::vector<uint8_t> hw;
    EXPECT_TRUE(ParseHardwareAddressText("02:FC:00:00:00:01\n", hw));
    EXPECT_EQ(hw, (std::vector<uint8_t>{2, 0xfc, 0, 0, 0, 1}));
    EXPECT_TRUE(ParseHardwareAddressText("\n", hw));
    EXPECT_TRUE(hw.empty());
    EXPECT_FALSE(ParseHardwareAddressText("02:fc:00:00:00:0", hw));
    EXPECT_FALSE(ParseHardwareAddressText("02-fc-00-00-00-01", hw));
    EXPECT_FALSE(ParseHardwareAddressText(std::string(200, 'a'), hw));
}

TEST(AddressTable, RecordedAddressesAreOrderedByAddressWithMasks) {
    std::vector<AddressRecord> records;
    ASSERT_TRUE(ParseIpAddrShow(ReadFixture("ip_addr_show.txt"), records));
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[2].label, "eth0");
    auto rows = BuildAddressTable(records, {});
    ASSERT_EQ(rows.size(), 5u);
    std::vector<std::string> order;
    for (auto& r : rows) order.push_back(DottedAddress(r.address));
    EXPECT_EQ(order, (std::vector<std::string>{"10.8.0.6", "127.0.0.1", "172.16.0.9", "192.168.1.5", "192.168.1.10"}));
    EXPECT_EQ(DottedAddress(rows[4].netmask), "255.255.255.0");
    EXPECT_EQ(DottedAddress(rows[4].broadcast), "192.168.1.255");
    EXPECT_EQ(rows[4].ifIndex, 2);
    EXPECT_EQ(DottedAddress(rows[0].netmask), "255.255.255.255");
    EXPECT_EQ(DottedAddress(rows[1].netmask), "255.0.0.0");

    // A label with an alias suffix finds its link by name; an unknown one is dropped.
    std::vector<LinkRecord> links = {{"eth0", 7, 1, {}}};
    std::vector<AddressRecord> unplaced = {{"eth0:1", 0, MakeAddress(10, 0, 0, 1), 0, 0},
                                           {"ghost", 0, MakeAddress(10, 0, 0, 2), 0, 0}};
    rows = BuildAddressTable(unplaced, links);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].ifIndex, 7);

    EXPECT_FALSE(ParseIpAddrShow("2: eth0 inet 192.168.1.300/24\n", records));
    EXPECT_FALSE(ParseIpAddrShow("2: eth0 inet 192.168.1.3/33\n", records));
    EXPECT_FALSE(ParseIpAddrShow("x: eth0 inet 192.168.1.3/24\n", records));
    EXPECT_TRUE(ParseIpAddrShow("2: eth0 inet6 fe80::1/64 scope link\n", records));
    EXPECT_TRUE(records.empty());
}

TEST(LinuxTables, LiveMachineShowsLoopbackAndOurListener) {
    LinuxNetTables tables;
    AdapterList adapters;
    ASSERT_GT(DiscoverAdapters(tables, adapters), 0);
    auto lo = std::find_if(adapters.begin(), adapters.end(), [](const AdapterEntry& a) { return a.ifType == 24; });
    ASSERT_NE(lo, adapters.end());
    EXPECT_EQ(lo->address, MakeAddress(127, 0, 0, 1));
    EXPECT_EQ(lo->excluded, 1);

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    socklen_t len = sizeof sin;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len), 0);
    const int32_t port = ntohs(sin.sin_port);

    std::vector<NetEntry> rows;
    ASSERT_TRUE(tables.tcpConnections(rows));
    close(fd);
    auto it = std::find_if(rows.begin(), rows.end(), [&](const NetEntry& e) {
        return e.localAddress == MakeAddress(127, 0, 0, 1) && e.localPort == port;
    });
    ASSERT_NE(it, rows.end());
    EXPECT_EQ(it->state, kTcpListen);

    // The same reader pointed at a recorded copy: both tables, the dual-stack listener
    // that repeats an IPv4 one counted once.
    if (!LittleEndian()) return;
    LinuxNetTables recorded(FixtureDir() / "proc_net", FixtureDir() / "sys_class_net");
    ASSERT_TRUE(recorded.tcpConnections(rows));
    EXPECT_EQ(rows.size(), 16u);
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end(), [](const NetEntry& a, const NetEntry& b) {
        return ntohl(a.localAddress) < ntohl(b.localAddress);
    }));
    LinuxNetTables missing(FixtureDir() / "no_such_dir", FixtureDir());
    EXPECT_FALSE(missing.tcpConnections(rows));
}

}  // namespace
}  // namespace qd
