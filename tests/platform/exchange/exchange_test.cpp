#include "platform/exchange/exchange.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/com/runtime.h"
#include "platform/exchange/objects.h"
#include "platform/exchange/storeguid.h"
#include "platform/store/ado.h"
#include "platform/store/store.h"
#include "support/temp_server.h"
#include "tests/platform/com/failure.h"

namespace korvane::exchange {
namespace {

using korvane::testing::TempServer;

const Text kGuid = u"{11111111-2222-3333-4444-555555555555}";
const Text kOwn = u"{0A0B0C0D-1111-2222-3333-444455556666}";
const Text kRemote = u"{22222222-0000-0000-0000-000000000002}";
const Text kApps = u"{33333333-0000-0000-0000-000000000003}";

// The emulated server exch01 with its own public store, and the management
// objects of one Exchange server: one storage group, one folder tree.
class ExchangeTest : public ::testing::Test {
protected:
  void SetUp() override {
    store::createServer(server_.serverPath(), {u"exch01", u"corp.example.com", kOwn});
    addServer(u"EXCH01");
    addFolderTree(u"Public Folders", kTreeMapi, u"http://exch01/public");
    addStorageGroup(u"EXCH01", u"SG1");
  }
  TempServer server_{false};
};

TEST_F(ExchangeTest, GroupsAndStoresKeepTheirOrder) {
  addStorageGroup(u"EXCH01", u"SG2");
  addPublicStore(u"EXCH01", u"SG2", {u"B", u"Public Folders", true, std::nullopt});
  addPublicStore(u"EXCH01", u"SG2", {u"A", std::nullopt, false, kGuid});
  auto groups = storageGroups(u"exch01");
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].name, u"SG1");
  EXPECT_TRUE(groups[0].publicStores.empty());
  ASSERT_EQ(groups[1].publicStores.size(), 2u);
  EXPECT_EQ(groups[1].publicStores[0].name, u"B");
  EXPECT_EQ(groups[1].publicStores[0].guid.size(), 38u);  // a new braced GUID
  EXPECT_EQ(groups[1].publicStores[1].guid, kGuid);
  // New GUIDs differ; given ones are braced and upper case.
  addPublicStore(u"EXCH01", u"SG1", {u"C", std::nullopt, true, std::nullopt});
  addPublicStore(u"EXCH01", u"SG1", {u"D", std::nullopt, true, u"aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee"});
  auto first = storageGroups(u"EXCH01")[0].publicStores;
  EXPECT_NE(first[0].guid, groups[1].publicStores[0].guid);
  EXPECT_EQ(first[1].guid, u"{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");
}

struct Refusal {
  const char* what;
  std::function<void()> call;
  HRESULT code;
};

TEST_F(ExchangeTest, RefusalsChangeNothing) {
  const Refusal rows[] = {
      {"duplicate server", [] { addServer(u"exch01"); }, E_OBJECT_EXISTS},
      {"bad server name", [] { addServer(u"EX 01"); }, E_INVALIDARG},
      {"group of a missing server", [] { addStorageGroup(u"EXCH02", u"G"); }, E_NO_SUCH_OBJECT},
      {"duplicate group", [] { addStorageGroup(u"EXCH01", u"sg1"); }, E_OBJECT_EXISTS},
      {"blank group", [] { addStorageGroup(u"EXCH01", u"  "); }, E_INVALIDARG},
      {"store on a missing tree",
       [] { addPublicStore(u"EXCH01", u"SG1", {u"S", u"Nope", true, std::nullopt}); },
       E_NO_SUCH_OBJECT},
      {"store with a bad GUID",
       [] { addPublicStore(u"EXCH01", u"SG1", {u"S", std::nullopt, true, u"{xyz}"}); },
       E_INVALIDARG},
      {"store of a missing group",
       [] { addPublicStore(u"EXCH01", u"Nope", {u"S", std::nullopt, true, std::nullopt}); }, E_NO_SUCH_OBJECT},
      {"duplicate tree", [] { addFolderTree(u"public folders", kTreeMapi, u"http://x/public"); }, E_OBJECT_EXISTS},
      {"bad tree type", [] { addFolderTree(u"T", 7, u"http://x/public"); }, E_INVALIDARG},
      {"root without vdir", [] { addFolderTree(u"T", kTreeMapi, u"http://exch01/"); }, E_INVALIDARG},
      {"root not http", [] { addFolderTree(u"T", kTreeMapi, u"file:///tmp/x"); }, E_INVALIDARG},
  };
  for (const Refusal& row : rows) {
    auto f = korvane::testing::thrownBy(row.call);
    EXPECT_EQ(f.code, row.code) << row.what << ": " << toUtf8(f.description);
  }
  EXPECT_EQ(listServers(), std::vector<Text>{u"EXCH01"});
  EXPECT_EQ(storageGroups(u"EXCH01").size(), 1u);
  EXPECT_TRUE(storageGroups(u"EXCH01")[0].publicStores.empty());
  EXPECT_EQ(folderTrees().size(), 1u);
}

