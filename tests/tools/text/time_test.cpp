// The UTC time stamp, at the edges of days, years and the epoch.
#include <gtest/gtest.h>

#include "tools/text/time.h"

namespace text {
namespace {

std::chrono::system_clock::time_point At(long long ms) {
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(ms));
}

TEST(IsoUtc, WritesUtcToTheMillisecond) {
    EXPECT_EQ(IsoUtc(At(1796728478123)), "2026-12-08T11:14:38.123Z");
    EXPECT_EQ(IsoUtc(At(0)), "1970-01-01T00:00:00.000Z");
}

TEST(IsoUtc, RollsOverDaysAndLeapDaysCorrectly) {
    EXPECT_EQ(IsoUtc(At(1835481599999)), "2028-02-29T23:59:59.999Z");
    EXPECT_EQ(IsoUtc(At(1835481600000)), "2028-03-01T00:00:00.000Z");
    EXPECT_EQ(IsoUtc(At(-1)), "1969-12-31T23:59:59.999Z") << "rounded down, not toward zero";
}

}  // namespace
}  // namespace text
