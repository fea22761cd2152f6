#include <gtest/gtest.h>

#include "protocol/state.h"

namespace qd {

TEST(StatusLetter, LongNameStatusRewritesInTheGroupOfFourAndMotionSequence) {
    const std::pair<std::u16string, uint32_t> names[] = {
        {u"AJ[]F4U Corsair[]G", kStatusWaiting}, {u"x[]E", kStatusNfFlying}, {u"]A", kStatusNfFlying},
        {u"]B", kStatusFlying}, {u"]D", kStatusReady}, {u"]H", kStatusReady},
        // No letter in the last place, too short, or no name at all.
        {u"AJ[]F4U[]", kStatusUnknown}, {u"]", kStatusUnknown}, {u"G", kStatusUnknown}, {u"", kStatusUnknown},
        {u"[]GG", kStatusUnknown}};
    for (const auto& [name, status] : names) EXPECT_EQ(StatusFromLongName(name), status) << std::size(name);
    // Whatever letter of its group a name ends in, the host writes the state it means
    // in that group, and the name reads back as that state.
    const uint32_t meant[] = {kStatusNfFlying, kStatusFlying, kStatusWaiting, kStatusReady};
    for (const std::u16string group : {u"ABCD", u"EFGH"})
        for (char16_t start : group)
            for (uint32_t s = 0; s < 4; ++s) {
                const std::u16string name = WithStatusLetter(u"AJ[]x[]" + std::u16string(1, start), LetterState(s));
                EXPECT_EQ(name, u"AJ[]x[]" + std::u16string(1, group[s]));
                EXPECT_EQ(StatusFromLongName(name), meant[s]);
            }
    EXPECT_EQ(WithStatusLetter(u"", LetterState::Ready), u"");
    HostState s{.motionSequence = 0xFFFFFFFFu};
    EXPECT_EQ(s.takeMotionSequence(), 0xFFFFFFFFu);
    EXPECT_EQ(s.takeMotionSequence(), 0u);
    EXPECT_EQ(s.takeMotionSequence(), 1u);
}

}  // namespace qd
