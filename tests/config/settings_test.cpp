#include <gtest/gtest.h>

#include "config/paths.h"
#include "config/prefs.h"
#include "config/report.h"
#include "config/settings.h"
#include "config/summary.h"
#include "config/targets.h"
#include "config/teams.h"
#include "fixture.h"

namespace qd {
namespace {

using testing::Workdir;

SessionDesc Load(Workdir& w, std::string_view settings) {
    w.cfg(std::string("[QDL_SETTINGS]\n") + std::string(settings));
    std::optional<SessionDesc> desc;
    LoadSessionSettings(w.ctx, desc);
    return *desc;
}

// The words the session description carries (the host settings are read from them).
auto Words(const SessionDesc& d) { return std::tuple(d.dwMaxPlayers, d.dwUser1, d.dwUser2, d.dwUser3, d.dwUser4); }

// Version 1's built-in description, byte for byte: Check.MissingWorkingDirectoryOrFiles...
TEST(SessionSettings, EmptySectionGivesBuiltInDescription) {
    Workdir w;
    w.ctx.prefs.simulatorVersion = 2;
    SessionDesc d = Load(w, "");
    EXPECT_EQ(std::tuple(d.dwSize, d.dwFlags, d.dwCurrentPlayers), std::tuple(80u, 4u, 1u));
    EXPECT_EQ(Words(d), std::tuple(16u, 0x0A05FF10u, 0x60409u, 0x23E81388u, 150u));
    EXPECT_EQ(std::pair(d.guidApplication, d.guidInstance), std::pair(kGuidCfs2, kGuidCfs2));
    EXPECT_EQ(d.sessionName, u"(none)[](none)[]AAAAAAAAAAAA[]AAAAAAAAAAAA");
    const HostSettings& s = w.ctx.settings;
    EXPECT_EQ(std::tuple(s.TIME_OF_DAY, s.LA_WINDOW_SEC, s.MAX_PLAYERS_PER_TEAM), std::tuple(43200, 60000u, 5u));
    EXPECT_TRUE(w.diag.empty()) << w.dump();
}

TEST(SessionSettings, ClampsCompareUnsigned) {
    Workdir w;
    // Players and per team at their limits, no victory rule, level 5, pause allowed, easy
    // flight model, no sun glare, the strongest weapons.
    SessionDesc d = Load(w, "MAX_PLAYERS=300\nMAX_PLAYERS_PER_TEAM=0\nWIN_CRITERIA=1\nRECOMMENDED_LEVEL=9\n"
                            "FLIGHT_MODEL=0\nALLOW_PAUSE=-1\nWEAPON_EFFECTIVENESS=7\nSUN_GLARE=0\n");
    EXPECT_EQ(Words(d), std::tuple(255u, 0x0A01FFFFu, 0x8401A9u, 0x23E805F4u, 150u));
    EXPECT_EQ(w.ctx.settings.MAX_PLAYERS_PER_TEAM, 1u);
    EXPECT_TRUE(w.warnedAll({{2, "MAX_PLAYERS 300 is out of range 0..255; using 255"}, {3, "MAX_PLAYERS_PER_TEAM 0"},
                             {4, "WIN_CRITERIA 1"}, {7, "ALLOW_PAUSE -1"}}));

    // MAX_KILLS and COMBAT_TYPE change nothing; WIN_CRITERIA other than 0 and 1 is last alive.
    d = Load(w, "MAX_PLAYERS=-3\nWIN_CRITERIA=7\nLA_WINDOW_SEC=90\nMAX_KILLS=3\nCOMBAT_TYPE=0\n"
                "MAX_PLAYERS_PER_TEAM=-1\n");
    EXPECT_EQ(Words(d), std::tuple(255u, 0x0AFFFFFFu, 0x6040Du, 0x23E805F4u, 150u));
    const HostSettings& s = w.ctx.settings;
    EXPECT_EQ(std::tuple(s.MAX_PLAYERS_PER_TEAM, s.WIN_CRITERIA, s.LA_WINDOW_SEC), std::tuple(255u, 2u, 90000u));
    EXPECT_TRUE(w.warned(7, "MAX_PLAYERS_PER_TEAM -1 is out of range 1..255; using 255")) << w.dump();

    // A window too long for milliseconds in 32 bits is held, not wrapped.
    Load(w, "LA_WINDOW_SEC=5000000\n");
    EXPECT_EQ(w.ctx.settings.LA_WINDOW_SEC, 4294967000u);
}

TEST(SessionSettings, NumbersAsLongWithPrefixesAndUnknownKeys) {
    Workdir w;
    SessionDesc d = Load(w, "MAX_PLAYERS=0x20\nMAX_PLAYERS_PER_TEAM=010\nNO_LOCK_OR_RADAR_PLAYERS= 7 players\n"
                            "BTEAMS_DESTROY_TARGETS=-2\nRECOMMENDED_LEVEL=lots\nMAX_TEAMS=many\n");
    const HostSettings& s = w.ctx.settings;
    EXPECT_EQ(std::tuple(d.dwMaxPlayers, s.MAX_PLAYERS_PER_TEAM, s.NO_LOCK_OR_RADAR_PLAYERS, s.BTEAMS_DESTROY_TARGETS),
              std::tuple(32u, 8u, 1, -2));
    // Not a number: the key's default, reported with its line.
    EXPECT_EQ((d.dwUser2 >> 5) & 7, 0u);
    EXPECT_TRUE(w.warned(6, "RECOMMENDED_LEVEL 'lots' is not a number; using the default 0")) << w.dump();
    EXPECT_FALSE(w.warned(7, "MAX_TEAMS"));  // read for nothing

    Load(w, "MAX_PLAYERS=99999999999\nMAX_PLAYERS=8\nMAX_PLAYER=9\nmax_players=10\n");
    EXPECT_TRUE(w.warnedAll({{2, "does not fit 32 bits"}, {4, "unknown key 'MAX_PLAYER'"}, {5, "repeated"}}));
}

// Every place that reads a no-fun switch tests for 1: any other non-zero value is on.
TEST(SessionSettings, NoFunSwitchesAreOnOrOff) {
    // The value written, read and as the warning gives it (null: no warning).
    const std::tuple<const char*, int32_t, const char*> cases[] = {
        {"0", 0, nullptr}, {"1", 1, nullptr}, {"2", 1, "2"}, {"-1", 1, "-1"}, {"0x10", 1, "16"}};
    for (auto [value, read, warning] : cases) {
        Workdir w;
        Load(w, std::string("NO_LOCK_OR_RADAR_PLAYERS=") + value + "\nNO_LOCK_OR_RADAR_TARGETS=" + value + "\n");
        EXPECT_EQ(w.ctx.settings.NO_LOCK_OR_RADAR_PLAYERS, read) << value;
        EXPECT_EQ(w.ctx.settings.NO_LOCK_OR_RADAR_TARGETS, read) << value;
        const std::string said = std::string(" ") + (warning ? warning : "") + " is neither 0 nor 1; read as 1 (on)";
        EXPECT_EQ(w.warned(2, "NO_LOCK_OR_RADAR_PLAYERS" + said), warning != nullptr) << w.dump();
        EXPECT_EQ(w.warned(3, "NO_LOCK_OR_RADAR_TARGETS" + said), warning != nullptr) << w.dump();
    }
}

TEST(SessionSettings, TimeOfDay) {
    // Text, seconds, valid: missing characters count as '0'; no range check; the
    // characters' codes as they come.
    for (auto [text, seconds, valid] : std::initializer_list<std::tuple<const char*, int32_t, bool>>{
             {"7:30", 27000, true}, {"noon", 0, false}, {"12:", 43200, true}, {"7:3", 27000, true},
             {"25:99", 25 * 3600 + 99 * 60, false}, {"1a:00", (10 + 'a' - '0') * 3600, false}}) {
        bool read = !valid;
        EXPECT_EQ(ParseTimeOfDay(text, &read), seconds) << text;
        EXPECT_EQ(read, valid) << text;
    }
    Workdir w;
    Load(w, "SESSION_NAME=x\nTIME_OF_DAY=noon\n");
    EXPECT_EQ(GetTimeOfDay(w.ctx), 0);
    EXPECT_TRUE(w.warned(3, "TIME_OF_DAY 'noon'"));
}

TEST(SessionSettings, LobbyDescriptionKeepsNameAndGuids) {
    Workdir w;
    w.cfg("[QDL_SETTINGS]\nSESSION_NAME=File name\nSESSION_NOTES=File notes\n");
    SessionDesc lobby;
    lobby.guidInstance = *Guid::parse("{11111111-2222-3333-4444-555555555555}");
    lobby.guidApplication = kGuidCfs2;
    lobby.sessionName = u"Lobby \u00e9\u20ac";
    std::optional<SessionDesc> desc = lobby;
    LoadSessionSettings(w.ctx, desc);
    // Narrowed and widened again as every DirectPlay name is: low bytes, sign-extended.
    EXPECT_EQ(std::tie(desc->guidInstance, desc->guidApplication, desc->sessionName, desc->dwUser1),
              std::tuple(lobby.guidInstance, kGuidCfs2, u"Lobby \xFFE9\xFFAC[][]AAAAAAAAAAAA[]AAAAAAAAAAAA",
                         0x0A05FF10u));
}

TEST(SessionSettings, LongNameAndNotesAreCutToFit) {
    Workdir w;
    const std::u16string tail = u"[]AAAAAAAAAAAA[]AAAAAAAAAAAA";
    SessionDesc d = Load(w, "SESSION_NAME=" + std::string(200, 'n') + "\nSESSION_NOTES=" + std::string(200, 'o') + "\n");
    EXPECT_EQ(d.sessionName, std::u16string(200, u'n') + u"[]" + std::u16string(26, u'o') + tail);
    EXPECT_TRUE(w.warned(0, "cut"));

    bool cut = false;
    EXPECT_EQ((std::pair{JoinSessionName(std::string(300, 'n'), "notes", &cut).size(), cut}), std::pair(256ul, true));
}

TEST(ConfigPaths, TooLongPathIsRefusedNotCut) {
    Workdir w;
    w.cfg("[QDL_SETTINGS]\nMAX_PLAYERS=8\n[QDL_OBJECT.0]\nNAME=Tank\n[QDL_TEAM.B0]\n", std::string(250, 'x'));
    w.ctx.prefs.sessionConfigName = std::string(250, 'x');
    EXPECT_TRUE(ConfigFilePath(w.ctx).empty() && WelcomeTextPath(w.ctx).empty());
    EXPECT_TRUE(w.warned(0, "Path too long"));
    EXPECT_NE(w.read("quarneld/qdlerror.txt").find("Path too long"), std::string::npos);

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

TEST(OptionsSummary, DefaultsGiveNineteenLinesAndFullScore) {
    SessionDesc d;
    d.dwUser1 = 0x0A050310;
    d.dwUser2 = 0x60409;
    HostSettings s;
    OptionsSummary o = BuildOptionsSummary(d, s);
    EXPECT_EQ(o.text,
              "Max. players: 16\r\nMax. teams: 3\r\nMax. players per team: 5\r\nCombat type: Squadron\r\n"
              "Victory req.: None\r\nScore percent: 100\r\nRecommended skill: All\r\nAllow pause: No\r\n"
              "Aircraft flight model: Hard\r\nUnlimited fuel: No\r\nUnlimited ammo: No\r\nSun glare: On\r\n"
              "G effects: On\r\nWeapon effectiveness: Normal\r\nRestrict aircraft: Yes\r\nGame status: Waiting\r\n"
              "Time of day: 12:00\r\nNo lock/radar players: No\r\nNo lock/radar targets: No\r\n");
    EXPECT_EQ(std::tuple(o.score, o.pauseAllowed, o.teamSelectorEnabled), std::tuple(100, false, true));
}

// SessionToJson: Check.MissingWorkingDirectoryOrFilesGiveDefaultsOrStatusOne compares its JSON whole.
TEST(ConfigReport, JsonNamesAndTexts) {
    TargetObject t;
    t.name = "Caf\xe9";  // Windows-1252
    t.longitude = 10 * kLongitudeUnitsPerDegree;
    EXPECT_TRUE(testing::Fields(TargetToJson(t), {{"name", "Caf\u00e9"}, {"airFilePath", nullptr},
                                                  {"longitudeText", "E10* 0' 0.00\""}}));
}

}  // namespace
}  // namespace qd
