// The network tables from recorded Linux sources, and the adapters discovery makes of them.
#include <algorithm>
#include <bit>

#include "fixture_source.h"
#include "platform/host_process.h"
#include "sidelink/adapter_discovery.h"

namespace qd {
namespace {

using test::FixtureDir;
using test::ReadFixture;

// The fixtures were recorded on a little-endian machine; the kernel's address words are
// only meaningful on a machine of the same byte order.
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

TEST(ProcNetTcp, RecordedTablesGiveMibStatesInIndexOrder) {
    if (!kLittleEndian) GTEST_SKIP() << "fixtures recorded on a little-endian machine";
    const TcpParseResult r = ParseProcNetTcp(ReadFixture("proc_net/tcp"));
    EXPECT_EQ(r.rejectedLines, 0u);
    EXPECT_FALSE(r.truncated);
    const uint32_t any = 0, lo = MakeAddress(127, 0, 0, 1), me = MakeAddress(192, 168, 1, 10);
    const uint32_t peer = MakeAddress(192, 168, 1, 50), web = MakeAddress(93, 184, 216, 34);
    EXPECT_EQ(r.rows, (std::vector<NetEntry>{
                          {kTcpListen, any, 2300, any, 0},
                          {kTcpListen, any, 47624, any, 0},
                          {kTcpListen, lo, 631, any, 0},
                          {kTcpCloseWait, lo, 8080, lo, 41968},
                          {kTcpEstablished, me, 22, MakeAddress(192, 168, 1, 77), 51514},
                          {kTcpSynReceived, me, 2300, MakeAddress(192, 168, 1, 60), 3001},
                          {kTcpEstablished, me, 2350, peer, 2301},
                          {kTcpTimeWait, me, 49152, peer, 2302},
                          {kTcpFinWait1, me, 50000, web, 443},
                          {kTcpFinWait2, me, 50001, web, 443},
                          {kTcpLastAck, me, 50002, web, 443},
                          {kTcpClosing, me, 50003, web, 443},
                          {kTcpClosed, me, 50004, web, 443},
                          {kTcpSynSent, me, 54321, MakeAddress(10, 11, 12, 13), 80},
                      }));
    // Dual-stack sockets with IPv4 peers join the table ("::" is reached by IPv4 peers
    // too); other IPv6 rows are left out.
    const TcpParseResult r6 = ParseProcNetTcp6(ReadFixture("proc_net/tcp6"));
    EXPECT_EQ(r6.rejectedLines, 0u);
    EXPECT_EQ(r6.rows, (std::vector<NetEntry>{{kTcpListen, any, 2300, any, 0},
                                              {kTcpTimeWait, lo, 8081, lo, 41000},
                                              {kTcpEstablished, me, 40000, peer, 2350}}));
    const int32_t states[] = {0, 5, 3, 4, 6, 7, 11, 1, 8, 9, 2, 10, 4, 0};
    for (unsigned s = 0; s < std::size(states); ++s) EXPECT_EQ(TcpStateFromLinux(s), states[s]) << s;
}

TEST(ProcNetTcp, MalformedLinesAreRefusedAndTheRestKept) {
    const std::string good = "   1: 0100007F:0CEA 00000000:0000 0A 00000000:00000000 00:00000000 00000000 0 0 1 1\n";
    const std::string text =
        "  sl  local_address rem_address   st tx_queue\n" + good +
        "   2: 0100007F:0CEA 00000000:0000 0D 0 0\n"          // state 13 does not exist
        "   3: 0100007F:0CEA 00000000:0000 00 0 0\n"          // nor does state 0
        "   4: 0100007F:CEA 00000000:0000 0A 0 0\n"           // short port
        "   6: 0100007G:0CEA 00000000:0000 0A 0 0\n"          // not hexadecimal
        "  77 0100007F:0CEA 00000000:0000 0A 0 0\n"           // slot without colon
        "   8: 0100007F-0CEA 00000000:0000 0A 0 0\n"          // no separator
        "   9: 0100007F:0CEA 00000000:0000\n"                 // no state
        "  sl  local_address rem_address   st tx_queue\n"     // a header only heads the table
        "  10: 0100007F:0CEA 00000000:0000 0A" + std::string(600, ' ') + "x\n"  // too long
        "\n"
        "  11: 0100007F:0CEB 00000000:0000 0a";               // last line without line end, lower case
    const TcpParseResult r = ParseProcNetTcp(text);
    EXPECT_EQ(r.rejectedLines, 9u);
    ASSERT_EQ(r.rows.size(), 2u);
    EXPECT_EQ(r.rows[0].localPort, 0x0CEA);
    EXPECT_EQ(r.rows[1].localPort, 0x0CEB);
    EXPECT_EQ(r.rows[1].state, kTcpListen);
    // A four-tuple the table index cannot hold twice (SO_REUSEPORT listeners) stays once.
    EXPECT_EQ(ParseProcNetTcp(good + good).rows.size(), 1u);
    EXPECT_TRUE(ParseProcNetTcp("").rows.empty());
    // An IPv4 line is malformed in the IPv6 table and the other way round.
    const std::string zeros(32, '0');
    EXPECT_EQ(ParseProcNetTcp6("   0: " + zeros + "-08FC " + zeros + ":0000 0A\n").rejectedLines, 1u);
    EXPECT_EQ(ParseProcNetTcp6("   0: 0100007F:0CEA 00000000:0000 0A\n").rejectedLines, 1u);
    EXPECT_EQ(ParseProcNetTcp("   0: " + zeros + ":08FC " + zeros + ":0000 0A\n").rejectedLines, 1u);
}

// What `quarneld check` shows of each adapter, one line each, then the announced address.
std::vector<std::string> Report(const AdapterList& list) {
    const AdapterReport r = SummarizeAdapters(list);
    std::vector<std::string> out;
    for (const auto& a : r.adapters)
        out.push_back(a.description + " " + std::to_string(a.ifType) + " " + a.macAddress + " " + a.address + "/" +
                      a.netmask + (a.ignored ? " ignored" : "") + (a.excluded ? " excluded" : "") +
                      (a.announced ? " announced" : ""));
    out.push_back(r.announcedAddress + (r.loopbackFallback ? " fallback" : ""));
    return out;
}

TEST(RecordedTables, InterfacesInIndexOrderAddressesByAddressAndTheAdaptersOfThem) {
    std::vector<LinkRecord> links;
    ASSERT_TRUE(ReadSysClassNet(FixtureDir() / "sys_class_net", links));
    std::vector<std::string> rows;
    for (const auto& r : BuildInterfaceTable(links))
        rows.push_back(std::to_string(r.ifIndex) + " " + r.description + " " + std::to_string(r.ifType) + " " +
                       FormatMacAddress(r.macAddress));
    // "broken" has no type file and is left out; ARPHRD_NONE is "other"; an infiniband
    // address gives its first six of twenty bytes.
    EXPECT_EQ(rows, (std::vector<std::string>{"1 lo 24 00-00-00-00-00-00", "2 eth0 6 52-54-00-12-34-56",
                                              "3 wlan0 6 a4-c3-f0-01-02-03", "4 tun0 1 00-00-00-00-00-00",
                                              "5 ib0 199 80-00-02-08-fe-80"}));
    std::vector<uint8_t> hw;
    EXPECT_TRUE(ParseHardwareAddressText("02:FC:00:00:00:01\n", hw));
    EXPECT_EQ(hw, (std::vector<uint8_t>{2, 0xfc, 0, 0, 0, 1}));
    for (const char* bad : {"02:fc:00:00:00:0", "02-fc-00-00-00-01"})
        EXPECT_FALSE(ParseHardwareAddressText(bad, hw)) << bad;
    EXPECT_FALSE(ParseHardwareAddressText(std::string(200, 'a'), hw));

    std::vector<AddressRecord> records;
    ASSERT_TRUE(ParseIpAddrShow(ReadFixture("ip_addr_show.txt"), records));
    ASSERT_EQ(records.size(), 5u);
    EXPECT_EQ(records[2].label, "eth0");
    rows.clear();
    for (const auto& r : BuildAddressTable(records, {}))
        rows.push_back(DottedAddress(r.address) + "/" + DottedAddress(r.netmask) + " " + DottedAddress(r.broadcast) +
                       " " + std::to_string(r.ifIndex));
    EXPECT_EQ(rows, (std::vector<std::string>{"10.8.0.6/255.255.255.255 0.0.0.0 4", "127.0.0.1/255.0.0.0 0.0.0.0 1",
                                              "172.16.0.9/255.255.0.0 172.16.255.255 5",
                                              "192.168.1.5/255.255.255.0 192.168.1.255 2",
                                              "192.168.1.10/255.255.255.0 192.168.1.255 2"}));

    // The adapters of this machine: eth0's later address wins; wlan0 has none.
    test::ScriptedSource source;
    source.addressRows = BuildAddressTable(records, links);
    source.interfaceRows = BuildInterfaceTable(links);
    AdapterList list;
    ASSERT_EQ(DiscoverAdapters(source, list), 4);
    EXPECT_EQ(Report(list), (std::vector<std::string>{"lo 24 00-00-00-00-00-00 127.0.0.1/255.0.0.0 excluded",
                                                      "eth0 6 52-54-00-12-34-56 192.168.1.10/255.255.255.0 announced",
                                                      "tun0 1 00-00-00-00-00-00 10.8.0.6/255.255.255.255",
                                                      "ib0 199 80-00-02-08-fe-80 172.16.0.9/255.255.0.0",
                                                      "192.168.1.10"}));
    // The user ignores eth0: the next usable adapter is announced; nothing usable left: loopback.
    list[1].ignored = 1;
    EXPECT_EQ(Report(list)[2], "tun0 1 00-00-00-00-00-00 10.8.0.6/255.255.255.255 announced");
    list[2].ignored = list[3].ignored = 1;
    EXPECT_EQ(Report(list).back(), "127.0.0.1 fallback");
    std::string failure;
    source.addressesFail = true;
    EXPECT_EQ(DiscoverAdapters(source, list, &failure), 0);
    EXPECT_EQ(failure, "the IPv4 address table could not be read");
    EXPECT_FALSE(ReadSysClassNet(FixtureDir() / "no_such_dir", links));
    // A label with an alias suffix finds its link by name; an unknown one is dropped.
    const auto placed = BuildAddressTable({{"eth0:1", 0, MakeAddress(10, 0, 0, 1), 0, 0},
                                           {"ghost", 0, MakeAddress(10, 0, 0, 2), 0, 0}},
                                          {{"eth0", 7, 1, {}}});
    ASSERT_EQ(placed.size(), 1u);
    EXPECT_EQ(placed[0].ifIndex, 7);
    for (const char* bad : {"2: eth0 inet 192.168.1.300/24\n", "2: eth0 inet 192.168.1.3/33\n",
                            "x: eth0 inet 192.168.1.3/24\n", "12 eth0 inet 192.168.1.3/24\n"})
        EXPECT_FALSE(ParseIpAddrShow(bad, records)) << bad;
    EXPECT_TRUE(ParseIpAddrShow("2: eth0 inet6 fe80::1/64 scope link\n", records));
    EXPECT_TRUE(records.empty());
}

// The reader pointed at a recorded copy (this machine's: the road, host_road_test): both
// tables, the dual-stack listener that repeats an IPv4 one counted once.
TEST(LinuxTables, RecordedTablesReadWhole) {
    if (!kLittleEndian) GTEST_SKIP() << "fixtures recorded on a little-endian machine";
    std::vector<NetEntry> rows;
    LinuxNetTables recorded(FixtureDir() / "proc_net", FixtureDir() / "sys_class_net");
    ASSERT_TRUE(recorded.tcpConnections(rows));
    EXPECT_EQ(rows.size(), 16u);
    EXPECT_TRUE(std::is_sorted(rows.begin(), rows.end(), [](const NetEntry& a, const NetEntry& b) {
        return ntohl(a.localAddress) < ntohl(b.localAddress);
    }));
    EXPECT_FALSE(LinuxNetTables(FixtureDir() / "no_such_dir", FixtureDir()).tcpConnections(rows));
}

}  // namespace
}  // namespace qd
