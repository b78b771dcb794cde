#include "platform/directory/search.h"

#include <gtest/gtest.h>

#include "platform/directory/directory.h"
#include "support/temp_server.h"
#include "tests/platform/com/failure.h"

namespace korvane::directory {
namespace {

using korvane::testing::TempServer;
using korvane::testing::thrownBy;

const Text kGc = u"dc01.corp.example.com";
const Text kCategory = u"CN=Person,CN=Schema,CN=Configuration,DC=corp,DC=example,DC=com";
const Text kHome = u"/o=Org/ou=First Administrative Group/cn=Configuration/cn=Servers/cn=EXVS1";

// The query text as the setup composes it: select clause, FROM, the catalog, WHERE.
Text setupQuery(TextView select, TextView user, TextView gc = kGc) {
  return Text(select) + u"FROM 'GC://" + Text(gc) + u"' " +
         u"WHERE objectcategory='person' AND sAMAccountName='" + Text(user) + u"'";
}

class SearchTest : public ::testing::Test {
protected:
  void SetUp() override {
    setGlobalCatalogHost(kGc);
    addPerson({u"Admin", u"Administrator", kCategory, kHome});
    addPerson({u"O'Brien", u"Pat O'Brien", kCategory, std::nullopt});
    addPerson({u"svc", u"Service, Mail", u"CN=Computer,CN=Schema,CN=Configuration,DC=corp,DC=example,DC=com",
               std::nullopt});
    addPerson({u"emea", u"Emea User", u"CN=Person,CN=Schema,CN=Configuration,DC=emea,DC=corp,DC=example,DC=com",
               std::nullopt});
  }
  static Text cell(const store::RowTable& t, std::size_t row, TextView column) {
    auto c = t.column(column);
    if (!c) return u"<no column>";
    const Variant& v = t.value(row, *c);
    return v.isNull() ? Text(u"<null>") : v.toText();
  }
  TempServer server_;
};

struct UserRow {
  const char16_t* user;  // as inserted into the query text
  const char16_t* home;  // the one row's home server; null: no row
  Text gc = kGc;
};

// The setup's home server look-up: persons only, by account name ignoring
// case, an apostrophe doubled; a value or null.
TEST_F(SearchTest, HomeServerQueryFindsOnlyPersonsByAccountName) {
  const UserRow rows[] = {
      {u"Admin", kHome.c_str()}, {u"ADMIN", kHome.c_str()}, {u"O''Brien", u"<null>"}, {u"o''brien", u"<null>"},
      {u"nobody", nullptr},      {u"svc", nullptr},  // not a person
      {u"emea", u"<null>"},  // person of a child domain
      {u"", nullptr},            {u"Admin", kHome.c_str(), u"DC01.Corp.Example.COM"},  // the host ignores case
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(toUtf8(row.user));
    store::RowTable t = search(setupQuery(u"SELECT msExchHomeServerName ", row.user, row.gc));
    EXPECT_EQ(t.columns().size(), 1u);  // columns even without rows
    ASSERT_EQ(t.rowCount(), row.home ? 1u : 0u);
    if (row.home) {
      EXPECT_EQ(cell(t, 0, u"msExchHomeServerName"), row.home);
    }
  }
  EXPECT_THROW(search(setupQuery(u"SELECT cn ", u"O'Brien")), ComError);  // not doubled
}

struct FailureRow {
  const char16_t* query;
  HRESULT code;
  const char* message;
};

TEST_F(SearchTest, FailuresSayWhatIsWrong) {
  const FailureRow rows[] = {
      {u"SELECT cn FROM 'GC://dc02.corp.example.com' WHERE cn=x", E_ADS_SERVER_DOWN,
       "The server is not operational: 'dc02.corp.example.com'"},
      {u"SELECT cn FROM 'HTTP://dc01.corp.example.com'", E_ADS_BAD_PATHNAME, "not a directory path"},
      {u"SELECT cn, mail FROM 'GC://dc01.corp.example.com'", E_ADS_PROPERTY_NOT_FOUND,
       "no attribute 'mail' (position 12)"},
      {u"SELECT cn FROM 'GC://dc01.corp.example.com' WHERE sAMAcountName='Admin'", E_ADS_PROPERTY_NOT_FOUND,
       "no attribute 'sAMAcountName' (position 51)"},
      {u"SELECT cn FROM 'GC://dc01.corp.example.com' ORDER BY mail", E_ADS_PROPERTY_NOT_FOUND, "'mail'"},
  };
  for (const FailureRow& row : rows) {
    auto f = thrownBy([&] { search(row.query); });
    EXPECT_EQ(f.code, row.code) << toUtf8(row.query);
    EXPECT_NE(toUtf8(f.description).find(row.message), std::string::npos) << toUtf8(f.description);
  }
  // No catalog configured: no domain at all.
  db::Database::current().exec("DELETE FROM dir_config");
  EXPECT_EQ(thrownBy([] { search(setupQuery(u"SELECT cn ", u"Admin")); }).code, E_ADS_NO_SUCH_DOMAIN);
}

// Keywords ignore case; later keys of ORDER BY are read too.
TEST_F(SearchTest, OrderByReadsEveryKey) {
  store::RowTable t = search(u"select sAMAccountName from 'GC://dc01.corp.example.com' "
                             u"where objectCategory=person order by sAMAccountName desc, cn");
  ASSERT_EQ(t.rowCount(), 3u);
  EXPECT_EQ(cell(t, 0, u"sAMAccountName"), u"O'Brien");
  EXPECT_EQ(cell(t, 1, u"sAMAccountName"), u"emea");
  EXPECT_EQ(cell(t, 2, u"sAMAccountName"), u"Admin");
}

TEST_F(SearchTest, DistinguishedNamesEscapeTheCommonName) {
  store::RowTable t = search(u"SELECT distinguishedName, ADsPath FROM 'GC://dc01.corp.example.com' "
                             u"WHERE sAMAccountName='svc'");
  ASSERT_EQ(t.rowCount(), 1u);
  EXPECT_EQ(t.columns(), (std::vector<Text>{u"distinguishedName", u"ADsPath"}));  // as asked for
  EXPECT_EQ(cell(t, 0, u"distinguishedname"), u"CN=Service\\, Mail,CN=Users,DC=corp,DC=example,DC=com");
  EXPECT_EQ(cell(t, 0, u"ADsPath"),
            u"GC://dc01.corp.example.com/CN=Service\\, Mail,CN=Users,DC=corp,DC=example,DC=com");
  EXPECT_EQ(search(u"SELECT * FROM 'GC://dc01.corp.example.com' WHERE sAMAccountName='svc'").columns(),
            (std::vector<Text>{u"ADsPath"}));
}

struct ScopeRow {
  const char16_t* base;
  std::int32_t scope;
  std::size_t rows;
};

TEST_F(SearchTest, BaseDnAndScopeLimitTheObjects) {
  const ScopeRow rows[] = {
      {u"", ADS_SCOPE_SUBTREE, 4},
      {u"DC=corp,DC=example,DC=com", ADS_SCOPE_SUBTREE, 4},
      {u"dc=corp, dc=example, dc=com", ADS_SCOPE_SUBTREE, 4},
      {u"DC=emea,DC=corp,DC=example,DC=com", ADS_SCOPE_SUBTREE, 1},
      {u"DC=example,DC=org", ADS_SCOPE_SUBTREE, 0},
      {u"xDC=corp,DC=example,DC=com", ADS_SCOPE_SUBTREE, 0},
      {u"DC=corp,DC=example,DC=com", ADS_SCOPE_ONELEVEL, 0},
      {u"CN=Users,DC=corp,DC=example,DC=com", ADS_SCOPE_ONELEVEL, 3},
      {u"CN=Administrator,CN=Users,DC=corp,DC=example,DC=com", ADS_SCOPE_BASE, 1},
      {u"", ADS_SCOPE_BASE, 0},
  };
  for (const ScopeRow& row : rows) {
    Text q = u"SELECT cn FROM 'GC://dc01.corp.example.com/" + Text(row.base) + u"'";
    EXPECT_EQ(search(q, SearchOptions{row.scope}).rowCount(), row.rows) << toUtf8(row.base) << " " << row.scope;
  }
  // A scope that does not exist.
  EXPECT_THROW(search(u"SELECT cn FROM 'GC://dc01.corp.example.com'", SearchOptions{3}), ComError);
}

} // namespace
} // namespace korvane::directory
