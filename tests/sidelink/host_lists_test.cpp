#include <gtest/gtest.h>

#include "fixture_source.h"
#include "platform/temp_dir.h"
#include "sidelink/host_lists.h"

namespace qd {
namespace {

const uint32_t kAny = 0, kMe = MakeAddress(192, 168, 1, 10), kClient = MakeAddress(192, 168, 1, 50);
const uint32_t kLo = MakeAddress(127, 0, 0, 1);

NetEntry Listen(uint32_t a, int32_t p, int32_t remotePort = 0) { return {kTcpListen, a, p, 0, remotePort}; }
NetEntry Est(uint32_t la, int32_t lp, uint32_t ra, int32_t rp) { return {kTcpEstablished, la, lp, ra, rp}; }

class HostListsTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::filesystem::create_directories(tmp.path() / "quarneld");
        const std::array<uint8_t, 6> mac{0x52, 0x54, 0, 0x12, 0x34, 0x56};
        s.adapterList = {{1, "lo", 24, {}, kLo, MakeAddress(255, 0, 0, 0), 1, 0, 1},
                         {2, "eth0", 6, mac, kMe, MakeAddress(255, 255, 255, 0), 0, 0, 1}};
    }
    std::string File() { return tmp.read("quarneld/xconnect.txt"); }
    void Table(std::vector<NetEntry> rows) { source.tcpTables.emplace_back(std::move(rows)); }
    std::pair<int, int> Ports() { return {s.hostPort1(), s.hostPort2()}; }

    testing::TempDir tmp;
    test::ScriptedSource source;
    SideLinkState s{source, tmp.path()};
};

TEST_F(HostListsTest, SessionOpeningWritesTheListFileInItsLayout) {
    source.host = {"gamehost", true, {kMe, MakeAddress(10, 0, 0, 7)}, {"gamehost.lan"}};
    const std::vector<NetEntry> before = {Listen(kAny, 22, 4711), Est(kMe, 22, MakeAddress(192, 168, 1, 77), 51514)};
    Table(before);
    ASSERT_EQ(s.BuildIgnoreList(), 0);
    EXPECT_EQ(std::pair(s.hostAddressText(), s.hostAddress()), std::pair(std::string("192.168.1.10"), kMe));
    // The enumeration listener is ignored although it did not exist yet.
    ASSERT_EQ(s.ignoreList().size(), 3u);
    EXPECT_EQ(s.ignoreList()[2], Listen(kAny, 47624));

    auto after = before;
    after.insert(after.end(), {Listen(kAny, 2300), Listen(kAny, 47624), Listen(kAny, 2301)});
    Table(after);
    EXPECT_EQ(s.RecordHostPorts(), 0);
    EXPECT_EQ(Ports(), std::pair(2301, 2300));  // the table is visited from its end

    auto playing = after;
    playing.insert(playing.end(), {Est(kMe, 40000, kClient, 2350), Est(kMe, 2300, kClient, 2351)});
    Table(playing);
    EXPECT_EQ(s.GetPort(), 0);
    Table(after);
    EXPECT_EQ(s.GetPort(), 0);
    EXPECT_TRUE(s.portList().empty());

    EXPECT_EQ(File(),
              "Ignored sockets\n\n"
              "0.0.0.0:22             0.0.0.0:0              LISTENING\n"
              "192.168.1.10:22        192.168.1.77:51514     ESTABLISHED\n"
              "0.0.0.0:47624          0.0.0.0:0              LISTENING\n"
              "\n\n"
              "Host IP's and names\n\n"
              "192.168.1.10        gamehost\n"
              "10.0.0.7            gamehost\n"
              "\n\n"
              "Aliases\n\n"
              "gamehost.lan\n"
              "\n\n"
              "QUARNELD ports\n\n"
              "0.0.0.0:2300           0.0.0.0:0              LISTENING\n"
              "0.0.0.0:2301           0.0.0.0:0              LISTENING\n"
              "\n\n"
              "Connection info\n\n"
              "192.168.1.10:40000     192.168.1.50:2350      ESTABLISHED\n"
              "\n\n");
}

