// Start-up as a user running `quarneld run` meets it: when the host cannot go on, the box
// reaches standard error and the exit status says why; a host never waits for nobody.
#include <gtest/gtest.h>

#include "app/exit_status.h"
#include "platform/host_process.h"
#include "platform/temp_dir.h"

namespace qd {
namespace {

using namespace std::chrono_literals;
using test::HostProcess;
using test::freePort;

TEST(Startup, EndsWithAStatusThatSaysWhy) {
    const std::string binary = QUARNELD_BINARY_DIR "/quarneld";
    const testing::TempDir dir;
    dir.write("quarneld/quarneld.ini", "[QDL_USER_PREFS]\nCFS_VERSION=2\nAUTORUN_CFS=0\n");
    const std::string instance = "quarneld-startup-test-" + std::to_string(::getpid());
    const uint16_t dplay = freePort();
    ASSERT_NE(dplay, 0);
    // A host on this working directory, with its console, ports and instance name.
    auto args = [&](const std::string& name, uint16_t console, std::vector<std::string> more = {}) {
        std::vector<std::string> a{binary, "run", "--workdir", dir.path().string(), "--instance-name", name,
                                   "--bind", "127.0.0.1", "--enum-port", std::to_string(freePort()), "--dplay-port",
                                   std::to_string(dplay), "--console-token-file", (dir.path() / "token").string()};
        if (console)
            a.insert(a.end(), {"--console", "127.0.0.1:" + std::to_string(console)});
        else
            a.push_back("--no-console");
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    const uint16_t console = freePort();
    HostProcess first;
    ASSERT_TRUE(first.start(args(instance, console)));
    ASSERT_TRUE(first.waitFor("quarneld: session open", 15s)) << first.output();

    // A host that must end at once with `status`, having said `box` on its output.
    auto ends = [&](const std::vector<std::string>& a, int status, const std::string& box) {
        HostProcess p;
        EXPECT_TRUE(p.start(a));
        EXPECT_EQ(p.wait(10s), status) << p.output();
        EXPECT_NE(p.output().find("[Error] " + box), std::string::npos) << p.output();
        return p.output();
    };
    // A second copy stops at the instance check, before its console would meet the first's.
    EXPECT_EQ(ends(args(instance, console), kExitAnotherInstance,
                   "Previous instance of QUARNELD running.\n\tShut it down an try again.")
                  .find("console cannot start"),
              std::string::npos);
    // The marker cannot be made at all (a name longer than the platform allows).
    ends(args(std::string(200, 'n'), 0), kExitStartFailed, "Error checking for previous instance of QUARNELD");
    // A lobby that asks to join: the box goes to stderr even with a console.
    ends(args(instance + "-join", freePort(), {"--lobby", "join"}), kExitSessionNotOpened, "QUARNELD must be host");

    // The first host holds the DirectPlay port. Without an operator the failure ends the
    // program; with one the dialog waits, and a signal still ends the program in order.
    ends(args(instance + "-headless", 0), kExitSessionNotOpened, "Could not host session because of error 0x88770122");
    EXPECT_NE(dir.read("quarneld/qdlerror.txt").find("[Error] Could not host session because of error 0x88770122"),
              std::string::npos);
    HostProcess waiting;
    ASSERT_TRUE(waiting.start(args(instance + "-waiting", freePort())));
    ASSERT_TRUE(waiting.waitFor("Could not host session", 10s)) << waiting.output();
    EXPECT_EQ(waiting.terminate(10s), kExitNormal) << waiting.output();

    EXPECT_FALSE(first.exited()) << "the first host was left alone";
    EXPECT_EQ(first.terminate(10s), kExitNormal) << first.output();
}

}  // namespace
}  // namespace qd