struct UrlRow {
  Text server, group, store, url;
};

TEST(ExchangeUrls, EscapeNamesAndParseBack) {
  TempServer server;
  const UrlRow rows[] = {
      {u"EXCH01", u"SG1", u"Public Folder Store (EXCH01)",
       u"LDAP://CN=Public Folder Store (EXCH01),CN=SG1,CN=InformationStore,CN=EXCH01,CN=Servers"},
      {u"EXCH02", u"Sales, East", u"=Store+1",
       u"LDAP://CN=\\=Store\\+1,CN=Sales\\, East,CN=InformationStore,CN=EXCH02,CN=Servers"},
      {u"EXCH03", u" lead", u"trail ", u"LDAP://CN=trail\\ ,CN=\\ lead,CN=InformationStore,CN=EXCH03,CN=Servers"},
  };
  addFolderTree(u"Tree, One", kTreeMapi, u"http://exch01/public");
  for (const UrlRow& row : rows) {
    addServer(row.server);
    addStorageGroup(row.server, row.group);
    addPublicStore(row.server, row.group, {row.store, u"Tree, One", false, kGuid});
    EXPECT_EQ(publicStoreUrl(row.server, row.group, row.store), row.url);
    auto rec = publicStoreRecord(row.url);
    ASSERT_TRUE(rec) << toUtf8(row.url);
    EXPECT_EQ(rec->name, row.store);
    EXPECT_EQ(rec->folderTreeUrl, u"LDAP://CN=Tree\\, One,CN=Folder Hierarchies");
    auto group = storageGroupRecord(storageGroupUrl(row.server, row.group));
    ASSERT_TRUE(group);
    EXPECT_EQ(group->publicStoreUrls, std::vector<Text>{row.url});
    EXPECT_TRUE(publicStoreRecord(toLowerSimple(row.url))) << "URLs compare ignoring case";
  }
  EXPECT_EQ(folderTreeRecord(u"LDAP://CN=Tree\\, One,CN=Folder Hierarchies")->rootFolderUrl, u"http://exch01/public");
  const char16_t* unknown[] = {u"", u"CN=x", u"LDAP://CN=Nope,CN=Folder Hierarchies",
                               u"LDAP://OU=Tree\\, One,CN=Folder Hierarchies", u"LDAP://CN=a\\"};
  for (const char16_t* url : unknown) {
    EXPECT_FALSE(folderTreeRecord(url)) << toUtf8(url);
    EXPECT_FALSE(storageGroupRecord(url)) << toUtf8(url);
    EXPECT_FALSE(publicStoreRecord(url)) << toUtf8(url);
  }
  // A database without a public store of its own: the managed trees answer.
  EXPECT_EQ(storeGuidFromUrl(u"http://exch01/public folders"), kGuid);
}

// A management object created by class id and opened through its data
// source, the way the setup's discovery does it.
template <typename DataSource = cdo::IDataSource>
ComPtr<IDispatch> openObject(const Guid& clsid, TextView source) {
  auto ds = createInstance<DataSource>(clsid);
  check(ds->Open(source, nullptr, 0, ado::adFailIfNotExists, 0, u"", u""));
  return ds.template query<IDispatch>();
}

