#include <gtest/gtest.h>

#include "fixture_source.h"
#include "sidelink/adapter_discovery.h"

namespace qd {
namespace {

using test::ScriptedSource;

TEST(DiscoverAdapters, RecordedMachineJoinsAddressesAndExcludesLoopback) {
    ScriptedSource source;
    source.LoadRecordedAdapters();
    AdapterList list;
    ASSERT_EQ(DiscoverAdapters(source, list), 4);  // wlan0 has no IPv4 address
    std::vector<std::string> names;
    for (auto& a : list) names.push_back(a.description);
    EXPECT_EQ(names, (std::vector<std::string>{"lo", "eth0", "tun0", "ib0"}));

    EXPECT_EQ(list[0].excluded, 1);
    EXPECT_EQ(list[0].ifType, 24);
    // eth0 has two addresses; the later one of the address table wins.
    EXPECT_EQ(DottedAddress(list[1].address), "192.168.1.10");
    EXPECT_EQ(DottedAddress(list[1].netmask), "255.255.255.0");
    EXPECT_EQ(list[1].excluded, 0);
    EXPECT_EQ(list[1].hasAddress, 1);
    EXPECT_EQ(list[1].ignored, 0);

    AdapterReport report = SummarizeAdapters(list);
    EXPECT_EQ(report.announcedAddress, "192.168.1.10");
    EXPECT_FALSE(report.loopbackFallback);
    ASSERT_EQ(report.adapters.size(), 4u);
    EXPECT_TRUE(report.adapters[0].excluded);
    EXPECT_FALSE(report.adapters[0].announced);
    EXPECT_TRUE(report.adapters[1].announced);
    EXPECT_EQ(report.adapters[1].macAddress, "52-54-00-12-34-56");

    // The user ignores eth0: the next usable adapter is announced.
    list[1].ignored = 1;
    report = SummarizeAdapters(list);
    EXPECT_TRUE(report.adapters[1].ignored);
    EXPECT_TRUE(report.adapters[2].announced);
    EXPECT_EQ(report.announcedAddress, "10.8.0.6");

    // Nothing usable left: loopback.
    list[2].ignored = list[3].ignored = 1;
    report = SummarizeAdapters(list);
    EXPECT_EQ(report.announcedAddress, "127.0.0.1");
    EXPECT_TRUE(report.loopbackFallback);
}

TEST(DiscoverAdapters, DialUpAndBroadcastAdaptersAreExcludedAndFailuresLeaveNothingUsable) {
    ScriptedSource source;
    source.interfaceRows = {
        {1, "ppp0", 23, {0x44, 0x45, 0x53, 0x54, 0x61, 0x70}},
        {2, "odd0", 6, {2, 0, 0, 0, 0, 9}},
        {3, "eth1", 6, {2, 0, 0, 0, 0, 3}},
    };
    source.addressRows = {
        {MakeAddress(10, 1, 1, 1), 1, MakeAddress(255, 0, 0, 0), 0},
        {MakeAddress(255, 255, 255, 255), 2, 0, 0},
        {MakeAddress(10, 2, 2, 2), 3, MakeAddress(255, 255, 0, 0), 0},
        {MakeAddress(10, 3, 3, 3), 99, 0, 0},  // no such interface
    };
    AdapterList list;
    ASSERT_EQ(DiscoverAdapters(source, list), 3);
    EXPECT_EQ(list[0].excluded, 1);
    EXPECT_EQ(list[1].excluded, 1);
    EXPECT_EQ(list[2].excluded, 0);
    EXPECT_EQ(ChooseHostAddress(list).adapterIndex, 2);

    // A rebuild starts from an empty list; a failed table read counts 0.
    source.addressesFail = true;
    std::string failure;
    EXPECT_EQ(DiscoverAdapters(source, list, &failure), 0);
    EXPECT_EQ(failure, "the IPv4 address table could not be read");
    EXPECT_EQ(ChooseHostAddress(list).address, MakeAddress(127, 0, 0, 1));
    source.interfacesFail = true;
    EXPECT_EQ(DiscoverAdapters(source, list), 0);
    EXPECT_TRUE(list.empty());
    EXPECT_TRUE(SummarizeAdapters(list).loopbackFallback);
    source.interfacesFail = source.addressesFail = false;
    EXPECT_EQ(DiscoverAdapters(source, list, &failure), 3);
    EXPECT_TRUE(failure.empty());
}

}  // namespace
}  // namespace qd
