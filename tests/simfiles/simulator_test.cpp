#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "config/fixture.h"
#include "simfiles/autorun.h"
#include "simfiles/simconfig.h"

namespace qd {
namespace {

using qd::testing::Workdir;

TEST(Autorun, StartsTheSimulatorInTheWorkingDirectoryWithoutArgumentsOrThroughWine) {
    Workdir dir;
    const std::string here = std::filesystem::canonical(dir.path()).string();
    // The simulator runs on its own: its trace, once it ended (bounded wait).
    auto trace = [&] {
        for (int i = 0; i < 500 && dir.read("trace.txt").find("end") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return dir.read("trace.txt");
    };
    dir.write("origcfs2.exe", "#!/bin/sh\necho \"args=$# dir=$(pwd)\" > trace.txt\necho end >> trace.txt\n");
    ::chmod((dir.path() / "origcfs2.exe").c_str(), 0755);
    ASSERT_TRUE(StartLocalSimulator(dir.path(), 2));
    EXPECT_EQ(trace(), "args=0 dir=" + here + "\nend\n");

    // Version 1 runs the other program; a missing one is logged and ignored.
    EXPECT_FALSE(StartLocalSimulator(dir.path(), 1));
    EXPECT_EQ(dir.LogLines(), std::vector<std::string>{"Could not start origcombatfs.exe: No such file or directory"});

    // One the system cannot run (no executable bit) goes to wine on the path, if any.
    auto startWithPath = [&](const std::string& path) {
        const std::string old = std::getenv("PATH");
        ::setenv("PATH", path.c_str(), 1);
        const bool started = StartLocalSimulator(dir.path(), 1);
        ::setenv("PATH", old.c_str(), 1);
        return started;
    };
    std::filesystem::remove(dir.path() / "trace.txt");
    dir.write("origcombatfs.exe", "MZ\x90");
    dir.write("bin/wine", "#!/bin/sh\necho \"wine $# $1 $(pwd)\" > trace.txt\necho end >> trace.txt\n");
    ::chmod((dir.path() / "bin/wine").c_str(), 0755);
    ASSERT_TRUE(startWithPath((dir.path() / "bin").string()));
    EXPECT_EQ(trace(), "wine 1 origcombatfs.exe " + here + "\nend\n");
    // A zombie of any start above would still be here.
    EXPECT_TRUE(::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD);
    EXPECT_FALSE(startWithPath((dir.path() / "nothing-here").string()));
    EXPECT_EQ(dir.LogLines().back(),
              "Could not start origcombatfs.exe: the system cannot run it and wine is not on the path");
}

TEST(SimulatorConfig, MultiplayerSectionIsPointedAtTheHost) {
    Workdir wd;
    wd.write("cfs2.cfg",
             "[MAIN]\nX=1\n[Multiplayer] ; trailing text\nName=Pilot\nsp_protocol_address=10.9.9.9\n"
             "Skip_Dun_Warning=0\n[OTHER]\nSP_PROTOCOL_ADDRESS=1.1.1.1\nkeep=1\nlast=dropped");
    ASSERT_EQ(WriteSimulatorConfig(wd.path(), 2, "192.168.1.20"), 0);
    EXPECT_EQ(wd.read("origcfs2.cfg"),
              "[MAIN]\nX=1\n[Multiplayer] ; trailing text\nSP_PROTOCOL_ADDRESS=192.168.1.20\nSKIP_DUN_WARNING=1\n"
              "Name=Pilot\n[OTHER]\nkeep=1\n");
    EXPECT_EQ(wd.read("cfs2.cfg").substr(0, 6), "[MAIN]");  // the simulator's own file is untouched

    // CR LF files get CR LF added lines; only the first [MULTIPLAYER] line inserts.
    wd.write("cfs2.cfg", "[MULTIPLAYER]\r\nA=1\r\n[MULTIPLAYER]\r\n");
    ASSERT_EQ(WriteSimulatorConfig(wd.path(), 2, "127.0.0.1"), 0);
    EXPECT_EQ(wd.read("origcfs2.cfg"),
              "[MULTIPLAYER]\r\nSP_PROTOCOL_ADDRESS=127.0.0.1\r\nSKIP_DUN_WARNING=1\r\nA=1\r\n[MULTIPLAYER]\r\n");

    // A leading blank hides the section; the file is copied as it is (but its last line
    // has no line end and is left out).
    wd.write("cfs2.cfg", " [MULTIPLAYER]\nSP_PROTOCOL_ADDRESS=1.2.3.4\n[MULTIPLAYE]\nend");
    ASSERT_EQ(WriteSimulatorConfig(wd.path(), 2, "10.0.0.1"), 0);
    EXPECT_EQ(wd.read("origcfs2.cfg"), " [MULTIPLAYER]\nSP_PROTOCOL_ADDRESS=1.2.3.4\n[MULTIPLAYE]\n");

    // A 300-character address line after the section: its first 255-character piece
    // begins with the key and is dropped, the rest is copied as a line of its own.
    const std::string longLine = "SP_PROTOCOL_ADDRESS=" + std::string(280, '9');
    wd.write("combatfs.cfg", "[MULTIPLAYER]\n" + longLine + "\nZ=1\n");
    ASSERT_EQ(WriteSimulatorConfig(wd.path(), 1, "10.0.0.2"), 0);
    EXPECT_EQ(wd.read("origcombatfs.cfg"),
              "[MULTIPLAYER]\nSP_PROTOCOL_ADDRESS=10.0.0.2\nSKIP_DUN_WARNING=1\n" + std::string(45, '9') + "\nZ=1\n");

    // The copy goes once the simulator has read it; one already gone is ignored.
    RemoveSimulatorConfigCopy(wd.path(), 2);
    EXPECT_FALSE(std::filesystem::exists(wd.path() / "origcfs2.cfg"));
    EXPECT_TRUE(std::filesystem::exists(wd.path() / "origcombatfs.cfg"));
    RemoveSimulatorConfigCopy(wd.path(), 2);
    RemoveSimulatorConfigCopy(wd.path(), 1);
    EXPECT_FALSE(std::filesystem::exists(wd.path() / "origcombatfs.cfg"));
}

TEST(SimulatorConfig, FileChoiceAndFailures) {
    Workdir wd;
    EXPECT_EQ(WriteSimulatorConfig(wd.path(), 2, "10.0.0.1"), -1);  // no cfs2.cfg
    EXPECT_FALSE(std::filesystem::exists(wd.path() / "origcfs2.cfg"));

    wd.write("COMBATFS.CFG", "[multiplayer]\n");  // found whatever its letter case
    wd.write("origcombatfs.cfg", "old content that is replaced\n");
    ASSERT_EQ(WriteSimulatorConfig(wd.path(), 3, "10.0.0.3"), 0);  // any version but 2 is version 1
    EXPECT_EQ(wd.read("origcombatfs.cfg"), "[multiplayer]\nSP_PROTOCOL_ADDRESS=10.0.0.3\nSKIP_DUN_WARNING=1\n");

    wd.write("cfs2.cfg", "[MULTIPLAYER]\n");
    wd.Mkdir("origcfs2.cfg");  // the copy cannot be created
    EXPECT_EQ(WriteSimulatorConfig(wd.path(), 2, "10.0.0.1"), -1);
}

}  // namespace
}  // namespace qd
