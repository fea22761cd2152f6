// The road of a client through the real host process, over real sockets: quarneld runs
// the sample session on 127.0.0.1 and the independent Python client plays two machines.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <sstream>
#include <thread>

#include "platform/host_process.h"
#include "session/dptypes.h"
#include "tshark_check.h"

namespace qd {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::HostProcess;
using testing::freePort;

int shell(const std::string& command) {
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A copy of the sample working directory, with the target the client shoots made quick to
// destroy.
fs::path sampleCopy(const std::string& tag) {
    const fs::path dir = fs::temp_directory_path() / ("quarneld-road-" + tag);
    fs::remove_all(dir);
    fs::copy(QUARNELD_SOURCE_DIR "/sample", dir, fs::copy_options::recursive);
    const fs::path cfg = dir / "quarneld/configs/Default.cfg";
    std::ifstream in(cfg, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    in.close();
    const std::string from = "NAME=Tug Henderson\r\n", fromLf = "NAME=Tug Henderson\n";
    std::size_t at = text.find(fromLf);
    if (at == std::string::npos) at = text.find(from);
    if (at != std::string::npos) {
        const std::size_t life = text.find("LIFE_POINTS=800", at);
        if (life != std::string::npos) text.replace(life, 15, "LIFE_POINTS=100");
    }
    std::ofstream(cfg, std::ios::binary) << text;
    return dir;
}

std::string readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(HostRoad, ScriptedClientsThroughTheRealHost) {
    if (shell("python3 --version > /dev/null 2>&1") != 0) GTEST_SKIP() << "python3 not installed";
    const std::string binary = QUARNELD_BINARY_DIR "/quarneld";
    ASSERT_TRUE(fs::exists(binary)) << binary << " is not built";
    const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(std::random_device{}() % 100000);
    const fs::path work = sampleCopy(tag);
    ASSERT_NE(readFile(work / "quarneld/configs/Default.cfg").find("LIFE_POINTS=100"), std::string::npos);
    const std::string token = "roadtoken" + std::to_string(std::random_device{}()) + "abcdefgh";
    std::ofstream(work / "console.token") << token << "\n";

    const uint16_t enumPort = freePort(), dplayPort = freePort(), consolePort = freePort();
    ASSERT_TRUE(enumPort && dplayPort && consolePort);
    HostProcess host;
    ASSERT_TRUE(host.start({binary, "run", "--workdir", work.string(), "--bind", "127.0.0.1", "--enum-port",
                            std::to_string(enumPort), "--dplay-port", std::to_string(dplayPort), "--console",
                            "127.0.0.1:" + std::to_string(consolePort), "--console-token-file",
                            (work / "console.token").string(), "--instance-name", "quarneld-road-" + tag}));
    ASSERT_TRUE(host.waitFor("quarneld: session open; DirectPlay enumeration on 127.0.0.1:" + std::to_string(enumPort),
                             15s))
        << host.output();
    EXPECT_NE(host.output().find("stream port " + std::to_string(dplayPort)), std::string::npos) << host.output();

    const fs::path pcap = fs::path(QUARNELD_BINARY_DIR) / ("dplay_road_frames-" + tag + ".pcap");
    const fs::path log = work / "client.log";
    const std::string command = "timeout 50 python3 " QUARNELD_SOURCE_DIR "/tests/dplay/client.py --road --host 127.0.0.1"
                                " --enum-port " + std::to_string(enumPort) + " --app '" + kGuidCfs2.toString() +
                                "' --workdir '" + work.string() + "' --console-port " + std::to_string(consolePort) +
                                " --console-token " + token + " --pcap '" + pcap.string() + "' > '" + log.string() +
                                "' 2>&1";
    EXPECT_EQ(shell(command), 0) << command << "\n--- client:\n" << readFile(log) << "--- host:\n" << host.output();
    std::printf("%s", readFile(log).c_str());

    EXPECT_EQ(host.terminate(10s), 0) << host.output();
    // Nothing went wrong that the host would log.
    const std::string errors = readFile(work / "quarneld/qdlerror.txt");
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
    fs::remove_all(work);
}

}  // namespace
}  // namespace qd
