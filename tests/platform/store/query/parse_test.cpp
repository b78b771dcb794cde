#include <gtest/gtest.h>

#include "platform/com/hresult.h"
#include "platform/store/ado.h"
#include "platform/store/query/query.h"

namespace korvane::store::query {
namespace {

// The look-up of a registration item, character for character as the setup sends it.
constexpr const char16_t* lookupQuery =
    u"select  \"DAV:displayname\" from scope ('shallow traversal of \"http://S/Public/Sales\"')  WHERE "
    u"\"DAV:displayname\" = 'Korvane.reg' AND \"DAV:ishidden\" = true AND \"DAV:isfolder\" = false ";

// One level of the folder enumeration.
constexpr const char16_t* enumerationQuery =
    u"select \"DAV:displayname\", \"DAV:hassubs\",  \"DAV:parentname\", \"DAV:contentclass\", \"DAV:href\", "
    u"\"DAV:childcount\",  \"http://schemas.microsoft.com/exchange/publicfolderemailaddress\",  "
    u"\"http://schemas.microsoft.com/mapi/proptag/x0fff0102\" From  scope('shallow traversal of "
    u"\"http://S/Public/\"') where \"DAV:ishidden\" = False and \"DAV:isfolder\" = True  ORDER BY "
    u"\"DAV:displayname\" ";

// Scopes as (URL, depth) pairs, to compare whole.
std::vector<std::pair<Text, Depth>> pairs(const std::vector<Scope>& scopes) {
  std::vector<std::pair<Text, Depth>> out;
  for (const Scope& s : scopes) out.emplace_back(s.url, s.depth);
  return out;
}

struct ScopeRow {
  const char16_t* scopeClause;  // what follows FROM
  std::vector<Scope> expected;
};

const ScopeRow scopeRows[] = {
    {u"scope('shallow traversal of \"http://S/Public/A\"')", {{u"http://S/Public/A", Depth::Shallow}}},
    {u"SCOPE ( 'DEEP   TRAVERSAL\tOF\"http://S/Public/A\"' )", {{u"http://S/Public/A", Depth::Deep}}},
    {u"scope('\"http://S/Public/A\"')", {{u"http://S/Public/A", Depth::Deep}}},
    {u"scope('  shallow traversal of \"http://S/a\" , deep traversal of \"http://S/b\", \"http://S/c\"  ')",
     {{u"http://S/a", Depth::Shallow}, {u"http://S/b", Depth::Deep}, {u"http://S/c", Depth::Deep}}},
    {u"scope('shallow traversal of \"http://S/a\"', 'deep traversal of \"http://S/b\"')",
     {{u"http://S/a", Depth::Shallow}, {u"http://S/b", Depth::Deep}}},
    // An apostrophe doubled for the outer string, a double quote doubled for the URL.
    {u"scope('shallow traversal of \"http://S/Public/Bob''s Orders\"')",
     {{u"http://S/Public/Bob's Orders", Depth::Shallow}}},
    {u"scope('shallow traversal of \"http://S/Public/The \"\"Best\"\" Deals\"')",
     {{u"http://S/Public/The \"Best\" Deals", Depth::Shallow}}},
    {u"scope('shallow traversal of \"http://S/Public/''\"\"''\"')",
     {{u"http://S/Public/'\"'", Depth::Shallow}}},
    // Case, blanks and percent escapes inside the URL are kept as written.
    {u"scope('shallow traversal of \" http://s/PUBLIC%20folders/x y/ \"')",
             {{u" http://s/PUBLIC%20folders/x y/ ", Depth::Shallow}}},
    {u"scope('shallow traversal of \"http://S/Public/\u00c9t\u00e9 \U0001F4E7\"')",
     {{u"http://S/Public/\u00c9t\u00e9 \U0001F4E7", Depth::Shallow}}},
};

TEST(Parse, ScopesGiveUrlAndDepth) {
  for (const ScopeRow& row : scopeRows) {
    SCOPED_TRACE(toUtf8(row.scopeClause));
    EXPECT_EQ(pairs(parse(Text(u"select * from ") + row.scopeClause).scopes), pairs(row.expected));
  }
}

struct ConditionRow {
  const char16_t* where;
  const char16_t* canonical;  // shows the grouping the parser chose
};

const ConditionRow conditionRows[] = {
    {u"\"a\" = 1 or \"b\" = 2 and \"c\" = 3", u"\"a\" = 1 OR (\"b\" = 2 AND \"c\" = 3)"},
    {u"(\"a\" = 1 OR \"b\" = 2) AND \"c\" = 3", u"(\"a\" = 1 OR \"b\" = 2) AND \"c\" = 3"},
    {u"not \"a\" = 1 and \"b\" = 2", u"NOT \"a\" = 1 AND \"b\" = 2"},
    {u"NOT (\"a\" = 1 AND \"b\" = 2)", u"NOT (\"a\" = 1 AND \"b\" = 2)"},
    {u"NOT NOT \"a\" = 1", u"NOT NOT \"a\" = 1"},
    {u"((((\"a\" = 1))))", u"\"a\" = 1"},
    {u"\"a\"<>1 AND \"b\"!=2 AND \"c\"<3 AND \"d\">4 AND \"e\"<=5 AND \"f\">=-6",
                 u"\"a\" <> 1 AND \"b\" <> 2 AND \"c\" < 3 AND \"d\" > 4 AND \"e\" <= 5 AND \"f\" >= -6"},
    {u"\"a\" is null OR \"b\" IS NOT NULL", u"\"a\" IS NULL OR \"b\" IS NOT NULL"},
    {u"\"a\" like 'x%' AND \"b\" NOT LIKE '_y'", u"\"a\" LIKE 'x%' AND \"b\" NOT LIKE '_y'"},
    {u"\"n\" = 'Bob''s'", u"\"n\" = 'Bob''s'"},
    {u"\"say \"\"hi\"\"\" = TRUE", u"\"say \"\"hi\"\"\" = TRUE"},
    {u"'x' = \"a\" AND \"a\" = \"b\"", u"'x' = \"a\" AND \"a\" = \"b\""},
    {u"\"a\" = 9223372036854775807", u"\"a\" = 9223372036854775807"},
    {u"\"a\"=1 aNd \"b\"=2 Or \"c\"=3 OR \"d\"=4", u"(\"a\" = 1 AND \"b\" = 2) OR \"c\" = 3 OR \"d\" = 4"},
};

TEST(Parse, ConditionsFollowTheUsualPrecedence) {
  for (const ConditionRow& row : conditionRows) {
    SCOPED_TRACE(toUtf8(row.where));
    // Keywords ignore case and blanks are free; the canonical text reads back to itself.
    const ConditionPtr c = parseCriteria(Text(u" \twhere\r\n") + row.where + u"\n");
    EXPECT_EQ(toText(c), row.canonical);
    EXPECT_EQ(toText(parseCriteria(u"WHERE " + toText(c))), row.canonical);
  }
  // Blank criteria are none.
  EXPECT_EQ(parseCriteria(u""), nullptr);
  EXPECT_EQ(parseCriteria(u"   "), nullptr);
}

TEST(Parse, CanonicalTextOfAWholeQueryReadsBack) {
  const Text texts[] = {
      lookupQuery, enumerationQuery,
      u"select * from scope('\"http://S/Public/Bob''s \"\"x\"\"\"', 'shallow traversal of \"http://S/y\"')",
      u"select \"*\", \"a\" from scope('\"http://S/y\"') order by \"a\" desc, \"b\""};
  const Query q = parse(u"  SeLeCt\t\"a\" ,\"b\"\r\nFROM\nScope  (  'Shallow Traversal Of \"http://S/x\"'  )"
                        u"  wHeRe  \"a\"=TRUE  order   BY \"a\" desc , \"b\" ASC  ");
  EXPECT_EQ(toText(q), u"SELECT \"a\", \"b\" FROM SCOPE('shallow traversal of \"http://S/x\"') "
                       u"WHERE \"a\" = TRUE ORDER BY \"a\" DESC, \"b\"");
  for (const Text& text : texts) {
    const Query first = parse(text);
    const Text canonical = toText(first);
    const Query second = parse(canonical);
    EXPECT_EQ(toText(second), canonical);
    EXPECT_EQ(second.select, first.select);
    EXPECT_EQ(pairs(second.scopes), pairs(first.scopes));
  }
}

TEST(Parse, ACachedQueryOutlivesTheTextItCameFrom) {
  Query q;
  {
    Text text = lookupQuery;
    q = parse(text);
    text.assign(text.size(), u'#');
  }
  EXPECT_EQ(toText(q), toText(parse(lookupQuery)));
}

struct BadRow {
  const char16_t* text;
  int position;          // 1-based, UTF-16 code units
  const char16_t* reason;  // the message goes on with this
  bool criteria = false;   // parseCriteria instead of parse
};

const BadRow badRows[] = {
    {u"", 1, u"expected SELECT, found end of query"},
    {u"delete \"a\"", 1, u"expected SELECT, found 'delete'"},
    {u"select \"a\" from scope('x", 23, u"unterminated string"},
    {u"select \"a from", 8, u"unterminated property name"},
    {u"select from scope('\"u\"')", 8, u"empty select list"},
    {u"select", 7, u"empty select list"},
    {u"select \"\" from scope('\"u\"')", 8, u"empty property name"},
    {u"select \"a\", from scope('\"u\"')", 13, u"expected a property name in double quotes, found 'from'"},
    {u"select \"a\" \"b\" from", 12, u"expected ',' or FROM, found \"b\""},
    {u"select \"a\" from where \"a\" = 1", 17, u"missing scope"},
    {u"select \"a\" from \"u\"", 17, u"missing scope"},
    {u"select \"a\" from", 16, u"missing scope"},
    {u"select \"a\" from scope()", 23, u"missing scope"},
    {u"select \"a\" from scope('')", 24, u"missing scope"},
    {u"select \"a\" from scope('  ')", 26, u"missing scope"},
    {u"select \"a\" from scope(\"u\")", 23, u"expected a scope in single quotes"},
    {u"select \"a\" from scope('\"u\"' '\"v\"')", 29, u"expected ')'"},
    {u"select \"a\" from scope('shallow \"u\"')", 32, u"expected TRAVERSAL, found \"u\""},
    {u"select \"a\" from scope('shallow traversal of u')", 45, u"expected a URL in double quotes"},
    {u"select \"a\" from scope('\"http://x')", 24, u"unterminated URL"},
    {u"select \"a\" from scope('\"\"')", 24, u"empty URL"},
    {u"select \"a\" from scope('deep traversal of')", 41, u"expected a URL in double quotes, found end of scope"},
    {u"select \"a\" from scope('\"u\",')", 28, u"expected 'shallow traversal of \"URL\"'"},
    // An apostrophe the sender forgot to double ends the string early.
    {u"select * from scope('shallow traversal of \"http://S/Public/Bob's Orders\"')", 43,
           u"unterminated URL"},
    {u"select * from scope('\"http://S/Public/The \"Best\" Deals\"')", 44, u"unexpected 'Best'"},
    // Inside the scope string, each doubled apostrophe counts twice.
    {u"select \"a\" from scope('\"Bob''s\" junk')", 33, u"unexpected 'junk'"},
    {u"select \"a\" from scope('\"u\"') where", 35, u"expected a property name, a value or '('"},
    {u"select \"a\" from scope('\"u\"') where \"a\" = 1 junk", 44, u"unexpected 'junk'"},
    {u"select \"a\" from scope('\"u\"') where (\"a\" = 1", 44, u"expected ')', found end of query"},
    {u"select \"a\" from scope('\"u\"') where \"a\" = 1 and", 47, u"expected a property name"},
    {u"select \"a\" from scope('\"u\"') where \"a\" = 99999999999999999999", 42, u"number too large"},
    {u"select \"a\" from scope('\"u\"') where \"a\" = null", 42, u"a value cannot be compared with NULL"},
    {u"select \"a\" from scope('\"u\"') where \"a\" # 1", 40, u"unexpected character '#'"},
    {u"select \"a\" from scope('\"u\"') where \"a\" 1", 40, u"expected a comparison"},
    {u"select \"a\" from scope('\"u\"') where \"a\" like 5", 45, u"expected a pattern in single quotes"},
    {u"select \"a\" from scope('\"u\"') where \"a\" is 1", 43, u"expected NULL, found '1'"},
    {u"select \"a\" from scope('\"u\"') where \"a\" not 1", 44, u"expected LIKE"},
    {u"select \"a\" from scope('\"u\"') where \"a\" = - 'x'", 44, u"expected digits after '-'"},
    {u"select \"a\" from scope('\"u\"') order \"a\"", 36, u"expected BY"},
    {u"select \"a\" from scope('\"u\"') order by", 38, u"expected a property name"},
    {u"select \"a\" from scope('\"u\"') order by \"a\" up", 43, u"unexpected 'up'"},
    // A character beyond the basic plane counts as two code units.
    {u"select \"\U0001F4E7\" #", 13, u"unexpected character '#'"},
    {u"select \"a\" \u00e9", 12, u"unexpected character '\u00e9'"},
    {u"\"DAV:ishidden\" = FALSE", 1, u"expected WHERE", true},
    {u" WHERE \"DAV:ishidden\" = ", 25, u"expected a value or a property name, found end of query", true},
    {u" WHERE \"a\" = 'open", 14, u"unterminated string", true},
    {u" WHERE \"a\" = 1 ORDER BY \"a\"", 16, u"unexpected 'ORDER'", true},
};

// Where and why the parser refused the text; both empty when it parsed.
std::pair<std::string, Text> syntaxError(TextView text, bool criteria = true) {
  try {
    if (criteria) parseCriteria(text);
    else parse(text);
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), ado::adErrQuerySyntax);
    const Text prefix = u"Syntax error in query at position ", &d = e.description();
    EXPECT_EQ(d.substr(0, prefix.size()), prefix) << toUtf8(d);
    const std::size_t colon = d.find(u": ", prefix.size());
    return {toUtf8(d.substr(prefix.size(), colon - prefix.size())), d.substr(colon + 2)};
  }
  return {};
}

