// The sample working directory shipped with the sources: every target in its session
// configuration checks out against its own simulator files.
#include "config/fixture.h"
#include "config/targets.h"
#include "simfiles/inventory.h"

namespace qd {
namespace {

const std::filesystem::path kSample = QUARNELD_SOURCE_DIR "/sample";

TEST(Sample, EveryTargetValidates) {
    testing::Workdir scratch;  // keeps the error log out of the sample
    ConfigContext& ctx = scratch.ctx;
    Diagnostics& diag = scratch.diag;
    ctx.workDir = kSample;
    int targets = 0, aircraft = 0, airfields = 0;
    for (auto t = LoadTargetObject(ctx, 0); t; t = LoadTargetObject(ctx, ++targets)) {
        ASSERT_EQ(ValidateTargetAircraft(kSample, *t, &diag), 0) << t->aircraft;
        if (t->airFilePath) {
            ++aircraft;
            EXPECT_EQ(std::tuple(*t->airFilePath, t->staticPitch, t->heightOffset),
                      std::tuple("aircraft/QD_Tug/QDTUG.air", 11.5, 5.0));
        }
        airfields += t->isAirfield;
    }
    EXPECT_TRUE(targets >= 4 && aircraft == 1 && airfields >= 1) << targets << " " << aircraft << " " << airfields;
    EXPECT_TRUE(scratch.LogLines().empty() && diag.empty());
}

}  // namespace
}  // namespace qd
