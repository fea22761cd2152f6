#include <gtest/gtest.h>

#include "config/paths.h"
#include "config/prefs.h"
#include "config/settings.h"
#include "config/targets.h"
#include "config/teams.h"
#include "fixture.h"

namespace qd {
namespace {

using testing::Workdir;

TEST(ConfigPaths, BuiltOnceFromWorkDirAndName) {
    Workdir w;
    w.ctx.prefs.sessionConfigName = "Squad";
    EXPECT_EQ(ConfigFilePath(w.ctx), w.dir.path().string() + "/quarneld/configs/Squad.cfg");
    EXPECT_EQ(WelcomeTextPath(w.ctx), w.dir.path().string() + "/quarneld/configs/Squad.txt");
    // Later changes of the working directory or the name do not move the files.
    w.ctx.workDir = "/elsewhere";
    w.ctx.prefs.sessionConfigName = "Other";
    EXPECT_EQ(ConfigFilePath(w.ctx), w.dir.path().string() + "/quarneld/configs/Squad.cfg");
    EXPECT_TRUE(w.diag.empty());
}

TEST(ConfigPaths, TooLongPathIsRefusedNotCut) {
    Workdir w;
    w.cfg("[QDL_SETTINGS]\nMAX_PLAYERS=8\n[QDL_OBJECT.0]\nNAME=Tank\n[QDL_TEAM.B0]\n", std::string(250, 'x'));
    w.ctx.prefs.sessionConfigName = std::string(250, 'x');
    EXPECT_TRUE(ConfigFilePath(w.ctx).empty() && WelcomeTextPath(w.ctx).empty());
    EXPECT_TRUE(w.warned(0, "Path too long"));
    EXPECT_NE(w.dir.read("qdlerror.txt").find("Path too long"), std::string::npos);

    // Nothing is read: everything as with a missing file.
    std::optional<SessionDesc> desc;
    LoadSessionSettings(w.ctx, desc);
    EXPECT_EQ(desc->dwMaxPlayers, 16u);
    EXPECT_EQ(std::tuple(LoadTargetObject(w.ctx, 0)->aircraft, LoadTeamDefinition(w.ctx, 0)->name),
              std::tuple("windsock", "Target "));
    EXPECT_TRUE(!LoadTargetObject(w.ctx, 1) && !LoadTeamDefinition(w.ctx, 1));
}

TEST(UserPrefs, VersionAutorunAndName) {
    Workdir w;
    const UserPrefs& p = w.ctx.prefs;
    EXPECT_EQ(LoadUserPrefs(w.ctx), 0);  // no file: defaults
    EXPECT_EQ(std::tie(p.simulatorVersion, p.autorunSimulator, p.sessionConfigName), std::tuple(1, 1, "Default"));
    // Version 2 only for "2"; AUTORUN_CFS is off only for 0.
    for (auto [text, version] : std::initializer_list<std::pair<std::string, int>>{{"2", 2}, {"02", 1}, {"3", 1}, {"", 1}}) {
        w.prefs("[QDL_USER_PREFS]\nCFS_VERSION=" + text + "\nAUTORUN_CFS=no\nSESSION_CFG_NAME=Squad\n");
        LoadUserPrefs(w.ctx);
        EXPECT_EQ(std::tie(p.simulatorVersion, p.autorunSimulator, p.sessionConfigName), std::tuple(version, 1, "Squad"))
            << text;
    }
    EXPECT_TRUE(w.warned(2, "CFS_VERSION '3'"));
    w.prefs("[QDL_USER_PREFS]\nAUTORUN_CFS=0\n");
    LoadUserPrefs(w.ctx);
    EXPECT_EQ(p.autorunSimulator, 0);
}

TEST(UserPrefs, IgnoredAdaptersMarkedByMac) {
    Workdir w;
    const std::array<uint8_t, 6> macs[] = {{0x00, 0xa0, 0xc9, 0x12, 0x34, 0x56}, {0x00, 0x50, 0x04, 0xab, 0xcd, 0xef},
                                           {0x00, 0x50, 0x04, 0xab, 0xcd, 0xee}};
    for (const auto& mac : macs) {
        w.ctx.adapters.emplace_back();
        w.ctx.adapters.back().macAddress = mac;
    }
    // Which adapters are marked ignored, 'x' for each, after loading the preferences.
    auto load = [&](const std::string& prefs, int result) {
        for (auto& a : w.ctx.adapters) a.ignored = 0;
        w.prefs("[QDL_USER_PREFS]\n" + prefs);
        EXPECT_EQ(LoadUserPrefs(w.ctx), result) << prefs;
        std::string marks;
        for (const auto& a : w.ctx.adapters) marks += a.ignored ? 'x' : '.';
        return marks;
    };
    // Without the count the list is not read; letter case does not matter.
    EXPECT_EQ(load("IGNORED_ADAPTERS=00-a0-c9-12-34-56,\n", 0), "...");
    EXPECT_EQ(load("NUM_IGNORED_ADAPTERS=2\nIGNORED_ADAPTERS=00-A0-C9-12-34-56,00-50-04-ab-cd-ef,\n", 1), "xx.");
    EXPECT_EQ(w.ctx.prefs.ignoredAdapterCount, 2u);
    // A count beyond the list stops at its end; a bad entry is skipped and reported.
    EXPECT_EQ(load("NUM_IGNORED_ADAPTERS=0x10\nIGNORED_ADAPTERS=zz-a0-c9-12-34-56,00-50-04-ab-cd-ee\n", 1), "..x");
    EXPECT_TRUE(w.warnedAll({{3, "not a MAC address"}, {2, "holds 2 entries"}}));
    EXPECT_EQ(load("NUM_IGNORED_ADAPTERS=-1\n", 0), "...");
    EXPECT_EQ(w.ctx.prefs.ignoredAdapterCount, 0u);
}

}  // namespace
}  // namespace qd