TEST_F(HostListsTest, EmptyListsWriteOnlyTheirHeadings) {
    source.host = {"lonely", false, {}, {}};
    s.adapterList.clear();
    Table({Listen(kAny, 47624)});
    ASSERT_EQ(s.BuildIgnoreList(), 0);
    EXPECT_EQ(s.hostAddressText(), "127.0.0.1");
    EXPECT_EQ(s.ignoreList().size(), 1u);  // present already: not added twice
    Table({Listen(kAny, 47624)});
    s.RecordHostPorts();
    EXPECT_EQ(Ports(), std::pair(0, 0));
    Table({});
    s.GetPort();
    EXPECT_EQ(File(),
              "Ignored sockets\n\n"
              "0.0.0.0:47624          0.0.0.0:0              LISTENING\n"
              "\n\n"
              "Host IP's and names\n\n"
              "(not resolved)      lonely\n"
              "\n\n"
              "Aliases\n\n"
              "\n\n"
              "QUARNELD ports\n\n"
              "Connection info\n\n");
}

TEST_F(HostListsTest, IgnoredListenerHidesItsAddressAndPortOtherEntriesOnlyTheirTuple) {
    Table({Listen(kMe, 2300), Est(kMe, 4000, kClient, 2400)});
    s.BuildIgnoreList();
    Table({
        Est(kMe, 2300, MakeAddress(9, 9, 9, 9), 2345),  // hidden by the listener
        Est(kAny, 2300, kClient, 2345),                 // another local address
        Est(kMe, 4000, kClient, 2400),                  // the exact ignored tuple
        Est(kMe, 4000, kClient, 2401),                  // another remote port
        Est(kMe, 4001, kClient, 2400),                  // another local port
    });
    ASSERT_EQ(s.BuildNewNetList(), 0);
    EXPECT_EQ(s.newList(), (std::vector<NetEntry>{Est(kAny, 2300, kClient, 2345), Est(kMe, 4000, kClient, 2401),
                                                  Est(kMe, 4001, kClient, 2400)}));
    EXPECT_EQ(s.BuildNewNetList(), 1);
    EXPECT_TRUE(s.newList().empty());

    // An opening that failed and is tried again keeps the earlier connections ignored.
    const std::vector<NetEntry> existing = {Est(kMe, 22, kClient, 2000), Est(kMe, 40000, kClient, 2350)};
    for (int opening = 0; opening < 2; ++opening) {
        Table(existing);
        s.BuildIgnoreList();
    }
    EXPECT_EQ(s.ignoreList().size(), 3u);
    Table(existing);
    s.GetPort();
    EXPECT_TRUE(s.portList().empty());
}

TEST_F(HostListsTest, PortListKeepsOnlyEstablishedClientConnectionsInRange) {
    Table({});  // a session opening with nothing to ignore
    ASSERT_EQ(s.BuildIgnoreList(), 0);
    Table({Listen(kAny, 2300), Listen(kAny, 2301)});
    s.RecordHostPorts();
    ASSERT_EQ(Ports(), std::pair(2301, 2300));
    Table({
        Est(kMe, 40000, kClient, 1024),
        Est(kMe, 40001, kClient, 5000),
        Est(kMe, 40002, kClient, 1023),
        Est(kMe, 40003, kClient, 5001),
        Est(kMe, 3782, kClient, 2350),
        Est(kMe, 40004, kClient, 3782),
        Est(kMe, 2300, kClient, 2350),
        Est(kMe, 40005, kMe, 2300),  // the host's own session port
        Est(kMe, 40006, kMe, 2302),
        NetEntry{kTcpTimeWait, kMe, 40007, kClient, 2350},
        NetEntry{kTcpSynSent, kMe, 40009, kClient, 2350},
        Est(kMe, 40008, kClient, 2352),
        // A client on the host's own machine shows its stream to the host from both
        // ends; only the host's own stream to the client's port 2350 leads to the client.
        Est(kLo, 50000, kLo, 2300),
        Est(kLo, 2300, kLo, 50000),
        Est(kMe, 50001, kMe, 2301),
        Est(kLo, 40010, kLo, 2350),
    });
    ASSERT_EQ(s.GetPort(), 0);
    std::vector<int32_t> kept;
    for (auto& e : s.portList()) kept.push_back(e.localPort);
    EXPECT_EQ(kept, (std::vector<int32_t>{40000, 40001, 40006, 40008, 40010}));
    // An unreadable table keeps the previous list for the next attempt.
    EXPECT_EQ(s.GetPort(), 1);
    EXPECT_EQ(s.portList().size(), 5u);
    // The widest line, and a listener's remote port shown as 0.
    EXPECT_EQ(FormatNetEntryLine({kTcpListen, MakeAddress(255, 255, 255, 255), 65535, MakeAddress(1, 2, 3, 4), 999}),
              "255.255.255.255:65535  1.2.3.4:0              LISTENING\n");
}

}  // namespace
}  // namespace qd
