#include <gtest/gtest.h>

#include <vector>

#include "config/report.h"
#include "config/teams.h"
#include "fixture.h"

namespace qd {
namespace {

using testing::Fields;
using testing::Workdir;

// The teams loaded from the configuration, as the report shows them.
std::vector<nlohmann::json> LoadAll(Workdir& w, const char* cfg) {
    w.cfg(cfg);
    std::vector<nlohmann::json> out;
    for (const auto& t : LoadTeams(w.ctx)) out.push_back(TeamToJson(*t));
    return out;
}

// "name:kind" of each team.
std::vector<std::string> Names(const std::vector<nlohmann::json>& teams) {
    std::vector<std::string> out;
    for (const auto& t : teams) out.push_back(t["name"].get<std::string>() + ":" + t["kind"].dump());
    return out;
}

TEST(Teams, NamesKindsAndDefaultTarget) {
    Workdir w;
    EXPECT_EQ(Names(LoadAll(w, "[QDL_TEAM.T0]\n[QDL_TEAM.A0]\n[QDL_TEAM.A1]\n[QDL_TEAM.N0]\n\n")),
              (std::vector<std::string>{"Target :0", "Attack :4", "Attack2:4", "Team :5"}));
    Workdir b;
    EXPECT_EQ(Names(LoadAll(b, "[qdl_team.b0]\n[QDL_TEAM]\n[OTHER.A0]\n[QDL_TEAM.T2] trailing\n[QDL_TEAM.X1]\n"
                               "[QDL_TEAM.Bx]\n")),
              (std::vector<std::string>{"Bomber :1", "Target3:0"}));
    EXPECT_TRUE(b.warnedAll({{5, "kind letter must be"}, {6, "a digit must follow"}}));

    // Without a Target team the default one is added (no file: that team alone, in
    // Check.MissingWorkingDirectoryOrFilesGiveDefaultsOrStatusOne).
    Workdir only;
    auto teams = LoadAll(only, "[QDL_TEAM.B0]\nSTART_IN_AIR=1\n");
    EXPECT_EQ(Names(teams), (std::vector<std::string>{"Bomber :1", "Target :0"}));
    EXPECT_TRUE(Fields(teams[1], {{"color", 2}, {"altitude", 0}, {"startInAir", 0}}));
}

TEST(Teams, KeysByKind) {
    Workdir w;
    w.ctx.settings.MAX_PLAYERS_PER_TEAM = 7;
    auto teams = LoadAll(w, "[QDL_TEAM.T0]\nSTART_ALT=3000\nCOLOR=7\nNAME=x\n"
                            "[QDL_TEAM.N0]\nNAME=Red Squadron\nTYPE=2\nTYPE=3\n"
                            "[QDL_TEAM.N1]\nTYPE=9\nCOLOR = 3\nCOLOR= 3\nBOGUS=1\n  MAX_PLAYERS=9\n"
                            "[QDL_TEAM.N2]\nTYPE=4\nNAME=Late Name\nCOLOR=99\n");
    EXPECT_EQ(Names(teams), (std::vector<std::string>{"Target :0", "Red Squadron:2", "Team2:5", "Late Name:4"}));
    EXPECT_TRUE(Fields(teams[0], {{"color", 7}, {"altitude", 0}, {"maxPlayers", 7}}));
    EXPECT_TRUE(Fields(teams[2], {{"color", 3}, {"maxPlayers", 7}}));
    EXPECT_TRUE(Fields(teams[3], {{"color", 15}}));
    EXPECT_TRUE(w.warnedAll({{2, "START_ALT is not read for a Target team"}, {8, "TYPE after the kind was already set"},
                             {11, "COLOR has a blank before '='"}, {13, "unknown key 'BOGUS'"}, {14, "starts after blanks"},
                             {18, "COLOR 99 is out of range 0..15; using 15"}}));
}

TEST(Teams, StartValuesAndLimits) {
    Workdir w;
    auto teams = LoadAll(w, "[QDL_TEAM.B0]\nSTART_ALT=1000\nSTART_SPEED=200\n"
                            "[QDL_TEAM.B1]\nSTART_ALT=1000\nSTART_IN_AIR=1\nSTART_SPEED=-5\nSTART_RADIUS=10\n"
                            "[QDL_TEAM.B2]\nSTART_IN_AIR=1\nFORMATION_HEADING=725\nPLAYER_ROTATION=-90\n"
                            "PLAYER_SPACING=5\nMAX_PLAYERS=0\n"
                            "[QDL_TEAM.B3]\nSTART_IN_AIR=1\nSTART_ALT=300000\nFORMATION_TYPE=8\nRESTRICT_AIRCRAFT=2\n"
                            "MAX_PLAYERS=300\n"
                            "[QDL_TEAM.B4]\nSTART_IN_AIR=1\nSTART_ALT=-10\nSTART_LAT=N47* 26' 30.5\"\n"
                            "START_LONG=W122* 18'\nSTART_SPEED=fast\n[QDL_TEAM.T0]\n");
    ASSERT_EQ(teams.size(), 6u);
    // On the ground: no altitude, no speed. In the air: feet to metres and a 16-bit
    // fraction, speeds and radius at least their floor, angles modulo 360.
    EXPECT_TRUE(Fields(teams[0], {{"altitude", 0}, {"startSpeed", 0}}));
    EXPECT_TRUE(Fields(teams[1], {{"altitude", 304}, {"altitudeFraction", 52671}, {"startSpeed", 300},
                                  {"startRadius", 500}}));
    // B2 keeps the altitude of the section before (5000 ft).
    EXPECT_TRUE(Fields(teams[2], {{"altitude", 1524}, {"formationHeading", 5}, {"playerRotation", 166},
                                  {"playerSpacing", 20}, {"maxPlayers", 1}}));
    EXPECT_TRUE(Fields(teams[3], {{"altitude", 65534}, {"formationType", 5}, {"restrictAircraft", 1},
                                  {"maxPlayers", 255}}));
    EXPECT_TRUE(Fields(teams[4], {{"altitude", 0}, {"altitudeFraction", 0}, {"latitude", 5272234}, {"latitudeFraction", 13766},
                                  {"longitude", -1459095034}, {"longitudeFraction", 53019}, {"startSpeed", 0}}));
    EXPECT_TRUE(w.warnedAll({{2, "START_IN_AIR is 0"}, {12, "taken modulo 360"},
                             {26, "START_SPEED 'fast' is not a number"}}));
}

TEST(Teams, LineReadingRules) {
    // CR LF line ends; the last line without a line break is not read.
    Workdir w;
    auto teams = LoadAll(w, "[QDL_TEAM.N0]\r\nNAME=Crlf Team\r\n[QDL_TEAM.B0]\r\nCOLOR=9");
    EXPECT_EQ(Names(teams), (std::vector<std::string>{"Crlf Team:5", "Bomber :1", "Target :0"}));
    EXPECT_EQ(teams[1]["color"], 2);
    EXPECT_TRUE(w.warned(4, "no line break")) << w.dump();

    // A line longer than 255 characters is read in pieces: the second piece of this
    // NAME line is a line of its own that sets the colour.
    Workdir l;
    const std::string longName(250, 'x'), cfg = "[QDL_TEAM.N0]\nNAME=" + longName + "COLOR=4\n[QDL_TEAM.T0]\n";
    teams = LoadAll(l, cfg.c_str());
    ASSERT_EQ(teams.size(), 2u);
    EXPECT_TRUE(Fields(teams[0], {{"name", longName}, {"color", 4}}));
    EXPECT_TRUE(l.warned(2, "read in pieces"));
}

TEST(Teams, LastOfTheTableMustBeTarget) {
    Workdir w;
    std::string text;
    for (int i = 0; i < 300; ++i) text += "[QDL_TEAM.B" + std::to_string(i % 10) + "]\n";
    auto teams = LoadAll(w, text.c_str());
    ASSERT_EQ(teams.size(), 255u);
    EXPECT_EQ(teams[253]["name"], "Bomber4");
    EXPECT_TRUE(Fields(teams[254], {{"name", "Target "}, {"kind", kTeamTarget}}));
    EXPECT_TRUE(w.warnedAll({{255, "replaced by the default Target team"}, {256, "at most 255 teams"},
                             {11, "same team name as the team of line 1"}}));
}

}  // namespace
}  // namespace qd
