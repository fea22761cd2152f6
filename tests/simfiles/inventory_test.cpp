#include "simfiles/inventory.h"

#include "workdir.h"

namespace qd {
namespace {

using test::Bytes;
using test::WorkDir;

const std::string kNotFound = "Config error, target 'aircraft' not found in your inventory.";
const std::string kNoSim = "Config error, 'SIM=' entry not found.";

// A flight model file: a record of another type, then record 769 with the height word at
// 6 and the pitch word at 10.
std::vector<uint8_t> AirFile(int32_t height, int16_t pitch) {
    Bytes b;
    b.u32(1000).u32(4).u32(0xDEADBEEF);
    b.u32(769).u32(16).zeros(6).u32(static_cast<uint32_t>(height)).u16(static_cast<uint16_t>(pitch)).zeros(4);
    return b.b;
}

TargetObject Named(const std::string& aircraft) {
    TargetObject t;
    t.aircraft = aircraft;
    return t;
}

TEST(AircraftCfg, LineRulesOfTheTitleAndSimSearch) {
    WorkDir wd;
    auto scan = [&](const std::string& cfg, const std::string& title, TargetObject* out = nullptr) {
        wd.Write("aircraft/f/aircraft.cfg", cfg);
        TargetObject t = Named(title);
        int r = ScanAircraftCfg(wd.path(), "f", t);
        if (out) *out = t;
        return r;
    };
    TargetObject t;
    // Lower-case header and key match; the SIM value is upper-cased.
    EXPECT_EQ(scan("[fltsim.0]\ntitle=Tug One\nsim=qdtug\n", "Tug One", &t), 0);
    EXPECT_EQ(t.aircraftCfgPath, "aircraft/f/aircraft.cfg");
    EXPECT_EQ(t.simName, "QDTUG");
    EXPECT_EQ(t.simPath, "aircraft/f/QDTUG");
    // TITLE compares its value with letter case.
    EXPECT_EQ(scan("[FLTSIM.0]\nTITLE=Tug One\nSIM=x\n", "tug one"), 1);
    // Spaces around '=' belong to key and value.
    EXPECT_EQ(scan("[FLTSIM.0]\nTITLE = Tug One\nSIM=x\n", "Tug One"), 1);
    EXPECT_EQ(scan("[FLTSIM.0]\nTITLE= Tug One\nSIM=x\n", " Tug One"), 0);
    // Only a header whose text up to '.', CR or LF is "[FLTSIM" opens the search.
    EXPECT_EQ(scan("[FLTSIM]\nTITLE=A\nSIM=x\n", "A"), 1);
    EXPECT_EQ(scan(" [FLTSIM.0]\nTITLE=A\nSIM=x\n", "A"), 1);
    EXPECT_EQ(scan("[FLTSIM\r\nTITLE=A\r\nSIM=x\r\n", "A", &t), 0);
    EXPECT_EQ(t.simName, "X");  // CR is not part of the value
    // A title before the first [FLTSIM line is not seen; one in a later section is.
    EXPECT_EQ(scan("TITLE=A\n[FLTSIM.0]\nTITLE=B\nSIM=b\n", "A"), 1);
    EXPECT_EQ(scan("[FLTSIM.0]\nTITLE=B\nSIM=b\n[GENERAL]\n[FLTSIM.1]\nTITLE=A\n[X]\nSIM=a\n", "A", &t), 0);
    EXPECT_EQ(t.simName, "A");
    // The last line without a line end is never examined.
    EXPECT_EQ(scan("[FLTSIM.0]\nTITLE=A", "A"), 1);
    EXPECT_EQ(scan("[FLTSIM.0]\nTITLE=A\nSIM=a", "A", &t), 2);
    EXPECT_EQ(t.aircraftCfgPath, "aircraft/f/aircraft.cfg");  // set before the SIM search
    EXPECT_FALSE(t.simName.has_value());
    // A long line is read as pieces of 254 characters, each examined as a line.
    EXPECT_EQ(scan("[FLTSIM.0]\n" + std::string(254, 'x') + "TITLE=A\nSIM=a\n", "A"), 0);
    EXPECT_EQ(scan("[FLTSIM.0]\n" + std::string(253, 'x') + "TITLE=A\nSIM=a\n", "A"), 1);
    // An empty SIM value leaves simName unset and points simPath at the cfg itself.
    EXPECT_EQ(scan("[FLTSIM.0]\nTITLE=A\nSIM=\n", "A", &t), 0);
    EXPECT_FALSE(t.simName.has_value());
    EXPECT_EQ(t.simPath, "aircraft/f/aircraft.cfg");
    // Unreadable: no file, or a folder in its place.
    TargetObject none = Named("A");
    EXPECT_EQ(ScanAircraftCfg(wd.path(), "missing", none), 1);
    wd.Mkdir("aircraft/d/aircraft.cfg");
    EXPECT_EQ(ScanAircraftCfg(wd.path(), "d", none), 1);
    EXPECT_EQ(wd.LogLines(), std::vector<std::string>{kNoSim});
}

TEST(Inventory, FolderResultsAndLogLines) {
    {
        WorkDir wd;  // no aircraft folder at all
        TargetObject t = Named("Tug");
        EXPECT_EQ(FindInInventory(wd.path(), t), 1);
        EXPECT_EQ(wd.LogLines(), (std::vector<std::string>{kNotFound, "Tug"}));
    }
    {
        WorkDir wd;  // an empty one
        wd.Mkdir("aircraft");
        wd.Write("aircraft/stray.txt", "not a folder");
        TargetObject t = Named("Tug");
        EXPECT_EQ(ValidateTargetAircraft(wd.path(), t), 1);
        EXPECT_EQ(wd.LogLines(), (std::vector<std::string>{kNotFound, "Tug"}));
    }
    {
        WorkDir wd;  // TITLE without SIM in "a", no TITLE in "b": the last answer (1) counts
        wd.Write("aircraft/a/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\n");
        wd.Write("aircraft/b/aircraft.cfg", "[FLTSIM.0]\nTITLE=Other\nSIM=o\n");
        TargetObject t = Named("Tug");
        EXPECT_EQ(FindInInventory(wd.path(), t), 1);
        EXPECT_EQ(wd.LogLines(), (std::vector<std::string>{kNoSim, kNotFound, "Tug"}));
        wd.Write("aircraft/c/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\nNO SIM HERE\n");
        TargetObject u = Named("Tug");
        EXPECT_EQ(ValidateTargetAircraft(wd.path(), u), 2);
    }
    {
        WorkDir wd;  // two folders with the same TITLE: name order decides
        wd.Write("aircraft/zeta/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\nSIM=z\n");
        wd.Write("aircraft/alpha/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\nSIM=a\n");
        TargetObject t = Named("Tug");
        EXPECT_EQ(FindInInventory(wd.path(), t), 0);
        EXPECT_EQ(t.simPath, "aircraft/alpha/A");
        EXPECT_TRUE(wd.LogLines().empty());
    }
}

TEST(Validate, CompletesAnAircraftOrStopsAtTheMissingFile) {
    WorkDir wd;
    wd.Write("aircraft/tug/aircraft.cfg", "[fltsim.0]\r\ntitle=Tug\r\nsim=qdtug\r\n");
    TargetObject t = Named("Tug");
    EXPECT_EQ(ValidateTargetAircraft(wd.path(), t), 3);
    EXPECT_EQ(wd.LogLines(), (std::vector<std::string>{"Aircraft error, could not locate Damage Profile.",
                                                       "AIRCRAFT.CFG path=aircraft/tug/aircraft.cfg"}));
    EXPECT_EQ(t.simName, "QDTUG");
    EXPECT_FALSE(t.damageProfilePath.has_value());

    // The upper-cased SIM name still finds lower-case files, as on the simulator's own disk.
    wd.Write("aircraft/tug/qdtug.dp", "profile");
    TargetObject u = Named("Tug");
    EXPECT_EQ(ValidateTargetAircraft(wd.path(), u), 4);
    EXPECT_EQ(wd.LogLines().at(2), "Aircraft error, could not locate Air file.");
    EXPECT_EQ(wd.LogLines().at(3), "AIRCRAFT.CFG path=aircraft/tug/aircraft.cfg");
    EXPECT_EQ(u.damageProfilePath, "aircraft/tug/QDTUG.dp");
    EXPECT_FALSE(u.airFilePath.has_value());

    wd.Write("aircraft/tug/QdTug.AIR", AirFile(100000, -364));
    TargetObject v = Named("Tug");
    ASSERT_EQ(ValidateTargetAircraft(wd.path(), v), 0);
    EXPECT_EQ(v.airFilePath, "aircraft/tug/QDTUG.air");
    EXPECT_DOUBLE_EQ(v.staticPitch, -2.0);
    EXPECT_DOUBLE_EQ(v.heightOffset, 5.0);  // 100000 / 1500 = 66, / 12 = 5 in whole numbers
    EXPECT_EQ(v.aircraft, "Tug");
    EXPECT_FALSE(v.typeGuid.has_value());
}

TEST(Validate, ObjectDatabaseComesFirst) {
    WorkDir wd;
    Bytes db;
    db.u16(308).u16(0);
    for (std::string name : {"Tug", "Freighter"}) {
        db.u16(static_cast<uint16_t>(25 + name.size())).zeros(16).u32(1).u32(4).text(name).raw({0});
    }
    wd.Write("quarneld/objdb.dat", db.b);
    wd.Write("aircraft/tug/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\nSIM=t\n");
    wd.Mkdir("ships/FREIGHTER");

    TargetObject t = Named("Tug");
    t.staticPitch = 3;
    ASSERT_EQ(ValidateTargetAircraft(wd.path(), t), 0);
    EXPECT_EQ(t.aircraft, "Tug_04");
    EXPECT_EQ(t.damageProfilePath, "objects_dp/Tug.dp");
    EXPECT_FALSE(t.aircraftCfgPath.has_value());
    EXPECT_EQ(t.staticPitch, 0);

    TargetObject s = Named("freighter");
    ASSERT_EQ(ValidateTargetAircraft(wd.path(), s), 0);
    EXPECT_EQ(s.damageProfilePath, "ships/freighter/freighter.dp");
    EXPECT_EQ(s.aircraft, "freighter_04");
    EXPECT_TRUE(wd.LogLines().empty());
}

TEST(AirFile, RecordWalkIsBounded) {
    WorkDir wd;
    Diagnostics diag;
    auto both = [&](const std::vector<uint8_t>& bytes) {
        wd.Write("m.air", bytes);
        return std::pair(ReadAirPitch(wd.path(), "m.air", &diag), ReadAirHeight(wd.path(), "m.air", &diag));
    };
    EXPECT_EQ(both(AirFile(-100000, 1820)), std::pair(10.0, -5.0));
    EXPECT_EQ(both(AirFile(17999, 91)), std::pair(0.5, 0.0));
    EXPECT_TRUE(diag.empty());

    Bytes no769;
    no769.u32(768).u32(12).zeros(12).u32(770).u32(0);
    EXPECT_EQ(both(no769.b), std::pair(0.0, 0.0));
    EXPECT_EQ(diag.items().size(), 1u);  // reported once for both reads

    std::vector<uint8_t> cut = AirFile(90000, 182);
    cut.resize(cut.size() - 1);  // record 769 claims one byte more than is there
    EXPECT_EQ(both(cut), std::pair(0.0, 0.0));
    Bytes hugeBefore;
    hugeBefore.u32(5).u32(0xFFFFFFF0).zeros(8);
    EXPECT_EQ(both(hugeBefore.b), std::pair(0.0, 0.0));
    Bytes halfHeader;
    halfHeader.u32(5).u32(0).raw({1, 3, 0});
    EXPECT_EQ(both(halfHeader.b), std::pair(0.0, 0.0));
    Bytes shortRecord;  // height fits in 10 bytes, pitch needs 12
    shortRecord.u32(769).u32(10).zeros(6).u32(180000);
    EXPECT_EQ(both(shortRecord.b), std::pair(0.0, 10.0));
    EXPECT_EQ(diag.items().size(), 5u);
    EXPECT_EQ(ReadAirPitch(wd.path(), "absent.air"), 0.0);
}

TEST(Paths, LongerThan255CharactersAreRefused) {
    WorkDir wd;
    const std::string longFolder(250, 'f');
    wd.Write("aircraft/" + longFolder + "/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\nSIM=t\n");
    Diagnostics diag;
    TargetObject t = Named("Tug");
    EXPECT_EQ(ValidateTargetAircraft(wd.path(), t, &diag), 1);
    auto lines = wd.LogLines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Path error, longer than 255 characters: aircraft/" + longFolder + "/aircraft.cfg");
    ASSERT_EQ(diag.items().size(), 1u);
    EXPECT_NE(diag.items()[0].message.find("272 characters"), std::string::npos);

    // The cfg path fits, the path built from the SIM value does not.
    WorkDir wd2;
    wd2.Write("aircraft/tug/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\nSIM=" + std::string(250, 's') + "\n");
    TargetObject u = Named("Tug");
    EXPECT_EQ(ValidateTargetAircraft(wd2.path(), u), 2);
    EXPECT_FALSE(u.simPath.has_value());
    // 255 exactly is still fine: the .dp path then is 258 and refused.
    WorkDir wd3;
    wd3.Write("aircraft/tug/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\nSIM=" + std::string(242, 's') + "\n");
    TargetObject w = Named("Tug");
    EXPECT_EQ(ValidateTargetAircraft(wd3.path(), w), 3);
    EXPECT_EQ(w.simPath->size(), 255u);
}

}  // namespace
}  // namespace qd
