#include "platform/store/classes.h"

#include "store_fixture.h"

namespace korvane::store {
namespace {

using namespace testing;

// The folder enumeration's query, as the setup sends it.
Text enumerationQuery(TextView url) {
  return u"select \"DAV:displayname\", \"DAV:hassubs\",  \"DAV:parentname\", \"DAV:contentclass\", "
         u"\"DAV:href\", \"DAV:childcount\",  "
         u"\"http://schemas.microsoft.com/exchange/publicfolderemailaddress\",  "
         u"\"http://schemas.microsoft.com/mapi/proptag/x0fff0102\" From  scope('shallow traversal of \"" +
         Text(url) + u"\"') where \"DAV:ishidden\" = False and \"DAV:isfolder\" = True  "
         u"ORDER BY \"DAV:displayname\" ";
}

class Recordset : public StoreTest {
protected:
  // Runs a query and returns one column of every row, as programs read it.
  std::vector<Variant> column(TextView query, TextView name, ado::IConnection* c = nullptr) {
    auto rs = createInstance<ado::IRecordset>(u"ADODB.Recordset");
    ComPtr<ado::IConnection> conn = c ? ComPtr<ado::IConnection>(c) : openConnection(url(u""));
    check(rs->Open(Variant(query), Variant(ComPtr<IUnknown>(conn)), -1, -1, -1));
    std::int32_t count = 0;
    check(rs->get_RecordCount(&count));
    std::vector<Variant> out;
    bool eof = false;
    for (check(rs->get_EOF(&eof)); !eof; check(rs->get_EOF(&eof))) {
      ComPtr<ado::IFields> f;
      check(rs->get_Fields(f.put()));
      out.push_back(valueOf(f.get(), name));
      check(rs->MoveNext());
    }
    EXPECT_EQ(static_cast<std::size_t>(count), out.size());
    check(rs->Close());
    return out;
  }
};

std::vector<Variant> texts(std::initializer_list<const char16_t*> list) {
  std::vector<Variant> out;
  for (auto* t : list) out.emplace_back(t);
  return out;
}

TEST_F(Recordset, TheEnumerationListsVisibleSubfoldersByName) {
  folder(u"Sales", u"sales@corp.example.com");
  folder(u"archive");
  folder(u"Éclair");
  FolderSpec hidden;
  hidden.path = u"Hidden";
  hidden.hidden = true;
  createFolder(hidden);
  save(u"", u"Loose item.EML", {});
  folder(u"Sales/Orders");
  save(u"Sales", u"Order.EML", {});

  const Text root = enumerationQuery(u"http://exch01/Public/");
  // Names compare by their case-folded text.
  EXPECT_EQ(column(root, u"DAV:DisplayName"), texts({u"archive", u"Sales", u"Éclair"}));
  EXPECT_EQ(column(root, u"DAV:href"),
            texts({u"http://exch01/Public/archive", u"http://exch01/Public/Sales", u"http://exch01/Public/Éclair"}));
  EXPECT_EQ(column(root, u"DAV:parentname")[0], Variant(u"http://exch01/Public"));
  EXPECT_EQ(column(root, u"DAV:hassubs"),
            (std::vector<Variant>{Variant(false), Variant(true), Variant(false)}));
  EXPECT_EQ(column(root, u"DAV:childcount"), (std::vector<Variant>{Variant(0), Variant(2), Variant(0)}));
  auto mail = column(root, prop::mailAddress);
  EXPECT_TRUE(mail[0].isNull());
  EXPECT_EQ(mail[1], Variant(u"sales@corp.example.com"));
  EXPECT_TRUE(column(root, u"http://schemas.microsoft.com/mapi/proptag/x0fff0102")[0].isNull());
  EXPECT_EQ(column(enumerationQuery(u"http://exch01/Public/Sales"), u"DAV:href"),
            texts({u"http://exch01/Public/Sales/Orders"}));
  EXPECT_EQ(column(enumerationQuery(u"http://exch01/Public/Sales"), u"DAV:parentname"),
            texts({u"http://exch01/Public/Sales"}));
  EXPECT_TRUE(column(enumerationQuery(u"http://exch01/Public/Sales/Orders"), u"DAV:href").empty());
}

TEST_F(Recordset, TheRootHidesTheSystemTreeAndAReopenedRecordsetRunsItsQueryAgain) {
  EXPECT_TRUE(column(u"select \"DAV:href\" from scope('deep traversal of \"http://exch01/Public\"') where \"DAV:ishidden\" = true or \"DAV:ishidden\" = false",
                     u"DAV:href")
                  .empty());
  // Reached by its own URL, it lists its folders.
  EXPECT_EQ(column(enumerationQuery(u"http://exch01/Public/non_ipm_subtree"), u"DAV:displayname"),
            texts({u"StoreEvents{5B0C8C0A-1D2E-4F60-8A9B-0C1D2E3F4A5B}"}));
  // The root shows none of it; reopened, a recordset runs its query again.
  auto rs = createInstance<ado::IRecordset>(u"ADODB.Recordset");
  Variant conn(ComPtr<IUnknown>(openConnection(url(u""))));
  std::int32_t n = -1;
  check(rs->Open(Variant(enumerationQuery(url(u""))), conn, -1, -1, -1));
  check(rs->get_RecordCount(&n));
  EXPECT_EQ(n, 0);
  check(rs->Close());
  folder(u"Sales");
  check(rs->Open(Variant(enumerationQuery(url(u""))), conn, -1, -1, -1));
  check(rs->get_RecordCount(&n));
  EXPECT_EQ(n, 1);
}

struct QueryRow {
  Text query;
  const char16_t* column;
  std::vector<Variant> expected;
};

TEST_F(Recordset, HiddenItemsNeedAWhereClauseThatAsksForThemDeepTraversalAndSelectStarReachEverything) {
  folder(u"Sales");
  save(u"Sales", u"Korvane.reg", {{prop::isHidden, Variant(true)}});
  save(u"Sales", u"Visible.EML", {{prop::messageClass, Variant(u"IPM.Note")}});
  folder(u"Sales/Orders");
  save(u"Sales/Orders", u"One.EML", {});
  folder(u"Other");
  const Text from = u" from scope('shallow traversal of \"http://exch01/Public/Sales\"')";
  const Text deep = u" from scope('deep traversal of \"http://exch01/Public/Sales\"')";
  const Text names = u"select \"DAV:displayname\"" + from;
  const QueryRow rows[] = {
      {names + u" order by \"DAV:displayname\"", u"DAV:displayname", texts({u"Orders", u"Visible.EML"})},
      {names + u" where \"DAV:isfolder\" = false", u"DAV:displayname", texts({u"Visible.EML"})},
      {names + u" where \"DAV:ishidden\" = true", u"DAV:displayname", texts({u"Korvane.reg"})},
      {names + u" where not (\"DAV:ishidden\" = false) or \"DAV:isfolder\" = true order by \"DAV:displayname\"",
       u"DAV:displayname", texts({u"Korvane.reg", u"Orders"})},
      {u"select \"DAV:href\"" + deep + u" order by \"DAV:href\" desc", u"DAV:href",
       texts({u"http://exch01/Public/Sales/Visible.EML", u"http://exch01/Public/Sales/Orders/One.EML",
              u"http://exch01/Public/Sales/Orders"})},
      {u"select *" + from + u" where \"DAV:isfolder\" = false", prop::messageClass, texts({u"IPM.Note"})},
      {u"select *" + from + u" where \"DAV:isfolder\" = false", u"DAV:isfolder", {Variant(false)}},
  };
  for (const auto& row : rows) EXPECT_EQ(column(row.query, row.column), row.expected) << toUtf8(row.query);
}

struct OpenFailureRow {
  Text query;
  Variant connection;
  HRESULT expected;
};

TEST_F(Recordset, BadScopesTextsAndConnectionsFail) {
  folder(u"Sales");
  save(u"Sales", u"One.EML", {});
  folder(u"Secret", u"", Access::None);
  Variant conn(ComPtr<IUnknown>(openConnection(url(u""))));
  auto directory = createInstance<ado::IConnection>(u"ADODB.Connection");
  check(directory->put_Provider(u"adsDSOobject"));
  check(directory->Open(u"Active Directory Provider", u"", u"", -1));
  const OpenFailureRow rows[] = {
      {enumerationQuery(url(u"Missing")), conn, ado::adErrResourceNotFound},
      {enumerationQuery(url(u"Sales/One.EML")), conn, E_NOT_A_FOLDER},
      {enumerationQuery(url(u"Secret")), conn, E_ACCESSDENIED},
      {enumerationQuery(u"http://exch02/Public/Sales"), conn, E_NOT_THIS_SERVER},
      {u"select from", conn, ado::adErrQuerySyntax},
      {u"", conn, E_INVALIDARG},
      {enumerationQuery(url(u"")), Variant(ComPtr<IUnknown>(createInstance<ado::IConnection>(u"ADODB.Connection"))),
       ado::adErrInvalidConnection},  // closed
      {enumerationQuery(url(u"")), Variant(ComPtr<IUnknown>(directory)), ado::adErrInvalidConnection},
      {enumerationQuery(url(u"")), Variant(url(u"")), S_OK},
  };
  for (const auto& row : rows) {
    auto rs = createInstance<ado::IRecordset>(u"ADODB.Recordset");
    EXPECT_EQ(failure(rs->Open(Variant(row.query), row.connection, -1, -1, -1)), row.expected) << toUtf8(row.query);
  }
}

} // namespace
} // namespace korvane::store
