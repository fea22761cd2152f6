// The sample working directory shipped with the sources: every target in its session
// configuration must check out against its own simulator files.
#include <fstream>

#include "simfiles/inventory.h"
#include "simfiles/objdb.h"
#include "simfiles/simpath.h"
#include "workdir.h"

namespace qd {
namespace {

const std::filesystem::path kSample = QUARNELD_SOURCE_DIR "/sample";

// AIRCRAFT values of the QDL_OBJECT sections, in file order.
std::vector<std::string> SampleAircraft() {
    std::ifstream in(kSample / "quarneld/configs/Default.cfg");
    std::vector<std::string> names;
    bool inObject = false;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.starts_with("[")) inObject = line.starts_with("[QDL_OBJECT.");
        if (inObject && line.starts_with("AIRCRAFT=")) names.push_back(line.substr(9));
    }
    return names;
}

TEST(Sample, EveryTargetValidates) {
    test::WorkDir scratch;  // keeps the error log out of the sample
    auto names = SampleAircraft();
    ASSERT_GE(names.size(), 4u);
    Diagnostics diag;
    int aircraft = 0, airfields = 0;
    for (const std::string& name : names) {
        TargetObject t;
        t.aircraft = name;
        ASSERT_EQ(ValidateTargetAircraft(kSample, t, &diag), 0) << name;
        ASSERT_TRUE(t.damageProfilePath.has_value());
        EXPECT_TRUE(std::filesystem::is_regular_file(kSample / *t.damageProfilePath)) << *t.damageProfilePath;
        if (t.airFilePath) {
            ++aircraft;
            EXPECT_EQ(*t.airFilePath, "aircraft/QD_Tug/QDTUG.air");
            EXPECT_DOUBLE_EQ(t.staticPitch, 11.5);
            EXPECT_DOUBLE_EQ(t.heightOffset, 5.0);
        } else {
            EXPECT_EQ(t.aircraft, name + "_04");
            EXPECT_TRUE(t.typeGuid.has_value());
            airfields += t.isAirfield;
        }
    }
    EXPECT_EQ(aircraft, 1);
    EXPECT_GE(airfields, 1);
    EXPECT_TRUE(diag.empty());
    EXPECT_TRUE(scratch.LogLines().empty());

    auto db = ReadObjectDatabase(kSample, &diag);
    ASSERT_TRUE(db.has_value());
    EXPECT_EQ(db->size(), 5u);
    EXPECT_TRUE(diag.empty());
}

TEST(Sample, TemplatePatchesFallInsideItsBody) {
    auto in = BinaryReader::Open(kSample / "quarneld/template4.dat");
    ASSERT_TRUE(in.has_value());
    uint32_t a = 0, b = 0, p1 = 0, p2 = 0;
    ASSERT_TRUE(in->ReadU32(a) && in->ReadU32(b) && in->ReadU32(p1) && in->ReadU32(p2));
    EXPECT_EQ(in->Remaining(), uint64_t{a} + b);
    EXPECT_LE(p1 + 16, a + b);
    EXPECT_GE(p2, 2u);
    EXPECT_LE(p2 + 4, a + b);
    EXPECT_GE(a + b, 40u);  // the fixed patches at 8, 26 and 36
}

}  // namespace
}  // namespace qd
