#include "foundation/Clock.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <ctime>
#include <limits>

namespace {

uint64_t monotonicTicks() {
    timespec reading{};
    clock_gettime(CLOCK_MONOTONIC, &reading);
    return static_cast<uint64_t>(reading.tv_sec) * VEMRA::kPicosecondsPerSecond +
           static_cast<uint64_t>(reading.tv_nsec) * 1000U;
}

TEST(ClockTest, NowFollowsTheMonotonicClockInPicoseconds) {
    const uint64_t before = monotonicTicks();
    const uint64_t now = VEMRA::clockNow();
    const uint64_t after = monotonicTicks();
    EXPECT_LE(before, now);
    EXPECT_LE(now, after);

    uint64_t previous = VEMRA::clockNow();
    for (int i = 0; i < 10000; ++i) {
        const uint64_t next = VEMRA::clockNow();
        ASSERT_NE(next, 0U);
        ASSERT_GE(VEMRA::clockCompare(next, previous), 0);
        previous = next;
    }
}

TEST(ClockTest, ReadingsConvertToTicksAndZeroMeansNoTime) {
    EXPECT_EQ(VEMRA::clockFromTimespec(timespec{0, 0}), 1U);
    EXPECT_EQ(VEMRA::clockFromTimespec(timespec{0, 1}), 1000U);
    EXPECT_EQ(VEMRA::clockFromTimespec(timespec{3, 250'000'000}), 3'250'000'000'000ULL);
}

TEST(ClockTest, CompareGivesTheSignAcrossWrapAround) {
    constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
    EXPECT_EQ(VEMRA::clockCompare(42, 42), 0);
    EXPECT_EQ(VEMRA::clockCompare(43, 42), 1);
    EXPECT_EQ(VEMRA::clockCompare(42, 43), -1);
    // 5 ticks after the wrap is later than 5 ticks before it.
    EXPECT_EQ(VEMRA::clockCompare(5, kMax - 5), 1);
    EXPECT_EQ(VEMRA::clockCompare(kMax - 5, 5), -1);
    // Results are -1/0/+1, not the raw difference.
    EXPECT_EQ(VEMRA::clockCompare(1'000'000'000'000ULL, 1), 1);
    EXPECT_EQ(VEMRA::clockCompare(1, 1'000'000'000'000ULL), -1);
}

} // namespace
