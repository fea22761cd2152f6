#include <gtest/gtest.h>

#include "config/settings.h"
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

TEST(SessionSettings, EmptySectionGivesBuiltInDescription) {
    for (int version : {1, 2}) {
        Workdir w;
        w.ctx.prefs.simulatorVersion = version;
        SessionDesc d = Load(w, "");
        EXPECT_EQ(d.dwSize, 80u);
        EXPECT_EQ(d.dwFlags, 4u);
        EXPECT_EQ(d.guidApplication, version == 2 ? kGuidCfs2 : kGuidCombatFs);
        EXPECT_EQ(d.guidInstance, d.guidApplication);
        EXPECT_EQ(d.dwMaxPlayers, 16u);
        EXPECT_EQ(d.dwCurrentPlayers, 1u);
        EXPECT_EQ(d.dwUser1, 0x0A05FF10u);
        EXPECT_EQ(d.dwUser2, 0x60409u);
        EXPECT_EQ(d.dwUser3, version == 2 ? 0x23E81388u : 0x23E805F4u);
        EXPECT_EQ(d.dwUser4, 150u);
        EXPECT_EQ(d.sessionName, u"(none)[](none)[]AAAAAAAAAAAA[]AAAAAAAAAAAA");
        EXPECT_EQ(GetTimeOfDay(w.ctx), 43200);
        EXPECT_EQ(w.ctx.settings.LA_WINDOW_SEC, 60000u);
        EXPECT_EQ(w.ctx.settings.MAX_PLAYERS_PER_TEAM, 5u);
        EXPECT_TRUE(w.diag.empty()) << w.dump();
    }
    // No file at all: the same.
    Workdir w;
    std::optional<SessionDesc> desc;
    LoadSessionSettings(w.ctx, desc);
    EXPECT_EQ(desc->dwUser2, 0x60409u);
}

TEST(SessionSettings, ClampsCompareUnsigned) {
    Workdir w;
    SessionDesc d = Load(w, "MAX_PLAYERS=300\nMAX_PLAYERS_PER_TEAM=0\nWIN_CRITERIA=1\nRECOMMENDED_LEVEL=9\n"
                            "FLIGHT_MODEL=0\nALLOW_PAUSE=-1\nWEAPON_EFFECTIVENESS=7\nSUN_GLARE=0\n");
    EXPECT_EQ(d.dwMaxPlayers, 255u);
    EXPECT_EQ(d.dwUser1 & 0xFF, 255u);
    EXPECT_EQ((d.dwUser1 >> 16) & 0xFF, 1u);
    EXPECT_EQ(w.ctx.settings.MAX_PLAYERS_PER_TEAM, 1u);
    EXPECT_EQ((d.dwUser2 >> 1) & 3, 0u);
    EXPECT_EQ((d.dwUser2 >> 5) & 7, 5u);
    EXPECT_EQ((d.dwUser2 >> 9) & 3, 0u);
    EXPECT_EQ((d.dwUser2 >> 8) & 1, 1u);
    EXPECT_EQ((d.dwUser2 >> 22) & 3, 2u);
    EXPECT_EQ((d.dwUser2 >> 17) & 1, 0u);
    EXPECT_TRUE(w.warned(2, "MAX_PLAYERS 300 is out of range 0..255; using 255")) << w.dump();
    EXPECT_TRUE(w.warned(3, "MAX_PLAYERS_PER_TEAM 0"));
    EXPECT_TRUE(w.warned(4, "WIN_CRITERIA 1"));
    EXPECT_TRUE(w.warned(7, "ALLOW_PAUSE -1"));

    d = Load(w, "MAX_PLAYERS=-3\nWIN_CRITERIA=7\nLA_WINDOW_SEC=90\nMAX_KILLS=3\nCOMBAT_TYPE=0\nMAX_PLAYERS_PER_TEAM=-1\n");
    EXPECT_EQ(d.dwMaxPlayers, 255u);
    EXPECT_EQ(w.ctx.settings.MAX_PLAYERS_PER_TEAM, 255u);
    EXPECT_TRUE(w.warned(7, "MAX_PLAYERS_PER_TEAM -1 is out of range 1..255; using 255")) << w.dump();
    EXPECT_EQ((d.dwUser2 >> 1) & 3, 2u);
    EXPECT_EQ(w.ctx.settings.WIN_CRITERIA, 2u);
    EXPECT_EQ(w.ctx.settings.LA_WINDOW_SEC, 90000u);
    EXPECT_EQ(d.dwUser1 & 0xFFFFFF00u, 0x0AFFFF00u);  // MAX_KILLS and COMBAT_TYPE change nothing
    EXPECT_EQ(d.dwUser2 & 1, 1u);

    // A window too long for milliseconds in 32 bits is held, not wrapped.
    Load(w, "LA_WINDOW_SEC=5000000\n");
    EXPECT_EQ(w.ctx.settings.LA_WINDOW_SEC, 4294967000u);
}