TEST(Malformed, QueriesNamePositionAndReason) {
  for (const BadRow& row : badRows) {
    SCOPED_TRACE(toUtf8(row.text));
    const auto [position, reason] = syntaxError(row.text, row.criteria);
    EXPECT_EQ(position, std::to_string(row.position));
    EXPECT_EQ(reason.substr(0, TextView(row.reason).size()), row.reason) << toUtf8(reason);
  }
}

Text nested(int levels, TextView open, TextView inner, TextView close) {
  Text out;
  for (int k = 0; k < levels; ++k) out += open;
  out += inner;
  for (int k = 0; k < levels; ++k) out += close;
  return out;
}

TEST(Nesting, IsLimitedForParenthesesAndNot) {
  EXPECT_NO_THROW(parseCriteria(u"WHERE " + nested(maxNesting, u"(", u"\"a\" = 1", u")")));
  EXPECT_NO_THROW(parseCriteria(u"WHERE " + nested(maxNesting, u"NOT ", u"\"a\" = 1", u"")));
  // The first level too many is named: "WHERE " is six units long.
  const std::string tooDeep = std::to_string(6 + maxNesting + 1);
  EXPECT_EQ(syntaxError(u"WHERE " + nested(maxNesting + 1, u"(", u"\"a\" = 1", u")")).first, tooDeep);
  EXPECT_EQ(syntaxError(u"WHERE " + nested(maxNesting + 1, u"NOT ", u"\"a\" = 1", u"")).first,
            std::to_string(6 + 4 * maxNesting + 1));
  EXPECT_EQ(syntaxError(u"WHERE " + nested(100000, u"(", u"", u"")).first, tooDeep);
}

TEST(Nesting, LongChainsAreNotDeep) {
  Text text = u"WHERE \"a\" = 1";
  for (int k = 0; k < 50000; ++k) text += k % 2 ? u" AND \"a\" = 1" : u" OR \"b\" = 2";
  const ConditionPtr c = parseCriteria(text);
  EXPECT_TRUE(evaluate(c, [](TextView name) -> std::optional<Variant> {
    if (name == u"a") return Variant(1);
    return std::nullopt;
  }));
}

} // namespace
} // namespace korvane::store::query
