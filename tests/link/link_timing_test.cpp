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