// The setup's discovery walks these objects from the server to the store
// GUID (its tests cover the walk and which store it picks); a class opened
// on what is not its own kind is refused.
struct OpenRow {
  const Guid* clsid;
  std::function<Text()> source;
};

TEST_F(ExchangeTest, EachClassOpensItsOwnKindOnlyAndReadsItsReadOnlyValuesAtOpen) {
  addPublicStore(u"EXCH01", u"SG1", {u"PFS", std::nullopt, true, std::nullopt});
  auto group = [] { return storageGroupUrl(u"EXCH01", u"SG1"); };
  auto store = [] { return publicStoreUrl(u"EXCH01", u"SG1", u"PFS"); };
  const OpenRow rows[] = {
      {&CLSID_StorageGroup, store},
      {&CLSID_StorageGroup, [] { return storageGroupUrl(u"EXCH01", u"SG3"); }},
      {&CLSID_PublicStoreDB, group},
      {&CLSID_FolderTree, store},
      {&CLSID_FolderTree, [] { return Text(); }},  // a store without a tree
  };
  for (const OpenRow& row : rows) {
    auto ds = createInstance<cdo::IDataSource>(*row.clsid);
    EXPECT_EQ(ds->Open(row.source(), nullptr, 0, -1, 0, u"", u""), E_NO_SUCH_OBJECT) << toUtf8(row.source());
  }
  auto ps = openObject(CLSID_PublicStoreDB, store());
  EXPECT_EQ(getProperty(ps.get(), u"FolderTree").toText(), u"");
  // Values are read at Open; names ignore case.
  dismountPublicStore(u"exch01", u"sg1", u"pfs");
  EXPECT_EQ(getProperty(ps.get(), u"status").toInt(), kStoreOnline);
  EXPECT_EQ(getProperty(openObject(CLSID_PublicStoreDB, store()).get(), u"Status").toInt(), kStoreOffline);
  mountPublicStore(u"EXCH01", u"SG1", u"PFS");
  EXPECT_EQ(publicStoreRecord(store())->status, kStoreOnline);
  EXPECT_THROW(mountPublicStore(u"EXCH01", u"SG1", u"Nope"), ComError);

  // Properties need an open object and are read-only.
  auto ds = createInstance<cdo::IDataSource>(CLSID_FolderTree);
  Variant v;
  EXPECT_EQ(ds->GetProperty(u"TreeType", &v), ado::adErrObjectClosed);
  EXPECT_EQ(ds->GetProperty(u"Nonsense", &v), DISP_E_UNKNOWNNAME);
  Variant args[] = {Variant(folderTreeUrl(u"public folders"))};
  check(ds->Invoke(u"Open", args, &v));  // late-bound Open, like a script
  EXPECT_EQ(getProperty(ds.get(), u"TreeType").toInt(), kTreeMapi);
  EXPECT_EQ(ds->PutProperty(u"TreeType", Variant(2)), E_ACCESSDENIED);
  EXPECT_EQ(ds->Open(args[0].toText(), nullptr, 0, ado::adCreateOverwrite, 0, u"", u""), E_INVALIDARG);
}

TEST_F(ExchangeTest, DataSourceInterfacesLateBoundAccessAndServersByAnotherName) {
  addStorageGroup(u"EXCH01", u"SG2");
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
  EXPECT_EQ(server.query<IServerDataSource>()->Open(u"EXCH99", nullptr, 0, -1, 0, u"", u""), E_NO_SUCH_OBJECT);
  Text why = takeErrorInfo();
  EXPECT_NE(why.find(u"no Exchange server named 'EXCH99'"), Text::npos) << toUtf8(why);
  EXPECT_NE(why.find(u"EXCH01"), Text::npos) << "names the servers there are";
  EXPECT_EQ(viaProperty->Open(u"", nullptr, 0, -1, 0, u"", u""), E_NO_SUCH_OBJECT);
  check(viaProperty->Open(u"exch01", nullptr, 0, -1, 0, u"", u""));  // server names ignore case
  EXPECT_EQ(getProperty(viaMethod.get(), u"Name").toText(), u"EXCH01");  // the same object
  auto list = getProperty(d.get(), u"StorageGroups").objectValue().query<IDispatch>();
  EXPECT_EQ(getProperty(list.get(), u"Count").toInt(), 2);
  Variant index(1);
  EXPECT_EQ(invoke(list.get(), u"Item", std::span<const Variant>(&index, 1)).toText(),
            storageGroupUrl(u"EXCH01", u"SG2"));
  Variant out;
  Variant beyond(2);
  EXPECT_EQ(list->Invoke(u"Item", std::span<const Variant>(&beyond, 1), &out), E_INVALIDARG);
  EXPECT_THROW(listTexts(Variant(u"not a list")), ComError);
}

