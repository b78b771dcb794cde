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

TEST(DirectoryQuery, SyntaxErrorsNamePositionAndReason) {
  const SyntaxRow rows[] = {
      {u"", 1, "expected SELECT, found the end of the text"},
      {u"SELEC cn FROM 'GC://h'", 1, "expected SELECT, found 'SELEC'"},
      {u"SELECT FROM 'GC://h'", 8, "expected an attribute name, found 'FROM'"},
      {u"SELECT cn, FROM 'GC://h'", 12, "expected an attribute name"},
      {u"SELECT 1cn FROM 'GC://h'", 8, "expected an attribute name, found '1cn'"},
      {u"SELECT cn 'GC://h'", 11, "expected FROM, found the quoted text 'GC://h'"},
      {u"SELECT cn FROM GC://h", 16, "expected a quoted search source"},
      {u"SELECT cn FROM 'GC://h", 16, "no closing apostrophe"},
      {u"SELECT cn FROM 'GC://h' WHERE", 30, "expected an attribute name, NOT or '('"},
      {u"SELECT cn FROM 'GC://h' WHERE cn='abc", 34, "no closing apostrophe"},
      // A name holding an apostrophe that nobody doubled breaks the text.
      {u"SELECT cn FROM 'GC://h' WHERE sAMAccountName='O'Brien'", 54, "no closing apostrophe"},
      {u"SELECT cn FROM 'GC://h' WHERE (cn=a", 36, "expected ')'"},
      {u"SELECT cn FROM 'GC://h' WHERE cn=a AND", 39, "expected an attribute name"},
      {u"SELECT cn FROM 'GC://h' WHERE cn a", 34, "expected a comparison operator"},
      {u"SELECT cn FROM 'GC://h' WHERE cn ! a", 34, "'!' must be followed by '='"},
      {u"SELECT cn FROM 'GC://h' WHERE cn=", 34, "expected a value"},
      {u"SELECT cn FROM 'GC://h' WHERE cn==a", 34, "expected a value, found '='"},
      {u"SELECT cn FROM 'GC://h' WHERE cn=a b", 36, "expected AND, OR or the end"},
      {u"SELECT cn FROM 'GC://h' x", 25, "expected WHERE, ORDER BY or the end"},
      {u"SELECT cn FROM 'GC://h' ORDER cn", 31, "expected BY"},
  };
  for (const SyntaxRow& row : rows) {
    SCOPED_TRACE(toUtf8(row.text));
    auto f = thrownBy([&] { parseQuery(row.text); });
    EXPECT_EQ(f.code, ado::adErrQuerySyntax);
    std::string msg = toUtf8(f.description);
    EXPECT_NE(msg.find("at position " + std::to_string(row.position) + ":"), std::string::npos) << msg;
    EXPECT_NE(msg.find(row.reason), std::string::npos) << msg;
  }
}

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

TEST(DirectoryQuery, SourcesSplitIntoSchemeHostAndBase) {
  const SourceRow rows[] = {
      {u"GC://dc01.corp.example.com", u"GC", u"dc01.corp.example.com", u""},
      {u"gc://dc01", u"GC", u"dc01", u""},
      {u"GC://dc01:3268/DC=corp,DC=example", u"GC", u"dc01", u"DC=corp,DC=example"},
      {u"LDAP://dc01/", u"LDAP", u"dc01", u""},
      {u"GC:/dc01", nullptr, nullptr, nullptr},
      {u"HTTP://dc01", nullptr, nullptr, nullptr},
      {u"GC://", nullptr, nullptr, nullptr},
      {u"GC://dc01:x", nullptr, nullptr, nullptr},
      {u"GC://DC=corp,DC=com", nullptr, nullptr, nullptr},
      {u"", nullptr, nullptr, nullptr},
  };
  for (const SourceRow& row : rows) {
    SCOPED_TRACE(toUtf8(row.source));
    Token t{row.source, 16};
    if (!row.scheme) {
      EXPECT_EQ(thrownBy([&] { parseSource(t); }).code, E_ADS_BAD_PATHNAME);
      continue;
    }
    SearchSource s = parseSource(t);
    EXPECT_EQ(s.scheme, row.scheme);
    EXPECT_EQ(s.host, row.host);
    EXPECT_EQ(s.baseDn, row.base);
  }
}

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

TEST(DirectoryQuery, EvaluationComparesIgnoringCaseWithTheDirectoryRules) {
  const MatchRow rows[] = {
      {u"objectcategory='person' AND sAMAccountName='Admin'", true},
      {u"objectCategory=person", true},  // bare value
      {u"objectCategory='PERSON'", true},
      {u"objectCategory='user'", false},
      {u"objectCategory='CN=Person,CN=Schema,CN=Configuration,DC=corp,DC=example,DC=com'", true},
      {u"objectCategory='cn=person,cn=schema,cn=configuration,dc=corp,dc=example,dc=com'", true},
      {u"objectCategory='CN=Person'", false},  // a DN must match whole
      {u"cn='person'", false},                 // short names only for the category
      {u"SAMACCOUNTNAME='admin'", true},
      {u"sAMAccountName='Admins'", false},
      {u"cn='\u00e9LISE ADMIN'", true},  // Unicode folding
      {u"cn='\u00e9lise*'", true},
      {u"cn=*admin", true},
      {u"cn='*x*'", false},
      {u"msExchHomeServerName=*", false},  // presence of a missing value
      {u"cn=*", true},
      {u"msExchHomeServerName='x'", false},
      {u"msExchHomeServerName<>'x'", true},
      {u"sAMAccountName<>'admin'", false},
      {u"sAMAccountName!='bob'", true},
      {u"NOT sAMAccountName='bob'", true},
      {u"sAMAccountName='bob' OR sAMAccountName='admin'", true},
      {u"sAMAccountName='bob' OR cn='x' AND sAMAccountName='admin'", false},
      {u"(sAMAccountName='bob' OR cn=*) AND sAMAccountName='admin'", true},
      {u"sAMAccountName>'a' AND sAMAccountName<'b'", true},
      {u"sAMAccountName>='ADMIN' AND sAMAccountName<='admin'", true},
      {u"msExchHomeServerName<'z'", false},
      {u"sn='O''Brien'", true},  // a doubled apostrophe is one
      {u"sn='*o''b*'", true},
      {u"sn=''''", false},
  };
  auto lookup = [](TextView name) -> std::optional<Text> {
    auto it = kAdmin.find(toLowerSimple(name));
    if (it == kAdmin.end()) return std::nullopt;
    return it->second;
  };
  for (const MatchRow& row : rows) {
    DirectoryQuery q = parseQuery(u"SELECT cn FROM 'GC://h' WHERE " + Text(row.where));
    EXPECT_EQ(matches(q.where, lookup), row.matches) << toUtf8(row.where);
  }
}

TEST(DirectoryQuery, MissingValuesSortLast) {
  EXPECT_GT(compareValues(Text(u"b"), Text(u"A")), 0);
  EXPECT_EQ(compareValues(Text(u"abc"), Text(u"ABC")), 0);
  EXPECT_LT(compareValues(Text(u"z"), std::nullopt), 0);
  EXPECT_GT(compareValues(std::nullopt, Text(u"a")), 0);
  EXPECT_EQ(compareValues(std::nullopt, std::nullopt), 0);
}

} // namespace
} // namespace korvane::directory
