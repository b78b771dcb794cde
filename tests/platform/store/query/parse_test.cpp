#include <gtest/gtest.h>

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
  const Query odd = parse(u"  SeLeCt\t\"a\" ,\"b\"\r\nFROM\nScope  (  'Shallow Traversal Of \"http://S/x\"'  )"
                          u"  wHeRe  \"a\"=TRUE  order   BY \"a\" desc , \"b\" ASC  ");
  EXPECT_EQ(toText(odd), u"SELECT \"a\", \"b\" FROM SCOPE('shallow traversal of \"http://S/x\"') "
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

} // namespace
} // namespace korvane::store::query
