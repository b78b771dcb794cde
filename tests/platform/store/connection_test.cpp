#include "platform/store/connection.h"

#include "store_fixture.h"

namespace korvane::store {
namespace {

using namespace testing;

class Connection : public StoreTest {
protected:
  void SetUp() override {
    StoreTest::SetUp();
    folder(u"Sales");
  }

  // Writes one item through the connection, as a registration is written.
  static void writeItem(ado::IConnection* c, TextView name) {
    check(writeRecord(u"http://exch01/Public/Sales/" + Text(name), c, {{prop::subject, Variant(Text(name))}}));
  }
  static bool exists(TextView name) { return findItem(u"Sales/" + Text(name)).has_value(); }
};

struct ProviderRow {
  const char16_t* provider;
  const char16_t* source;
  HRESULT expected;
};

TEST_F(Connection, OpensWithTheStoreOrTheDirectoryProviderOnFoldersThatMayBeReached) {
  save(u"Sales", u"Item.EML", {});
  folder(u"Secret", u"", Access::None);
  folder(u"Archive", u"", Access::ReadOnly);
  const ProviderRow rows[] = {
      {u"ExOLEDB.DataSource", u"http://exch01/Public/Sales", S_OK},
      {u"exoledb.datasource", u"http://exch01/Public/", S_OK},
      {u"EXOLEDB.DATASOURCE", u"http://EXCH01/public folders/sales/", S_OK},
      {u"adsDSOobject", u"Active Directory Provider", S_OK},
      {u"ADSDSOOBJECT", u"active directory provider", S_OK},
      {u"adsDSOobject", u"http://exch01/Public", ado::adErrInvalidConnection},
      {u"", u"http://exch01/Public", ado::adErrProviderNotFound},
      {u"MSDASQL", u"http://exch01/Public", ado::adErrProviderNotFound},
      {u"ExOLEDB.DataSource", u"http://exch01/Public/Nothing", ado::adErrResourceNotFound},
      {u"ExOLEDB.DataSource", u"http://exch01/Public/Sales/Item.EML", E_NOT_A_FOLDER},
      {u"ExOLEDB.DataSource", u"http://exch01/Public/Secret", E_ACCESSDENIED},
      {u"ExOLEDB.DataSource", u"http://exch01/Public/Archive", S_OK},
      {u"ExOLEDB.DataSource", u"http://exch02/Public/Sales", E_NOT_THIS_SERVER},
      {u"ExOLEDB.DataSource", u"", ado::adErrInvalidConnection},
  };
  for (const auto& row : rows) {
    auto c = createInstance<ado::IConnection>(u"ADODB.Connection");
    check(c->put_Provider(row.provider));
    EXPECT_EQ(c->Open(row.source, u"", u"", -1), row.expected) << toUtf8(row.provider) << " " << toUtf8(row.source);
    const Text why = takeErrorInfo();
    if (row.expected == ado::adErrProviderNotFound) {
      EXPECT_NE(why.find(row.provider), Text::npos) << toUtf8(why);
    }
    std::int32_t state = -1;
    check(c->get_State(&state));
    EXPECT_EQ(state, succeeded(row.expected) ? ado::adStateOpen : ado::adStateClosed);
  }
  // The directory provider needs a server too, and has no transactions.
  auto c = createInstance<ado::IConnection>(u"ADODB.Connection");
  check(c->put_Provider(u"adsDSOobject"));
  auto saved = db::serverDirectory();
  db::setServerDirectory(server_.dir() / "no-server-here");
  EXPECT_EQ(failure(c->Open(u"Active Directory Provider", u"", u"", -1)), db::E_DATABASE);
  db::setServerDirectory(saved);
  check(c->Open(u"Active Directory Provider", u"", u"", -1));
  std::int32_t level = 0;
  EXPECT_EQ(failure(c->BeginTrans(&level)), E_NOTIMPL);
}

TEST_F(Connection, AnEmptyOpenArgumentKeepsTheConnectionStringAlsoWhenLateBound) {
  auto d = createInstance<IDispatch>(u"ADODB.Connection");
  putProperty(d.get(), u"provider", Variant(u"ExOLEDB.DataSource"));
  putProperty(d.get(), u"ConnectionString", Variant(url(u"Sales")));
  const Variant args[] = {Variant(u""), Variant(u""), Variant(u""), Variant(-1)};
  invoke(d.get(), u"Open", args);
  EXPECT_EQ(getProperty(d.get(), u"State"), Variant(1));
  auto c = d.as<ado::IConnection>();
  Text cs;
  check(c->get_ConnectionString(&cs));
  EXPECT_EQ(cs, url(u"Sales"));
  EXPECT_EQ(failure(c->Open(u"", u"", u"", -1)), ado::adErrObjectOpen);
  EXPECT_EQ(failure(c->put_Provider(u"adsDSOobject")), ado::adErrObjectOpen);
  EXPECT_EQ(invoke(d.get(), u"BeginTrans"), Variant(1));
  invoke(d.get(), u"CommitTrans");
  invoke(d.get(), u"Close");
  EXPECT_EQ(getProperty(d.get(), u"State"), Variant(0));
  EXPECT_EQ(failure(c->Close()), ado::adErrObjectClosed);
}

TEST_F(Connection, ReleasingOrClosingWithATransactionOpenRollsItBack) {
  {
    auto c = openConnection(url(u"Sales"));
    check(c->BeginTrans(nullptr));
    writeItem(c.get(), u"Released.EML");
  }
  EXPECT_FALSE(exists(u"Released.EML"));
  auto c = openConnection(url(u"Sales"));
  check(c->BeginTrans(nullptr));
  writeItem(c.get(), u"Closed.EML");
  check(c->Close());
  EXPECT_FALSE(exists(u"Closed.EML"));
  // The database is free for the next writer.
  writeItem(nullptr, u"After.EML");
  db::Database::closeCurrent();
  EXPECT_TRUE(exists(u"After.EML"));
}

// A rolled-back first level is shown with a transaction of another connection below.
TEST_F(Connection, NestedLevelsEndInnermostFirstAndNoneIsLeftToEnd) {
  auto c = openConnection(url(u"Sales"));
  std::int32_t level = 0;
  check(c->BeginTrans(&level));
  EXPECT_EQ(level, 1);
  writeItem(c.get(), u"Outer.EML");
  EXPECT_TRUE(exists(u"Outer.EML"));  // visible inside the transaction
  check(c->BeginTrans(&level));
  EXPECT_EQ(level, 2);
  writeItem(c.get(), u"Inner.EML");
  check(c->RollbackTrans());
  check(c->CommitTrans());
  EXPECT_EQ(failure(c->CommitTrans()), E_NO_TRANSACTION);
  EXPECT_EQ(failure(c->RollbackTrans()), E_NO_TRANSACTION);
  c.reset();
  db::Database::closeCurrent();
  EXPECT_TRUE(exists(u"Outer.EML"));
  EXPECT_FALSE(exists(u"Inner.EML"));
}

TEST_F(Connection, ATransactionOfAnotherConnectionBegunLaterMustEndFirst) {
  auto first = openConnection(url(u"Sales"));
  auto second = openConnection(url(u"Sales"));
  check(first->BeginTrans(nullptr));
  writeItem(first.get(), u"First.EML");
  check(second->BeginTrans(nullptr));
  writeItem(second.get(), u"Second.EML");
  EXPECT_EQ(failure(first->CommitTrans()), E_FAIL);
  check(first->RollbackTrans());  // takes the later one with it
  EXPECT_EQ(failure(second->CommitTrans()), E_NO_TRANSACTION);
  EXPECT_FALSE(exists(u"First.EML"));
  EXPECT_FALSE(exists(u"Second.EML"));
}

} // namespace
} // namespace korvane::store
