#include "link_timing.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>

namespace {

using namespace quorlin;
using std::chrono::milliseconds;

TEST(ChooseSpeed, SupportedSpeedsStandAndEverythingElseIsNinetySixHundred) {
    struct Row {
        int32_t requested;
        int32_t bits_per_second;
        char code;
    };
    const Row rows[] = {
        {9600, 9600, '2'},   {19200, 19200, '3'}, {38400, 38400, '4'}, {57600, 57600, '5'},
        {115200, 115200, '6'}, {4800, 9600, '2'},   {0, 9600, '2'},      {-1, 9600, '2'},
        {230400, 9600, '2'}, {115201, 9600, '2'}, {std::numeric_limits<int32_t>::min(), 9600, '2'},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.requested);
        const SpeedChoice choice = ChooseSpeed(row.requested);
        EXPECT_EQ(choice.bits_per_second, row.bits_per_second);
        EXPECT_EQ(choice.code, row.code);
    }
}

TEST(ChooseSpeed, EveryProbedSpeedIsSupported) {
    for (int32_t speed : kProbeOrder) {
        EXPECT_EQ(ChooseSpeed(speed).bits_per_second, speed);
    }
}

TEST(PortNumbers, OneToTwoHundredFiftySix) {
    EXPECT_FALSE(IsValidPortNumber(std::numeric_limits<int32_t>::min()));
    EXPECT_FALSE(IsValidPortNumber(-1));
    EXPECT_FALSE(IsValidPortNumber(0));
    EXPECT_TRUE(IsValidPortNumber(1));
    EXPECT_TRUE(IsValidPortNumber(256));
    EXPECT_FALSE(IsValidPortNumber(257));
    EXPECT_FALSE(IsValidPortNumber(std::numeric_limits<int32_t>::max()));
}

TEST(WriteTimeout, FiveMillisecondsPerBytePlusFifty) {
    EXPECT_EQ(WriteTimeout(0), milliseconds(50));
    EXPECT_EQ(WriteTimeout(1), milliseconds(55));
    EXPECT_EQ(WriteTimeout(256), milliseconds(1330));
}

TEST(WriteTimeout, SaturatesInsteadOfOverflowing) {
    const Clock::duration huge = WriteTimeout(std::numeric_limits<std::size_t>::max());
    EXPECT_GT(huge, WriteTimeout(1000000));
    EXPECT_GT(huge, Clock::duration::zero());
    EXPECT_EQ(huge, WriteTimeout(std::numeric_limits<std::size_t>::max() / 2));
}

TEST(Remaining, NeverNegative) {
    const Clock::time_point t{};
    EXPECT_EQ(Remaining(t, t + milliseconds(7)), milliseconds(7));
    EXPECT_EQ(Remaining(t, t), Clock::duration::zero());
    EXPECT_EQ(Remaining(t + milliseconds(7), t), Clock::duration::zero());
}

}  // namespace
