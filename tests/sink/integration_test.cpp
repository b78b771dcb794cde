// The whole road of a delivered item: the real Korvane.dll installed into a
// COM+ application with a constructor string, registration items that bind
// it to a folder or to the whole store, and items delivered or saved
// through the store's event service; folder pairs in any script, a 1 MB
// description and 10,000 configured pairs among them.
#include <gtest/gtest.h>

#include "support/delivery_fixture.h"

namespace korvane {
namespace {

namespace prop = store::prop;
using store::Properties;

const Text kDefaultCtor = u"IPM.Note\r*\r65223";

Properties mail(const Text& subject, const Text& messageClass) {
  return Properties{{prop::subject, Variant(subject)}, {prop::messageClass, Variant(messageClass)}};
}

// A server with the folders "Sales" and "Support"; the sink is installed by
// each test with the constructor string it needs.
class Delivery : public testing::DeliveryFixture {
protected:
  void SetUp() override {
    DeliveryFixture::SetUp();
    store::createFolder(testing::mailFolder(u"Sales", u"sales@corp.example.com"));
    store::createFolder(testing::mailFolder(u"Support", u"support@corp.example.com"));
  }
  void TearDown() override {
    shutdownRuntime();  // the application's host processes end with the test
    DeliveryFixture::TearDown();
  }
  void describeSales(const Text& description) {
    store::setFolderProperties(u"Sales", Properties{{prop::description, Variant(description)}});
  }
  Text classAfter(const Text& messageClass) {
    return storedClass(store::deliver(u"Sales", mail(u"Mail", messageClass))).value_or(u"(deleted)");
  }
};

// One delivery; each row names how the sink is installed and registered, the
// folder's description and the delivered class.
struct RoadRow {
  const char* name;
  std::optional<Text> ctor;  // nothing: construction is not enabled
  bool storeWide;            // registered in GlobalEvents and delivered to "Support", else on "Sales"
  Text description;          // of "Sales"
  Text messageClass;
  std::optional<Text> stored;  // nothing: the sink deleted the item
};

void PrintTo(const RoadRow& row, std::ostream* os) { *os << row.name; }

class Road : public Delivery, public ::testing::WithParamInterface<RoadRow> {};

TEST_P(Road, DeliveredItemIsRewrittenOrDeletedAsConfigured) {
  const RoadRow& row = GetParam();
  install(row.ctor);
  ASSERT_FALSE((row.storeWide ? registerStoreWide() : registerOn(folderUrl(u"Sales"))).empty());
  if (!row.description.empty()) describeSales(row.description);
  auto delivered = store::deliver(row.storeWide ? u"Support" : u"Sales", mail(u"Order", row.messageClass));
  EXPECT_EQ(storedClass(delivered), row.stored);
  expectNoEvents();
}

INSTANTIATE_TEST_SUITE_P(
    Rows, Road,
    ::testing::Values(
        RoadRow{"default_pair_rewrites", kDefaultCtor, false, u"", u"IPM.Post", u"IPM.Note"},
        RoadRow{"null_deletes", u"NULL, NULL\rIPM.Fax, IPM.Junk", false, u"", u"IPM.Fax", std::nullopt},
        RoadRow{"folder_pair_overrides", kDefaultCtor, false,
                u"Orders <ORIGMSGCL>IPM.Post</ORIGMSGCL><TargetMsgCl>IPM.Note.Order</TargetMsgCl>", u"IPM.Post",
                u"IPM.Note.Order"},
        RoadRow{"without_construction_no_pairs", std::nullopt, false, u"", u"IPM.Post", u"IPM.Post"},
        RoadRow{"store_wide_watches_support", kDefaultCtor, true, u"", u"IPM.Post", u"IPM.Note"},
        // A folder pair outside the BMP, matched ignoring letter case, and
        // written back whole by the sink in its host.
        RoadRow{"outside_the_bmp", kDefaultCtor, false,
                u"<origmsgcl>IPM.𐐀*</origmsgcl><targetmsgcl>IPM.Deseret.𐐨</targetmsgcl>", u"ipm.𐐨bc",
                u"IPM.Deseret.𐐨"}));

// A description of 1 MB, mixed scripts and pairs of surrogates, with the
// tags at its end, at its start, or only half of them.
TEST_F(Delivery, AOneMegabyteDescriptionWorksLikeAShortOne) {
  install(kDefaultCtor);
  ASSERT_EQ(registerOn(folderUrl(u"Sales")), folderUrl(u"Sales")) << toUtf8(regLog.text);
  Text filler;
  while (filler.size() < 1024 * 1024) filler += u"Ж λ é 📬 text ";
  filler.resize(1024 * 1024);
  const Text pair = u"<origmsgcl>IPM.Post</origmsgcl><targetmsgcl>IPM.Note.Big</targetmsgcl>";

  describeSales(filler + pair);
  EXPECT_EQ(classAfter(u"IPM.Post"), u"IPM.Note.Big");
  EXPECT_EQ(classAfter(u"IPM.Other"), u"IPM.Other");  // the folder's pair replaces the configured

  describeSales(pair + filler);
  EXPECT_EQ(classAfter(u"IPM.Post"), u"IPM.Note.Big");

  const Text half = filler + u"<origmsgcl>IPM.Post</origmsgcl>";
  describeSales(half);
  EXPECT_EQ(classAfter(u"IPM.Post"), u"IPM.Note");
  EXPECT_EQ(store::findFolder(u"Sales").value().description, half);
}

// 10,000 pairs: the last one still applies, and a class that none of them
// matches is left alone after all 10,000 passes.
TEST_F(Delivery, TenThousandPairsAreWalkedToTheEnd) {
  constexpr int kPairs = 10'000;
  Text newClasses, patterns;
  for (int i = 0; i < kPairs; ++i) {
    Text n = fromUtf8(std::to_string(i));
    newClasses += (i ? u"\t" : u"") + (u"IPM.Новый." + n);
    patterns += (i ? u"\t" : u"") + (u"IPM.Class." + n);
  }
  install(newClasses + u"\r" + patterns + u"\r65223");
  ASSERT_EQ(registerOn(folderUrl(u"Sales")), folderUrl(u"Sales")) << toUtf8(regLog.text);

  EXPECT_EQ(classAfter(u" ipm.class.9999 "), u"IPM.Новый.9999");
  EXPECT_EQ(classAfter(u"IPM.Other"), u"IPM.Other");
}

TEST_F(Delivery, ChangesOfAnExistingItemAndDeletesPassUnvetoed) {
  install(kDefaultCtor);
  ASSERT_FALSE(registerOn(folderUrl(u"Sales"), u"SHALLOW", setup::kSinkClass, u"onsyncsave;onsyncdelete").empty());
  auto item = store::save(u"Sales", u"Memo.EML", mail(u"Memo", u"IPM.Post"));
  EXPECT_EQ(item.messageClass, u"IPM.Post");  // a plain save is not a delivery
  // A later plain save (begin and commit phases) changes only what it says.
  auto again = store::save(u"Sales", u"Memo.EML", Properties{{prop::subject, Variant(u"Memo 2")}});
  EXPECT_FALSE(again.aborted);
  EXPECT_EQ(again.messageClass, u"IPM.Post");
  auto removed = store::deleteItem(item.url);
  EXPECT_FALSE(removed.aborted);
  EXPECT_FALSE(store::findItem(item.url));
  expectNoEvents();
}

} // namespace
} // namespace korvane
