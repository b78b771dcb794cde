#include "platform/directory/command.h"

#include <gtest/gtest.h>

#include "platform/com/runtime.h"
#include "platform/directory/directory.h"
#include "platform/store/store.h"
#include "support/temp_server.h"

namespace korvane::directory {
namespace {

using korvane::testing::TempServer;

// A connection that only reports its provider and state: this is a unit test
// of the command object, which asks a connection nothing else.
class StubConnection final : public ComObject<ado::IConnection> {
public:
  StubConnection(Text provider, bool open) : provider_(std::move(provider)), open_(open) {}
  HRESULT get_Provider(Text* p) noexcept override {
    *p = provider_;
    return S_OK;
  }
  HRESULT put_Provider(TextView) noexcept override { return E_NOTIMPL; }
  HRESULT get_ConnectionString(Text*) noexcept override { return E_NOTIMPL; }
  HRESULT put_ConnectionString(TextView) noexcept override { return E_NOTIMPL; }
  HRESULT Open(TextView, TextView, TextView, std::int32_t) noexcept override { return E_NOTIMPL; }
  HRESULT Close() noexcept override {
    open_ = false;
    return S_OK;
  }
  HRESULT get_State(std::int32_t* s) noexcept override {
    *s = open_ ? ado::adStateOpen : ado::adStateClosed;
    return S_OK;
  }
  HRESULT BeginTrans(std::int32_t*) noexcept override { return E_NOTIMPL; }
  HRESULT CommitTrans() noexcept override { return E_NOTIMPL; }
  HRESULT RollbackTrans() noexcept override { return E_NOTIMPL; }
  HRESULT GetProperty(TextView name, Variant*) noexcept override { return unknownName(name); }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override { return unknownName(name); }
  HRESULT Invoke(TextView name, std::span<const Variant>, Variant*) noexcept override {
    return unknownName(name);
  }

private:
  Text provider_;
  bool open_;
};

const Text kCategory = u"CN=Person,CN=Schema,CN=Configuration,DC=corp,DC=example,DC=com";

class CommandTest : public ::testing::Test {
protected:
  void SetUp() override {
    setGlobalCatalogHost(u"dc01.corp.example.com");
    addPerson({u"Admin", u"Administrator", kCategory, u"/o=Org/cn=Servers/cn=EXVS1"});
    connection_ = makeCom<StubConnection>(u"ADSDSOObject", true);
    command_ = createInstance<ado::ICommand>(u"ADODB.Command");
  }

  ComPtr<ado::IProperty> property(TextView name) {
    ComPtr<ado::IProperties> props;
    check(command_->get_Properties(props.put()));
    ComPtr<ado::IProperty> p;
    check(props->get_Item(Variant(name), p.put()));
    return p;
  }

  // Runs the setup's steps: connection, text, the three properties, Execute(-1).
  ComPtr<ado::IRecordset> runSetupSteps(TextView text) {
    check(command_->putref_ActiveConnection(connection_.get()));
    check(command_->put_CommandText(text));
    check(property(u"searchscope")->put_Value(Variant(2)));
    check(property(u"cache results")->put_Value(Variant(false)));
    check(property(u"Chase Referrals")->put_Value(Variant(96)));
    ComPtr<ado::IRecordset> rs;
    check(command_->Execute(-1, rs.put()));
    return rs;
  }

