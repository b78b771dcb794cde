#include "sink/configuration.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace korvane::sink {
namespace {

struct CtorRow {
  const char* name;
  Text input;
  std::vector<Text> newClasses;
  std::vector<Text> patterns;
  std::ptrdiff_t upperBound;
};

void PrintTo(const CtorRow& row, std::ostream* os) { *os << row.name; }

class ConstructorString : public ::testing::TestWithParam<CtorRow> {};

TEST_P(ConstructorString, SplitsIntoPairs) {
  const CtorRow& row = GetParam();
  Configuration config = parseConstructorString(row.input);
  EXPECT_EQ(config.newClasses, row.newClasses);
  EXPECT_EQ(config.originalPatterns, row.patterns);
  EXPECT_EQ(config.pairLowerBound, 0);
  EXPECT_EQ(config.pairUpperBound, row.upperBound);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ConstructorString,
    ::testing::Values(
        CtorRow{"setup_default", u"IPM.Note\r*\r65223", {u"IPM.Note"}, {u"*"}, 0},
        CtorRow{"two_lines_without_priority", u"X\rY", {u"X"}, {u"Y"}, 0},
        CtorRow{"empty_string", u"", {}, {}, -1},
        CtorRow{"no_cr_single_line", u"IPM.Note", {}, {}, -1},
        CtorRow{"no_cr_with_tab", u"IPM.Note\t*", {}, {}, -1},
        CtorRow{"leading_cr", u"\r*\r65223", {}, {}, -1},
        CtorRow{"leading_cr_many_patterns", u"\r*\tA\tB", {}, {}, -1},
        CtorRow{"line_1_blanks_only", u"   \r*", {}, {u"*"}, -1},
        CtorRow{"line_2_missing", u"IPM.Note\r", {u"IPM.Note"}, {}, -1},
        CtorRow{"more_new_entries", u"A\tB\r*\r1", {u"A", u"B"}, {u"*"}, 0},
        CtorRow{"more_pattern_entries", u"A\r*\tB", {u"A"}, {u"*", u"B"}, 0},
        CtorRow{"empty_line_2_with_line_3", u"IPM.Note\r\r65223", {u"IPM.Note"}, {u"\r65223"}, 0},
        CtorRow{"blanks_around_and_inside",
                u"  IPM.Note \t X  \r  * \r 1",
                {u"IPM.Note ", u" X"},
                {u"*"},
                0},
        CtorRow{"tabs_survive_trimming", u"\tA\r*", {u"", u"A"}, {u"*"}, 0},
        CtorRow{"cr_lf_line_ends", u"IPM.Note\r\n*\r\n65223", {u"IPM.Note"}, {u"\n*"}, 0},
        CtorRow{"empty_entries_kept", u"A\t\tB\r*\t\t*", {u"A", u"", u"B"}, {u"*", u"", u"*"}, 2},
        CtorRow{"commas_stay_inside_entries",
                u"X,Y\tNULL\rA,B,C\tIPM.Note*",
                {u"X,Y", u"NULL"},
                {u"A,B,C", u"IPM.Note*"},
                1},
        CtorRow{"line_3_only_first_cr_cuts", u"A\rB\rC\rD", {u"A"}, {u"B"}, 0}));

// Text of `count` entries "<prefix><i>" separated by TAB.
Text entries(const char16_t* prefix, int count) {
  Text out;
  for (int i = 0; i < count; ++i) {
    if (i) out += u'\t';
    out += prefix + fromUtf8(std::to_string(i));
  }
  return out;
}

// The delivery road's 10,000 pairs fit a signed 16-bit count; these do not,
// and the shorter list still bounds them.
TEST(ConstructorStringSize, ShorterListBoundsThePairsBeyondSixteenBits) {
  Configuration config = parseConstructorString(entries(u"N", 40000) + u"\r" + entries(u"P", 32770) + u"\r1");
  EXPECT_EQ(config.pairUpperBound, 32769);
  ASSERT_EQ(config.newClasses.size(), 40000u);
  EXPECT_EQ(config.newClasses.back(), u"N39999");
  EXPECT_EQ(config.originalPatterns.back(), u"P32769");
}

} // namespace
} // namespace korvane::sink
