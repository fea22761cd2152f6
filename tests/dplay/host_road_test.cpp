// The road of a client through the real host process, over real sockets: quarneld runs
// the sample session on 127.0.0.1 and the independent Python client plays two machines.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
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

#include "session/dptypes.h"
#include "platform/host_process.h"
#include "tshark_check.h"

namespace qd {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::freePort;
using testing::HostProcess;

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

// A service manager's notify socket of the test's own: what the host tells systemd.
class NotifySocket {
public:
    explicit NotifySocket(const fs::path& path) : path_(path) {
        fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        bound_ = path.string().size() < sizeof a.sun_path &&
                 ::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~NotifySocket() {
        ::close(fd_);
        ::unlink(path_.c_str());
    }
    bool bound() const { return bound_; }
    // The next message, or "" when none comes within the limit.
    std::string next(std::chrono::milliseconds limit) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, int(limit.count())) != 1) return {};
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, std::size_t(n)) : std::string();
    }

private:
    fs::path path_;
    int fd_ = -1;
    bool bound_ = false;
};

bool tcpAccepts(uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
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
    // Run as systemd runs it: a notify socket, and the output taken for the journal.
    NotifySocket notify(work / "notify");
    ASSERT_TRUE(notify.bound());
    HostProcess host;
    ASSERT_TRUE(host.start({binary, "run", "--workdir", work.string(), "--bind", "127.0.0.1", "--enum-port",
                            std::to_string(enumPort), "--dplay-port", std::to_string(dplayPort), "--console",
                            "127.0.0.1:" + std::to_string(consolePort), "--console-token-file",
                            (work / "console.token").string(), "--instance-name", "quarneld-road-" + tag},
                           {{"NOTIFY_SOCKET", (work / "notify").string()}, {"JOURNAL_STREAM", "@output"}}));
    // Ready only once the enumeration and stream ports accept.
    const std::string ready = notify.next(15s);
    ASSERT_EQ(ready.rfind("READY=1\n", 0), 0u) << ready << "\n" << host.output();
    EXPECT_TRUE(tcpAccepts(enumPort));
    EXPECT_TRUE(tcpAccepts(dplayPort));
    EXPECT_TRUE(tcpAccepts(consolePort));
    ASSERT_TRUE(host.waitFor("<6>quarneld: session open; DirectPlay enumeration on 127.0.0.1:" +
                             std::to_string(enumPort), 5s))
        << host.output();
    EXPECT_NE(host.output().find("stream port " + std::to_string(dplayPort)), std::string::npos) << host.output();
    // The journal gets the console's address, not its token.
    EXPECT_NE(host.output().find("<6>Console: http://127.0.0.1:" + std::to_string(consolePort) + "/ (its token is in " +
                                 (work / "console.token").string() + ")\n"),
              std::string::npos)
        << host.output();
    EXPECT_EQ(host.output().find(token), std::string::npos);

    const fs::path pcap = fs::path(QUARNELD_BINARY_DIR) / ("dplay_road_frames-" + tag + ".pcap");
    const fs::path log = work / "client.log";
    const std::string command = "timeout 50 python3 " QUARNELD_SOURCE_DIR "/tests/dplay/client.py --road --host 127.0.0.1"
                                " --enum-port " + std::to_string(enumPort) + " --app '" + kGuidCfs2.toString() +
                                "' --workdir '" + work.string() + "' --console-port " + std::to_string(consolePort) +
                                " --console-token " + token + " --pcap '" + pcap.string() + "' --metrics-out '" +
                                (work / "metrics.txt").string() + "' > '" + log.string() + "' 2>&1";
    EXPECT_EQ(shell(command), 0) << command << "\n--- client:\n" << readFile(log) << "--- host:\n" << host.output();
    std::printf("%s", readFile(log).c_str());

    EXPECT_EQ(host.terminate(10s), 0) << host.output();
    EXPECT_EQ(notify.next(1s).rfind("STOPPING=1\n", 0), 0u);
#ifdef QUARNELD_PROMTOOL
    // Prometheus's own checker reads the metrics the client scraped while it played.
    EXPECT_EQ(shell(QUARNELD_PROMTOOL " check metrics < '" + (work / "metrics.txt").string() + "' > '" +
                    (work / "promtool.log").string() + "' 2>&1"),
              0)
        << readFile(work / "promtool.log") << readFile(work / "metrics.txt");
#else
    std::printf("promtool not found: metrics format check skipped\n");
#endif
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
