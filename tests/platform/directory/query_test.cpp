#include "platform/directory/query.h"

#include <gtest/gtest.h>

#include <map>

#include "platform/com/hresult.h"
#include "platform/directory/directory.h"
#include "platform/store/ado.h"
#include "tests/platform/com/failure.h"

namespace korvane::directory {
namespace {

using korvane::testing::thrownBy;

struct SyntaxRow {
  const char16_t* text;
  std::size_t position;
  const char* reason;  // part of the message
};

class SyntaxErrors : public ::testing::TestWithParam<SyntaxRow> {};

TEST_P(SyntaxErrors, NamePositionAndReason) {
  const SyntaxRow& row = GetParam();
  auto f = thrownBy([&] { parseQuery(row.text); });
  EXPECT_EQ(f.code, ado::adErrQuerySyntax);
  std::string msg = toUtf8(f.description);
  EXPECT_NE(msg.find("at position " + std::to_string(row.position) + ":"), std::string::npos) << msg;
  EXPECT_NE(msg.find(row.reason), std::string::npos) << msg;
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SyntaxErrors,
    ::testing::Values(
        SyntaxRow{u"", 1, "expected SELECT, found the end of the text"},
        SyntaxRow{u"SELEC cn FROM 'GC://h'", 1, "expected SELECT, found 'SELEC'"},
        SyntaxRow{u"SELECT FROM 'GC://h'", 8, "expected an attribute name, found 'FROM'"},
        SyntaxRow{u"SELECT cn, FROM 'GC://h'", 12, "expected an attribute name"},
        SyntaxRow{u"SELECT 1cn FROM 'GC://h'", 8, "expected an attribute name, found '1cn'"},
        SyntaxRow{u"SELECT cn 'GC://h'", 11, "expected FROM, found the quoted text 'GC://h'"},
        SyntaxRow{u"SELECT cn FROM GC://h", 16, "expected a quoted search source"},
        SyntaxRow{u"SELECT cn FROM 'GC://h", 16, "no closing apostrophe"},
        SyntaxRow{u"SELECT cn FROM 'GC://h' WHERE", 30, "expected an attribute name, NOT or '('"},
        SyntaxRow{u"SELECT cn FROM 'GC://h' WHERE cn='abc", 34, "no closing apostrophe"},
        // A name holding an apostrophe that nobody doubled breaks the text.
        SyntaxRow{u"SELECT cn FROM 'GC://h' WHERE sAMAccountName='O'Brien'", 54, "no closing apostrophe"},
        SyntaxRow{u"SELECT cn FROM 'GC://h' WHERE (cn=a", 36, "expected ')'"},
        SyntaxRow{u"SELECT cn FROM 'GC://h' WHERE cn=a AND", 39, "expected an attribute name"},
        SyntaxRow{u"SELECT cn FROM 'GC://h' WHERE cn a", 34, "expected a comparison operator"},
        SyntaxRow{u"SELECT cn FROM 'GC://h' WHERE cn ! a", 34, "'!' must be followed by '='"},
        SyntaxRow{u"SELECT cn FROM 'GC://h' WHERE cn=", 34, "expected a value"},
        SyntaxRow{u"SELECT cn FROM 'GC://h' WHERE cn==a", 34, "expected a value, found '='"},
        SyntaxRow{u"SELECT cn FROM 'GC://h' WHERE cn=a b", 36, "expected AND, OR or the end"},
        SyntaxRow{u"SELECT cn FROM 'GC://h' x", 25, "expected WHERE, ORDER BY or the end"},
        SyntaxRow{u"SELECT cn FROM 'GC://h' ORDER cn", 31, "expected BY"}));

TEST(DirectoryQuery, DeepNestingIsRefusedNotOverflowed) {
  Text deep = u"SELECT cn FROM 'GC://h' WHERE " + Text(5000, u'(') + u"cn=a" + Text(5000, u')');
  EXPECT_THROW(parseQuery(deep), ComError);
  Text nots = u"SELECT cn FROM 'GC://h' WHERE ";
  for (int i = 0; i < 5000; ++i) nots += u"NOT ";
  EXPECT_THROW(parseQuery(nots + u"cn=a"), ComError);
  Text fine = u"SELECT cn FROM 'GC://h' WHERE " + Text(50, u'(') + u"cn=a" + Text(50, u')');
  EXPECT_NO_THROW(parseQuery(fine));
}

struct SourceRow {
  const char16_t* source;
  const char16_t* scheme;  // nullptr: refused
  const char16_t* host;
  const char16_t* base;
};

class Sources : public ::testing::TestWithParam<SourceRow> {};

TEST_P(Sources, SplitIntoSchemeHostAndBase) {
  const SourceRow& row = GetParam();
  Token t{row.source, 16};
  if (!row.scheme) {
    EXPECT_EQ(thrownBy([&] { parseSource(t); }).code, E_ADS_BAD_PATHNAME);
    return;
  }
  SearchSource s = parseSource(t);
  EXPECT_EQ(s.scheme, row.scheme);
  EXPECT_EQ(s.host, row.host);
  EXPECT_EQ(s.baseDn, row.base);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Sources,
    ::testing::Values(SourceRow{u"GC://dc01.corp.example.com", u"GC", u"dc01.corp.example.com", u""},
                      SourceRow{u"gc://dc01", u"GC", u"dc01", u""},
                      SourceRow{u"GC://dc01:3268/DC=corp,DC=example", u"GC", u"dc01", u"DC=corp,DC=example"},
                      SourceRow{u"LDAP://dc01/", u"LDAP", u"dc01", u""},
                      SourceRow{u"GC:/dc01", nullptr, nullptr, nullptr},
                      SourceRow{u"HTTP://dc01", nullptr, nullptr, nullptr},
                      SourceRow{u"GC://", nullptr, nullptr, nullptr},
                      SourceRow{u"GC://dc01:x", nullptr, nullptr, nullptr},
                      SourceRow{u"GC://DC=corp,DC=com", nullptr, nullptr, nullptr},
                      SourceRow{u"", nullptr, nullptr, nullptr}));

using Attributes = std::map<Text, Text>;

const Attributes kAdmin = {
    {u"samaccountname", u"Admin"},
    {u"cn", u"\u00c9lise Admin"},
    {u"objectcategory", u"CN=Person,CN=Schema,CN=Configuration,DC=corp,DC=example,DC=com"},
    {u"sn", u"O'Brien"},
};

struct MatchRow {
  const char16_t* where;
  bool matches;
};

class Evaluation : public ::testing::TestWithParam<MatchRow> {};

TEST_P(Evaluation, ComparesIgnoringCaseWithTheDirectoryRules) {
  DirectoryQuery q = parseQuery(u"SELECT cn FROM 'GC://h' WHERE " + Text(GetParam().where));
  auto lookup = [](TextView name) -> std::optional<Text> {
    auto it = kAdmin.find(toLowerSimple(name));
    if (it == kAdmin.end()) return std::nullopt;
    return it->second;
  };
  EXPECT_EQ(matches(q.where, lookup), GetParam().matches) << toUtf8(GetParam().where);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Evaluation,
    ::testing::Values(
        MatchRow{u"objectcategory='person' AND sAMAccountName='Admin'", true},
        MatchRow{u"objectCategory=person", true},  // bare value
        MatchRow{u"objectCategory='PERSON'", true},
        MatchRow{u"objectCategory='user'", false},
        MatchRow{u"objectCategory='CN=Person,CN=Schema,CN=Configuration,DC=corp,DC=example,DC=com'", true},
        MatchRow{u"objectCategory='cn=person,cn=schema,cn=configuration,dc=corp,dc=example,dc=com'", true},
        MatchRow{u"objectCategory='CN=Person'", false},  // a DN must match whole
        MatchRow{u"cn='person'", false},                 // short names only for the category
        MatchRow{u"SAMACCOUNTNAME='admin'", true},
        MatchRow{u"sAMAccountName='Admins'", false},
        MatchRow{u"cn='\u00e9LISE ADMIN'", true},  // Unicode folding
        MatchRow{u"cn='\u00e9lise*'", true},
        MatchRow{u"cn=*admin", true},
        MatchRow{u"cn='*x*'", false},
        MatchRow{u"msExchHomeServerName=*", false},  // presence of a missing value
        MatchRow{u"cn=*", true},
        MatchRow{u"msExchHomeServerName='x'", false},
        MatchRow{u"msExchHomeServerName<>'x'", true},
        MatchRow{u"sAMAccountName<>'admin'", false},
        MatchRow{u"sAMAccountName!='bob'", true},
        MatchRow{u"NOT sAMAccountName='bob'", true},
        MatchRow{u"sAMAccountName='bob' OR sAMAccountName='admin'", true},
        MatchRow{u"sAMAccountName='bob' OR cn='x' AND sAMAccountName='admin'", false},
        MatchRow{u"(sAMAccountName='bob' OR cn=*) AND sAMAccountName='admin'", true},
        MatchRow{u"sAMAccountName>'a' AND sAMAccountName<'b'", true},
        MatchRow{u"sAMAccountName>='ADMIN' AND sAMAccountName<='admin'", true},
        MatchRow{u"msExchHomeServerName<'z'", false},
        MatchRow{u"sn='O''Brien'", true},  // a doubled apostrophe is one
        MatchRow{u"sn=''''", false}));

TEST(DirectoryQuery, MissingValuesSortLast) {
  EXPECT_GT(compareValues(Text(u"b"), Text(u"A")), 0);
  EXPECT_EQ(compareValues(Text(u"abc"), Text(u"ABC")), 0);
  EXPECT_LT(compareValues(Text(u"z"), std::nullopt), 0);
  EXPECT_GT(compareValues(std::nullopt, Text(u"a")), 0);
  EXPECT_EQ(compareValues(std::nullopt, std::nullopt), 0);
}

} // namespace
} // namespace korvane::directory
