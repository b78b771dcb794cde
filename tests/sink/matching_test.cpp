#include "sink/matching.h"

#include <gtest/gtest.h>

#include <optional>

#include "platform/com/text.h"

namespace korvane::sink {
namespace {

struct MatchRow {
  Text pattern;
  Text current;
  bool matches;
};

void PrintTo(const MatchRow& row, std::ostream* os) {
  *os << '\'' << toUtf8(row.pattern) << "' vs '" << toUtf8(row.current) << '\'';
}

class MatchRule : public ::testing::TestWithParam<MatchRow> {};

TEST_P(MatchRule, ComparesAsTheRuleSays) {
  EXPECT_EQ(matchesPattern(GetParam().pattern, GetParam().current), GetParam().matches);
}

INSTANTIATE_TEST_SUITE_P(
    NoWildcard, MatchRule,
    ::testing::Values(MatchRow{u"IPM.Note", u"ipm.note", true},
                      MatchRow{u"IPM.Note", u"IPM.Note.X", false},
                      MatchRow{u"IPM.Note.X", u"IPM.Note", false},
                      // Without "*" the pattern is trimmed, so the text after ", " still matches.
                      MatchRow{u" IPM.Note", u"IPM.Note", true},
                      MatchRow{u"  IPM.Note  ", u"IPM.NOTE", true},
                      // Trimming removes blanks only.
                      MatchRow{u"\tIPM.Note", u"IPM.Note", false},
                      MatchRow{u"", u"IPM.Note", false},
                      MatchRow{u"Straße", u"STRASSE", true},
                      MatchRow{u"IPM.Été", u"ipm.éTÉ", true},
                      MatchRow{u"IPM.Éte", u"IPM.Ete", false},
                      MatchRow{u"IPM.Сlass", u"IPM.Class", false}));  // a Cyrillic С

INSTANTIATE_TEST_SUITE_P(
    Wildcard, MatchRule,
    ::testing::Values(MatchRow{u"*", u"IPM.Note", true},
                      MatchRow{u"IPM.Note*", u"IPM.Note", true},
                      MatchRow{u"IPM.Note*", u"ipm.note.Anything", true},
                      MatchRow{u"IPM.Note*", u"IPM.Not", false},
                      MatchRow{u"IPM.Note*", u"IPM.Post", false},
                      MatchRow{u"*.Report", u"IPM.Note.report", true},
                      MatchRow{u"*.Report", u"IPM.Note.Reports", false},
                      // Prefix and suffix may use the same characters.
                      MatchRow{u"AB*BC", u"ABC", true},
                      MatchRow{u"AB*BC", u"ABXYBC", true},
                      MatchRow{u"AB*BC", u"AC", false},
                      MatchRow{u"A*A", u"A", true},
                      // A part longer than the class is compared with all of it.
                      MatchRow{u"ABCDEF*", u"ABC", false},
                      MatchRow{u"*ABCDEF", u"ABC", false},
                      // In the wildcard case the pattern keeps its blanks.
                      MatchRow{u" IPM.Note*", u"IPM.Note", false},
                      MatchRow{u"IPM.Note* ", u"IPM.Note.X", false},
                      MatchRow{u"\n*", u"IPM.Note", false},
                      // Only the first "*" is a wildcard.
                      MatchRow{u"IPM.*.X*", u"IPM.Foo.X*", true},
                      MatchRow{u"IPM.*.X*", u"IPM.Foo.X", false},
                      MatchRow{u"**", u"A*", true},
                      MatchRow{u"**", u"AB", false},
                      MatchRow{u"IPM.NOTE*ÉTÉ", u"ipm.note.été", true},
                      MatchRow{u"Σ*", u"σοφία", true},
                      MatchRow{u"\U00010400*", u"\U00010428x", true}));

struct PairRow {
  Text patterns;
  Text newClasses;
  Text current;
  std::optional<Text> target;
};

void PrintTo(const PairRow& row, std::ostream* os) {
  *os << toUtf8(row.patterns) << " -> " << toUtf8(row.newClasses) << " on " << toUtf8(row.current);
}

class PairWalk : public ::testing::TestWithParam<PairRow> {};

TEST_P(PairWalk, MapsTheFirstMatchingPattern) {
  EXPECT_EQ(mappedClass(GetParam().patterns, GetParam().newClasses, GetParam().current), GetParam().target);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PairWalk,
    ::testing::Values(PairRow{u"A,B,C", u"X,Y", u"A", u"X"},
                      PairRow{u"A,B,C", u"X,Y", u"b", u"Y"},
                      PairRow{u"A,B,C", u"X,Y", u"C", u"Y"},
                      PairRow{u"A,B,C", u"X,Y", u"D", std::nullopt},
                      PairRow{u"A", u"X,Y,Z", u"A", u"X"},
                      PairRow{u"*", u"IPM.Note", u"IPM.Anything", u"IPM.Note"},
                      // The first match wins even when a later pattern fits too.
                      PairRow{u"IPM.*,IPM.Note", u"X,Y", u"IPM.Note", u"X"},
                      PairRow{u"A, B", u"X,Y", u"B", u"Y"},
                      PairRow{u"A, B*", u"X,Y", u"B", std::nullopt},
                      PairRow{u"A,,B", u"X,,Z", u"B", u"Z"},
                      PairRow{u"A,B", u"X,", u"B", u""},
                      // New classes are not trimmed.
                      PairRow{u"A", u" X ", u"A", u" X "},
                      PairRow{u"A", u" NULL", u"A", u" NULL"},
                      PairRow{u"A", u"Null", u"A", u"Null"}));

TEST(DeleteMarker, IsNullInAnyCaseButNotTrimmed) {
  for (const char16_t* t : {u"NULL", u"Null", u"null", u"nULl"}) EXPECT_TRUE(meansDelete(t)) << toUtf8(t);
  for (const char16_t* t : {u" NULL", u"NULL ", u"NUL", u"", u"NULLX", u"IPM.Note"})
    EXPECT_FALSE(meansDelete(t)) << toUtf8(t);
}

struct TagRow {
  Text text;
  Text tag;
  Text value;
};

void PrintTo(const TagRow& row, std::ostream* os) { *os << toUtf8(row.text) << " / " << toUtf8(row.tag); }

class TagValue : public ::testing::TestWithParam<TagRow> {};

TEST_P(TagValue, ReadsTheValueBetweenTheTags) {
  EXPECT_EQ(getTagValue(GetParam().text, GetParam().tag), GetParam().value);
}

const Text kFullDescription =
    u"<ORIGMSGCL>IPM.Note</ORIGMSGCL><TargetMsgCl>IPM.Note.X</TargetMsgCl>";

INSTANTIATE_TEST_SUITE_P(
    Rows, TagValue,
    ::testing::Values(
        TagRow{u"<origmsgcl>IPM.Note</origmsgcl>", u"<origmsgcl>", u"IPM.Note"},
        TagRow{kFullDescription, u"<origmsgcl>", u"IPM.Note"},
        TagRow{kFullDescription, u"<targetmsgcl>", u"IPM.Note.X"},
        TagRow{u"<origmsgcl>x</origmsgcl>", u"<ORIGMSGCL>", u"x"},
        TagRow{u"<OrigMsgCl>  IPM.Note.Keep Case  </ORIGmsgcl>", u"<origmsgcl>", u"IPM.Note.Keep Case"},
        TagRow{u"Sales <targetmsgcl>IPM.Post</targetmsgcl> tail", u"<targetmsgcl>", u"IPM.Post"},
        TagRow{u"<origmsgcl>\tA, B </origmsgcl>", u"<origmsgcl>", u"\tA, B"},
        // The closing tag is searched from the start, so one before the
        // opening tag empties the value even when another follows.
        TagRow{u"</origmsgcl><origmsgcl>X</origmsgcl>", u"<origmsgcl>", u""},
        TagRow{u"<origmsgcl>X", u"<origmsgcl>", u""},
        TagRow{u"X</origmsgcl>", u"<origmsgcl>", u""},
        TagRow{u"", u"<origmsgcl>", u""},
        TagRow{u"<origmsgcl></origmsgcl>", u"<origmsgcl>", u""},
        TagRow{u"<origmsgcl>   </origmsgcl>", u"<origmsgcl>", u""},
        TagRow{u"<origmsgcl>A</origmsgcl><origmsgcl>B</origmsgcl>", u"<origmsgcl>", u"A"},
        TagRow{u"<targetmsgcl>A</targetmsgcl>", u"<origmsgcl>", u""},
        // Lower-casing keeps positions, so text before the tag may be any script.
        TagRow{u"İİ\U00010400Σ<ORIGMSGCL>Été</ORIGMSGCL>", u"<origmsgcl>", u"Été"},
        TagRow{u"abc", u"", u""}));

// Descriptions of a megabyte go through the delivery road; here a value
// beyond sixteen bits.
TEST(TagValueSize, ValuesBeyondSixteenBitsWork) {
  const Text longValue(40'000, u'V');
  const Text description = u"<targetmsgcl>" + longValue + u"</targetmsgcl>" + Text(1'000'000, u'x');
  EXPECT_EQ(getTagValue(description, u"<targetmsgcl>"), longValue);
}

TEST(MatchSize, PatternsAndClassesBeyondSixteenBitsWork) {
  const Text longClass = u"IPM." + Text(40'000, u'n') + u".End";
  EXPECT_TRUE(matchesPattern(u"IPM.*.end", longClass));
  EXPECT_TRUE(matchesPattern(longClass + u"*", longClass));
  EXPECT_TRUE(matchesPattern(u" " + longClass + u" ", longClass));
  EXPECT_FALSE(matchesPattern(longClass + u"x*", longClass));
}

} // namespace
} // namespace korvane::sink
