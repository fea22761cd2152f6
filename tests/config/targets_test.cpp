#include <gtest/gtest.h>

#include <vector>

#include "config/coordinate.h"
#include "config/targets.h"
#include "fixture.h"

namespace qd {
namespace {

using testing::Workdir;

std::vector<std::unique_ptr<TargetObject>> LoadAll(Workdir& w) {
    std::vector<std::unique_ptr<TargetObject>> out;
    for (int i = 0; i < kMaxTargets; ++i) {
        auto t = LoadTargetObject(w.ctx, i);
        if (!t) break;
        out.push_back(std::move(t));
    }
    return out;
}

TEST(Coordinates, ParseAndSplit) {
    std::string s = "S33* 30'";
    EXPECT_NEAR(ParseCoordinate(s), -3722873.6126, 1e-3);
    EXPECT_EQ(s, "S33* 30'");
    s = "w122* 18'";
    EXPECT_NEAR(ParseCoordinate(s), -1459095034.191, 1e-2);
    EXPECT_EQ(s, "W122* 18'");  // upper-cased in place
    s = "N47* 26' 30.5\"";
    EXPECT_NEAR(ParseCoordinate(s), (47 + 26 / 60.0 + 30.5 / 3600) * kMetresPerDegreeLatitude, 1e-6);
    s = "X10*";
    EXPECT_EQ(ParseCoordinate(s), 0);
    s = "Ninf*";
    CoordinateScan scan = ScanCoordinate(s);
    EXPECT_FALSE(scan.finite);
    EXPECT_EQ(scan.value, 0);

    int32_t whole = 7;
    uint16_t frac = 7;
    s = "S0* 0' 0.0001\"";  // a small negative value: fraction in two's complement
    EXPECT_TRUE(ParseCoordinateSplit(s, whole, frac));
    EXPECT_EQ(whole, 0);
    double v = -0.0001 / 3600 * kMetresPerDegreeLatitude;
    EXPECT_EQ(frac, static_cast<uint16_t>(static_cast<int32_t>(v * 65536)));
    s = "Nnan*";
    whole = 5;
    EXPECT_FALSE(ParseCoordinateSplit(s, whole, frac));
    EXPECT_EQ(whole, 5);
    // Longitudes past 180 degrees wrap by whole turns.
    EXPECT_FALSE(SplitValue(4294967296.0 + 10.5, whole, frac));
    EXPECT_EQ(whole, 10);
    EXPECT_EQ(frac, 32768);

    EXPECT_EQ(FormatLatitude((47 + 26 / 60.0 + 30.5 / 3600) * kMetresPerDegreeLatitude), "N47* 26' 30.50\"");
    EXPECT_EQ(FormatLongitude(-1459095034.191), "W122* 18' 0.00\"");
}

TEST(TargetObjects, RunOfNumberedSectionsEndsAtGap) {
    Workdir w;
    w.cfg("[QDL_OBJECT.0]\nNAME=A\n[QDL_OBJECT.1]\nNAME=B\n[QDL_OBJECT.3]\nNAME=D\n");
    auto all = LoadAll(w);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1]->name, "B");
    EXPECT_TRUE(w.warned(5, "never read: the objects end at the gap after object 1")) << w.dump();
}

TEST(TargetObjects, DefaultObjectWhenNoSection) {
    Workdir w;
    w.cfg("[QDL_SETTINGS]\n");
    auto all = LoadAll(w);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0]->name, "DefTarg");
    EXPECT_EQ(all[0]->aircraft, "windsock");
    EXPECT_EQ(all[0]->lifePoints, 0);
    EXPECT_EQ(all[0]->latitude, 0);

    // A section without keys takes the key defaults.
    Workdir e;
    e.cfg("[QDL_OBJECT.0]\n");
    auto t = LoadTargetObject(e.ctx, 0);
    EXPECT_EQ(t->name, "DefTarg");
    EXPECT_EQ(t->aircraft, "V1");
    EXPECT_EQ(t->lifePoints, 1500);
    EXPECT_EQ(t->targetTeam, 0);
    EXPECT_EQ(t->altitude, 0);
    EXPECT_EQ(t->collisionsDestroy + t->isBombingTarget + t->disableCollisions + t->unhittable, 0);
    EXPECT_TRUE(e.diag.empty()) << e.dump();
}

