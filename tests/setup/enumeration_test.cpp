#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "platform/store/store.h"
#include "setup/discovery/discovery.h"
#include "setup/folders/enumeration.h"
#include "support/server_fixture.h"

namespace korvane::setup {
namespace {

class Enumeration : public testing::ServerFixture {
protected:
  void SetUp() override {
    ServerFixture::SetUp();
    server::addSampleContent();
    runDiscovery(form);
  }
  // The keys of the rows that show `path`.
  std::vector<Text> keysOf(TextView path) const {
    std::vector<Text> out;
    for (const auto& r : form.ui.ListView1.rows)
      if (r.text == path) out.push_back(r.key);
    return out;
  }
  InstallForm form;
};

TEST(UpdateStatus, ClampsAtTheScale) {
  InstallForm form;
  form.ui.Picture1.scaleWidth = 4;
  form.lngProgress = 3;
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
  EXPECT_EQ(keysOf(u"Support/Orders"), std::vector<Text>{u"http://exch01/Public/Support/Orders"});
  EXPECT_EQ(keysOf(u"Sales/Orders"), std::vector<Text>{u"http://exch01/Public/Sales/Orders"});
}

TEST_F(Enumeration, FirstFolderOfALevelThatCannotBeOpenedHidesItsParent) {
  store::createFolder(testing::mailFolder(u"Forms/Locked", u"locked@corp.example.com", store::Access::None));
  GetPublicFolders(form);
  EXPECT_TRUE(keysOf(u"Forms").empty());
  EXPECT_TRUE(keysOf(u"Forms/Locked").empty());
  EXPECT_EQ(keysOf(u"Sales").size(), 1u);
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

TEST(ImageKeys, FollowTheContentClassExactly) {
  for (const Text kind : {u"calendarfolder", u"taskfolder", u"journalfolder", u"notefolder"})
    EXPECT_EQ(folderImageKey(u"urn:content-classes:" + kind), kind);
  EXPECT_EQ(folderImageKey(u"URN:content-classes:calendarfolder"), u"folder1");
  EXPECT_EQ(folderImageKey(u"urn:content-classes:mailfolder"), u"folder1");
  EXPECT_EQ(folderImageKey(u""), u"folder1");
}

} // namespace
} // namespace korvane::setup
