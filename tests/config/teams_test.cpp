#include <gtest/gtest.h>

#include <vector>

#include "config/teams.h"
#include "fixture.h"

namespace qd {
namespace {

using testing::Workdir;

std::vector<std::unique_ptr<TeamDefinition>> LoadAll(Workdir& w) { return LoadTeams(w.ctx); }

std::vector<std::string> Names(const std::vector<std::unique_ptr<TeamDefinition>>& teams) {
    std::vector<std::string> out;
    for (const auto& t : teams) out.push_back(t->name.value_or("<null>"));
    return out;
}

TEST(Teams, NamesKindsAndDefaultTarget) {
    Workdir w;
    w.cfg("[QDL_TEAM.T0]\n[QDL_TEAM.A0]\n[QDL_TEAM.A1]\n[QDL_TEAM.N0]\n\n");
    auto teams = LoadAll(w);
    EXPECT_EQ(Names(teams), (std::vector<std::string>{"Target ", "Attack ", "Attack2", "Team "}));
    EXPECT_EQ(teams[2]->kind, kTeamAttack);
    EXPECT_EQ(teams[3]->kind, kTeamGeneric);

    Workdir b;
    b.cfg("[qdl_team.b0]\n[QDL_TEAM]\n[OTHER.A0]\n[QDL_TEAM.T2] trailing\n[QDL_TEAM.X1]\n[QDL_TEAM.Bx]\n");
    teams = LoadAll(b);
    EXPECT_EQ(Names(teams), (std::vector<std::string>{"Bomber ", "Target3"}));
    EXPECT_TRUE(b.warned(5, "kind letter must be")) << b.dump();
    EXPECT_TRUE(b.warned(6, "a digit must follow"));

    Workdir only;
    only.cfg("[QDL_TEAM.B0]\nSTART_IN_AIR=1\n");
    teams = LoadAll(only);
    ASSERT_EQ(Names(teams), (std::vector<std::string>{"Bomber ", "Target "}));
    EXPECT_EQ(teams[1]->color, 2u);
    EXPECT_EQ(teams[1]->altitude, 0);
    EXPECT_EQ(teams[1]->startInAir, 0u);

    Workdir none;  // no file
    teams = LoadAll(none);
    EXPECT_EQ(Names(teams), (std::vector<std::string>{"Target "}));
}

TEST(Teams, KeysByKind) {
    Workdir w;
    w.ctx.settings.MAX_PLAYERS_PER_TEAM = 7;
    w.cfg("[QDL_TEAM.T0]\nSTART_ALT=3000\nCOLOR=7\nNAME=x\n"
          "[QDL_TEAM.N0]\nNAME=Red Squadron\nTYPE=2\nTYPE=3\n"
          "[QDL_TEAM.N1]\nTYPE=9\nCOLOR = 3\nCOLOR= 3\nBOGUS=1\n  MAX_PLAYERS=9\n"
          "[QDL_TEAM.N2]\nTYPE=4\nNAME=Late Name\nCOLOR=99\n");
    auto teams = LoadAll(w);
    ASSERT_EQ(teams.size(), 4u);
    EXPECT_EQ(teams[0]->color, 7u);
    EXPECT_EQ(teams[0]->altitude, 0);
    EXPECT_EQ(teams[0]->maxPlayers, 7u);
    EXPECT_TRUE(w.warned(2, "START_ALT is not read for a Target team")) << w.dump();
    EXPECT_EQ(teams[1]->name, "Red Squadron");
    EXPECT_EQ(teams[1]->kind, kTeamEscort);
    EXPECT_TRUE(w.warned(8, "TYPE after the kind was already set"));
    EXPECT_EQ(teams[2]->kind, kTeamGeneric);
    EXPECT_EQ(teams[2]->name, "Team2");
    EXPECT_EQ(teams[2]->color, 3u);
    EXPECT_EQ(teams[2]->maxPlayers, 7u);
    EXPECT_TRUE(w.warned(11, "COLOR has a blank before '='"));
    EXPECT_TRUE(w.warned(13, "unknown key 'BOGUS'"));
    EXPECT_TRUE(w.warned(14, "starts after blanks"));
    EXPECT_EQ(teams[3]->name, "Late Name");
    EXPECT_EQ(teams[3]->kind, kTeamAttack);
    EXPECT_EQ(teams[3]->color, 15u);
    EXPECT_TRUE(w.warned(18, "COLOR 99 is out of range 0..15; using 15"));
}

TEST(Teams, StartValuesAndLimits) {
    Workdir w;
    w.cfg("[QDL_TEAM.B0]\nSTART_ALT=1000\nSTART_SPEED=200\n"
          "[QDL_TEAM.B1]\nSTART_ALT=1000\nSTART_IN_AIR=1\nSTART_SPEED=-5\nSTART_RADIUS=10\n"
          "[QDL_TEAM.B2]\nSTART_IN_AIR=1\nFORMATION_HEADING=725\nPLAYER_ROTATION=-90\nPLAYER_SPACING=5\nMAX_PLAYERS=0\n"
          "[QDL_TEAM.B3]\nSTART_IN_AIR=1\nSTART_ALT=300000\nFORMATION_TYPE=8\nRESTRICT_AIRCRAFT=2\nMAX_PLAYERS=300\n"
          "[QDL_TEAM.B4]\nSTART_IN_AIR=1\nSTART_ALT=-10\nSTART_LAT=N47* 26' 30.5\"\nSTART_LONG=W122* 18'\n"
          "START_SPEED=fast\n[QDL_TEAM.T0]\n");
    auto teams = LoadAll(w);
    ASSERT_EQ(teams.size(), 6u);
    EXPECT_EQ(teams[0]->altitude, 0);
    EXPECT_EQ(teams[0]->startSpeed, 0u);
    EXPECT_TRUE(w.warned(2, "START_IN_AIR is 0")) << w.dump();

    EXPECT_EQ(teams[1]->altitude, 304);
    EXPECT_EQ(teams[1]->altitudeFraction, 52671);
    EXPECT_EQ(teams[1]->startSpeed, 300u);
    EXPECT_EQ(teams[1]->startRadius, 500u);

    EXPECT_EQ(teams[2]->altitude, 1524);  // the value before the section was read
    EXPECT_EQ(teams[2]->formationHeading, 5u);
    EXPECT_EQ(teams[2]->playerRotation, 166u);
    EXPECT_EQ(teams[2]->playerSpacing, 20u);
    EXPECT_EQ(teams[2]->maxPlayers, 1u);
    EXPECT_TRUE(w.warned(12, "taken modulo 360"));

    EXPECT_EQ(teams[3]->altitude, static_cast<int32_t>(215007 / kFeetPerMetre));
    EXPECT_EQ(teams[3]->formationType, 5u);
    EXPECT_EQ(teams[3]->restrictAircraft, 1u);
    EXPECT_EQ(teams[3]->maxPlayers, 255u);

    EXPECT_EQ(teams[4]->altitude, 0);
    EXPECT_EQ(teams[4]->altitudeFraction, 0);
    double lat = (47 + 26 / 60.0 + 30.5 / 3600) * kMetresPerDegreeLatitude;
    EXPECT_EQ(teams[4]->latitude, static_cast<int32_t>(lat));
    EXPECT_EQ(teams[4]->latitudeFraction, static_cast<uint16_t>((lat - static_cast<int32_t>(lat)) * 65536));
    double lon = -(122 + 18 / 60.0) * kLongitudeUnitsPerDegree;
    EXPECT_EQ(teams[4]->longitude, static_cast<int32_t>(lon));
    EXPECT_EQ(teams[4]->longitudeFraction,
              static_cast<uint16_t>(static_cast<int32_t>((lon - static_cast<int32_t>(lon)) * 65536)));
    EXPECT_EQ(teams[4]->startSpeed, 0u);  // not a number: left as it was
    EXPECT_TRUE(w.warned(26, "START_SPEED 'fast' is not a number"));
}

TEST(Teams, LineReadingRules) {
    // CR LF line ends; the last line without a line break is not read.
    Workdir w;
    w.cfg("[QDL_TEAM.N0]\r\nNAME=Crlf Team\r\n[QDL_TEAM.B0]\r\nCOLOR=9");
    auto teams = LoadAll(w);
    ASSERT_EQ(teams.size(), 3u);
    EXPECT_EQ(teams[0]->name, "Crlf Team");
    EXPECT_EQ(teams[1]->color, 2u);
    EXPECT_TRUE(w.warned(4, "no line break")) << w.dump();

    // A line longer than 255 characters is read in pieces: the second piece of this
    // NAME line is a line of its own that sets the colour.
    Workdir l;
    std::string longName(250, 'x');
    l.cfg("[QDL_TEAM.N0]\nNAME=" + longName + "COLOR=4\n[QDL_TEAM.T0]\n");
    teams = LoadAll(l);
    ASSERT_EQ(teams.size(), 2u);
    EXPECT_EQ(teams[0]->name, longName);
    EXPECT_EQ(teams[0]->color, 4u);
    EXPECT_TRUE(l.warned(2, "read in pieces"));

    // A header alone on a last line without line break is not a team.
    Workdir h;
    h.cfg("[QDL_TEAM.B0]\n[QDL_TEAM.B1]");
    EXPECT_EQ(Names(LoadAll(h)), (std::vector<std::string>{"Bomber ", "Target "}));
}

TEST(Teams, LastOfTheTableMustBeTarget) {
    Workdir w;
    std::string text;
    for (int i = 0; i < 300; ++i) text += "[QDL_TEAM.B" + std::to_string(i % 10) + "]\n";
    w.cfg(text);
    auto teams = LoadAll(w);
    ASSERT_EQ(teams.size(), 255u);
    EXPECT_EQ(teams[253]->name, "Bomber4");
    EXPECT_EQ(teams[254]->name, "Target ");
    EXPECT_EQ(teams[254]->kind, kTeamTarget);
    EXPECT_TRUE(w.warned(255, "replaced by the default Target team"));
    EXPECT_TRUE(w.warned(256, "at most 255 teams"));
    EXPECT_TRUE(w.warned(11, "same team name as the team of line 1"));
}

}  // namespace
}  // namespace qd
