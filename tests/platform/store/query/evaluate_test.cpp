#include <gtest/gtest.h>

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

} // namespace
} // namespace korvane::store::query
