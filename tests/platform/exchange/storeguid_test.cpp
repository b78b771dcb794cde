#include "platform/exchange/storeguid.h"

#include <gtest/gtest.h>

#include "platform/com/runtime.h"
#include "platform/exchange/exchange.h"
#include "platform/store/store.h"
#include "support/temp_server.h"

namespace korvane::exchange {
namespace {

using korvane::testing::TempServer;

const Text kOwn = u"{0A0B0C0D-1111-2222-3333-444455556666}";
const Text kRemote = u"{22222222-0000-0000-0000-000000000002}";
const Text kApps = u"{33333333-0000-0000-0000-000000000003}";

class StoreGuidTest : public ::testing::Test {
protected:
  void SetUp() override {
    store::createServer(server_.serverPath(), {u"exch01", u"corp.example.com", kOwn});
    addServer(u"EXCH02");
    addStorageGroup(u"EXCH02", u"SG");
    addFolderTree(u"Remote", kTreeMapi, u"http://EXCH02/Public%20Folders");
    addFolderTree(u"Apps", kTreeGeneralPurpose, u"http://exch02/apps");
    addFolderTree(u"Orphan", kTreeMapi, u"http://exch03/public");
    addPublicStore(u"EXCH02", u"SG", {u"Remote Store", u"Remote", true, kRemote});
    addPublicStore(u"EXCH02", u"SG", {u"Apps Store", u"Apps", true, kApps});
  }
  TempServer server_{false};
};

struct GuidRow {
  const char16_t* url;
  const Text* guid;  // nullptr: fails with `code`
  HRESULT code;
};

TEST_F(StoreGuidTest, UrlsMapToTheirStore) {
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

TEST(StoreGuidWithoutStore, ManagedTreesStillAnswer) {
  TempServer server;  // a database without a public store
  addServer(u"EXCH01");
  addStorageGroup(u"EXCH01", u"SG");
  addFolderTree(u"Public Folders", kTreeMapi, u"http://exch01/public");
  addPublicStore(u"EXCH01", u"SG", {u"PFS", u"Public Folders", true, kRemote});
  EXPECT_EQ(storeGuidFromUrl(u"http://exch01/public folders"), kRemote);
}

} // namespace
} // namespace korvane::exchange
