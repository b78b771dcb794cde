#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "item.h"

namespace korvane::store::query {
namespace {

using testing::Item;
using testing::lookupIn;

struct EvalRow {
  const char16_t* where;
  Item item;
  bool expected;
};

const double nan = std::numeric_limits<double>::quiet_NaN();

const EvalRow evalRows[] = {
    // texts ignore case
    {u"\"n\" = '\u00e9'", {{u"n", u"\u00c9"}}, true},
    {u"\"n\" = 'STRASSE'", {{u"n", u"Stra\u00dfe"}}, true},
    {u"\"n\" = '\u03c3\u03bf\u03c6\u03af\u03b1'", {{u"n", u"\u03a3\u039f\u03a6\u038a\u0391"}}, true},
    {u"\"DAV:displayname\" = 'Korvane.reg'", {{u"dav:DisplayName", u"korvane.REG"}}, true},
    {u"\"n\" = 'Korvane.re'", {{u"n", u"Korvane.reg"}}, false},
    {u"\"n\" <> '\u00c9'", {{u"n", u"\u00e9"}}, false},
    {u"\"n\" = 'Bob''s'", {{u"n", u"BOB'S"}}, true},
    {u"\"n\" < 'b'", {{u"n", u"A"}}, true},
    {u"\"n\" > 'Z'", {{u"n", u"a"}}, false},
    {u"\"a\" = \"b\"", {{u"a", u"X"}, {u"b", u"x"}}, true},
    {u"\"n\" = ''", {{u"n", u""}}, true},
    // booleans
    {u"\"h\" = FALSE", {{u"h", false}}, true},
    {u"\"h\" = FALSE", {{u"h", true}}, false},
    {u"\"h\" = true", {{u"h", true}}, true},
    {u"\"h\" <> True", {{u"h", false}}, true},
    {u"\"h\" = 1", {{u"h", true}}, true},
    {u"\"h\" = 0", {{u"h", false}}, true},
    {u"\"h\" = 1", {{u"h", false}}, false},
    {u"\"h\" = -1", {{u"h", true}}, false},
    {u"\"h\" = 'true'", {{u"h", true}}, true},
    {u"\"h\" = 'FALSE'", {{u"h", false}}, true},
    {u"\"h\" = 'False'", {{u"h", true}}, false},
    {u"\"h\" = 'yes'", {{u"h", true}}, false},
    {u"'true' = \"h\"", {{u"h", true}}, true},
    {u"\"h\" = TRUE", {{u"h", u"True"}}, true},
    {u"\"h\" = TRUE", {{u"h", 1}}, true},
    // nulls and missing
    {u"\"x\" = 1", {}, false},
    {u"\"x\" <> 1", {}, false},
    {u"\"x\" = FALSE", {{u"x", Variant::null()}}, false},
    {u"\"x\" <> FALSE", {{u"x", Variant::null()}}, false},
    {u"\"x\" = \"y\"", {{u"x", Variant::null()}, {u"y", Variant::null()}}, false},
    {u"\"x\" IS NULL", {}, true},
    {u"\"x\" IS NULL", {{u"x", Variant::null()}}, true},
    {u"\"x\" IS NULL", {{u"x", Variant()}}, true},
    {u"\"x\" IS NULL", {{u"x", u""}}, false},
    {u"\"x\" IS NOT NULL", {}, false},
    {u"\"x\" is not null", {{u"x", 0}}, true},
    {u"\"x\" LIKE '%'", {}, false},
    {u"\"x\" < 'a'", {}, false},
    // numbers
    {u"\"p\" = 65223", {{u"p", 65223}}, true},
    {u"\"p\" = 65223", {{u"p", u"65223"}}, true},
    {u"\"p\" > 100", {{u"p", u"99"}}, false},  // numerically, not as texts
    {u"\"p\" < 100", {{u"p", 99}}, true},
    {u"\"p\" >= 2", {{u"p", 2.5}}, true},
    {u"\"p\" <= 2", {{u"p", 2.5}}, false},
    {u"\"p\" <= 2", {{u"p", 2}}, true},  // the bounds themselves
    {u"\"p\" >= 2", {{u"p", u"2"}}, true},
    {u"\"p\" < 2", {{u"p", 2.0}}, false},
    {u"\"p\" = 2", {{u"p", 2.0}}, true},
    {u"\"p\" < -1", {{u"p", -5}}, true},
    {u"\"p\" != 3", {{u"p", 4}}, true},
    {u"\"p\" = 1", {{u"p", u"abc"}}, false},
    {u"\"p\" <> 1", {{u"p", u"abc"}}, false},
    {u"\"p\" = '1.5'", {{u"p", 1.5}}, true},
    {u"\"p\" = \"p\"", {{u"p", nan}}, false},
    {u"\"p\" <> 1", {{u"p", nan}}, false},
    // 2^53 + 1 has no double of its own: compared exactly, not rounded.
    {u"\"p\" = 9007199254740993", {{u"p", 9007199254740992.0}}, false},
    {u"\"p\" < 9007199254740993", {{u"p", 9007199254740992.0}}, true},
    {u"\"p\" > 9223372036854775807", {{u"p", 1e19}}, true},
    {u"\"p\" = 9223372036854775807", {{u"p", std::int64_t{9223372036854775807}}}, true},
    {u"1 = 1", {}, true},
    // precedence
    {u"\"a\" = 1 OR \"b\" = 1 AND \"c\" = 1", {{u"a", 1}, {u"b", 0}, {u"c", 0}}, true},
    {u"(\"a\" = 1 OR \"b\" = 1) AND \"c\" = 1", {{u"a", 1}, {u"b", 0}, {u"c", 0}}, false},
    {u"NOT \"a\" = 1 AND \"b\" = 1", {{u"a", 0}, {u"b", 0}}, false},
    {u"NOT (\"a\" = 1 AND \"b\" = 1)", {{u"a", 0}, {u"b", 0}}, true},
    {u"NOT NOT \"a\" = 1", {{u"a", 1}}, true},
    {u"NOT \"x\" = 1", {}, true},
    {u"\"a\" = 0 AND \"b\" = 0 AND \"c\" = 1", {{u"a", 0}, {u"b", 0}, {u"c", 0}}, false},
    {u"\"a\" = 1 OR \"b\" = 1 OR \"c\" = 0", {{u"a", 0}, {u"b", 0}, {u"c", 0}}, true},
    // like
    {u"\"n\" LIKE 'kor%'", {{u"n", u"Korvane.reg"}}, true},
    {u"\"n\" LIKE '%.REG'", {{u"n", u"Korvane.reg"}}, true},
    {u"\"n\" LIKE 'k_rvane.reg'", {{u"n", u"Korvane.reg"}}, true},
    {u"\"n\" LIKE 'k_vane.reg'", {{u"n", u"Korvane.reg"}}, false},
    {u"\"n\" LIKE 'korvane'", {{u"n", u"Korvane.reg"}}, false},
    {u"\"n\" LIKE '%'", {{u"n", u""}}, true},
    {u"\"n\" LIKE '_'", {{u"n", u""}}, false},
    {u"\"n\" LIKE '%%_%%'", {{u"n", u"x"}}, true},
    {u"\"n\" LIKE '%a%a%a%a%a%a%a%a%a%b'", {{u"n", Text(4000, u'a')}}, false},
    {u"\"n\" LIKE '\u00c9t%'", {{u"n", u"\u00e9t\u00e9"}}, true},
    {u"\"n\" LIKE 'a_c'", {{u"n", u"a\U0001F4E7c"}}, true},  // one character, two units
    {u"\"n\" LIKE 'IPM.Note%'", {{u"n", u"ipm.note.Custom"}}, true},
    {u"\"n\" LIKE '100%'", {{u"n", 1000}}, true},
    {u"\"n\" LIKE 'T%'", {{u"n", true}}, false},
    {u"\"n\" NOT LIKE 'x%'", {{u"n", u"abc"}}, true},
    {u"\"n\" NOT LIKE 'a%'", {{u"n", u"abc"}}, false},
    {u"\"n\" NOT LIKE 'x%'", {}, false},
};

TEST(Evaluation, MatchesAsDocumented) {
  for (const EvalRow& row : evalRows) {
    SCOPED_TRACE(std::to_string(&row - evalRows) + ": " + toUtf8(row.where));
    const ConditionPtr c = parseCriteria(Text(u"WHERE ") + row.where);
    EXPECT_EQ(evaluate(c, lookupIn(row.item)), row.expected);
    // NOT always gives the opposite, missing properties included.
    EXPECT_EQ(evaluate(parseCriteria(u"WHERE NOT (" + toText(c) + u")"), lookupIn(row.item)), !row.expected);
  }
}

struct Row {
  int id;
  Item item;
};

// Ids of the rows after a stable sort by the keys, so ties keep their order.
std::vector<int> sorted(std::vector<Row> rows, const std::vector<OrderKey>& keys) {
  std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
    return compareForOrder(keys, lookupIn(a.item), lookupIn(b.item)) < 0;
  });
  std::vector<int> ids;
  for (const Row& r : rows) ids.push_back(r.id);
  return ids;
}