TEST(TargetObjects, SectionNumbersReadAsLong) {
    Workdir w;
    w.cfg("[qdl_object.0]\nNAME=zero\n[QDL_OBJECT.0x1]\nNAME=one\n[QDL_OBJECT.2]\nNAME=two\n[QDL_OBJECT.2]\nNAME=dup\n"
          "[QDL_OBJECT. 3]\nNAME=three\n[QDL_OBJECT.010]\nNAME=eight\n[QDL_OBJECT.x]\n");
    auto all = LoadAll(w);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0]->name, "zero");
    EXPECT_EQ(all[1]->name, "one");
    EXPECT_EQ(all[2]->name, "two");
    EXPECT_EQ(all[3]->name, "three");
    EXPECT_TRUE(w.warned(7, "repeats object 2 of line 5")) << w.dump();
    EXPECT_TRUE(w.warned(11, "[QDL_OBJECT.010] is never read"));
    EXPECT_TRUE(w.warned(13, "no object number"));
}

TEST(TargetObjects, KeyConversions) {
    Workdir w;
    w.cfg("[QDL_OBJECT.0]\nNAME=Tank\nAIRCRAFT=T-34\nTARGET_TEAM=2\nSTART_LAT=S33* 30'\nSTART_LONG=w122* 18'\n"
          "START_ALT=1500\nSTART_HEADING=270.5\nLIFE_POINTS=900\nCOLLISIONS_DESTROY=5\nIS_BOMBING_TARGET=-1\n"
          "DISABLE_COLLISIONS=0\nUNHITTABLE=yes\nCOLOUR=3\n"
          "[QDL_OBJECT.1]\nSTART_LAT=E10*\nSTART_LONG=X10*\nSTART_ALT=5000\nTARGET_TEAM=0x3\n");
    auto all = LoadAll(w);
    ASSERT_EQ(all.size(), 2u);
    const TargetObject& a = *all[0];
    EXPECT_EQ(a.aircraft, "T-34");
    EXPECT_EQ(a.targetTeam, 2);
    EXPECT_NEAR(a.latitude, -3722873.6126, 1e-3);
    EXPECT_NEAR(a.longitude, -1459095034.191, 1e-2);
    EXPECT_NEAR(a.altitude, 457.2056, 1e-4);
    EXPECT_EQ(a.heading, 270.5);
    EXPECT_EQ(a.lifePoints, 900);
    EXPECT_EQ(a.collisionsDestroy, 1);
    EXPECT_EQ(a.isBombingTarget, 1);
    EXPECT_EQ(a.unhittable, 0);
    EXPECT_TRUE(w.warned(13, "UNHITTABLE 'yes' is not a number")) << w.dump();
    EXPECT_TRUE(w.warned(14, "unknown key 'COLOUR'"));

    const TargetObject& b = *all[1];
    EXPECT_NEAR(b.latitude, 10 * kLongitudeUnitsPerDegree, 1e-3);  // the letter chooses the scale
    EXPECT_EQ(b.longitude, 0);
    EXPECT_NEAR(b.altitude, 1524.0185, 1e-4);
    EXPECT_EQ(b.targetTeam, 0);  // "%ld": decimal only
    EXPECT_TRUE(w.warned(17, "does not start with N, S, E or W"));
}

TEST(TargetObjects, AtMostThirtyTwo) {
    Workdir w;
    std::string text;
    for (int i = 0; i < 40; ++i) text += "[QDL_OBJECT." + std::to_string(i) + "]\nNAME=T" + std::to_string(i) + "\n";
    w.cfg(text);
    auto all = LoadAll(w);
    ASSERT_EQ(all.size(), 32u);
    EXPECT_EQ(all[31]->name, "T31");
    EXPECT_TRUE(w.warned(65, "[QDL_OBJECT.32] is never read: only 32 objects are loaded")) << w.dump();
}

TEST(TargetObjects, NamesBeyondTheNameListAreUnseen) {
    Workdir w;
    // 40 long section names overflow the 1000-byte list before QDL_OBJECT.1.
    std::string text = "[QDL_OBJECT.0]\n";
    for (int i = 0; i < 40; ++i) text += "[FILLER_SECTION_WITH_A_LONG_NAME_" + std::to_string(i) + "]\n";
    text += "[QDL_OBJECT.1]\nNAME=late\n";
    w.cfg(text);
    auto all = LoadAll(w);
    EXPECT_EQ(all.size(), 1u);
    EXPECT_TRUE(w.warned(42, "beyond the first 1000 bytes")) << w.dump();
}

}  // namespace
}  // namespace qd
