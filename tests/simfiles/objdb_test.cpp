#include "simfiles/objdb.h"

#include "config/fixture.h"
#include "config/report.h"

namespace qd {
namespace {

using qd::testing::Fields;
using qd::testing::Bytes;
using qd::testing::Workdir;

// One record: length, 16-byte identifier, count, type code, name and its NUL.
void Record(Bytes& out, uint8_t guidSeed, uint32_t count, uint32_t typeCode, const std::string& name) {
    out.u16(static_cast<uint16_t>(24 + name.size() + 1));
    for (uint8_t i = 0; i < 16; ++i) out.raw({static_cast<uint8_t>(guidSeed + i)});
    out.u32(count).u32(typeCode).text(name).raw({0});
}

// The lookup's result and the target it filled.
std::pair<int, TargetObject> Lookup(const Workdir& wd, const std::string& aircraft, Diagnostics* diag = nullptr) {
    TargetObject t;
    t.aircraft = aircraft;
    const int r = LookupObjectDatabase(wd.path(), t, diag);
    return {r, t};
}

TEST(ObjectDatabase, FindsRecordsIgnoringCaseAndFillsTheTarget) {
    Workdir wd;
    // Byte-exact layout of the first record (a body of 37 bytes), then two built ones.
    Bytes db;
    db.raw({0x34, 0x01, 0x00, 0x00, 0x25, 0x00});
    db.raw({0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F});
    db.raw({0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00});
    db.text("AirFld_North").raw({0x00});
    Record(db, 0x40, 2, 3, "runway_grass");
    Record(db, 0x80, 0xFFFFFFFF, 1, "Freighter");
    wd.write("quarneld/objdb.dat", db.b);

    // Type codes 3 and 4 are airfields without collisions; the instance number is the
    // count times 65536 / type code, the division first, in 32 bits. The lookup itself
    // does not rename.
    auto [r, t] = Lookup(wd, "AIRFLD_NORTH");
    ASSERT_EQ(r, 0);
    EXPECT_TRUE(Fields(TargetToJson(t), {{"typeCode", 4}, {"instanceNumber", 3 * 16384}, {"isAirfield", 1},
                                         {"disableCollisions", 1}, {"aircraft", "AIRFLD_NORTH"}}));
    ASSERT_TRUE(t.typeGuid.has_value());
    EXPECT_EQ(std::pair((*t.typeGuid)[0], (*t.typeGuid)[15]), std::pair(uint8_t{0x00}, uint8_t{0x0F}));
    std::tie(r, t) = Lookup(wd, "RUNWAY_GRASS");
    ASSERT_EQ(r, 0);
    EXPECT_TRUE(Fields(TargetToJson(t), {{"instanceNumber", 2 * 21845}, {"isAirfield", 1}}));
    EXPECT_EQ((*t.typeGuid)[0], 0x40);
    std::tie(r, t) = Lookup(wd, "freighter");
    ASSERT_EQ(r, 0);
    EXPECT_TRUE(Fields(TargetToJson(t), {{"instanceNumber", 0xFFFF0000u}, {"isAirfield", 0}, {"disableCollisions", 0}}));
    std::tie(r, t) = Lookup(wd, "Freighte");  // a prefix is not a match
    EXPECT_EQ(std::pair(r, t.typeGuid.has_value()), std::pair(1, false));
}

TEST(ObjectDatabase, WrongHeaderOrMissingFileIsAbsent) {
    Workdir wd;
    EXPECT_EQ(Lookup(wd, "Freighter").first, 1);  // no file
    for (auto header : {std::vector<uint8_t>{0x34, 0x01, 0x01, 0x00}, std::vector<uint8_t>{0x33, 0x01, 0x00, 0x00},
                        std::vector<uint8_t>{0x34, 0x01, 0x00}, std::vector<uint8_t>{}}) {
        Bytes db{header};
        if (header.size() == 4) Record(db, 0, 1, 1, "Freighter");
        wd.write("quarneld/objdb.dat", db.b);
        EXPECT_EQ(Lookup(wd, "Freighter").first, 1);
    }
    std::filesystem::remove(wd.path() / "quarneld/objdb.dat");
    wd.Mkdir("quarneld/objdb.dat");
    EXPECT_EQ(Lookup(wd, "Freighter").first, 1);  // a folder in its place
}

TEST(ObjectDatabase, BadRecordsAreSkippedAndReportedOnce) {
    Workdir wd;
    Bytes db;
    db.u16(308).u16(0);
    Record(db, 0, 1, 1, std::string(49, 'L'));  // body 74 > 72
    db.u16(10).zeros(10);                       // too short for a name
    Record(db, 0, 5, 0, "Bunker");              // type code 0: would divide by zero
    Record(db, 0, 5, 2, "Bunker");              // the usable one
    db.u16(24).zeros(24);                       // no room for the name's NUL
    Record(db, 0, 1, 1, "Tail");
    db.u16(72).zeros(16).u32(1).u32(1).text(std::string(48, 'M'));  // a name without its NUL
    db.u16(40).zeros(5);                        // truncated: claims 40, has 5
    wd.write("quarneld/objdb.dat", db.b);

    Diagnostics diag;
    auto [r, t] = Lookup(wd, "bunker", &diag);
    ASSERT_EQ(r, 0);
    EXPECT_EQ(std::pair(t.typeCode, t.instanceNumber), std::pair(2u, 5u * 32768u));
    EXPECT_EQ(Lookup(wd, "Tail", &diag).first, 0);
    EXPECT_EQ(Lookup(wd, "Nothing", &diag).first, 1);
    EXPECT_EQ(Lookup(wd, std::string(48, 'M'), &diag).first, 1);
    Lookup(wd, "Nothing", &diag);
    // Records 1-3, 5 (no room for its NUL), 7 (a name without one), 8 (truncated): each once.
    std::vector<std::string> found;
    for (const auto& w : diag.items()) found.push_back(w.file + " " + w.message);
    ASSERT_EQ(found.size(), 6u);
    for (auto [i, part] : std::initializer_list<std::pair<int, const char*>>{
             {0, "quarneld/objdb.dat record 1 at offset 4"}, {0, "74 bytes"}, {1, "record 2"}, {2, "type code 0"},
             {3, "record 5"}, {4, "record 7 at offset"}, {5, "ends inside record 8"}}) {
        EXPECT_NE(found[i].find(part), std::string::npos) << found[i];
    }

    // A truncated last record ends the search, even for its own name.
    Bytes cut;
    cut.u16(308).u16(0);
    Record(cut, 0, 1, 1, "First");
    Record(cut, 0, 1, 1, "Second");
    cut.b.resize(cut.b.size() - 3);
    wd.write("quarneld/objdb.dat", cut.b);
    EXPECT_EQ(std::pair(Lookup(wd, "Second").first, Lookup(wd, "first").first), std::pair(1, 0));
}

}  // namespace
}  // namespace qd
