#include "platform/exchange/objects.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/com/runtime.h"
#include "platform/exchange/exchange.h"
#include "platform/exchange/storeguid.h"
#include "platform/store/ado.h"
#include "platform/store/store.h"
#include "support/temp_server.h"

namespace korvane::exchange {
namespace {

using korvane::testing::TempServer;

const Text kOwnGuid = u"{0A0B0C0D-1111-2222-3333-444455556666}";
const Text kOtherGuid = u"{99999999-8888-7777-6666-555555555555}";

// A management object created by class id and opened through its data
// source, the way the setup's discovery does it.
template <typename DataSource = cdo::IDataSource>
ComPtr<IDispatch> openObject(const Guid& clsid, TextView source) {
  auto ds = createInstance<DataSource>(clsid);
  check(ds->Open(source, nullptr, 0, ado::adFailIfNotExists, 0, u"", u""));
  return ds.template query<IDispatch>();
}

struct Found {
  Text publicRoot;
  Text storeGuid;
  Text askedGuidFor;
};

// The first mounted store with a MAPI tree, in the server's order.
Found discover(TextView serverName) {
  Found out;
  auto server = openObject<IServerDataSource>(CLSID_Server, serverName);
  for (const Text& groupUrl : listTexts(getProperty(server.get(), u"StorageGroups"))) {
    auto group = openObject(CLSID_StorageGroup, groupUrl);
    for (const Text& storeUrl : listTexts(getProperty(group.get(), u"PublicStoreDBs"))) {
      auto store = openObject(CLSID_PublicStoreDB, storeUrl);
      if (getProperty(store.get(), u"Status").toInt() != 0) continue;
      auto tree = openObject(CLSID_FolderTree, getProperty(store.get(), u"FolderTree").toText());
      if (getProperty(tree.get(), u"TreeType").toInt() != 1) continue;
      Text root = replaceAll(getProperty(tree.get(), u"RootFolderURL").toText(), u"%20", u" ");
      auto service = createInstance<IStoreGuidFromUrl>(CLSID_StoreGuidFromUrl);
      out.askedGuidFor = root;
      check(service->StoreGuidFromUrl(root, &out.storeGuid));
      std::size_t host = root.find(u"//");
      std::size_t slash = root.find(u'/', host + 2);
      out.publicRoot = root.substr(0, slash + 1) + u"Public/";
      return out;
    }
  }
  return out;
}

class ObjectsTest : public ::testing::Test {
protected:
  void SetUp() override {
    store::createServer(server_.serverPath(), {u"exch01", u"corp.example.com", kOwnGuid});
    addServer(u"EXCH01");
    addFolderTree(u"Public Folders", kTreeMapi, u"http://exch01/public");
    addFolderTree(u"Apps", kTreeGeneralPurpose, u"http://exch01/apps");
    addFolderTree(u"Remote", kTreeMapi, u"http://EXCH02/Public%20Folders");
    addStorageGroup(u"EXCH01", u"SG1");
    addStorageGroup(u"EXCH01", u"SG2");
  }
  TempServer server_{false};
};

struct DiscoveryRow {
  const char* name;
  std::function<void()> arrange;
  const char16_t* publicRoot;
  const char16_t* askedGuidFor;
  const Text* guid;
};

const Text kNone;

TEST_F(ObjectsTest, DiscoveryFindsTheFirstMountedMapiStore) {
  const DiscoveryRow rows[] = {
      {"one mounted store",
       [] { addPublicStore(u"EXCH01", u"SG1", {u"PFS", u"Public Folders", true, std::nullopt}); },
       u"http://exch01/Public/", u"http://exch01/public", &kOwnGuid},
      {"dismounted store first, blank form asked",
       [] {
         addPublicStore(u"EXCH01", u"SG1", {u"A", u"Public Folders", false, std::nullopt});
         addPublicStore(u"EXCH01", u"SG2", {u"B", u"Remote", true, kOtherGuid});
       },
       u"http://EXCH02/Public/", u"http://EXCH02/Public Folders", &kOtherGuid},
      {"general purpose tree skipped",
       [] {
         addPublicStore(u"EXCH01", u"SG1", {u"Apps", u"Apps", true, std::nullopt});
         addPublicStore(u"EXCH01", u"SG1", {u"PFS", u"Public Folders", true, std::nullopt});
       },
       u"http://exch01/Public/", u"http://exch01/public", &kOwnGuid},
      {"first group wins",
       [] {
         addPublicStore(u"EXCH01", u"SG1", {u"B", u"Remote", true, kOtherGuid});
         addPublicStore(u"EXCH01", u"SG2", {u"PFS", u"Public Folders", true, std::nullopt});
       },
       u"http://EXCH02/Public/", u"http://EXCH02/Public Folders", &kOtherGuid},
      {"no public store at all", [] {}, u"", u"", &kNone},
      {"only dismounted or general purpose",
       [] {
         addPublicStore(u"EXCH01", u"SG1", {u"Apps", u"Apps", true, std::nullopt});
         addPublicStore(u"EXCH01", u"SG2", {u"PFS", u"Public Folders", false, std::nullopt});
       },
       u"", u"", &kNone},
  };
  for (const DiscoveryRow& row : rows) {
    SCOPED_TRACE(row.name);
    for (const StorageGroupInfo& group : storageGroups(u"EXCH01"))
      for (const PublicStoreInfo& store : group.publicStores) removePublicStore(u"EXCH01", group.name, store.name);
    row.arrange();
    Found f = discover(u"exch01");  // server names ignore case
    EXPECT_EQ(f.publicRoot, row.publicRoot);
    EXPECT_EQ(f.askedGuidFor, row.askedGuidFor);
    EXPECT_EQ(f.storeGuid, *row.guid);
  }
}

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
  EXPECT_EQ(getProperty(ps.get(), u"status").toInt(), kStoreOnline);
  // Values are read at Open.
  dismountPublicStore(u"EXCH01", u"SG1", u"PFS");
  EXPECT_EQ(getProperty(ps.get(), u"Status").toInt(), kStoreOnline);
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
  EXPECT_TRUE(server.as<IServerDataSource>());
  EXPECT_TRUE(server.as<cdo::IDataSource>());
  EXPECT_TRUE(server.as<IDispatch>());
  auto group = createInstance<IUnknown>(CLSID_StorageGroup);
  EXPECT_FALSE(group.as<IServerDataSource>());
  EXPECT_TRUE(group.as<cdo::IDataSource>());

  auto d = server.as<IDispatch>();
  auto viaProperty = getProperty(d.get(), u"DataSource").objectValue().query<cdo::IDataSource>();
  Variant which(u"IDataSource");
  auto viaMethod = invoke(d.get(), u"GetInterface", std::span<const Variant>(&which, 1))
                       .objectValue()
                       .query<cdo::IDataSource>();
  check(viaProperty->Open(u"EXCH01", nullptr, 0, -1, 0, u"", u""));
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