const std::vector<Row> names = {
    {1, {{u"DAV:displayname", u"banana"}}}, {2, {{u"DAV:displayname", u"Apple"}}},
    {3, {{u"DAV:displayname", Variant::null()}}}, {4, {{u"DAV:displayname", u"cherry"}}},
    {5, {}}, {6, {{u"DAV:displayname", u"apple"}}}, {7, {{u"DAV:displayname", u"APPLE pie"}}}};

TEST(Order, TextsIgnoreCaseNullsFirstTiesKeptAndDescendingReversesNullsToo) {
  EXPECT_EQ(sorted(names, {{u"DAV:displayname", false}}), (std::vector<int>{3, 5, 2, 6, 7, 1, 4}));
  EXPECT_EQ(sorted(names, {{u"DAV:displayname", true}}), (std::vector<int>{4, 1, 7, 2, 6, 3, 5}));
}

TEST(Order, LaterKeysBreakTies) {
  const std::vector<Row> rows = {{1, {{u"k", u"b"}, {u"n", 1}}}, {2, {{u"k", u"A"}, {u"n", 1}}},
                                 {3, {{u"k", u"a"}, {u"n", 3}}}, {4, {{u"k", u"b"}, {u"n", 2}}},
                                 {5, {{u"k", u"a"}}}};
  EXPECT_EQ(sorted(rows, {{u"k", false}, {u"n", true}}), (std::vector<int>{3, 2, 5, 4, 1}));
  EXPECT_EQ(compareForOrder({}, lookupIn(rows[0].item), lookupIn(rows[1].item)), 0);
}

