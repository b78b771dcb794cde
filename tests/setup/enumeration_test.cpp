#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "platform/complus/admin.h"
#include "platform/store/store.h"
#include "setup/discovery/discovery.h"
#include "setup/folders/enumeration.h"
#include "setup/registration/items.h"
#include "support/server_fixture.h"

namespace korvane::setup {
namespace {

struct RecordingHooks : WindowHooks {
  void lockListRedraw(bool lock) override { locks += lock ? 1 : -1; }
  void progressChanged() override { ++repaints; }
  void processEvents() override { ++events; }
  int locks = 0, repaints = 0, events = 0;
};

class Enumeration : public testing::ServerFixture {
protected:
  void SetUp() override {
    ServerFixture::SetUp();
    server::addSampleContent();
    form.hooks = &hooks;
    runDiscovery(form);
  }
  std::vector<Text> paths() const {
    std::vector<Text> out;
    for (const auto& row : form.ui.ListView1.rows) out.push_back(row.text);
    return out;
  }
  const ListRow& row(TextView path) const {
    for (const auto& r : form.ui.ListView1.rows)
      if (r.text == path) return r;
    throw std::runtime_error("no row " + toUtf8(path));
  }
  void registerOn(TextView path) {
    if (complus::Catalog().listApplications().empty())
      complus::Catalog().installApplication(u"Korvane", (workDir() / "Korvane.dll").u16string(), u"", u"",
                                            Text(u"IPM.Note\r*\r65223"));
    CreateRegItem(form.ui.txtErr, form.strPublicRoot + Text(path), u"", kRegItemName, kEventMethod, kSinkClass,
                  u"SHALLOW", kCriteria, u"65223", true);
  }
  InstallForm form;
  RecordingHooks hooks;
};

TEST_F(Enumeration, SampleTreeListsMailEnabledFoldersChildrenFirst) {
  GetPublicFolders(form);
  EXPECT_EQ(paths(), (std::vector<Text>{u"Contacts", u"Forms", u"Sales/Orders", u"Sales/Quotes", u"Sales",
                                         u"Support/Bob's Escalations", u"Support/Tickets", u"Team Calendar"}));
  const ListRow& orders = row(u"Sales/Orders");
  EXPECT_EQ(orders.key, u"http://exch01/Public/Sales/Orders");
  EXPECT_EQ(orders.subItem1, u"Orders");
  EXPECT_EQ(orders.subItem2, u"orders@corp.example.com");
  EXPECT_EQ(orders.smallIcon, u"folder1");
  EXPECT_EQ(row(u"Team Calendar").smallIcon, u"calendarfolder");
  EXPECT_EQ(row(u"Contacts").smallIcon, u"contactfolder");
  for (const auto& r : form.ui.ListView1.rows) EXPECT_FALSE(r.checked) << toUtf8(r.text);
  EXPECT_TRUE(form.blnListReady);
  EXPECT_EQ(form.ui.mousePointer, Default);
  EXPECT_TRUE(form.ui.txtErr.text.empty()) << toUtf8(form.ui.txtErr.text);
}

TEST_F(Enumeration, RegisteredFoldersAreChecked) {
  registerOn(u"Sales/Orders");
  registerOn(u"Support/Bob's Escalations");
  GetPublicFolders(form);
  EXPECT_TRUE(row(u"Sales/Orders").checked);
  EXPECT_TRUE(row(u"Support/Bob's Escalations").checked);
  EXPECT_FALSE(row(u"Sales").checked);
}

TEST_F(Enumeration, ProgressCountsTheFirstLevelAndTheBoxIsHiddenAfterwards) {
  GetPublicFolders(form);
  EXPECT_EQ(form.ui.Picture1.scaleWidth, 5);  // the visible top-level folders
  EXPECT_EQ(form.lngProgress, 5);
  EXPECT_FALSE(form.ui.Picture1.visible);
  EXPECT_GE(hooks.events, 5);
  EXPECT_EQ(hooks.locks, 0);  // every lock released
}

TEST_F(Enumeration, UpdateStatusClampsAtTheScale) {
  form.ui.Picture1.scaleWidth = 4;
  form.lngProgress = 3;
  UpdateStatus(form, 1);
  EXPECT_EQ(form.ui.Picture1.percentText, u"100%");
  UpdateStatus(form, 5);
  EXPECT_EQ(form.lngProgress, 4);
  EXPECT_EQ(form.ui.Picture1.percentText, u"100%");
  EXPECT_EQ(form.ui.Picture1.filledWidth, 4);
  form.lngProgress = 0;
  form.ui.Picture1.scaleWidth = 3;
  UpdateStatus(form, 1);
  EXPECT_EQ(form.ui.Picture1.percentText, u"33%");
}

TEST_F(Enumeration, AFillStartedInsideAFillListsEveryFolderOnce) {
  GetPublicFolders(form);
  const std::size_t folders = form.ui.ListView1.rows.size();
  struct Nesting : WindowHooks {
    void processEvents() override {
      if (std::exchange(nested, true)) return;
      GetPublicFolders(*form);
    }
    InstallForm* form = nullptr;
    bool nested = false;
  } nesting;
  nesting.form = &form;
  form.hooks = &nesting;
  GetPublicFolders(form);
  std::set<Text> keys;
  for (const auto& r : form.ui.ListView1.rows) keys.insert(r.key);
  EXPECT_EQ(form.ui.ListView1.rows.size(), folders);
  EXPECT_EQ(keys.size(), folders);
}

TEST_F(Enumeration, FoldersWithTheSameNameInTwoBranchesGiveTwoRows) {
  store::createFolder(testing::mailFolder(u"Support/Orders", u"support-orders@corp.example.com"));
  GetPublicFolders(form);
  EXPECT_EQ(row(u"Support/Orders").key, u"http://exch01/Public/Support/Orders");
  EXPECT_EQ(row(u"Sales/Orders").key, u"http://exch01/Public/Sales/Orders");
}

TEST_F(Enumeration, FirstFolderOfALevelThatCannotBeOpenedHidesItsParent) {
  store::createFolder(testing::mailFolder(u"Forms/Locked", u"locked@corp.example.com", store::Access::None));
  GetPublicFolders(form);
  auto p = paths();
  EXPECT_EQ(std::count(p.begin(), p.end(), u"Forms"), 0);
  EXPECT_EQ(std::count(p.begin(), p.end(), u"Forms/Locked"), 0);
  EXPECT_EQ(std::count(p.begin(), p.end(), u"Sales"), 1);
}

TEST_F(Enumeration, NamesWithQuotesAndApostrophesAreListed) {
  store::createFolder(testing::mailFolder(u"Say \"Hi\"", u"hi@corp.example.com"));
  store::createFolder(testing::mailFolder(u"Say \"Hi\"/Kid's", u"kid@corp.example.com"));
  GetPublicFolders(form);
  EXPECT_EQ(row(u"Say \"Hi\"/Kid's").key, u"http://exch01/Public/Say \"Hi\"/Kid's");
  EXPECT_EQ(row(u"Say \"Hi\"").subItem2, u"hi@corp.example.com");
}

TEST_F(Enumeration, AQueryThatFailsAtTheRootLeavesTheListEmpty) {
  ListRow stale;
  stale.key = u"stale";
  form.ui.ListView1.rows.push_back(stale);
  form.strPublicRoot = u"http://elsewhere/Public/";
  GetPublicFolders(form);
  EXPECT_TRUE(form.ui.ListView1.rows.empty());
  EXPECT_TRUE(form.blnListReady);
}

TEST(EnumerationQuery, IsSentCharacterForCharacter) {
  EXPECT_EQ(folderLevelQuery(u"http://S/Public/"),
            u"select \"DAV:displayname\", \"DAV:hassubs\",  \"DAV:parentname\", \"DAV:contentclass\", \"DAV:href\", "
            u"\"DAV:childcount\",  \"http://schemas.microsoft.com/exchange/publicfolderemailaddress\",  "
            u"\"http://schemas.microsoft.com/mapi/proptag/x0fff0102\" From  scope('shallow traversal of "
            u"\"http://S/Public/\"') where \"DAV:ishidden\" = False and \"DAV:isfolder\" = True  ORDER BY "
            u"\"DAV:displayname\" ");
}

TEST(ImageKeys, FollowTheContentClassExactly) {
  EXPECT_EQ(folderImageKey(u"urn:content-classes:calendarfolder"), u"calendarfolder");
  EXPECT_EQ(folderImageKey(u"urn:content-classes:taskfolder"), u"taskfolder");
  EXPECT_EQ(folderImageKey(u"urn:content-classes:journalfolder"), u"journalfolder");
  EXPECT_EQ(folderImageKey(u"urn:content-classes:notefolder"), u"notefolder");
  EXPECT_EQ(folderImageKey(u"URN:content-classes:calendarfolder"), u"folder1");
  EXPECT_EQ(folderImageKey(u"urn:content-classes:mailfolder"), u"folder1");
  EXPECT_EQ(folderImageKey(u""), u"folder1");
}

} // namespace
} // namespace korvane::setup
