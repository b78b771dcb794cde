#include "platform/exchange/exchange.h"

#include <gtest/gtest.h>

#include <functional>

#include "support/temp_server.h"
#include "tests/platform/com/failure.h"

namespace korvane::exchange {
namespace {

using korvane::testing::TempServer;

const Text kGuid = u"{11111111-2222-3333-4444-555555555555}";

class ExchangeTest : public ::testing::Test {
protected:
  void SetUp() override {
    addServer(u"EXCH01");
    addFolderTree(u"Public Folders", kTreeMapi, u"http://exch01/public");
    addStorageGroup(u"EXCH01", u"First Storage Group");
  }
  TempServer server_;
};

TEST_F(ExchangeTest, GroupsAndStoresKeepTheirOrder) {
  addStorageGroup(u"EXCH01", u"Second Storage Group");
  addPublicStore(u"EXCH01", u"Second Storage Group", {u"B", u"Public Folders", true, std::nullopt});
  addPublicStore(u"EXCH01", u"Second Storage Group", {u"A", std::nullopt, false, kGuid});
  auto groups = storageGroups(u"exch01");
  ASSERT_EQ(groups.size(), 2u);
  EXPECT_EQ(groups[0].name, u"First Storage Group");
  EXPECT_TRUE(groups[0].publicStores.empty());
  ASSERT_EQ(groups[1].publicStores.size(), 2u);
  EXPECT_EQ(groups[1].publicStores[0].name, u"B");
  EXPECT_EQ(groups[1].publicStores[0].folderTree, Text(u"Public Folders"));
  EXPECT_EQ(groups[1].publicStores[0].guid.size(), 38u);  // a new braced GUID
  EXPECT_EQ(groups[1].publicStores[1].guid, kGuid);
  EXPECT_FALSE(groups[1].publicStores[1].mounted);
  EXPECT_FALSE(groups[1].publicStores[1].folderTree);
  EXPECT_EQ(groups[1].url, u"LDAP://CN=Second Storage Group,CN=InformationStore,CN=EXCH01,CN=Servers");
  // New GUIDs differ; given ones are braced and upper case.
  addPublicStore(u"EXCH01", u"First Storage Group", {u"C", std::nullopt, true, std::nullopt});
  addPublicStore(u"EXCH01", u"First Storage Group", {u"D", std::nullopt, true, u"aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee"});
  auto first = storageGroups(u"EXCH01")[0].publicStores;
  EXPECT_NE(first[0].guid, groups[1].publicStores[0].guid);
  EXPECT_EQ(first[1].guid, u"{AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE}");
}

TEST_F(ExchangeTest, MountAndDismount) {
  addPublicStore(u"EXCH01", u"First Storage Group", {u"Public Folder Store", u"Public Folders", true, kGuid});
  Text url = publicStoreUrl(u"EXCH01", u"First Storage Group", u"Public Folder Store");
  EXPECT_EQ(publicStoreRecord(url)->status, kStoreOnline);
  dismountPublicStore(u"exch01", u"first storage group", u"public folder store");
  EXPECT_EQ(publicStoreRecord(url)->status, kStoreOffline);
  mountPublicStore(u"EXCH01", u"First Storage Group", u"Public Folder Store");
  EXPECT_EQ(publicStoreRecord(url)->status, kStoreOnline);
  EXPECT_THROW(mountPublicStore(u"EXCH01", u"First Storage Group", u"Nope"), ComError);
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
      {"duplicate group", [] { addStorageGroup(u"EXCH01", u"FIRST storage group"); }, E_OBJECT_EXISTS},
      {"blank group", [] { addStorageGroup(u"EXCH01", u"  "); }, E_INVALIDARG},
      {"store on a missing tree",
       [] { addPublicStore(u"EXCH01", u"First Storage Group", {u"S", u"Nope", true, std::nullopt}); },
       E_NO_SUCH_OBJECT},
      {"store with a bad GUID",
       [] { addPublicStore(u"EXCH01", u"First Storage Group", {u"S", std::nullopt, true, u"{xyz}"}); },
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

TEST_F(ExchangeTest, RemovalCascadesAndLeavesStoresWithoutTree) {
  addPublicStore(u"EXCH01", u"First Storage Group", {u"S", u"Public Folders", true, kGuid});
  EXPECT_TRUE(removeFolderTree(u"PUBLIC FOLDERS"));
  EXPECT_FALSE(storageGroups(u"EXCH01")[0].publicStores[0].folderTree);
  EXPECT_TRUE(removePublicStore(u"EXCH01", u"First Storage Group", u"s"));
  EXPECT_FALSE(removePublicStore(u"EXCH01", u"First Storage Group", u"s"));
  addPublicStore(u"EXCH01", u"First Storage Group", {u"S", std::nullopt, true, kGuid});
  EXPECT_TRUE(removeServer(u"exch01"));
  EXPECT_TRUE(listServers().empty());
  auto s = db::Database::current().prepare("SELECT count(*) FROM ex_store");
  s.step();
  EXPECT_EQ(s.integer(0), 0);
}

struct UrlRow {
  Text server, group, store, url;
};

TEST(ExchangeUrls, EscapeNamesAndParseBack) {
  TempServer server;
  const UrlRow rows[] = {
      {u"EXCH01", u"First Storage Group", u"Public Folder Store (EXCH01)",
       u"LDAP://CN=Public Folder Store (EXCH01),CN=First Storage Group,CN=InformationStore,CN=EXCH01,CN=Servers"},
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
    EXPECT_EQ(rec->status, kStoreOffline);
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
}

TEST_F(ExchangeTest, StoreOfATreePrefersAMountedOne) {
  addPublicStore(u"EXCH01", u"First Storage Group", {u"Offline", u"Public Folders", false, std::nullopt});
  EXPECT_EQ(storeOfTree(u"Public Folders")->name, u"Offline");
  addPublicStore(u"EXCH01", u"First Storage Group", {u"Online", u"Public Folders", true, std::nullopt});
  EXPECT_EQ(storeOfTree(u"public folders")->name, u"Online");
  EXPECT_FALSE(storeOfTree(u"Other"));
}

} // namespace
} // namespace korvane::exchange
