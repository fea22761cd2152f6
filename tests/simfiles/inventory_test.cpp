#include "simfiles/inventory.h"

#include "config/fixture.h"
#include "config/report.h"

namespace qd {
namespace {

using qd::testing::Fields;
using qd::testing::Bytes;
using qd::testing::Workdir;

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

// A target for the aircraft once validated in the working directory, as the report shows it.
nlohmann::json Validated(const Workdir& wd, const std::string& aircraft, int result, Diagnostics* diag = nullptr) {
    TargetObject t = Named(aircraft);
    EXPECT_EQ(ValidateTargetAircraft(wd.path(), t, diag), result) << aircraft;
    return TargetToJson(t);
}

TEST(AircraftCfg, LineRulesOfTheTitleAndSimSearch) {
    Workdir wd;
    // The cfg, the title looked for, the result and the SIM name found ("-": none).
    const std::tuple<std::string, std::string, int, std::string> cases[] = {
        // Lower-case header and key match; the SIM value is upper-cased.
        {"[fltsim.0]\ntitle=Tug One\nsim=qdtug\n", "Tug One", 0, "QDTUG"},
        // TITLE compares its value with letter case; spaces around '=' belong to key and value.
        {"[FLTSIM.0]\nTITLE=Tug One\nSIM=x\n", "tug one", 1, "-"},
        {"[FLTSIM.0]\nTITLE = Tug One\nSIM=x\n", "Tug One", 1, "-"},
        {"[FLTSIM.0]\nTITLE= Tug One\nSIM=x\n", " Tug One", 0, "X"},
        // Only a header whose text up to '.', CR or LF is "[FLTSIM" opens the search; CR
        // is not part of a value.
        {"[FLTSIM]\nTITLE=A\nSIM=x\n", "A", 1, "-"},
        {" [FLTSIM.0]\nTITLE=A\nSIM=x\n", "A", 1, "-"},
        {"[FLTSIM\r\nTITLE=A\r\nSIM=x\r\n", "A", 0, "X"},
        // A title before the first [FLTSIM line is not seen; one in a later section is.
        {"TITLE=A\n[FLTSIM.0]\nTITLE=B\nSIM=b\n", "A", 1, "-"},
        {"[FLTSIM.0]\nTITLE=B\nSIM=b\n[GENERAL]\n[FLTSIM.1]\nTITLE=A\n[X]\nSIM=a\n", "A", 0, "A"},
        // The last line without a line end is never examined.
        {"[FLTSIM.0]\nTITLE=A", "A", 1, "-"},
        {"[FLTSIM.0]\nTITLE=A\nSIM=a", "A", 2, "-"},
        // A long line is read as pieces of 254 characters, each examined as a line.
        {"[FLTSIM.0]\n" + std::string(254, 'x') + "TITLE=A\nSIM=a\n", "A", 0, "A"},
        {"[FLTSIM.0]\n" + std::string(253, 'x') + "TITLE=A\nSIM=a\n", "A", 1, "-"},
    };
    for (const auto& [cfg, title, result, sim] : cases) {
        wd.write("aircraft/f/aircraft.cfg", cfg);
        TargetObject t = Named(title);
        EXPECT_EQ(ScanAircraftCfg(wd.path(), "f", t), result) << cfg;
        EXPECT_EQ(t.simName.value_or("-"), sim) << cfg;
        EXPECT_EQ(t.simPath.value_or("-"), sim == "-" ? "-" : "aircraft/f/" + sim) << cfg;
        // The cfg's path is set once the title matched, before the SIM search.
        EXPECT_EQ(t.aircraftCfgPath.has_value(), result != 1) << cfg;
    }
    // An empty SIM value leaves the name unset and points at the cfg itself.
    wd.write("aircraft/f/aircraft.cfg", "[FLTSIM.0]\nTITLE=A\nSIM=\n");
    TargetObject e = Named("A");
    EXPECT_EQ(ScanAircraftCfg(wd.path(), "f", e), 0);
    EXPECT_TRUE(Fields(TargetToJson(e), {{"simName", nullptr}, {"simPath", "aircraft/f/aircraft.cfg"}}));
    // Unreadable: no file, or a folder in its place.
    TargetObject none = Named("A");
    EXPECT_EQ(ScanAircraftCfg(wd.path(), "missing", none), 1);
    wd.Mkdir("aircraft/d/aircraft.cfg");
    EXPECT_EQ(ScanAircraftCfg(wd.path(), "d", none), 1);
    EXPECT_EQ(wd.LogLines(), std::vector<std::string>{kNoSim});
}

TEST(Inventory, FolderResultsAndLogLines) {
    // No aircraft folder at all: Check.MissingWorkingDirectoryOrFilesGiveDefaultsOrStatusOne.
    {
        Workdir wd;  // TITLE without SIM in "a", no TITLE in "b": the last answer (1) counts
        wd.write("aircraft/a/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\n");
        wd.write("aircraft/b/aircraft.cfg", "[FLTSIM.0]\nTITLE=Other\nSIM=o\n");
        TargetObject t = Named("Tug");
        EXPECT_EQ(FindInInventory(wd.path(), t), 1);
        EXPECT_EQ(wd.LogLines(), (std::vector<std::string>{kNoSim, kNotFound, "Tug"}));
        wd.write("aircraft/c/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\nNO SIM HERE\n");
        Validated(wd, "Tug", 2);
    }
    Workdir wd;  // two folders with the same TITLE: name order decides
    wd.write("aircraft/zeta/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\nSIM=z\n");
    wd.write("aircraft/alpha/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\nSIM=a\n");
    TargetObject t = Named("Tug");
    EXPECT_EQ(std::tuple(FindInInventory(wd.path(), t), t.simPath, wd.LogLines().size()),
              std::tuple(0, "aircraft/alpha/A", 0u));
}

TEST(Validate, CompletesAnAircraftOrStopsAtTheMissingFile) {
    Workdir wd;
    const std::string cfgLine = "AIRCRAFT.CFG path=aircraft/tug/aircraft.cfg";
    wd.write("aircraft/tug/aircraft.cfg", "[fltsim.0]\r\ntitle=Tug\r\nsim=qdtug\r\n");
    EXPECT_TRUE(Fields(Validated(wd, "Tug", 3), {{"simName", "QDTUG"}, {"damageProfilePath", nullptr}}));

    // The upper-cased SIM name still finds lower-case files, as on the simulator's own disk.
    wd.write("aircraft/tug/qdtug.dp", "profile");
    EXPECT_TRUE(Fields(Validated(wd, "Tug", 4),
                       {{"damageProfilePath", "aircraft/tug/QDTUG.dp"}, {"airFilePath", nullptr}}));
    EXPECT_EQ(wd.LogLines(), (std::vector<std::string>{"Aircraft error, could not locate Damage Profile.", cfgLine,
                                                       "Aircraft error, could not locate Air file.", cfgLine}));

    // 100000 / 1500 = 66, / 12 = 5 feet, in whole numbers.
    wd.write("aircraft/tug/QdTug.AIR", AirFile(100000, -364));
    EXPECT_TRUE(Fields(Validated(wd, "Tug", 0), {{"airFilePath", "aircraft/tug/QDTUG.air"}, {"staticPitch", -2.0},
                                                 {"heightOffset", 5.0}, {"aircraft", "Tug"}, {"typeCode", 0}}));
}

TEST(Validate, ObjectDatabaseComesFirst) {
    Workdir wd;
    Bytes db;
    db.u16(308).u16(0);
    for (std::string name : {"Tug", "Freighter"})
        db.u16(static_cast<uint16_t>(25 + name.size())).zeros(16).u32(1).u32(4).text(name).raw({0});
    wd.write("quarneld/objdb.dat", db.b);
    wd.write("aircraft/tug/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\nSIM=t\n");
    wd.Mkdir("ships/FREIGHTER");

    TargetObject t = Named("Tug");
    t.staticPitch = 3;
    ASSERT_EQ(ValidateTargetAircraft(wd.path(), t), 0);
    EXPECT_TRUE(Fields(TargetToJson(t), {{"aircraft", "Tug_04"}, {"damageProfilePath", "objects_dp/Tug.dp"},
                                         {"aircraftCfgPath", nullptr}, {"staticPitch", 0}}));
    EXPECT_TRUE(Fields(Validated(wd, "freighter", 0),
                       {{"aircraft", "freighter_04"}, {"damageProfilePath", "ships/freighter/freighter.dp"}}));
    EXPECT_TRUE(wd.LogLines().empty());
}

TEST(AirFile, RecordWalkIsBounded) {
    Workdir wd;
    Diagnostics diag;
    auto both = [&](const std::vector<uint8_t>& bytes) {
        wd.write("m.air", bytes);
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
    Bytes hugeBefore, halfHeader, shortRecord;
    hugeBefore.u32(5).u32(0xFFFFFFF0).zeros(8);
    halfHeader.u32(5).u32(0).raw({1, 3, 0});
    shortRecord.u32(769).u32(10).zeros(6).u32(180000);  // height fits in 10 bytes, pitch needs 12
    for (const auto& bytes : {cut, hugeBefore.b, halfHeader.b}) EXPECT_EQ(both(bytes), std::pair(0.0, 0.0));
    EXPECT_EQ(both(shortRecord.b), std::pair(0.0, 10.0));
    EXPECT_EQ(diag.items().size(), 5u);
    EXPECT_EQ(ReadAirPitch(wd.path(), "absent.air"), 0.0);
}

TEST(Paths, LongerThan255CharactersAreRefused) {
    Workdir wd;
    const std::string longFolder(250, 'f');
    wd.write("aircraft/" + longFolder + "/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\nSIM=t\n");
    Diagnostics diag;
    Validated(wd, "Tug", 1, &diag);
    const std::string refused = "Path error, longer than 255 characters: aircraft/" + longFolder + "/aircraft.cfg";
    EXPECT_EQ(wd.LogLines(), (std::vector<std::string>{refused, kNotFound, "Tug"}));
    ASSERT_EQ(diag.items().size(), 1u);
    EXPECT_NE(diag.items()[0].message.find("272 characters"), std::string::npos);

    // The cfg path fits, the path built from the SIM value does not; 255 exactly is still
    // fine (the .dp path then is 258 and refused).
    for (auto [sim, result, simPath] : std::initializer_list<std::tuple<std::size_t, int, bool>>{
             {250, 2, false}, {242, 3, true}}) {
        Workdir w;
        w.write("aircraft/tug/aircraft.cfg", "[FLTSIM.0]\nTITLE=Tug\nSIM=" + std::string(sim, 's') + "\n");
        const std::string fitting = "aircraft/tug/" + std::string(sim, 'S');
        EXPECT_EQ(Validated(w, "Tug", result)["simPath"], simPath ? nlohmann::json(fitting) : nlohmann::json());
    }
}

}  // namespace
}  // namespace qd
