#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "simfiles/autorun.h"
#include "workdir.h"

namespace qd {
namespace {

TEST(Autorun, StartsTheSimulatorInTheWorkingDirectoryWithoutArgumentsOrThroughWine) {
    test::WorkDir dir;
    const std::string here = std::filesystem::canonical(dir.path()).string();
    // The simulator runs on its own: its trace, once it ended (bounded wait).
    auto trace = [&] {
        for (int i = 0; i < 500 && dir.Read("trace.txt").find("end") == std::string::npos; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return dir.Read("trace.txt");
    };
    auto noChildLeft = [] { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; };
    dir.Write("origcfs2.exe", "#!/bin/sh\necho \"args=$# dir=$(pwd)\" > trace.txt\necho end >> trace.txt\n");
    ::chmod((dir.path() / "origcfs2.exe").c_str(), 0755);
    ASSERT_TRUE(StartLocalSimulator(dir.path(), 2));
    EXPECT_EQ(trace(), "args=0 dir=" + here + "\nend\n");
    EXPECT_TRUE(noChildLeft());

    // Version 1 runs the other program; a missing one is logged and ignored.
    EXPECT_FALSE(StartLocalSimulator(dir.path(), 1));
    EXPECT_EQ(dir.LogLines(), std::vector<std::string>{"Could not start origcombatfs.exe: No such file or directory"});
    EXPECT_TRUE(noChildLeft());

    // One the system cannot run (no executable bit) goes to wine on the path, if any.
    auto startWithPath = [&](const std::string& path) {
        const std::string old = std::getenv("PATH");
        ::setenv("PATH", path.c_str(), 1);
        const bool started = StartLocalSimulator(dir.path(), 1);
        ::setenv("PATH", old.c_str(), 1);
        return started;
    };
    std::filesystem::remove(dir.path() / "trace.txt");
    dir.Write("origcombatfs.exe", "MZ\x90");
    dir.Write("bin/wine", "#!/bin/sh\necho \"wine $# $1 $(pwd)\" > trace.txt\necho end >> trace.txt\n");
    ::chmod((dir.path() / "bin/wine").c_str(), 0755);
    ASSERT_TRUE(startWithPath((dir.path() / "bin").string()));
    EXPECT_EQ(trace(), "wine 1 origcombatfs.exe " + here + "\nend\n");
    EXPECT_TRUE(noChildLeft());
    EXPECT_FALSE(startWithPath((dir.path() / "nothing-here").string()));
    EXPECT_EQ(dir.LogLines().back(),
              "Could not start origcombatfs.exe: the system cannot run it and wine is not on the path");
}

TEST(Autorun, RemovesTheConfigurationCopy) {
    test::WorkDir dir;
    dir.Write("origcfs2.cfg", "x");
    dir.Write("origcombatfs.cfg", "x");
    RemoveSimulatorConfigCopy(dir.path(), 2);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "origcfs2.cfg"));
    EXPECT_TRUE(std::filesystem::exists(dir.path() / "origcombatfs.cfg"));
    RemoveSimulatorConfigCopy(dir.path(), 2);  // already gone: ignored
    RemoveSimulatorConfigCopy(dir.path(), 1);
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "origcombatfs.cfg"));
}

}  // namespace
}  // namespace qd
