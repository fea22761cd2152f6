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

// The words the session description carries (the host settings are read from them).
auto Words(const SessionDesc& d) { return std::tuple(d.dwMaxPlayers, d.dwUser1, d.dwUser2, d.dwUser3, d.dwUser4); }

TEST(SessionSettings, EmptySectionGivesBuiltInDescription) {
    for (int version : {1, 2}) {
        Workdir w;
        w.ctx.prefs.simulatorVersion = version;
        SessionDesc d = Load(w, "");
        EXPECT_EQ(std::tuple(d.dwSize, d.dwFlags, d.dwCurrentPlayers), std::tuple(80u, 4u, 1u));
        EXPECT_EQ(Words(d), std::tuple(16u, 0x0A05FF10u, 0x60409u, version == 2 ? 0x23E81388u : 0x23E805F4u, 150u));
        EXPECT_EQ(d.guidApplication, version == 2 ? kGuidCfs2 : kGuidCombatFs);
        EXPECT_EQ(d.guidInstance, d.guidApplication);
        EXPECT_EQ(d.sessionName, u"(none)[](none)[]AAAAAAAAAAAA[]AAAAAAAAAAAA");
        const HostSettings& s = w.ctx.settings;
        EXPECT_EQ(std::tuple(s.TIME_OF_DAY, s.LA_WINDOW_SEC, s.MAX_PLAYERS_PER_TEAM), std::tuple(43200, 60000u, 5u));
        EXPECT_TRUE(w.diag.empty()) << w.dump();
    }
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
             {"7:30", 27000, true}, {"23:59", 86340, true}, {"noon", 0, false}, {"12:", 43200, true},
             {"7:3", 27000, true}, {"25:99", 25 * 3600 + 99 * 60, false}, {"1a:00", (10 + 'a' - '0') * 3600, false}}) {
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
              std::tuple(lobby.guidInstance, kGuidCfs2, u"Lobby \xFFE9\xFFAC[][]AAAAAAAAAAAA[]AAAAAAAAAAAA", 0x0A05FF10u));

    // A lobby description without a name takes the file's name and notes.
    desc = SessionDesc{};
    LoadSessionSettings(w.ctx, desc);
    EXPECT_EQ(std::tuple(desc->sessionName, desc->guidApplication.isNull()),
              std::tuple(u"File name[]File notes[]AAAAAAAAAAAA[]AAAAAAAAAAAA", true));
}

TEST(SessionSettings, LongNameAndNotesAreCutToFit) {
    Workdir w;
    const std::u16string tail = u"[]AAAAAAAAAAAA[]AAAAAAAAAAAA";
    SessionDesc d = Load(w, "SESSION_NAME=" + std::string(200, 'n') + "\nSESSION_NOTES=" + std::string(200, 'o') + "\n");
    EXPECT_EQ(d.sessionName, std::u16string(200, u'n') + u"[]" + std::u16string(26, u'o') + tail);
    EXPECT_TRUE(w.warned(0, "cut"));

    bool cut = false;
    EXPECT_EQ((std::pair{JoinSessionName(std::string(300, 'n'), "notes", &cut).size(), cut}), std::pair(256ul, true));
    EXPECT_EQ(JoinSessionName("a", "b", &cut), "a[]b[]AAAAAAAAAAAA[]AAAAAAAAAAAA");
    EXPECT_FALSE(cut);
}

}  // namespace
}  // namespace qd
