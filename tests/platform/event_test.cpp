#include <gtest/gtest.h>

#include <thread>

#include "platform/event.h"

namespace qd {

TEST(AutoResetEvent, WaitAnyTakesTheFirstSetEventAndResetsIt) {
    AutoResetEvent a, b;
    EXPECT_EQ(WaitForAny({&a, &b}, 0), kWaitTimeout);
    b.set();
    a.set();
    EXPECT_EQ(WaitForAny({&a, &b}, 0), 0);  // list order decides, like WaitForMultipleObjects
    EXPECT_FALSE(a.isSet());
    EXPECT_EQ(WaitForAny({&a, &b}, 0), 1);
    EXPECT_EQ(WaitForAny({&a, &b}, 10), kWaitTimeout);
    EXPECT_EQ(WaitForAny({}, 0), kWaitFailed);
    EXPECT_EQ(WaitForAny({&a, nullptr}, 0), kWaitFailed);
}

TEST(AutoResetEvent, SetFromAnotherThreadWakesAnInfiniteWait) {
    AutoResetEvent receive, stop;
    int woke = -3;
    std::thread waiter([&] { woke = WaitForAny({&receive, &stop}); });
    stop.set();
    waiter.join();
    EXPECT_EQ(woke, 1);
    EXPECT_FALSE(stop.isSet());
}

TEST(TickCount, WrapsAtTwoToThe32) {
    SetTickCountOffsetForTesting(0);
    const uint32_t base = GetTickCount();
    SetTickCountOffsetForTesting(0xFFFFFFFFu - base + 1);  // now reads near 0 after the wrap
    const uint32_t wrapped = GetTickCount();
    EXPECT_LT(wrapped, 1000u);
    SetTickCountOffsetForTesting(0);
}

}  // namespace qd
