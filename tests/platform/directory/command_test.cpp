#include "platform/directory/command.h"

#include <gtest/gtest.h>

#include "platform/com/runtime.h"
#include "platform/directory/directory.h"
#include "platform/store/store.h"
#include "support/temp_server.h"

namespace korvane::directory {
namespace {

using korvane::testing::TempServer;

const Text kCategory = u"CN=Person,CN=Schema,CN=Configuration,DC=corp,DC=example,DC=com";
const Text kFrom = u"FROM 'GC://dc01.corp.example.com' ";

// The directory connection as the setup opens it, and a command.
class CommandTest : public ::testing::Test {
protected:
  void SetUp() override {
    setGlobalCatalogHost(u"dc01.corp.example.com");
    addPerson({u"Admin", u"Administrator", kCategory, u"/o=Org/cn=Servers/cn=EXVS1"});
    check(connection_->put_Provider(u"adsDSOobject"));
    check(connection_->Open(u"Active Directory Provider", u"", u"", -1));
  }

  ComPtr<ado::IProperties> properties() {
    ComPtr<ado::IProperties> props;
    check(command_->get_Properties(props.put()));
    return props;
  }

  TempServer server_;
  ComPtr<ado::IConnection> connection_ = createInstance<ado::IConnection>(u"ADODB.Connection");
  ComPtr<ado::ICommand> command_ = createInstance<ado::ICommand>(u"ADODB.Command");
};

Variant field(ado::IRecordset* rs, TextView name) {
  ComPtr<ado::IFields> fields;
  check(rs->get_Fields(fields.put()));
  ComPtr<ado::IField> f;
  check(fields->get_Item(Variant(name), f.put()));
  Variant v;
  check(f->get_Value(&v));
  return v;
}

bool atEnd(ado::IRecordset* rs) {
  bool eof = false;
  check(rs->get_EOF(&eof));
  return eof;
}

// Through late binding: one row, then the end; the search scope set
// on the command reaches the search: at the base, the forest root is no
// person. The setup's own steps run through this object in its discovery tests.
TEST_F(CommandTest, ExecuteGivesTheRowsOfTheSearchInItsScopeAlsoWhenLateBound) {
  ComPtr<IDispatch> d = command_.query<IDispatch>();
  putProperty(d.get(), u"ActiveConnection", Variant(ComPtr<IUnknown>(connection_)));
  putProperty(d.get(), u"CommandText", Variant(u"SELECT cn " + kFrom));
  auto props = getProperty(d.get(), u"Properties").objectValue().query<IDispatch>();
  Variant name(u"searchscope");
  auto scope = invoke(props.get(), u"Item", std::span<const Variant>(&name, 1)).objectValue().query<IDispatch>();
  EXPECT_EQ(getProperty(scope.get(), u"Value").toInt(), 2);
  auto rs = invoke(d.get(), u"Execute").objectValue().query<ado::IRecordset>();
  ASSERT_FALSE(atEnd(rs.get()));
  EXPECT_EQ(field(rs.get(), u"CN").toText(), u"Administrator");
  check(rs->MoveNext());
  EXPECT_TRUE(atEnd(rs.get()));
  putProperty(scope.get(), u"Value", Variant(0));
  rs = invoke(d.get(), u"Execute").objectValue().query<ado::IRecordset>();
  EXPECT_TRUE(atEnd(rs.get()));
}

struct PropertyRow {
  const char16_t* name;
  Variant value;
  HRESULT code;
};

// A directory connection brings the three provider properties, found by name
// ignoring case or by index, each taking only the values it knows.
TEST_F(CommandTest, ProviderPropertiesComeWithADirectoryConnectionAndCheckTheirValues) {
  ComPtr<ado::IProperty> p;
  EXPECT_EQ(properties()->get_Item(Variant(u"searchscope"), p.put()), ado::adErrItemNotFound);
  check(command_->putref_ActiveConnection(connection_.get()));
  std::int32_t n = 0;
  check(properties()->get_Count(&n));
  EXPECT_EQ(n, 3);
  check(properties()->get_Item(Variant(0), p.put()));
  Text name;
  check(p->get_Name(&name));
  EXPECT_EQ(name, u"searchscope");
  for (int beyond : {3, -1}) EXPECT_EQ(properties()->get_Item(Variant(beyond), p.put()), ado::adErrItemNotFound);

  const PropertyRow rows[] = {
      {u"searchscope", Variant(1), S_OK},
      {u"searchscope", Variant(3), E_INVALIDARG},
      {u"searchscope", Variant(-1), E_INVALIDARG},
      {u"searchscope", Variant(u"x"), DISP_E_TYPEMISMATCH},
      {u"Chase Referrals", Variant(96), S_OK},
      {u"Chase Referrals", Variant(0), S_OK},
      {u"Chase Referrals", Variant(95), E_INVALIDARG},
      {u"CACHE RESULTS", Variant(false), S_OK},
      {u"Page Size", Variant(100), ado::adErrItemNotFound},
      {u"", Variant(1), ado::adErrItemNotFound},
  };
  for (const auto& row : rows) {
    HRESULT h = properties()->get_Item(Variant(row.name), p.put());
    if (succeeded(h)) h = p->put_Value(row.value);
    EXPECT_EQ(h, row.code) << toUtf8(row.name);
  }
}

TEST_F(CommandTest, ExecuteAndBindingFailuresSayWhatIsMissing) {
  ComPtr<ado::IRecordset> rs;
  check(command_->put_CommandText(u"SELECT cn " + kFrom));
  EXPECT_EQ(command_->Execute(-1, rs.put()), ado::adErrInvalidConnection);
  EXPECT_NE(takeErrorInfo().find(u"ActiveConnection"), Text::npos);

  check(command_->putref_ActiveConnection(connection_.get()));
  check(command_->put_CommandText(u"  "));
  EXPECT_EQ(command_->Execute(-1, rs.put()), DB_E_NOCOMMAND);
  check(command_->put_CommandText(u"SELECT cn FROM 'GC://other'"));
  EXPECT_EQ(command_->Execute(-1, rs.put()), E_ADS_SERVER_DOWN);
  check(command_->put_CommandText(u"SELECT cn FRM 'GC://other'"));
  EXPECT_EQ(command_->Execute(-1, rs.put()), ado::adErrQuerySyntax);
  EXPECT_FALSE(rs);

  // Closed after it became the active one, or before.
  check(connection_->Close());
  check(command_->put_CommandText(u"SELECT cn " + kFrom));
  EXPECT_EQ(command_->Execute(-1, rs.put()), ado::adErrInvalidConnection);
  EXPECT_EQ(command_->putref_ActiveConnection(connection_.get()), ado::adErrInvalidConnection);
  // An open connection of the store's provider, which runs no commands.
  store::createServer(server_.dir() / "store", store::ServerInfo{u"exch01", u"", u""});
  auto storeConnection = createInstance<ado::IConnection>(u"ADODB.Connection");
  check(storeConnection->put_Provider(u"ExOLEDB.DataSource"));
  check(storeConnection->Open(u"http://exch01/Public", u"", u"", -1));
  EXPECT_EQ(command_->putref_ActiveConnection(storeConnection.get()), ado::adErrProviderNotFound);
}

} // namespace
} // namespace korvane::directory
