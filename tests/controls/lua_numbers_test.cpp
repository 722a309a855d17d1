#include "controls/lua_numbers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vexo::controls {
namespace {

TEST(LuaNumbersTest, TruncationIsTowardZeroAndSaturatesAtTheLimits) {
    constexpr int64_t kMax = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
    EXPECT_EQ(truncateToInt64(2.9), 2);
    EXPECT_EQ(truncateToInt64(-2.9), -2);
    EXPECT_EQ(truncateToInt64(-0.0), 0);
    EXPECT_EQ(truncateToInt64(std::nan("")), 0);
    EXPECT_EQ(truncateToInt64(std::numeric_limits<double>::infinity()), kMax);
    EXPECT_EQ(truncateToInt64(-std::numeric_limits<double>::infinity()), kMin);
    EXPECT_EQ(truncateToInt64(9223372036854775808.0), kMax);
    EXPECT_EQ(truncateToInt64(-9223372036854775808.0), kMin);
    // The largest double below 2^63 still converts exactly.
    EXPECT_EQ(truncateToInt64(9223372036854774784.0), 9223372036854774784);
}

}  // namespace
}  // namespace vexo::controls
