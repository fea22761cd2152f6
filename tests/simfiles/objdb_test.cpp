#include "simfiles/objdb.h"

#include "workdir.h"

namespace qd {
namespace {

using test::Bytes;
using test::WorkDir;

// One record: length, 16-byte identifier, count, type code, name and its NUL.
void Record(Bytes& out, uint8_t guidSeed, uint32_t count, uint32_t typeCode, const std::string& name) {
    out.u16(static_cast<uint16_t>(24 + name.size() + 1));
    for (uint8_t i = 0; i < 16; ++i) out.raw({static_cast<uint8_t>(guidSeed + i)});
    out.u32(count).u32(typeCode).text(name).raw({0});
}

TEST(ObjectDatabase, FindsRecordsIgnoringCaseAndFillsTheTarget) {
    WorkDir wd;
    // Byte-exact layout of the first record, then two built ones.
    Bytes db;
    db.raw({0x34, 0x01, 0x00, 0x00});
    db.raw({0x25, 0x00});  // body of 37 bytes
    db.raw({0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F});
    db.raw({0x03, 0x00, 0x00, 0x00, 0x04, 0x00, 0x00, 0x00});
    db.text("AirFld_North").raw({0x00});
    Record(db, 0x40, 2, 3, "runway_grass");
    Record(db, 0x80, 0xFFFFFFFF, 1, "Freighter");
    wd.Write("quarneld/objdb.dat", db.b);

    TargetObject t;
    t.aircraft = "AIRFLD_NORTH";
    ASSERT_EQ(LookupObjectDatabase(wd.path(), t), 0);
    ASSERT_TRUE(t.typeGuid.has_value());
    EXPECT_EQ((*t.typeGuid)[0], 0x00);
    EXPECT_EQ((*t.typeGuid)[15], 0x0F);
    EXPECT_EQ(t.typeCode, 4u);
    EXPECT_EQ(t.instanceNumber, 3u * 16384u);
    EXPECT_EQ(t.isAirfield, 1);
    EXPECT_EQ(t.disableCollisions, 1);
    EXPECT_EQ(t.aircraft, "AIRFLD_NORTH");  // the lookup itself does not rename

    TargetObject rw;
    rw.aircraft = "RUNWAY_GRASS";
    ASSERT_EQ(LookupObjectDatabase(wd.path(), rw), 0);
    EXPECT_EQ(rw.instanceNumber, 2u * (65536u / 3u));  // whole division first: 43690
    EXPECT_EQ(rw.isAirfield, 1);
    EXPECT_EQ((*rw.typeGuid)[0], 0x40);

    TargetObject ship;
    ship.aircraft = "freighter";
    ASSERT_EQ(LookupObjectDatabase(wd.path(), ship), 0);
    EXPECT_EQ(ship.instanceNumber, 0xFFFF0000u);  // 32-bit product
    EXPECT_EQ(ship.isAirfield, 0);
    EXPECT_EQ(ship.disableCollisions, 0);

    TargetObject other;
    other.aircraft = "Freighte";  // a prefix is not a match
    EXPECT_EQ(LookupObjectDatabase(wd.path(), other), 1);
    EXPECT_FALSE(other.typeGuid.has_value());

    auto all = ReadObjectDatabase(wd.path());
    ASSERT_TRUE(all.has_value());
    ASSERT_EQ(all->size(), 3u);
    EXPECT_EQ((*all)[1].name, "runway_grass");
    EXPECT_EQ((*all)[1].offset, 4u + 39u);
}

TEST(ObjectDatabase, WrongHeaderOrMissingFileIsAbsent) {
    WorkDir wd;
    TargetObject t;
    t.aircraft = "Freighter";
    EXPECT_EQ(LookupObjectDatabase(wd.path(), t), 1);  // no file

    for (auto header : {std::vector<uint8_t>{0x34, 0x01, 0x01, 0x00}, std::vector<uint8_t>{0x33, 0x01, 0x00, 0x00},
                        std::vector<uint8_t>{0x34, 0x01, 0x00}, std::vector<uint8_t>{}}) {
        Bytes db;
        db.b = header;
        if (header.size() == 4) Record(db, 0, 1, 1, "Freighter");
        wd.Write("quarneld/objdb.dat", db.b);
        EXPECT_EQ(LookupObjectDatabase(wd.path(), t), 1);
        EXPECT_FALSE(ReadObjectDatabase(wd.path()).has_value());
    }
    wd.Mkdir("quarneld/objdb.dat.d");
    std::filesystem::remove(wd.path() / "quarneld/objdb.dat");
    std::filesystem::rename(wd.path() / "quarneld/objdb.dat.d", wd.path() / "quarneld/objdb.dat");
    EXPECT_EQ(LookupObjectDatabase(wd.path(), t), 1);  // a folder in its place
}

TEST(ObjectDatabase, BadRecordsAreSkippedAndReportedOnce) {
    WorkDir wd;
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
    wd.Write("quarneld/objdb.dat", db.b);

    Diagnostics diag;
    TargetObject t;
    t.aircraft = "bunker";
    ASSERT_EQ(LookupObjectDatabase(wd.path(), t, &diag), 0);
    EXPECT_EQ(t.typeCode, 2u);
    EXPECT_EQ(t.instanceNumber, 5u * 32768u);
    ASSERT_EQ(diag.items().size(), 3u);
    EXPECT_EQ(diag.items()[0].file, "quarneld/objdb.dat");
    EXPECT_NE(diag.items()[0].message.find("record 1 at offset 4"), std::string::npos);
    EXPECT_NE(diag.items()[0].message.find("74 bytes"), std::string::npos);
    EXPECT_NE(diag.items()[1].message.find("record 2"), std::string::npos);
    EXPECT_NE(diag.items()[2].message.find("type code 0"), std::string::npos);

    TargetObject tail;
    tail.aircraft = "Tail";
    EXPECT_EQ(LookupObjectDatabase(wd.path(), tail, &diag), 0);
    TargetObject missing;
    missing.aircraft = "Nothing";
    EXPECT_EQ(LookupObjectDatabase(wd.path(), missing, &diag), 1);
    LookupObjectDatabase(wd.path(), missing, &diag);
    TargetObject unterminated;
    unterminated.aircraft = std::string(48, 'M');
    EXPECT_EQ(LookupObjectDatabase(wd.path(), unterminated, &diag), 1);
    // Records 1-3, the record without room for its NUL (5), the name without one (7), the
    // truncated one (8): each once.
    ASSERT_EQ(diag.items().size(), 6u);
    EXPECT_NE(diag.items()[3].message.find("record 5"), std::string::npos);
    EXPECT_NE(diag.items()[4].message.find("record 7 at offset"), std::string::npos);
    EXPECT_NE(diag.items()[5].message.find("ends inside record 8"), std::string::npos);

    // A truncated last record ends the search, even for its own name.
    Bytes cut;
    cut.u16(308).u16(0);
    Record(cut, 0, 1, 1, "First");
    Record(cut, 0, 1, 1, "Second");
    cut.b.resize(cut.b.size() - 3);
    wd.Write("quarneld/objdb.dat", cut.b);
    TargetObject second;
    second.aircraft = "Second";
    EXPECT_EQ(LookupObjectDatabase(wd.path(), second), 1);
    TargetObject first;
    first.aircraft = "first";
    EXPECT_EQ(LookupObjectDatabase(wd.path(), first), 0);
}

}  // namespace
}  // namespace qd
