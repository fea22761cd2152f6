// The real host process on the sample session, over loopback: the road (tests/dplay/client.py
// --road, Wireshark reading what its clients received) and the attacks (tests/dplay/attacks.py).
#include <poll.h>
#include <sys/un.h>

#include <cstdio>

#include "platform/host_process.h"

namespace qd {
namespace {

using namespace qd::test;

// A script of tests/dplay played against the host: it must exit 0.
void play(const SampleHost& host, const std::string& script) {
    const fs::path log = host.work.path() / "script.log";
    const int status = shell("timeout 100 python3 " QUARNELD_SOURCE_DIR "/tests/dplay/" + script + host.clientArgs() +
                             " > '" + log.string() + "' 2>&1");
    EXPECT_EQ(status, 0) << script << "\n" << host.work.read(log) << "--- host:\n" << host.process.output();
}

// A service manager's notify socket of the test's own: what the host tells systemd.
struct NotifySocket {
    fs::path path;
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    bool bind() const {
        sockaddr_un a{.sun_family = AF_UNIX, .sun_path = {}};
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        return path.string().size() < sizeof a.sun_path && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    ~NotifySocket() {
        ::close(fd);
        ::unlink(path.c_str());
    }
    // The next message, or "" when none comes within the limit.
    std::string next(std::chrono::milliseconds limit) const {
        pollfd p{fd, POLLIN, 0};
        char buf[4096];
        const ssize_t n = ::poll(&p, 1, int(limit.count())) == 1 ? ::recv(fd, buf, sizeof buf, 0) : 0;
        return std::string(buf, std::size_t(std::max<ssize_t>(n, 0)));
    }
};

TEST(HostRoad, ScriptedClientsThroughTheRealHost) {
    // Run as systemd runs it: a notify socket, and the output taken for the journal.
    SampleHost host;
    const NotifySocket notify{fs::temp_directory_path() / ("quarneld-notify-" + host.tag)};
    ASSERT_TRUE(notify.bind());
    ASSERT_TRUE(host.start({}, {{"NOTIFY_SOCKET", notify.path.string()}, {"JOURNAL_STREAM", "@output"}}));
    const std::string ready = notify.next(15s);
    ASSERT_EQ(ready.rfind("READY=1\n", 0), 0u) << ready << "\n" << host.process.output();
    // The journal gets its levels, and the console's address but not its token.
    EXPECT_NE(host.process.output().find("<6>Console: http://127.0.0.1:"), std::string::npos) << host.process.output();
    EXPECT_EQ(host.process.output().find(host.token), std::string::npos);

    play(host, "client.py --road");
    EXPECT_EQ(host.process.terminate(10s), 0) << host.process.output();
    EXPECT_EQ(notify.next(1s).rfind("STOPPING=1\n", 0), 0u);
#ifdef QUARNELD_PROMTOOL
    // Prometheus's own checker reads the metrics the client scraped while it played (metrics.txt).
    const fs::path log = host.work.path() / "promtool.log", metrics = host.work.path() / "metrics.txt";
    EXPECT_EQ(shell(QUARNELD_PROMTOOL " check metrics < '" + metrics.string() + "' > '" + log.string() + "' 2>&1"), 0)
        << host.work.read(log) << host.work.read(metrics);
#else
    std::printf("promtool not found: metrics format check skipped\n");
#endif
    EXPECT_EQ(host.errorLog().find("rror"), std::string::npos) << host.errorLog();
}

class HostAttack : public ::testing::TestWithParam<std::string> {};

TEST_P(HostAttack, WellBehavedClientIsServedDuringAndAfter) {
    SampleHost host;
    ASSERT_TRUE(host.start());
    play(host, "attacks.py --attack " + GetParam() + " --stream-port " + std::to_string(host.dplayPort) +
                   " --host-pid " + std::to_string(host.process.pid()));
    EXPECT_FALSE(host.process.exited()) << host.process.output();
    EXPECT_EQ(host.process.terminate(10s), 0) << host.process.output();
    for (const char* bad : {"rror", "NOT"}) EXPECT_EQ(host.errorLog().find(bad), std::string::npos) << host.errorLog();
}

INSTANTIATE_TEST_SUITE_P(Surfaces, HostAttack,
                         ::testing::Values("strangers", "idle_streams", "spoofing", "silent_acker", "enum_flood",
                                           "chat_flood", "object_data"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace qd
