// The road of a client through the real host process, over real sockets: quarneld runs
// the sample session on 127.0.0.1 and the independent Python client plays two machines.
#include <cstdio>
#include <sstream>

#include "host_process.h"
#include "tshark_check.h"

namespace qd {
namespace {

using namespace qd::test;

// The target the client shoots is made quick to destroy.
void quickTarget(const fs::path& work) {
    const fs::path cfg = work / "quarneld/configs/Default.cfg";
    std::string text = readFile(cfg);
    std::size_t at = text.find("NAME=Tug Henderson\n");
    if (at == std::string::npos) at = text.find("NAME=Tug Henderson\r\n");
    if (at != std::string::npos) {
        const std::size_t life = text.find("LIFE_POINTS=800", at);
        if (life != std::string::npos) text.replace(life, 15, "LIFE_POINTS=100");
    }
    std::ofstream(cfg, std::ios::binary) << text;
}

TEST(HostRoad, ScriptedClientsThroughTheRealHost) {
    if (shell("python3 --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not installed";
    SampleHost host;
    ASSERT_TRUE(host.start(quickTarget));
    ASSERT_NE(readFile(host.work.path() / "quarneld/configs/Default.cfg").find("LIFE_POINTS=100"), std::string::npos);
    EXPECT_NE(host.process.output().find("stream port " + std::to_string(host.dplayPort)), std::string::npos)
        << host.process.output();

    const fs::path pcap = fs::path(QUARNELD_BINARY_DIR) / ("dplay_road_frames-" + host.tag + ".pcap");
    const fs::path log = host.work.path() / "client.log";
    const std::string command = "timeout 50 python3 " QUARNELD_SOURCE_DIR "/tests/dplay/client.py --road" +
                                host.clientArgs() + " --pcap '" + pcap.string() + "' > '" + log.string() + "' 2>&1";
    EXPECT_EQ(shell(command), 0) << command << "\n--- client:\n" << readFile(log) << "--- host:\n"
                                 << host.process.output();
    std::printf("%s", readFile(log).c_str());

    EXPECT_EQ(host.process.terminate(10s), 0) << host.process.output();
    // Nothing went wrong that the host would log.
    const std::string errors = host.errorLog();
    EXPECT_EQ(errors.find("rror"), std::string::npos) << errors;

    // Wireshark reads every system message the clients received from the host as the
    // client read it: command, dialect, player count and session name.
    if (dplay::tshark::installed()) {
        const auto wireshark = dplay::tshark::read(pcap.string());
        ASSERT_TRUE(wireshark.ran) << pcap;
        for (const auto& [frame, line] : wireshark.complaints) ADD_FAILURE() << "tshark, frame " << frame << ": " << line;
        std::istringstream expect(readFile(pcap.string() + ".expect"));
        std::size_t i = 0;
        for (std::string line; std::getline(expect, line); ++i) {
            ASSERT_LT(i, wireshark.rows.size());
            const auto& row = wireshark.rows[i];
            EXPECT_EQ(row.command + "|" + row.version + "|" + row.players + "|" + row.sessionName, line)
                << "frame " << i + 1 << " " << row.protocols;
        }
        EXPECT_EQ(i, wireshark.rows.size());
        EXPECT_GT(i, 20u);
        // Player messages carry no envelope; Wireshark's heuristic claims only some of them,
        // but none may read as broken.
        const auto players = dplay::tshark::read(pcap.string() + ".player");
        ASSERT_TRUE(players.ran);
        for (const auto& [frame, line] : players.complaints)
            ADD_FAILURE() << "tshark, player frame " << frame << ": " << line;
        std::printf("tshark: %zu system messages and %zu player messages from the host read cleanly\n", i,
                    players.rows.size());
    } else {
        std::printf("tshark not installed: Wireshark check skipped\n");
    }
}

}  // namespace
}  // namespace qd
