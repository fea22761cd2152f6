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
    EXPECT_TRUE(ConfigFilePath(w.ctx).empty());
    EXPECT_TRUE(WelcomeTextPath(w.ctx).empty());
    EXPECT_TRUE(w.warned(0, "Path too long"));
    EXPECT_NE(w.dir.read("qdlerror.txt").find("Path too long"), std::string::npos);

    // Nothing is read: everything as with a missing file.
    std::optional<SessionDesc> desc;
    LoadSessionSettings(w.ctx, desc);
    EXPECT_EQ(desc->dwMaxPlayers, 16u);
    auto obj = LoadTargetObject(w.ctx, 0);
    EXPECT_EQ(obj->name, "DefTarg");
    EXPECT_EQ(obj->aircraft, "windsock");
    EXPECT_EQ(LoadTargetObject(w.ctx, 1), nullptr);
    auto team = LoadTeamDefinition(w.ctx, 0);
    EXPECT_EQ(team->name, "Target ");
    EXPECT_EQ(LoadTeamDefinition(w.ctx, 1), nullptr);
}

TEST(UserPrefs, VersionAutorunAndName) {
    Workdir w;
    EXPECT_EQ(LoadUserPrefs(w.ctx), 0);  // no file: defaults
    EXPECT_EQ(w.ctx.prefs.simulatorVersion, 1);
    EXPECT_EQ(w.ctx.prefs.autorunSimulator, 1);
    EXPECT_EQ(w.ctx.prefs.sessionConfigName, "Default");

    const std::pair<const char*, int> versions[] = {{"2", 2}, {"02", 1}, {"3", 1}, {"", 1}};
    for (auto [text, version] : versions) {
        w.prefs(std::string("[QDL_USER_PREFS]\nCFS_VERSION=") + text + "\nAUTORUN_CFS=no\nSESSION_CFG_NAME=Squad\n");
        LoadUserPrefs(w.ctx);
        EXPECT_EQ(w.ctx.prefs.simulatorVersion, version) << text;
        EXPECT_EQ(w.ctx.prefs.autorunSimulator, 1);
        EXPECT_EQ(w.ctx.prefs.sessionConfigName, "Squad");
    }
    EXPECT_TRUE(w.warned(2, "CFS_VERSION '3'"));
    w.prefs("[QDL_USER_PREFS]\nAUTORUN_CFS=0\n");
    LoadUserPrefs(w.ctx);
    EXPECT_EQ(w.ctx.prefs.autorunSimulator, 0);
}

TEST(UserPrefs, IgnoredAdaptersMarkedByMac) {
    Workdir w;
    auto adapter = [](std::array<uint8_t, 6> mac) {
        AdapterEntry a;
        a.macAddress = mac;
        return a;
    };
    w.ctx.adapters = {adapter({0x00, 0xa0, 0xc9, 0x12, 0x34, 0x56}), adapter({0x00, 0x50, 0x04, 0xab, 0xcd, 0xef}),
                      adapter({0x00, 0x50, 0x04, 0xab, 0xcd, 0xee})};

    // Without the count the list is not read.
    w.prefs("[QDL_USER_PREFS]\nIGNORED_ADAPTERS=00-a0-c9-12-34-56,\n");
    EXPECT_EQ(LoadUserPrefs(w.ctx), 0);
    EXPECT_EQ(w.ctx.adapters[0].ignored, 0);

    w.prefs("[QDL_USER_PREFS]\nNUM_IGNORED_ADAPTERS=2\nIGNORED_ADAPTERS=00-A0-C9-12-34-56,00-50-04-ab-cd-ef,\n");
    EXPECT_EQ(LoadUserPrefs(w.ctx), 1);
    EXPECT_EQ(w.ctx.prefs.ignoredAdapterCount, 2u);
    EXPECT_EQ(w.ctx.adapters[0].ignored, 1);
    EXPECT_EQ(w.ctx.adapters[1].ignored, 1);
    EXPECT_EQ(w.ctx.adapters[2].ignored, 0);

    // A count beyond the list stops at its end; a bad entry is skipped and reported.
    w.ctx.adapters[0].ignored = w.ctx.adapters[1].ignored = 0;
    w.prefs("[QDL_USER_PREFS]\nNUM_IGNORED_ADAPTERS=0x10\nIGNORED_ADAPTERS=zz-a0-c9-12-34-56,00-50-04-ab-cd-ee\n");
    EXPECT_EQ(LoadUserPrefs(w.ctx), 1);
    EXPECT_EQ(w.ctx.adapters[0].ignored, 0);
    EXPECT_EQ(w.ctx.adapters[2].ignored, 1);
    EXPECT_TRUE(w.warned(3, "not a MAC address"));
    EXPECT_TRUE(w.warned(2, "holds 2 entries"));

    w.prefs("[QDL_USER_PREFS]\nNUM_IGNORED_ADAPTERS=-1\n");
    EXPECT_EQ(LoadUserPrefs(w.ctx), 0);
    EXPECT_EQ(w.ctx.prefs.ignoredAdapterCount, 0u);
}

}  // namespace
}  // namespace qd
