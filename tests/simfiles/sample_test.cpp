// The sample working directory shipped with the sources: every target in its session
// configuration must check out against its own simulator files.
#include "config/targets.h"
#include "simfiles/inventory.h"
#include "simfiles/objdb.h"
#include "simfiles/simpath.h"
#include "workdir.h"

namespace qd {
namespace {

const std::filesystem::path kSample = QUARNELD_SOURCE_DIR "/sample";

TEST(Sample, EveryTargetValidatesAndTheTemplatePatchesFallInsideItsBody) {
    test::WorkDir scratch;  // keeps the error log out of the sample
    ConfigContext ctx;
    ctx.workDir = kSample;
    Diagnostics diag;
    int targets = 0, aircraft = 0, airfields = 0;
    for (auto t = LoadTargetObject(ctx, 0); t; t = LoadTargetObject(ctx, ++targets)) {
        const std::string name = t->aircraft;
        ASSERT_EQ(ValidateTargetAircraft(kSample, *t, &diag), 0) << name;
        EXPECT_TRUE(std::filesystem::is_regular_file(kSample / t->damageProfilePath.value())) << name;
        if (t->airFilePath) {
            ++aircraft;
            EXPECT_EQ(std::tuple(*t->airFilePath, t->staticPitch, t->heightOffset),
                      std::tuple("aircraft/QD_Tug/QDTUG.air", 11.5, 5.0));
        } else {
            EXPECT_EQ(t->aircraft, name + "_04");
            EXPECT_TRUE(t->typeGuid.has_value()) << name;
            airfields += t->isAirfield;
        }
    }
    EXPECT_TRUE(targets >= 4 && aircraft == 1 && airfields >= 1) << targets << " " << aircraft << " " << airfields;
    EXPECT_TRUE(scratch.LogLines().empty());
    EXPECT_EQ(ReadObjectDatabase(kSample, &diag).value().size(), 5u);
    EXPECT_TRUE(diag.empty());

    auto in = BinaryReader::Open(kSample / "quarneld/template4.dat");
    ASSERT_TRUE(in.has_value());
    uint32_t a = 0, b = 0, p1 = 0, p2 = 0;
    ASSERT_TRUE(in->ReadU32(a) && in->ReadU32(b) && in->ReadU32(p1) && in->ReadU32(p2));
    EXPECT_EQ(in->Remaining(), uint64_t{a} + b);
    // The fixed patches at 8, 26 and 36 and the two given ones lie inside.
    EXPECT_TRUE(p1 + 16 <= a + b && p2 >= 2 && p2 + 4 <= a + b && a + b >= 40)
        << a << " " << b << " " << p1 << " " << p2;
}

}  // namespace
}  // namespace qd
