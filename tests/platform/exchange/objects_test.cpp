#include "platform/exchange/objects.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/com/runtime.h"
#include "platform/exchange/exchange.h"
#include "platform/store/ado.h"
#include "platform/store/store.h"
#include "support/temp_server.h"

namespace korvane::exchange {
namespace {

using korvane::testing::TempServer;

const Text kOwnGuid = u"{0A0B0C0D-1111-2222-3333-444455556666}";

// A management object created by class id and opened through its data
// source, the way the setup's discovery does it.
template <typename DataSource = cdo::IDataSource>
ComPtr<IDispatch> openObject(const Guid& clsid, TextView source) {
  auto ds = createInstance<DataSource>(clsid);
  check(ds->Open(source, nullptr, 0, ado::adFailIfNotExists, 0, u"", u""));
  return ds.template query<IDispatch>();
}

class ObjectsTest : public ::testing::Test {
protected:
  void SetUp() override {
    store::createServer(server_.serverPath(), {u"exch01", u"corp.example.com", kOwnGuid});
    addServer(u"EXCH01");
    addFolderTree(u"Public Folders", kTreeMapi, u"http://exch01/public");
    addFolderTree(u"Apps", kTreeGeneralPurpose, u"http://exch01/apps");
    addStorageGroup(u"EXCH01", u"SG1");
    addStorageGroup(u"EXCH01", u"SG2");
  }
  TempServer server_{false};
};

// The setup's discovery walks these objects from the server to the store
// GUID; its own tests cover which store it picks.
TEST_F(ObjectsTest, OpeningAServerByAnotherNameFailsClearly) {
  auto ds = createInstance<IServerDataSource>(CLSID_Server);
  EXPECT_EQ(ds->Open(u"EXCH99", nullptr, 0, -1, 0, u"", u""), E_NO_SUCH_OBJECT);
  Text why = takeErrorInfo();
  EXPECT_NE(why.find(u"no Exchange server named 'EXCH99'"), Text::npos) << toUtf8(why);
  EXPECT_NE(why.find(u"EXCH01"), Text::npos) << "names the servers there are";
  EXPECT_EQ(ds->Open(u"", nullptr, 0, -1, 0, u"", u""), E_NO_SUCH_OBJECT);
}

struct OpenRow {
  const Guid* clsid;
  std::function<Text()> source;
  HRESULT code;
};

TEST_F(ObjectsTest, EachClassOpensItsOwnKindOnly) {
  addPublicStore(u"EXCH01", u"SG1", {u"PFS", std::nullopt, true, std::nullopt});
  auto group = [] { return storageGroupUrl(u"EXCH01", u"SG1"); };
  auto store = [] { return publicStoreUrl(u"EXCH01", u"SG1", u"PFS"); };
  auto tree = [] { return folderTreeUrl(u"Public Folders"); };
  const OpenRow rows[] = {
      {&CLSID_StorageGroup, group, S_OK},
      {&CLSID_StorageGroup, store, E_NO_SUCH_OBJECT},
      {&CLSID_StorageGroup, [] { return storageGroupUrl(u"EXCH01", u"SG3"); }, E_NO_SUCH_OBJECT},
      {&CLSID_PublicStoreDB, store, S_OK},
      {&CLSID_PublicStoreDB, group, E_NO_SUCH_OBJECT},
      {&CLSID_FolderTree, tree, S_OK},
      {&CLSID_FolderTree, store, E_NO_SUCH_OBJECT},
      {&CLSID_FolderTree, [] { return Text(); }, E_NO_SUCH_OBJECT},  // a store without a tree
  };
  for (const OpenRow& row : rows) {
    auto ds = createInstance<cdo::IDataSource>(*row.clsid);
    EXPECT_EQ(ds->Open(row.source(), nullptr, 0, -1, 0, u"", u""), row.code) << toUtf8(row.source());
  }
  auto ps = openObject(CLSID_PublicStoreDB, store());
  EXPECT_EQ(getProperty(ps.get(), u"FolderTree").toText(), u"");
  // Values are read at Open.
  dismountPublicStore(u"EXCH01", u"SG1", u"PFS");
  EXPECT_EQ(getProperty(ps.get(), u"status").toInt(), kStoreOnline);  // names ignore case
  EXPECT_EQ(getProperty(openObject(CLSID_PublicStoreDB, store()).get(), u"Status").toInt(), kStoreOffline);
}

TEST_F(ObjectsTest, PropertiesNeedAnOpenObjectAndAreReadOnly) {
  auto ds = createInstance<cdo::IDataSource>(CLSID_FolderTree);
  Variant v;
  EXPECT_EQ(ds->GetProperty(u"TreeType", &v), ado::adErrObjectClosed);
  EXPECT_EQ(ds->GetProperty(u"Nonsense", &v), DISP_E_UNKNOWNNAME);
  Variant args[] = {Variant(folderTreeUrl(u"public folders"))};
  check(ds->Invoke(u"Open", args, &v));  // late-bound Open, like a script
  EXPECT_EQ(getProperty(ds.get(), u"TreeType").toInt(), kTreeMapi);
  EXPECT_EQ(getProperty(ds.get(), u"RootFolderURL").toText(), u"http://exch01/public");
  EXPECT_EQ(ds->PutProperty(u"TreeType", Variant(2)), E_ACCESSDENIED);
  EXPECT_EQ(ds->Open(folderTreeUrl(u"Apps"), nullptr, 0, ado::adCreateOverwrite, 0, u"", u""), E_INVALIDARG);
}

TEST_F(ObjectsTest, DataSourceInterfacesAndLateBoundAccess) {
  auto server = createInstance<IUnknown>(CLSID_Server);
  auto group = createInstance<IUnknown>(CLSID_StorageGroup);
  EXPECT_FALSE(group.as<IServerDataSource>());
  EXPECT_TRUE(group.as<cdo::IDataSource>());

  auto d = server.query<IDispatch>();
  auto viaProperty = getProperty(d.get(), u"DataSource").objectValue().query<cdo::IDataSource>();
  Variant which(u"IDataSource");
  auto viaMethod = invoke(d.get(), u"GetInterface", std::span<const Variant>(&which, 1))
                       .objectValue()
                       .query<cdo::IDataSource>();
  check(viaProperty->Open(u"exch01", nullptr, 0, -1, 0, u"", u""));  // server names ignore case
  EXPECT_EQ(getProperty(viaMethod.get(), u"Name").toText(), u"EXCH01");  // the same object
  auto groups = getProperty(d.get(), u"StorageGroups");
  EXPECT_EQ(listTexts(groups), (std::vector<Text>{storageGroupUrl(u"EXCH01", u"SG1"),
                                                  storageGroupUrl(u"EXCH01", u"SG2")}));
  auto list = groups.objectValue().query<IDispatch>();
  EXPECT_EQ(getProperty(list.get(), u"Count").toInt(), 2);
  Variant index(1);
  EXPECT_EQ(invoke(list.get(), u"Item", std::span<const Variant>(&index, 1)).toText(),
            storageGroupUrl(u"EXCH01", u"SG2"));
  Variant out;
  Variant beyond(2);
  EXPECT_EQ(list->Invoke(u"Item", std::span<const Variant>(&beyond, 1), &out), E_INVALIDARG);
  EXPECT_THROW(listTexts(Variant(u"not a list")), ComError);
}

} // namespace
} // namespace korvane::exchange