TEST(SessionSettings, NumbersAsLongWithPrefixes) {
    Workdir w;
    SessionDesc d = Load(w, "MAX_PLAYERS=0x20\nMAX_PLAYERS_PER_TEAM=010\nNO_LOCK_OR_RADAR_PLAYERS= 7 players\n"
                            "BTEAMS_DESTROY_TARGETS=-2\nRECOMMENDED_LEVEL=lots\nMAX_TEAMS=many\n");
    EXPECT_EQ(d.dwMaxPlayers, 32u);
    EXPECT_EQ(w.ctx.settings.MAX_PLAYERS_PER_TEAM, 8u);
    EXPECT_EQ(w.ctx.settings.NO_LOCK_OR_RADAR_PLAYERS, 1);
    EXPECT_EQ(w.ctx.settings.BTEAMS_DESTROY_TARGETS, -2);
    // Not a number: the key's default, reported with its line.
    EXPECT_EQ((d.dwUser2 >> 5) & 7, 0u);
    EXPECT_TRUE(w.warned(6, "RECOMMENDED_LEVEL 'lots' is not a number; using the default 0")) << w.dump();
    EXPECT_FALSE(w.warned(7, "MAX_TEAMS"));  // read for nothing

    Load(w, "MAX_PLAYERS=99999999999\n");
    EXPECT_TRUE(w.warned(2, "does not fit 32 bits"));
}

// Every place that reads a no-fun switch tests for 1: any other non-zero value is on.
TEST(SessionSettings, NoFunSwitchesAreOnOrOff) {
    const struct {
        const char* value;
        int32_t read;
        const char* warning;  // the value as the warning gives it; null: none
    } cases[] = {{"0", 0, nullptr}, {"1", 1, nullptr}, {"2", 1, "2"}, {"-1", 1, "-1"}, {"0x10", 1, "16"}};
    for (const auto& c : cases) {
        Workdir w;
        Load(w, std::string("NO_LOCK_OR_RADAR_PLAYERS=") + c.value + "\nNO_LOCK_OR_RADAR_TARGETS=" + c.value + "\n");
        EXPECT_EQ(w.ctx.settings.NO_LOCK_OR_RADAR_PLAYERS, c.read) << c.value;
        EXPECT_EQ(w.ctx.settings.NO_LOCK_OR_RADAR_TARGETS, c.read) << c.value;
        const std::string said = std::string(" ") + (c.warning ? c.warning : "") + " is neither 0 nor 1; read as 1 (on)";
        EXPECT_EQ(w.warned(2, "NO_LOCK_OR_RADAR_PLAYERS" + said), c.warning != nullptr) << w.dump();
        EXPECT_EQ(w.warned(3, "NO_LOCK_OR_RADAR_TARGETS" + said), c.warning != nullptr) << w.dump();
    }
}

