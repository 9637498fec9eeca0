#include "line_assembler.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using quorlin::LineAssembler;
using Outcome = LineAssembler::Outcome;

namespace {

struct Step {
    std::string chunk;
    Outcome outcome;
    std::string line;  // expected line() after kLine
};

struct Case {
    const char* name;
    std::vector<Step> steps;
};

std::string Xs(std::size_t n) {
    return std::string(n, 'x');
}

class LineAssemblerSteps : public testing::TestWithParam<Case> {};

TEST_P(LineAssemblerSteps, FeedsChunksInOrder) {
    LineAssembler assembler;
    int index = 0;
    for (const Step& step : GetParam().steps) {
        SCOPED_TRACE("step " + std::to_string(index++));
        EXPECT_EQ(assembler.Append(step.chunk), step.outcome);
        if (step.outcome == Outcome::kLine) {
            EXPECT_EQ(std::string(assembler.line()), step.line);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineAssemblerSteps,
    testing::Values(
        Case{"empty_line_is_a_line", {{"\r", Outcome::kLine, "\r"}}},
        Case{"pieces_join_in_order",
             {{"ab", Outcome::kPending, ""},
              {"cd", Outcome::kPending, ""},
              {"e\r", Outcome::kLine, "abcde\r"}}},
        Case{"empty_chunk_changes_nothing",
             {{"ab", Outcome::kPending, ""}, {"", Outcome::kPending, ""}, {"\r", Outcome::kLine, "ab\r"}}},
        Case{"cr_inside_a_chunk_does_not_end_the_line",
             {{"A\rB", Outcome::kPending, ""}, {"\r", Outcome::kLine, "A\rB\r"}}},
        Case{"two_lines_in_one_chunk_come_out_as_one", {{"A\rB\r", Outcome::kLine, "A\rB\r"}}},
        Case{"next_line_starts_afresh",
             {{"one\r", Outcome::kLine, "one\r"}, {"two\r", Outcome::kLine, "two\r"}}},
        Case{"longest_line_fits",
             {{Xs(100), Outcome::kPending, ""},
              {Xs(100), Outcome::kPending, ""},
              {Xs(54) + "\r", Outcome::kLine, Xs(254) + "\r"}}},
        Case{"one_byte_too_long_is_discarded",
             {{Xs(100), Outcome::kPending, ""},
              {Xs(100), Outcome::kPending, ""},
              {Xs(55) + "\r", Outcome::kDiscarded, ""},
              {"ok\r", Outcome::kLine, "ok\r"}}},
        Case{"discard_goes_on_until_the_cr",
             {{Xs(200), Outcome::kPending, ""},
              {Xs(100), Outcome::kPending, ""},
              {Xs(100), Outcome::kPending, ""},
              {"zz\r", Outcome::kDiscarded, ""},
              {"ok\r", Outcome::kLine, "ok\r"}}},
        Case{"bytes_after_the_discarded_cr_start_the_next_line",
             {{Xs(300), Outcome::kPending, ""},
              {"x\rNE", Outcome::kDiscarded, ""},
              {"XT\r", Outcome::kLine, "NEXT\r"}}}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(LineAssembler, CarriedCompleteLineIsHandedToTheNextRead) {
    LineAssembler assembler;
    EXPECT_FALSE(assembler.TakeCarriedLine());
    EXPECT_EQ(assembler.Append(Xs(256)), Outcome::kPending);
    EXPECT_EQ(assembler.Append("\rNEXT\r"), Outcome::kDiscarded);
    ASSERT_TRUE(assembler.TakeCarriedLine());
    EXPECT_EQ(std::string(assembler.line()), "NEXT\r");
    EXPECT_FALSE(assembler.TakeCarriedLine());  // handed out once only
    EXPECT_EQ(assembler.Append("after\r"), Outcome::kLine);
    EXPECT_EQ(std::string(assembler.line()), "after\r");
}

TEST(LineAssembler, TimeOutDropsTheBytesButKeepsDiscarding) {
    LineAssembler assembler;
    EXPECT_EQ(assembler.Append("abc"), Outcome::kPending);
    assembler.DropPartial();
    EXPECT_EQ(assembler.Append("d\r"), Outcome::kLine);
    EXPECT_EQ(std::string(assembler.line()), "d\r");  // "abc" is gone

    EXPECT_EQ(assembler.Append(Xs(256)), Outcome::kPending);
    assembler.DropPartial();
    EXPECT_TRUE(assembler.discarding());
    EXPECT_EQ(assembler.Append("tail\r"), Outcome::kDiscarded);
    EXPECT_EQ(assembler.Append("next\r"), Outcome::kLine);
}

TEST(LineAssembler, ResetEndsADiscard) {
    LineAssembler assembler;
    EXPECT_EQ(assembler.Append(Xs(256)), Outcome::kPending);
    assembler.Reset();
    EXPECT_FALSE(assembler.discarding());
    EXPECT_EQ(assembler.Append("tail\r"), Outcome::kLine);
}

}  // namespace
