#include <gtest/gtest.h>

#include <vector>

#include "config/coordinate.h"
#include "config/report.h"
#include "config/targets.h"
#include "fixture.h"

namespace qd {
namespace {

using testing::Fields;
using testing::Workdir;

// Every object loaded from the configuration, as the report shows it.
std::vector<nlohmann::json> LoadAll(Workdir& w, std::string_view cfg) {
    w.cfg(cfg);
    std::vector<nlohmann::json> out;
    for (int i = 0; i < kMaxTargets; ++i) {
        auto t = LoadTargetObject(w.ctx, i);
        if (!t) break;
        out.push_back(TargetToJson(*t));
    }
    return out;
}

std::vector<std::string> Names(const std::vector<nlohmann::json>& all) {
    std::vector<std::string> out;
    for (const auto& t : all) out.push_back(t["name"]);
    return out;
}

TEST(Coordinates, ParseAndSplit) {
    const double kSouth = -3722873.6126, kWest = -1459095034.191;
    // The letter chooses the scale; the text is upper-cased in place; an unknown letter reads 0.
    for (auto [text, upper, value] : std::initializer_list<std::tuple<const char*, const char*, double>>{
             {"S33* 30'", "S33* 30'", kSouth}, {"w122* 18'", "W122* 18'", kWest},
             {"E10*", "E10*", 10 * kLongitudeUnitsPerDegree},
             {"N47* 26' 30.5\"", "N47* 26' 30.5\"", (47 + 26 / 60.0 + 30.5 / 3600) * kMetresPerDegreeLatitude},
             {"X10*", "X10*", 0}}) {
        std::string s = text;
        EXPECT_NEAR(ParseCoordinate(s), value, 1e-3) << text;
        EXPECT_EQ(s, upper);
    }
    std::string s = "Ninf*";
    CoordinateScan scan = ScanCoordinate(s);
    EXPECT_FALSE(scan.finite);
    EXPECT_EQ(scan.value, 0);

    int32_t whole = 7;
    uint16_t frac = 7;
    s = "S0* 0' 0.0001\"";  // a small negative value: fraction in two's complement
    EXPECT_TRUE(ParseCoordinateSplit(s, whole, frac));
    EXPECT_EQ(std::pair(whole, frac), std::pair(0, uint16_t{65334}));
    s = "Nnan*";
    EXPECT_FALSE(ParseCoordinateSplit(s, whole, frac));
    EXPECT_EQ(std::pair(whole, frac), std::pair(0, uint16_t{65334}));  // untouched
    // Longitudes past 180 degrees wrap by whole turns.
    EXPECT_FALSE(SplitValue(4294967296.0 + 10.5, whole, frac));
    EXPECT_EQ(std::pair(whole, frac), std::pair(10, uint16_t{32768}));
}

TEST(TargetObjects, WhichSectionsAreRead) {
    // Numbered sections from 0 up, numbers read as "%ld" would; the run ends at a gap.
    Workdir w;
    auto all = LoadAll(w, "[qdl_object.0]\nNAME=zero\n[QDL_OBJECT.0x1]\nNAME=one\n[QDL_OBJECT.2]\nNAME=two\n"
                          "[QDL_OBJECT.2]\nNAME=dup\n[QDL_OBJECT. 3]\nNAME=three\n[QDL_OBJECT.010]\nNAME=eight\n"
                          "[QDL_OBJECT.x]\n[QDL_OBJECT.5]\n");
    EXPECT_EQ(Names(all), (std::vector<std::string>{"zero", "one", "two", "three"}));
    EXPECT_TRUE(w.warnedAll({{7, "repeats object 2 of line 5"}, {11, "[QDL_OBJECT.010] is never read"},
                             {13, "no object number"}, {14, "never read: the objects end at the gap after object 3"}}));

    // A section whose name lies beyond the first 1000 bytes of the name list is unseen (the
    // limit of 32 objects is checked with the check command).
    Workdir late;
    std::string text = "[QDL_OBJECT.0]\n";
    for (int i = 0; i < 40; ++i) text += "[FILLER_SECTION_WITH_A_LONG_NAME_" + std::to_string(i) + "]\n";
    EXPECT_EQ(LoadAll(late, text + "[QDL_OBJECT.1]\nNAME=late\n").size(), 1u);
    EXPECT_TRUE(late.warned(42, "beyond the first 1000 bytes")) << late.dump();

    // A section without keys takes the key defaults (no object section: the default
    // object, in Check.MissingWorkingDirectoryOrFilesGiveDefaultsOrStatusOne).
    Workdir empty;
    all = LoadAll(empty, "[QDL_OBJECT.0]\n");
    EXPECT_TRUE(Fields(all.at(0), {{"name", "DefTarg"}, {"aircraft", "V1"}, {"lifePoints", 1500}, {"targetTeam", 0},
                                   {"altitude", 0}, {"collisionsDestroy", 0}, {"isBombingTarget", 0},
                                   {"disableCollisions", 0}, {"unhittable", 0}}));
    EXPECT_TRUE(empty.diag.empty()) << empty.dump();
}

TEST(TargetObjects, KeyConversions) {
    Workdir w;
    auto all = LoadAll(w, "[QDL_OBJECT.0]\nNAME=Tank\nAIRCRAFT=T-34\nTARGET_TEAM=2\nSTART_LAT=S33* 30'\n"
                          "START_LONG=w122* 18'\nSTART_ALT=1500\nSTART_HEADING=270.5\nLIFE_POINTS=900\n"
                          "COLLISIONS_DESTROY=5\nIS_BOMBING_TARGET=-1\nDISABLE_COLLISIONS=0\nUNHITTABLE=yes\nCOLOUR=3\n"
                          "[QDL_OBJECT.1]\nSTART_LAT=E10*\nSTART_LONG=X10*\nSTART_ALT=5000\nTARGET_TEAM=0x3\n");
    ASSERT_EQ(all.size(), 2u);
    // Switches are on for any non-zero value; TARGET_TEAM is decimal only ("%ld").
    EXPECT_TRUE(Fields(all[0], {{"aircraft", "T-34"}, {"targetTeam", 2}, {"heading", 270.5}, {"lifePoints", 900},
                                {"collisionsDestroy", 1}, {"isBombingTarget", 1}, {"unhittable", 0},
                                {"latitudeText", "S33* 30' 0.00\""}, {"longitudeText", "W122* 18' 0.00\""}}));
    EXPECT_NEAR(all[0]["altitude"].get<double>(), 457.2056, 1e-4);  // feet to metres
    EXPECT_TRUE(Fields(all[1], {{"longitude", 0}, {"targetTeam", 0}}));
    EXPECT_NEAR(all[1]["latitude"].get<double>(), 10 * kLongitudeUnitsPerDegree, 1e-3);  // the letter chooses the scale
    EXPECT_NEAR(all[1]["altitude"].get<double>(), 1524.0185, 1e-4);
    EXPECT_TRUE(w.warnedAll({{13, "UNHITTABLE 'yes' is not a number"}, {14, "unknown key 'COLOUR'"},
                             {17, "does not start with N, S, E or W"}}));
}

}  // namespace
}  // namespace qd
