#include "platform/store/url.h"

#include "platform/store/tree.h"
#include "store_fixture.h"

namespace korvane::store {
namespace {

// URLs are composed and split through the resolver below and the store's
// folder calls; only the outer slashes of a path are shown here.
TEST(FolderPath, OuterSlashesAreIgnored) {
  EXPECT_EQ(splitFolderPath(u"/Sales/Orders/"), (std::vector<Text>{u"Sales", u"Orders"}));
}

class Resolve : public testing::StoreTest {};

struct ResolveRow {
  const char16_t* url;
  const char16_t* expected;  // canonical URL of the node found; null: nothing there
};

TEST_F(Resolve, FindsFoldersThroughEverySpellingOfTheTreeWhereNamesAreUniqueIgnoringCase) {
  folder(u"Sales");
  folder(u"Sales/Bob's \"Orders\"");
  folder(u"Ünïcødé");
  folder(u"Ünïcødé/Ελληνικά");
  folder(u"100% done");
  const ResolveRow rows[] = {
      {u"http://exch01/Public/Sales", u"http://exch01/Public/Sales"},
      {u"http://EXCH01/public/sales/", u"http://exch01/Public/Sales"},
      {u"http://exch01/public folders/SALES", u"http://exch01/Public/Sales"},
      {u"http://exch01/PUBLIC%20FOLDERS/Sales/", u"http://exch01/Public/Sales"},
      {u"http://exch01/Public/Sales/bob's \"orders\"", u"http://exch01/Public/Sales/Bob's \"Orders\""},
      {u"http://exch01/Public/ÜNÏCØDÉ", u"http://exch01/Public/Ünïcødé"},
      {u"http://exch01/Public/100% done", u"http://exch01/Public/100% done"},
      {u"http://exch01/Public/100%25 done", nullptr},  // no percent decoding
      {u"http://exch01/Public/Ünïcødé/Ελληνικά", u"http://exch01/Public/Ünïcødé/Ελληνικά"},
      {u"http://exch01/Public/Sales/Missing", nullptr},
      {u"http://exch01/Public/", u"http://exch01/Public"},
  };
  for (const auto& row : rows) {
    tree::Target t = tree::resolve(row.url);
    if (!row.expected) {
      EXPECT_FALSE(t.node.has_value()) << toUtf8(row.url);
      continue;
    }
    ASSERT_TRUE(t.node.has_value()) << toUtf8(row.url);
    EXPECT_EQ(tree::urlOf(*t.node), row.expected) << toUtf8(row.url);
  }
  // A missing item's folder is found, for the item to be made there.
  tree::Target t = tree::resolve(u"http://exch01/Public/Sales/New.EML");
  EXPECT_FALSE(t.node);
  ASSERT_TRUE(t.parent);
  EXPECT_EQ(t.parent->name, u"Sales");
  EXPECT_EQ(t.name, u"New.EML");
  EXPECT_FALSE(tree::resolve(u"http://exch01/Public/Nothing/New.EML").parent);
  // As they are found, names are unique per folder ignoring case; another folder may hold the same name.
  folder(u"Straße");
  EXPECT_THROW(folder(u"STRASSE"), ComError);
  folder(u"Sales/Straße");
  EXPECT_EQ(listFolders().size(), 7u + 3u);  // the refused one is not among them; three system folders are
}

TEST_F(Resolve, RefusesUrlsOfAnotherServerOrTreeAndMalformedOnes) {
  for (const char16_t* u : {u"http://exch02/Public/Sales", u"http://exch01/Exchange/Sales", u"Sales", u"",
                            u"http://exch01/Public/Sales//Orders", u"http://exch01/Public//", u"https://exch01/Public/Sales",
                            u"http://exch01", u"http:///Public", u"file://./backofficestorage/Public"}) {
    try {
      tree::resolve(u);
      ADD_FAILURE() << toUtf8(u);
    } catch (const ComError& e) {
      EXPECT_EQ(e.code(), E_NOT_THIS_SERVER) << toUtf8(u);
      EXPECT_NE(e.description().find(u"exch01"), Text::npos) << toUtf8(e.description());
    }
  }
}

} // namespace
} // namespace korvane::store