  TempServer server_;
  ComPtr<StubConnection> connection_;
  ComPtr<ado::ICommand> command_;
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

TEST_F(CommandTest, SetupQueryReturnsTheFirstRow) {
  auto rs = runSetupSteps(u"SELECT sAMAccountName, cn, objectCategory FROM 'GC://dc01.corp.example.com' "
                          u"WHERE objectcategory='person' AND sAMAccountName='Admin'");
  bool eof = true;
  check(rs->get_EOF(&eof));
  ASSERT_FALSE(eof);
  EXPECT_EQ(field(rs.get(), u"objectcategory").toText(), kCategory);
  check(rs->MoveNext());
  check(rs->get_EOF(&eof));
  EXPECT_TRUE(eof);
}

TEST_F(CommandTest, NoMatchIsAnEmptyRecordset) {
  auto rs = runSetupSteps(u"SELECT msExchHomeServerName FROM 'GC://dc01.corp.example.com' "
                          u"WHERE objectcategory='person' AND sAMAccountName='nobody'");
  bool eof = false;
  check(rs->get_EOF(&eof));
  EXPECT_TRUE(eof);
}

TEST_F(CommandTest, DefaultsAndValuesOfTheProviderProperties) {
  check(command_->putref_ActiveConnection(connection_.get()));
  Variant v;
  check(property(u"SearchScope")->get_Value(&v));
  EXPECT_EQ(v.toInt(), 2);
  check(property(u"Chase Referrals")->get_Value(&v));
  EXPECT_EQ(v.toInt(), 64);
  check(property(u"cache results")->put_Value(Variant(false)));
  check(property(u"CACHE RESULTS")->get_Value(&v));
  EXPECT_EQ(v, Variant(false));
  ComPtr<ado::IProperties> props;
  check(command_->get_Properties(props.put()));
  std::int32_t n = 0;
  check(props->get_Count(&n));
  EXPECT_EQ(n, 3);
}

struct PropertyRow {
  const char16_t* name;
  Variant value;
  HRESULT code;
};

class PropertyValues : public CommandTest, public ::testing::WithParamInterface<PropertyRow> {};

TEST_P(PropertyValues, AreCheckedWhenSet) {
  check(command_->putref_ActiveConnection(connection_.get()));
  ComPtr<ado::IProperties> props;
  check(command_->get_Properties(props.put()));
  ComPtr<ado::IProperty> p;
  HRESULT h = props->get_Item(Variant(GetParam().name), p.put());
  if (succeeded(h)) h = p->put_Value(GetParam().value);
  EXPECT_EQ(h, GetParam().code) << toUtf8(GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, PropertyValues,
    ::testing::Values(PropertyRow{u"searchscope", Variant(1), S_OK},
                      PropertyRow{u"searchscope", Variant(3), E_INVALIDARG},
                      PropertyRow{u"searchscope", Variant(-1), E_INVALIDARG},
                      PropertyRow{u"searchscope", Variant(u"x"), DISP_E_TYPEMISMATCH},
                      PropertyRow{u"Chase Referrals", Variant(96), S_OK},
                      PropertyRow{u"Chase Referrals", Variant(0), S_OK},
                      PropertyRow{u"Chase Referrals", Variant(95), E_INVALIDARG},
                      PropertyRow{u"cache results", Variant(true), S_OK},
                      PropertyRow{u"Page Size", Variant(100), ado::adErrItemNotFound},
                      PropertyRow{u"", Variant(1), ado::adErrItemNotFound}));

TEST_F(CommandTest, PropertiesByIndexAndOutOfRange) {
  check(command_->putref_ActiveConnection(connection_.get()));
  ComPtr<ado::IProperties> props;
  check(command_->get_Properties(props.put()));
  ComPtr<ado::IProperty> p;
  check(props->get_Item(Variant(0), p.put()));
  Text name;
  check(p->get_Name(&name));
  EXPECT_EQ(name, u"searchscope");
  EXPECT_EQ(props->get_Item(Variant(3), p.put()), ado::adErrItemNotFound);
  EXPECT_EQ(props->get_Item(Variant(-1), p.put()), ado::adErrItemNotFound);
}

TEST_F(CommandTest, WithoutConnectionThereAreNoProviderProperties) {
  ComPtr<ado::IProperties> props;
  check(command_->get_Properties(props.put()));
  ComPtr<ado::IProperty> p;
  EXPECT_EQ(props->get_Item(Variant(u"searchscope"), p.put()), ado::adErrItemNotFound);
}

TEST_F(CommandTest, ScopeTakesEffect) {
  check(command_->putref_ActiveConnection(connection_.get()));
  check(command_->put_CommandText(u"SELECT cn FROM 'GC://dc01.corp.example.com'"));
  check(property(u"searchscope")->put_Value(Variant(0)));
  ComPtr<ado::IRecordset> rs;
  check(command_->Execute(-1, rs.put()));
  bool eof = false;
  check(rs->get_EOF(&eof));
  EXPECT_TRUE(eof);  // the forest root itself is no person
}

TEST_F(CommandTest, ExecuteFailuresSayWhatIsMissing) {
  ComPtr<ado::IRecordset> rs;
  check(command_->put_CommandText(u"SELECT cn FROM 'GC://dc01.corp.example.com'"));
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

  connection_->Close();
  check(command_->put_CommandText(u"SELECT cn FROM 'GC://dc01.corp.example.com'"));
  EXPECT_EQ(command_->Execute(-1, rs.put()), ado::adErrInvalidConnection);
}

TEST_F(CommandTest, ConnectionMustBeOpenAndOfAKnownProvider) {
  auto closed = makeCom<StubConnection>(u"adsDSOobject", false);
  EXPECT_EQ(command_->putref_ActiveConnection(closed.get()), ado::adErrInvalidConnection);
  auto other = makeCom<StubConnection>(u"MSDASQL", true);
  EXPECT_EQ(command_->putref_ActiveConnection(other.get()), ado::adErrProviderNotFound);
}

TEST_F(CommandTest, LateBoundMembers) {
  ComPtr<IDispatch> d = command_.query<IDispatch>();
  putProperty(d.get(), u"ActiveConnection", Variant(ComPtr<IUnknown>(connection_)));
  putProperty(d.get(), u"CommandText",
              Variant(u"SELECT cn FROM 'GC://dc01.corp.example.com' WHERE sAMAccountName='admin'"));
  EXPECT_EQ(getProperty(d.get(), u"commandtext").toText().substr(0, 9), u"SELECT cn");
  auto props = getProperty(d.get(), u"Properties").objectValue().query<IDispatch>();
  Variant name(u"searchscope");
  auto scope = invoke(props.get(), u"Item", std::span<const Variant>(&name, 1)).objectValue().query<IDispatch>();
  EXPECT_EQ(getProperty(scope.get(), u"Value").toInt(), 2);
  auto rs = invoke(d.get(), u"Execute").objectValue().query<ado::IRecordset>();
  EXPECT_EQ(field(rs.get(), u"CN").toText(), u"Administrator");
}

} // namespace
} // namespace korvane::directory

namespace korvane::directory {
namespace {

// The whole road with the platform's own connection object: the directory
// connection as the setup opens it, then the command.
class RealConnectionTest : public ::testing::Test {
protected:
  void SetUp() override {
    setGlobalCatalogHost(u"dc01.corp.example.com");
    addPerson({u"Admin", u"Administrator", kCategory, u"/o=Org/cn=Servers/cn=EXVS1"});
    connection_ = createInstance<ado::IConnection>(u"ADODB.Connection");
    check(connection_->put_Provider(u"adsDSOobject"));
    check(connection_->Open(u"Active Directory Provider", u"", u"", -1));
  }
  TempServer server_;
  ComPtr<ado::IConnection> connection_;
};

TEST_F(RealConnectionTest, SetupStepsReadTheHomeServer) {
  auto command = createInstance<ado::ICommand>(u"ADODB.Command");
  check(command->putref_ActiveConnection(connection_.get()));
  check(command->put_CommandText(u"SELECT msExchHomeServerName FROM 'GC://dc01.corp.example.com' "
                                 u"WHERE objectcategory='person' AND sAMAccountName='Admin'"));
  ComPtr<ado::IProperties> props;
  check(command->get_Properties(props.put()));
  for (auto [name, value] : {std::pair<const char16_t*, Variant>{u"searchscope", Variant(2)},
                             {u"cache results", Variant(false)},
                             {u"Chase Referrals", Variant(96)}}) {
    ComPtr<ado::IProperty> p;
    check(props->get_Item(Variant(name), p.put()));
    check(p->put_Value(value));
  }
  ComPtr<ado::IRecordset> rs;
  check(command->Execute(-1, rs.put()));
  EXPECT_EQ(field(rs.get(), u"msExchHomeServerName").toText(), u"/o=Org/cn=Servers/cn=EXVS1");
}

TEST_F(RealConnectionTest, ClosedConnectionIsRefused) {
  auto command = createInstance<ado::ICommand>(u"ADODB.Command");
  check(connection_->Close());
  EXPECT_EQ(command->putref_ActiveConnection(connection_.get()), ado::adErrInvalidConnection);
}

} // namespace
} // namespace korvane::directory

namespace korvane::directory {
namespace {

TEST(StoreCommand, RunsTheTextAsAStoreQuery) {
  TempServer server(false);
  store::createServer(server.serverPath(), {u"exch01", u"corp.example.com", u""});
  store::FolderSpec sales;
  sales.path = u"Sales";
  store::createFolder(sales);
  auto connection = createInstance<ado::IConnection>(u"ADODB.Connection");
  check(connection->put_Provider(u"ExOLEDB.DataSource"));
  check(connection->Open(u"http://exch01/Public", u"", u"", -1));
  auto command = createInstance<ado::ICommand>(u"ADODB.Command");
  check(command->putref_ActiveConnection(connection.get()));
  check(command->put_CommandText(
      u"SELECT \"DAV:displayname\" FROM scope('shallow traversal of \"http://exch01/Public\"')"));
  ComPtr<ado::IRecordset> rs;
  check(command->Execute(-1, rs.put()));
  EXPECT_EQ(field(rs.get(), u"DAV:displayname").toText(), u"Sales");
  ComPtr<ado::IProperties> props;
  check(command->get_Properties(props.put()));
  ComPtr<ado::IProperty> p;
  EXPECT_EQ(props->get_Item(Variant(u"searchscope"), p.put()), ado::adErrItemNotFound);
}

} // namespace
} // namespace korvane::directory
