#include <gtest/gtest.h>

#include "protocol/state.h"

namespace qd {

TEST(StatusLetter, LongNameGivesStatusByLowTwoBits) {
    EXPECT_EQ(StatusFromLongName(u"AJ[]F4U Corsair[]G"), kStatusWaiting);
    EXPECT_EQ(StatusFromLongName(u"x[]E"), kStatusNfFlying);
    EXPECT_EQ(StatusFromLongName(u"]A"), kStatusNfFlying);
    EXPECT_EQ(StatusFromLongName(u"]B"), kStatusFlying);
    EXPECT_EQ(StatusFromLongName(u"]D"), kStatusReady);
    EXPECT_EQ(StatusFromLongName(u"]H"), kStatusReady);
    // No letter in the last place, or too short, or no name at all.
    EXPECT_EQ(StatusFromLongName(u"AJ[]F4U[]"), kStatusUnknown);
    EXPECT_EQ(StatusFromLongName(u"]"), kStatusUnknown);
    EXPECT_EQ(StatusFromLongName(u"G"), kStatusUnknown);
    EXPECT_EQ(StatusFromLongName(u""), kStatusUnknown);
    EXPECT_EQ(StatusFromLongName(u"[]GG"), kStatusUnknown);
}

TEST(StatusLetter, RewriteKeepsTheGroupOfFour) {
    EXPECT_EQ(RewriteStatusLetter(u'G', LetterState::Flying), u'F');
    EXPECT_EQ(RewriteStatusLetter(u'C', LetterState::Ready), u'D');
    EXPECT_EQ(RewriteStatusLetter(u'H', LetterState::NfFlying), u'E');
    EXPECT_EQ(RewriteStatusLetter(u'A', LetterState::Waiting), u'C');
    EXPECT_EQ(WithStatusLetter(u"AJ[]Tank[]G", LetterState::Ready), u"AJ[]Tank[]H");
    EXPECT_EQ(WithStatusLetter(u"", LetterState::Ready), u"");
    // What the host writes reads back as the state it meant, in both groups.
    for (char16_t start : {u'C', u'G'})
        for (auto s : {LetterState::NfFlying, LetterState::Flying, LetterState::Waiting, LetterState::Ready}) {
            const std::u16string name = WithStatusLetter(std::u16string(u"AJ[]x[]") + start, s);
            const uint32_t expected[] = {kStatusNfFlying, kStatusFlying, kStatusWaiting, kStatusReady};
            EXPECT_EQ(StatusFromLongName(name), expected[static_cast<int>(s)]);
        }
}

TEST(StatusText, PlayerListTexts) {
    EXPECT_STREQ(StatusText(std::nullopt), "New");
    EXPECT_STREQ(StatusText(16), "Unk");
    EXPECT_STREQ(StatusText(17), "Waiting");
    EXPECT_STREQ(StatusText(18), "Ready");
    EXPECT_STREQ(StatusText(19), "Flying");
    EXPECT_STREQ(StatusText(20), "Wait2");
    EXPECT_STREQ(StatusText(21), "NFRdy");
    EXPECT_STREQ(StatusText(22), "NFFly");
    EXPECT_STREQ(StatusText(0), "Unk2");
    EXPECT_STREQ(StatusText(23), "Unk2");
}

TEST(HostState, StartsIdleAndNumbersMotionsInOrder) {
    HostState s;
    EXPECT_EQ(s.gameState, kGameIdle);
    EXPECT_EQ(s.takeMotionSequence(), 0u);
    EXPECT_EQ(s.takeMotionSequence(), 1u);
    EXPECT_EQ(s.motionSequence, 2u);
    s.motionSequence = 0xFFFFFFFFu;
    EXPECT_EQ(s.takeMotionSequence(), 0xFFFFFFFFu);
    EXPECT_EQ(s.takeMotionSequence(), 0u);
}

}  // namespace qd