struct GuidRow {
  const char16_t* url;
  const Text* guid;  // nullptr: fails with `code`
  HRESULT code;
};

TEST_F(ExchangeTest, StoreGuidsAreThoseOfTheStoresHoldingTheUrlsTree) {
  addServer(u"EXCH02");
  addStorageGroup(u"EXCH02", u"SG");
  addFolderTree(u"Remote", kTreeMapi, u"http://EXCH02/Public%20Folders");
  addFolderTree(u"Apps", kTreeGeneralPurpose, u"http://exch02/apps");
  addFolderTree(u"Orphan", kTreeMapi, u"http://exch03/public");
  addPublicStore(u"EXCH02", u"SG", {u"Offline", u"Remote", false, kGuid});  // a mounted store of the tree wins
  addPublicStore(u"EXCH02", u"SG", {u"Remote Store", u"Remote", true, kRemote});
  addPublicStore(u"EXCH02", u"SG", {u"Apps Store", u"Apps", false, kApps});  // else a dismounted one answers
  const GuidRow rows[] = {
      {u"http://exch01/public folders", &kOwn, S_OK},  // the blank form
      {u"http://exch01/public%20folders", &kOwn, S_OK},
      {u"http://EXCH01/Public", &kOwn, S_OK},
      {u"http://Exch01/PUBLIC FOLDERS/Sales/Orders", &kOwn, S_OK},
      {u"HTTPS://exch01/public/", &kOwn, S_OK},
      {u"http://exch02/public folders", &kRemote, S_OK},
      {u"http://exch02/PUBLIC", &kRemote, S_OK},
      {u"http://exch02/Public%20Folders/x", &kRemote, S_OK},
      {u"http://exch02/APPS/x", &kApps, S_OK},
      {u"http://exch03/public", nullptr, E_NO_SUCH_OBJECT},  // held by no store
      {u"http://exch01/other", nullptr, E_NO_SUCH_OBJECT},
      {u"http://exch09/public", nullptr, E_NO_SUCH_OBJECT},
      {u"ftp://exch01/public", nullptr, E_INVALIDARG},
      {u"http://exch01", nullptr, E_INVALIDARG},
      {u"http://exch01/", nullptr, E_INVALIDARG},
      {u"http:///public", nullptr, E_INVALIDARG},
      {u"", nullptr, E_INVALIDARG},
  };
  auto service = createInstance<IStoreGuidFromUrl>(CLSID_StoreGuidFromUrl);
  for (const GuidRow& row : rows) {
    SCOPED_TRACE(toUtf8(row.url));
    Text guid;
    HRESULT h = service->StoreGuidFromUrl(row.url, &guid);
    if (row.guid) {
      EXPECT_EQ(h, S_OK) << toUtf8(takeErrorInfo());
      EXPECT_EQ(guid, *row.guid);
    } else {
      EXPECT_EQ(h, row.code);
      EXPECT_FALSE(takeErrorInfo().empty());
    }
  }
  // Late bound, as a script calls it.
  Variant url(u"http://exch01/public folders");
  EXPECT_EQ(invoke(service.query<IDispatch>().get(), u"StoreGuidFromUrl", std::span<const Variant>(&url, 1)).toText(),
            kOwn);
}

} // namespace
} // namespace korvane::exchange
