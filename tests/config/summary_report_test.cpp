#include <gtest/gtest.h>

#include "config/report.h"
#include "config/summary.h"
#include "fixture.h"

namespace qd {
namespace {

TEST(OptionsSummary, DefaultsGiveNineteenLinesAndFullScoreAndVariantsTheirOwn) {
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

    // Free for all, first to destroy, easy, unlimited fuel and ammo, no glare or G,
    // strongest weapons, pause allowed, flying, skill 7 (shown as the highest).
    d.dwUser2 = (1u << 1) | (7u << 5) | (1u << 8) | (1u << 13) | (1u << 14) | (1u << 23) | (1u << 24);
    s.TIME_OF_DAY = 27000;
    s.WIN_CRITERIA = 2;
    s.LA_WINDOW_SEC = 90000;
    s.NO_LOCK_OR_RADAR_TARGETS = 1;
    o = BuildOptionsSummary(d, s);
    EXPECT_EQ(std::tuple(o.score, o.pauseAllowed, o.teamSelectorEnabled), std::tuple(40, true, false));
    EXPECT_EQ(o.text,
              "Max. players: 16\r\nCombat type: Free for all\r\nVictory req.: First to destroy 10\r\nScore percent: 40\r\n"
              "Recommended skill: Ace\r\nAllow pause: Yes\r\nAircraft flight model: Easy\r\nUnlimited fuel: Yes\r\n"
              "Unlimited ammo: Yes\r\nSun glare: Off\r\nG effects: Off\r\nWeapon effectiveness: Strongest\r\n"
              "Restrict aircraft: No\r\nGame status: Flying\r\nTime of day: 07:30\r\nNo lock/radar players: No\r\n"
              "No lock/radar targets: Yes\r\nLast Alive Window: 90 seconds\r\n");

    d.dwUser2 = (1u << 2) | (1u << 9) | (1u << 22);
    s.WIN_CRITERIA = 0;
    o = BuildOptionsSummary(d, s);
    EXPECT_NE(o.text.find("Victory req.: Last alive\r\n"), std::string::npos);
    EXPECT_NE(o.text.find("Aircraft flight model: Medium\r\n"), std::string::npos);
    EXPECT_NE(o.text.find("Weapon effectiveness: Stronger\r\n"), std::string::npos);
    EXPECT_EQ(o.score, 40 + 5 + 15 + 15 + 5);
    EXPECT_EQ(o.text.find("Last Alive"), std::string::npos);
}

TEST(ConfigReport, JsonNamesAndTexts) {
    TargetObject t;
    t.name = "Caf\xe9";  // Windows-1252
    t.longitude = 10 * kLongitudeUnitsPerDegree;
    EXPECT_TRUE(testing::Fields(TargetToJson(t), {{"name", "Caf\u00e9"}, {"airFilePath", nullptr},
                                                  {"longitudeText", "E10* 0' 0.00\""}}));

    SessionDesc d;
    d.dwUser1 = 0x0A05FF10;
    d.sessionName = u"Caf\u00e9[]";
    EXPECT_TRUE(testing::Fields(SessionToJson(d), {{"dwUser1", 0x0A05FF10}, {"sessionName", "Caf\u00e9[]"}}));
    EXPECT_EQ(SettingsToJson(HostSettings{})["LA_WINDOW_SEC"], 60000);
    EXPECT_EQ(PrefsToJson(UserPrefs{})["sessionConfigName"], "Default");
}

}  // namespace
}  // namespace qd
