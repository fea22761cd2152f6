#include "app/capture.h"

#include <gtest/gtest.h>

#include "config/fixture.h"

namespace qd {
namespace {

using testing::Bytes;
using testing::Workdir;

// A NET_MOTION copy with the fields the capture reads.
MotionCopy Motion(int32_t lat, uint16_t latFrac, int32_t lon, uint16_t lonFrac, uint32_t alt = 0,
                  uint16_t altFrac = 0, uint32_t headingField = 0) {
    Bytes b;
    b.u32(0x100B).u32(48).u32(7).u32(123456).zeros(16);
    b.u32((headingField << 2) | (0x3FFu << 22));  // pitch bits must not leak into the heading
    b.u32(static_cast<uint32_t>(lat)).u32(static_cast<uint32_t>(lon)).u32(alt);
    b.u16(latFrac).u16(lonFrac).u16(altFrac).u16(0);
    MotionCopy m{};
    std::copy(b.b.begin(), b.b.end(), m.begin());
    return m;
}
const MotionCopy kField = Motion(4444444, 0, -11930458, 0, 1000, 0x8000, 511);

// The lines of a team block after its two comment lines, joined by '|'.
std::string Team(const MotionCopy& m) {
    std::string block = FormatCapture(m, "", kCaptureTeam, std::nullopt, std::nullopt);
    block = block.substr(block.find("info\n") + 5);
    for (char& c : block) c = c == '\n' ? '|' : c;
    return block;
}

TEST(Capture, BlocksAreByteExact) {
    EXPECT_EQ(FormatCapture(kField, "Runway 27", kCaptureTarget, std::string("Tug One"), std::nullopt),
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
    EXPECT_EQ(FormatCapture(kField, "No description", kCaptureTeam, std::string("Tug One"), 10.0),
              "\n;  Capture description - No description\n"
              ";  Team placement info\n"
              "start_lat=N039* 59' 34.7900\"\n"
              "start_long=W000* 59' 59.9979\"\n"
              "start_alt=3272.94\n"
              "formation_heading=179.82\n");
    // No aircraft: no aircraft line, and no correction even if one is passed.
    const std::string noAircraft = FormatCapture(kField, "x", kCaptureTarget, std::nullopt, 10.0);
    EXPECT_EQ(noAircraft.find("aircraft="), std::string::npos);
    EXPECT_NE(noAircraft.find("\nstart_alt=3282.94\n"), std::string::npos);
}

TEST(Capture, CoordinateAndAngleArithmetic) {
    const std::pair<MotionCopy, const char*> cases[] = {
        // Negative whole part: the fraction adds to the magnitude (2.25 m south).
        {Motion(-2, 0x4000, -1, 0x8000),
         "start_lat=S000* 00' 00.0728\"|start_long=W000* 00' 00.0004\"|start_alt=0.50|formation_heading=0.00|"},
        // Zero is north and east; altitudes are rounded by half a foot; the far east corner.
        {Motion(0, 0, 0, 0), "start_lat=N000* 00' 00.0000\"|start_long=E000* 00' 00.0000\"|start_alt=0.50|"
                             "formation_heading=0.00|"},
        {Motion(5556528, 0xFFFF, 2147483647, 0xFFFF, 0, 0, 1023),
         "start_lat=N050* 00' 00.0396\"|start_long=E180* 00' 00.0000\"|start_alt=0.50|formation_heading=360.00|"},
        // The most negative whole part has a magnitude of its own (no overflow on negation).
        {Motion(-2147483647 - 1, 0, -2147483647 - 1, 0, 0, 0, 767),
         "start_lat=S19323* 58' 16.1056\"|start_long=W180* 00' 00.0000\"|start_alt=0.50|"
         "formation_heading=269.91|"},
        // Altitude is read unsigned.
        {Motion(0, 0, 0, 0, 0xFFFFFFFFu), "start_lat=N000* 00' 00.0000\"|start_long=E000* 00' 00.0000\"|"
                                          "start_alt=14090928701.94|formation_heading=0.00|"},
    };
    for (const auto& [motion, lines] : cases) EXPECT_EQ(Team(motion), lines);
}

TEST(Capture, DescriptionAndAircraftTexts) {
    const std::string cut = FormatCapture(MotionCopy{}, std::string(300, 'd'), kCaptureTeam, std::nullopt, {});
    EXPECT_EQ(cut.substr(0, 26 + 253 + 1), "\n;  Capture description - " + std::string(253, 'd') + "\n");
    EXPECT_EQ(FormatCapture(MotionCopy{}, std::string("ab\0cd", 5), kCaptureTeam, std::nullopt, {}).substr(0, 29),
              "\n;  Capture description - ab\n");

    const std::pair<std::string, std::optional<std::string>> names[] = {
        {"AJ[]Spitfire Mk.IX[]G", "Spitfire Mk.IX"}, {"[[Pilot]]][Mustang]R", "Mustang"}, {"AB[]C", "C"},
        {"Plain name", std::nullopt}, {"AJ[][]", std::nullopt}, {"", std::nullopt},
        {std::string("AJ[]\0Hidden", 11), std::nullopt},
    };
    for (const auto& [longName, aircraft] : names)
        EXPECT_EQ(CaptureAircraftFromLongName(longName), aircraft) << longName;
}

TEST(Capture, WritesToTheFileWithTheAircraftsHeightCorrection) {
    // Inventory with one aircraft whose flight model puts the eye 10 feet up.
    Workdir wd;
    wd.write("aircraft/tug/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug One\nSIM=qdtug\n");
    wd.write("aircraft/tug/QDTUG.dp", "dp");
    wd.write("aircraft/tug/QDTUG.air", Bytes().u32(769).u32(16).zeros(6).u32(180000).u16(0).zeros(4).b);
    EXPECT_EQ(CaptureHeightCorrection(wd.path(), "Tug One"), 10.0);

    ASSERT_TRUE(WriteCapture(wd.path(), kField, "first", kCaptureTarget, "AJ[]Tug One[]B"));
    ASSERT_TRUE(WriteCapture(wd.path(), kField, "second", kCaptureTeam, "NoAircraft"));
    const std::string file = wd.read("quarneld/capture.txt");
    EXPECT_EQ(file, FormatCapture(kField, "first", kCaptureTarget, std::string("Tug One"), 10.0) +
                        FormatCapture(kField, "second", kCaptureTeam, std::nullopt, std::nullopt));
    EXPECT_TRUE(wd.LogLines().empty());

    // An aircraft the inventory does not know: its line is written, the altitude is not
    // corrected, and the lookup says why in the log.
    ASSERT_TRUE(WriteCapture(wd.path(), kField, "third", kCaptureTarget, "AJ[]Zeppelin[]B"));
    EXPECT_EQ(wd.read("quarneld/capture.txt").substr(file.size()),
              FormatCapture(kField, "third", kCaptureTarget, std::string("Zeppelin"), std::nullopt));
    EXPECT_EQ(wd.LogLines(), (std::vector<std::string>{
                                 "Config error, target 'aircraft' not found in your inventory.", "Zeppelin"}));
}

}  // namespace
}  // namespace qd
