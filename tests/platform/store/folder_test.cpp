#include "platform/store/cdo.h"

#include "store_fixture.h"
#include "support/other_process.h"

namespace korvane::store {
namespace {

using namespace testing;
using korvane::testing::OtherProcess;

class CdoFolder : public StoreTest {
protected:
  void SetUp() override {
    StoreTest::SetUp();
    FolderSpec spec;
    spec.path = u"Sales";
    spec.description = u"<ORIGMSGCL>IPM.Note</ORIGMSGCL><TargetMsgCl>IPM.Note.X</TargetMsgCl>";
    createFolder(spec);
    save(u"Sales", u"Order.EML", {});
  }

  // The folder object as the sink reaches it: late-bound GetInterface.
  static std::pair<ComPtr<IDispatch>, ComPtr<cdo::IDataSource>> folderObject() {
    auto f = createInstance<IDispatch>(u"CDO.Folder");
    const Variant which[] = {Variant(u"IDataSource")};
    auto ds = invoke(f.get(), u"GetInterface", which).objectValue().as<cdo::IDataSource>();
    return {f, ds};
  }
};

TEST_F(CdoFolder, ShowsTheDescriptionOfTheOpenedFolderAsItIsWhenFirstAskedOrEmptyText) {
  folder(u"Plain");
  auto [f, ds] = folderObject();
  ASSERT_TRUE(ds);
  check(ds->Open(url(u"Plain"), nullptr, 0, -1, 0, u"", u""));
  EXPECT_EQ(getProperty(f.get(), u"Description"), Variant(u""));
  check(ds->Open(u"http://exch01/Public/", nullptr, 1, -1, 0, u"", u""));
  EXPECT_EQ(getProperty(f.get(), u"Description"), Variant(u""));

  // A folder is shown as it is when first asked, and one deleted since is reported.
  check(ds->Open(u"http://exch01/Public/Sales/", nullptr, 0, -1, 0, u"", u""));
  setFolderProperties(u"Sales", {{prop::description, Variant(u"changed")}});
  EXPECT_EQ(getProperty(f.get(), u"Description"), Variant(u"changed"));
  EXPECT_EQ(getProperty(f.get(), u"displayname"), Variant(u"Sales"));
  check(ds->Open(url(u"Plain"), nullptr, 0, -1, 0, u"", u""));
  deleteItem(u"Plain");
  Variant v;
  EXPECT_EQ(failure(f->GetProperty(u"Description", &v)), ado::adErrResourceNotFound);
}

// A process keeps the folders it has opened and read; what another process
// changed is seen by its next folder object.
TEST_F(CdoFolder, AFolderChangedByAnotherProcessIsSeenAsItIsNow) {
  auto spec = [](TextView path, TextView description) {
    FolderSpec s;
    s.path = Text(path);
    s.description = Text(description);
    return s;
  };
  struct Row {
    const char16_t* folder;
    std::function<void()> change;
    HRESULT opens;
    const char16_t* description;
  };
  const Row rows[] = {
      {u"Described", [] { setFolderProperties(u"Described", {{prop::description, Variant(u"new")}}); }, S_OK, u"new"},
      {u"Closed", [] { setFolderAccess(u"Closed", Access::None); }, E_ACCESSDENIED, nullptr},
      {u"Removed", [] { deleteItem(u"Removed"); }, ado::adErrResourceNotFound, nullptr},
      {u"Remade", [&] {
         deleteItem(u"Remade");
         createFolder(spec(u"Remade", u"new"));
       }, S_OK, u"new"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(toUtf8(row.folder));
    createFolder(spec(row.folder, u"old"));
    OtherProcess other(row.change);
    auto [before, opened] = folderObject();
    check(opened->Open(url(row.folder), nullptr, 0, -1, 0, u"", u""));
    EXPECT_EQ(getProperty(before.get(), u"Description"), Variant(u"old"));
    other.run();
    auto [f, ds] = folderObject();
    ASSERT_EQ(failure(ds->Open(url(row.folder), nullptr, 0, -1, 0, u"", u"")), row.opens);
    if (row.description) {
      EXPECT_EQ(getProperty(f.get(), u"Description"), Variant(row.description));
    }
  }
}

struct FolderOpenRow {
  const char16_t* what;
  const char16_t* url;
  std::int32_t mode;
  std::int32_t create;
  HRESULT expected;
};

TEST_F(CdoFolder, OpenRefusesWhatIsNotAReachableFolder) {
  folder(u"Archive", u"", Access::ReadOnly);
  folder(u"Secret", u"", Access::None);
  const FolderOpenRow rows[] = {
      {u"missing folder", u"http://exch01/Public/Nothing", 0, -1, ado::adErrResourceNotFound},
      {u"an item", u"http://exch01/Public/Sales/Order.EML", 0, -1, E_NOT_A_FOLDER},
      {u"read-only folder, read", u"http://exch01/Public/Archive", 1, -1, S_OK},
      {u"read-only folder, read/write", u"http://exch01/Public/Archive", 3, -1, E_ACCESSDENIED},
      {u"closed folder, read", u"http://exch01/Public/Secret", 0, -1, E_ACCESSDENIED},
      {u"create options other than -1", u"http://exch01/Public/Sales", 0, 0, E_INVALIDARG},
      {u"another server", u"http://exch02/Public/Sales", 0, -1, E_NOT_THIS_SERVER},
  };
  for (const auto& row : rows) {
    auto [f, ds] = folderObject();
    EXPECT_EQ(failure(ds->Open(row.url, nullptr, row.mode, row.create, 0, u"", u"")), row.expected) << toUtf8(row.what);
  }
}

TEST_F(CdoFolder, TheDataSourcePropertyOpensThroughAGivenStoreConnectionAndAnUnboundFolderHasNoDescription) {
  auto f = createInstance<IDispatch>(u"CDO.Folder");
  Variant v;
  EXPECT_EQ(failure(f->GetProperty(u"Description", &v)), E_UNEXPECTED);
  const Variant which[] = {Variant(u"IMessage")};
  EXPECT_EQ(failure(f->Invoke(u"GetInterface", which, &v)), E_NOINTERFACE);
  auto ds = getProperty(f.get(), u"DataSource").objectValue().as<cdo::IDataSource>();
  ASSERT_TRUE(ds);
  auto closed = createInstance<ado::IConnection>(u"ADODB.Connection");
  EXPECT_EQ(failure(ds->Open(url(u"Sales"), closed.get(), 3, -1, 0, u"", u"")), ado::adErrInvalidConnection);
  check(ds->Open(url(u"Sales"), openConnection(url(u"Sales")).get(), 3, -1, 0, u"", u""));
  EXPECT_EQ(getProperty(f.get(), u"Description").textValue().substr(0, 11), u"<ORIGMSGCL>");
}

} // namespace
} // namespace korvane::store