TEST(Order, NumbersNumericallyThenTexts) {
  const std::vector<Row> rows = {{1, {{u"v", 10}}},   {2, {{u"v", u"4"}}}, {3, {{u"v", 2.5}}},
                                 {4, {{u"v", -1}}},   {5, {{u"v", true}}}, {6, {{u"v", 9}}},
                                 {7, {{u"v", false}}}};
  EXPECT_EQ(sorted(rows, {{u"v", false}}), (std::vector<int>{4, 7, 5, 3, 6, 1, 2}));
}

TEST(Order, FoldedTextsCompareByCodePoint) {
  const std::vector<Row> rows = {{1, {{u"n", u"\u00c9cole"}}}, {2, {{u"n", u"eva"}}}, {3, {{u"n", u"Zoe"}}},
                                 {4, {{u"n", u"\u00e9COLE"}}}, {5, {{u"n", u"\uFF21"}}},
                                 {6, {{u"n", u"\U0001F4E7"}}}};
  // U+FF41 (the fold of U+FF21) sorts before a character beyond the basic plane.
  EXPECT_EQ(sorted(rows, {{u"n", false}}), (std::vector<int>{2, 3, 1, 4, 5, 6}));
}

// Every pair and triple of a mixed set: the order must be a strict weak
// order, or sorting is undefined.
TEST(Order, IsAStrictWeakOrderOverMixedValues) {
  const std::vector<std::optional<Variant>> values = {
      std::nullopt, Variant::null(), Variant(), Variant(false), Variant(true), Variant(0), Variant(1),
      Variant(-1.5), Variant(std::numeric_limits<double>::quiet_NaN()), Variant(9007199254740992.0),
      Variant(std::int64_t{9007199254740992}), Variant(std::int64_t{9007199254740993}), Variant(1e300),
      Variant(std::int64_t{INT64_MIN}), Variant(u""), Variant(u"a"), Variant(u"A"), Variant(u"\u00df"),
      Variant(u"ss"), Variant(u"b"), Variant(u"10")};
  std::vector<Item> items;
  for (const auto& v : values) items.push_back(v ? Item{{u"v", *v}} : Item{});
  auto cmp = [&](std::size_t i, std::size_t j) {
    return compareForOrder({{u"v", false}}, lookupIn(items[i]), lookupIn(items[j]));
  };
  const std::size_t n = items.size();
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_EQ(cmp(i, i), 0) << i;
    for (std::size_t j = 0; j < n; ++j) {
      EXPECT_EQ(cmp(i, j) < 0, cmp(j, i) > 0) << i << " " << j;
      for (std::size_t k = 0; k < n; ++k) {
        if (cmp(i, j) < 0 && cmp(j, k) < 0) {
          EXPECT_LT(cmp(i, k), 0) << i << " " << j << " " << k;
        }
        if (cmp(i, j) == 0 && cmp(j, k) == 0) {
          EXPECT_EQ(cmp(i, k), 0) << i << " " << j << " " << k;
        }
      }
    }
  }
}

} // namespace
} // namespace korvane::store::query
