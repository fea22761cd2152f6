#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "simfiles/autorun.h"
#include "workdir.h"

namespace qd {
namespace {

std::string ReadWhenThere(const std::filesystem::path& p) {
    // The simulator runs on its own: wait for its trace, bounded.
    for (int i = 0; i < 500; ++i) {
        std::ifstream in(p);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (text.find("end") != std::string::npos) return text;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {};
}

void Script(const test::WorkDir& dir, const std::string& rel, const std::string& body, mode_t mode) {
    dir.Write(rel, "#!/bin/sh\n" + body);
    ::chmod((dir.path() / rel).c_str(), mode);
}

bool NoChildLeft() { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

class PathGuard {
public:
    explicit PathGuard(const std::string& path) : old_(std::getenv("PATH") ? std::getenv("PATH") : "") {
        ::setenv("PATH", path.c_str(), 1);
    }
    ~PathGuard() { ::setenv("PATH", old_.c_str(), 1); }

private:
    std::string old_;
};

TEST(Autorun, StartsTheSimulatorInTheWorkingDirectoryWithoutArguments) {
    test::WorkDir dir;
    Script(dir, "origcfs2.exe", "echo \"args=$# dir=$(pwd)\" > trace.txt\necho end >> trace.txt\n", 0755);
    ASSERT_TRUE(StartLocalSimulator(dir.path(), 2));
    const std::string trace = ReadWhenThere(dir.path() / "trace.txt");
    EXPECT_EQ(trace, "args=0 dir=" + std::filesystem::canonical(dir.path()).string() + "\nend\n");
    EXPECT_TRUE(NoChildLeft());

    // Version 1 runs the other program; a missing one is logged and ignored.
    EXPECT_FALSE(StartLocalSimulator(dir.path(), 1));
    std::ifstream log(dir.path() / "quarneld/qdlerror.txt");
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Could not start origcombatfs.exe: No such file or directory"), std::string::npos) << text;
    EXPECT_TRUE(NoChildLeft());
}

TEST(Autorun, FallsBackToWine) {
    test::WorkDir dir;
    // Not runnable by the system: no executable bit.
    dir.Write("origcombatfs.exe", "MZ\x90");
    Script(dir, "bin/wine", "echo \"wine $# $1 $(pwd)\" > trace.txt\necho end >> trace.txt\n", 0755);
    {
        PathGuard path((dir.path() / "bin").string());
        ASSERT_TRUE(StartLocalSimulator(dir.path(), 1));
    }
    EXPECT_EQ(ReadWhenThere(dir.path() / "trace.txt"),
              "wine 1 origcombatfs.exe " + std::filesystem::canonical(dir.path()).string() + "\nend\n");
    EXPECT_TRUE(NoChildLeft());

    // Without wine the failed start is logged.
    {
        PathGuard path((dir.path() / "nothing-here").string());
        EXPECT_FALSE(StartLocalSimulator(dir.path(), 1));
    }
    std::ifstream log(dir.path() / "quarneld/qdlerror.txt");
    std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Could not start origcombatfs.exe: the system cannot run it and wine is not on the path"),
              std::string::npos)
        << text;
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
