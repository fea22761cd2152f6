#include "app/capture.h"

#include <gtest/gtest.h>

#include "simfiles/workdir.h"

namespace qd {
namespace {

using test::Bytes;
using test::WorkDir;

// A NET_MOTION copy with the fields the capture reads.
MotionCopy Motion(int32_t lat, uint16_t latFrac, int32_t lon, uint16_t lonFrac, uint32_t alt, uint16_t altFrac,
                  uint32_t headingField) {
    Bytes b;
    b.u32(0x100B).u32(48).u32(7).u32(123456).zeros(16);
    b.u32((headingField << 2) | (0x3FFu << 22));  // pitch bits must not leak into the heading
    b.u32(static_cast<uint32_t>(lat)).u32(static_cast<uint32_t>(lon)).u32(alt);
    b.u16(latFrac).u16(lonFrac).u16(altFrac).u16(0);
    MotionCopy m{};
    std::copy(b.b.begin(), b.b.end(), m.begin());
    return m;
}

std::string Line(const std::string& block, const std::string& key) {
    auto at = block.find("\n" + key + "=");
    if (at == std::string::npos) return "";
    return block.substr(at + 1, block.find('\n', at + 1) - at - 1);
}

TEST(Capture, BlocksAreByteExact) {
    MotionCopy m = Motion(4444444, 0, -11930458, 0, 1000, 0x8000, 511);
    EXPECT_EQ(FormatCapture(m, "Runway 27", kCaptureTarget, std::string("Tug One"), std::nullopt),
              "\n;  Capture description - Runway 27\n"
              ";  Target placement info.  Make sure to change X to proper target number\n"
              "[qdl_object.X]\n"
              "name=change me\n"
              "target_team=0\n"
              "aircraft=Tug One\n"
              "start_lat=N039* 59' 34.7900\"\n"
              "start_long=W000* 59' 59.9979\"\n"
              "start_alt=3282.94\n"
              "start_heading=179.82\n");
    // A team capture has no object block and ends with the formation heading.
    EXPECT_EQ(FormatCapture(m, "No description", kCaptureTeam, std::string("Tug One"), 10.0),
              "\n;  Capture description - No description\n"
              ";  Team placement info\n"
              "start_lat=N039* 59' 34.7900\"\n"
              "start_long=W000* 59' 59.9979\"\n"
              "start_alt=3272.94\n"
              "formation_heading=179.82\n");
    // No aircraft: no aircraft line, and no correction even if one is passed.
    std::string noAircraft = FormatCapture(m, "x", kCaptureTarget, std::nullopt, 10.0);
    EXPECT_EQ(noAircraft.find("aircraft="), std::string::npos);
    EXPECT_EQ(Line(noAircraft, "start_alt"), "start_alt=3282.94");
}

TEST(Capture, CoordinateAndAngleArithmetic) {
    auto fmt = [](int32_t lat, uint16_t latFrac, int32_t lon, uint16_t lonFrac, uint32_t heading = 0) {
        return FormatCapture(Motion(lat, latFrac, lon, lonFrac, 0, 0, heading), "", kCaptureTeam, std::nullopt,
                             std::nullopt);
    };
    // Negative whole part: the fraction adds to the magnitude (2.25 m south).
    std::string south = fmt(-2, 0x4000, -1, 0x8000);
    EXPECT_EQ(Line(south, "start_lat"), "start_lat=S000* 00' 00.0728\"");
    EXPECT_EQ(Line(south, "start_long"), "start_long=W000* 00' 00.0004\"");
    // Zero is north and east; the far east corner.
    EXPECT_EQ(Line(fmt(0, 0, 0, 0), "start_lat"), "start_lat=N000* 00' 00.0000\"");
    std::string east = fmt(5556528, 0xFFFF, 2147483647, 0xFFFF, 1023);
    EXPECT_EQ(Line(east, "start_long"), "start_long=E180* 00' 00.0000\"");
    EXPECT_EQ(Line(east, "formation_heading"), "formation_heading=360.00");
    // The most negative whole part has a magnitude of its own (no overflow on negation).
    std::string west = fmt(-2147483647 - 1, 0, -2147483647 - 1, 0, 767);
    EXPECT_EQ(Line(west, "start_lat"), "start_lat=S19323* 58' 16.1056\"");
    EXPECT_EQ(Line(west, "start_long"), "start_long=W180* 00' 00.0000\"");
    EXPECT_EQ(Line(west, "formation_heading"), "formation_heading=269.91");
    // Altitude is read unsigned.
    std::string high = FormatCapture(Motion(0, 0, 0, 0, 0xFFFFFFFFu, 0, 0), "", kCaptureTeam, std::nullopt,
                                     std::nullopt);
    EXPECT_EQ(Line(high, "start_alt"), "start_alt=14090928701.94");
}

TEST(Capture, DescriptionAndAircraftTexts) {
    MotionCopy m{};
    std::string longDesc(300, 'd');
    std::string block = FormatCapture(m, longDesc, kCaptureTeam, std::nullopt, std::nullopt);
    EXPECT_EQ(block.substr(0, 26 + 253 + 1), "\n;  Capture description - " + std::string(253, 'd') + "\n");
    EXPECT_EQ(FormatCapture(m, std::string("ab\0cd", 5), kCaptureTeam, std::nullopt, std::nullopt).substr(0, 29),
              "\n;  Capture description - ab\n");

    EXPECT_EQ(CaptureAircraftFromLongName("AJ[]Spitfire Mk.IX[]G"), "Spitfire Mk.IX");
    EXPECT_EQ(CaptureAircraftFromLongName("[[Pilot]]][Mustang]R"), "Mustang");
    EXPECT_EQ(CaptureAircraftFromLongName("AB[]C"), "C");
    EXPECT_EQ(CaptureAircraftFromLongName("Plain name"), std::nullopt);
    EXPECT_EQ(CaptureAircraftFromLongName("AJ[][]"), std::nullopt);
    EXPECT_EQ(CaptureAircraftFromLongName(""), std::nullopt);
    EXPECT_EQ(CaptureAircraftFromLongName(std::string("AJ[]\0Hidden", 11)), std::nullopt);
}

// Inventory with one aircraft whose flight model puts the eye 10 feet up.
void AddTug(const WorkDir& wd) {
    wd.Write("aircraft/tug/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug One\nSIM=qdtug\n");
    wd.Write("aircraft/tug/QDTUG.dp", "dp");
    Bytes air;
    air.u32(769).u32(16).zeros(6).u32(180000).u16(0).zeros(4);
    wd.Write("aircraft/tug/QDTUG.air", air.b);
}

TEST(Capture, WritesToTheFileWithTheAircraftsHeightCorrection) {
    WorkDir wd;
    AddTug(wd);
    MotionCopy m = Motion(4444444, 0, -11930458, 0, 1000, 0x8000, 511);
    EXPECT_EQ(CaptureHeightCorrection(wd.path(), "Tug One"), 10.0);

    ASSERT_TRUE(WriteCapture(wd.path(), m, "first", kCaptureTarget, "AJ[]Tug One[]B"));
    ASSERT_TRUE(WriteCapture(wd.path(), m, "second", kCaptureTeam, "NoAircraft"));
    std::string file = wd.Read("quarneld/capture.txt");
    EXPECT_EQ(file, FormatCapture(m, "first", kCaptureTarget, std::string("Tug One"), 10.0) +
                        FormatCapture(m, "second", kCaptureTeam, std::nullopt, std::nullopt));
    EXPECT_NE(file.find("start_alt=3272.94\n"), std::string::npos);
    EXPECT_TRUE(wd.LogLines().empty());

    // An aircraft the inventory does not know: its line is written, the altitude is not
    // corrected, and the lookup says why in the log.
    ASSERT_TRUE(WriteCapture(wd.path(), m, "third", kCaptureTarget, "AJ[]Zeppelin[]B"));
    std::string third = wd.Read("quarneld/capture.txt").substr(file.size());
    EXPECT_EQ(Line(third, "aircraft"), "aircraft=Zeppelin");
    EXPECT_EQ(Line(third, "start_alt"), "start_alt=3282.94");
    EXPECT_EQ(wd.LogLines(), (std::vector<std::string>{
                                 "Config error, target 'aircraft' not found in your inventory.", "Zeppelin"}));
}

TEST(Capture, NoFileNoCaptureAndNoLookup) {
    WorkDir wd;
    std::filesystem::remove_all(wd.path() / "quarneld");
    std::filesystem::create_directories(wd.path() / "logs");
    SetErrorLogPath(wd.path() / "logs/qdlerror.txt");
    EXPECT_FALSE(WriteCapture(wd.path(), MotionCopy{}, "x", kCaptureTarget, "AJ[]Zeppelin[]B"));
    EXPECT_FALSE(std::filesystem::exists(wd.path() / "quarneld/capture.txt"));
    EXPECT_FALSE(std::filesystem::exists(wd.path() / "logs/qdlerror.txt"));
}

}  // namespace
}  // namespace qd