TEST(SessionSettings, TimeOfDay) {
    EXPECT_EQ(ParseTimeOfDay("7:30"), 27000);
    EXPECT_EQ(ParseTimeOfDay("23:59"), 86340);
    EXPECT_EQ(ParseTimeOfDay("noon"), 0);
    EXPECT_EQ(ParseTimeOfDay("12:"), 43200);  // missing characters count as '0'
    EXPECT_EQ(ParseTimeOfDay("7:3"), 7 * 3600 + 30 * 60);
    bool valid = true;
    EXPECT_EQ(ParseTimeOfDay("25:99", &valid), 25 * 3600 + 99 * 60);  // no range check
    EXPECT_FALSE(valid);
    EXPECT_EQ(ParseTimeOfDay("1a:00", &valid), (10 + ('a' - '0')) * 3600);
    EXPECT_FALSE(valid);

    Workdir w;
    Load(w, "SESSION_NAME=x\nTIME_OF_DAY=noon\n");
    EXPECT_EQ(GetTimeOfDay(w.ctx), 0);
    EXPECT_TRUE(w.warned(3, "TIME_OF_DAY 'noon'"));
    SetTimeOfDay(w.ctx, 1800);
    EXPECT_EQ(w.ctx.settings.TIME_OF_DAY, 1800);
}

TEST(SessionSettings, LobbyDescriptionKeepsNameAndGuids) {
    Workdir w;
    w.cfg("[QDL_SETTINGS]\nSESSION_NAME=File name\nSESSION_NOTES=File notes\n");
    SessionDesc lobby;
    lobby.dwSize = 80;
    lobby.guidInstance = *Guid::parse("{11111111-2222-3333-4444-555555555555}");
    lobby.guidApplication = kGuidCfs2;
    lobby.sessionName = u"Lobby \u00e9\u20ac";
    std::optional<SessionDesc> desc = lobby;
    LoadSessionSettings(w.ctx, desc);
    EXPECT_EQ(desc->guidInstance, lobby.guidInstance);
    EXPECT_EQ(desc->guidApplication, kGuidCfs2);
    // Narrowed and widened again as every DirectPlay name is: low bytes, sign-extended.
    EXPECT_EQ(desc->sessionName, u"Lobby \xFFE9\xFFAC[][]AAAAAAAAAAAA[]AAAAAAAAAAAA");
    EXPECT_EQ(desc->dwUser1, 0x0A05FF10u);

    // A lobby description without a name takes the file's name and notes.
    desc = SessionDesc{};
    LoadSessionSettings(w.ctx, desc);
    EXPECT_EQ(desc->sessionName, u"File name[]File notes[]AAAAAAAAAAAA[]AAAAAAAAAAAA");
    EXPECT_TRUE(desc->guidApplication.isNull());
}

TEST(SessionSettings, LongNameAndNotesAreCutToFit) {
    Workdir w;
    SessionDesc d = Load(w, "SESSION_NAME=" + std::string(200, 'n') + "\nSESSION_NOTES=" + std::string(200, 'o') + "\n");
    ASSERT_TRUE(d.sessionName);
    EXPECT_EQ(d.sessionName->size(), 256u);
    EXPECT_EQ(*d.sessionName, std::u16string(200, u'n') + u"[]" + std::u16string(26, u'o') +
                                  u"[]AAAAAAAAAAAA[]AAAAAAAAAAAA");
    EXPECT_TRUE(w.warned(0, "cut"));

    bool cut = false;
    EXPECT_EQ(JoinSessionName(std::string(300, 'n'), "notes", &cut).size(), 256u);
    EXPECT_TRUE(cut);
    EXPECT_EQ(JoinSessionName("a", "b", &cut), "a[]b[]AAAAAAAAAAAA[]AAAAAAAAAAAA");
    EXPECT_FALSE(cut);
}

TEST(SessionSettings, UnknownKeysAreReported) {
    Workdir w;
    Load(w, "MAX_PLAYERS=8\nMAX_PLAYER=9\nmax_players=10\n");
    EXPECT_TRUE(w.warned(3, "unknown key 'MAX_PLAYER'")) << w.dump();
    EXPECT_TRUE(w.warned(4, "repeated"));
}

}  // namespace
}  // namespace qd
