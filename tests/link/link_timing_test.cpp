#include "link_timing.h"

#include <gtest/gtest.h>

#include <limits>

namespace {

using quorlin::Clock;
using quorlin::WriteTimeout;
using std::chrono::milliseconds;

TEST(WriteTimeout, FiveMillisecondsPerBytePlusFifty) {
    EXPECT_EQ(WriteTimeout(0), milliseconds(50));
    EXPECT_EQ(WriteTimeout(1), milliseconds(55));
    EXPECT_EQ(WriteTimeout(256), milliseconds(1330));
}

TEST(WriteTimeout, SaturatesInsteadOfOverflowing) {
    const Clock::duration huge = WriteTimeout(std::numeric_limits<std::size_t>::max());
    EXPECT_GT(huge, WriteTimeout(1000000));
    EXPECT_EQ(huge, WriteTimeout(std::numeric_limits<std::size_t>::max() / 2));
}

}  // namespace

namespace {

using quorlin::DrainBound;
using std::chrono::microseconds;

TEST(DrainBound, TenBitsAByteAtTheLineSpeedPlusAHundredMilliseconds) {
    EXPECT_EQ(DrainBound(0, 9600), milliseconds(100));
    EXPECT_EQ(DrainBound(1, 9600), microseconds(101041));  // 1.0417 ms a byte
    EXPECT_EQ(DrainBound(100, 9600), microseconds(204166));
    EXPECT_EQ(DrainBound(256, 115200), microseconds(122222));
    EXPECT_EQ(DrainBound(10, 0), milliseconds(100)) << "no speed set: nothing to wait for";
    EXPECT_LT(DrainBound(std::numeric_limits<std::size_t>::max(), 9600), std::chrono::hours(24 * 365));
}

}  // namespace
