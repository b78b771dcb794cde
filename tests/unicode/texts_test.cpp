// Texts a person types into the configuration, delivered through the real
// sink: classes and folder descriptions in any script, compared ignoring
// letter case; a folder description of 1 MB; 10,000 configured pairs.
#include <gtest/gtest.h>

#include "setup/complus/complus.h"
#include "support/delivery_fixture.h"

namespace korvane::setup {
namespace {

class Texts : public korvane::testing::DeliveryFixture {
protected:
  void SetUp() override {
    DeliveryFixture::SetUp();
    store::createFolder(korvane::testing::mailFolder(u"Inbox", u"inbox@corp.example.com"));
  }
  void install(TextView ctor) {
    DeliveryFixture::install(Text(ctor));
    ASSERT_FALSE(registerOn(folderUrl(u"Inbox")).empty());
  }
  void describe(TextView description) {
    store::setFolderProperties(u"Inbox", {{store::prop::description, Variant(description)}});
  }
  store::SaveOutcome deliver(TextView messageClass) {
    return store::deliver(u"Inbox", {{store::prop::subject, Variant(u"Mail")},
                                     {store::prop::messageClass, Variant(messageClass)}});
  }
  Text classAfter(TextView messageClass) { return storedClass(deliver(messageClass)).value_or(u"(deleted)"); }
};

struct DescriptionCase {
  const char* name;
  const char16_t* description;
  const char16_t* delivered;
  const char16_t* expected;  // nullptr: deleted
};

class FolderPairs : public Texts, public ::testing::WithParamInterface<DescriptionCase> {};

TEST_P(FolderPairs, AreReadAndMatchedIgnoringCaseInAnyScript) {
  const DescriptionCase& c = GetParam();
  install(u"IPM.Note.Default\r*\r65223");
  describe(c.description);
  EXPECT_EQ(toUtf8(classAfter(c.delivered)), toUtf8(c.expected ? c.expected : u"(deleted)"));
}

const DescriptionCase kDescriptions[] = {
    {"CyrillicPrefix", u"Описание <ORIGMSGCL>IPM.Заказ*</ORIGMSGCL><TargetMsgCl>IPM.Note.Ответ</TargetMsgCl>",
     u"ipm.ЗАКАЗ.новый", u"IPM.Note.Ответ"},
    {"OutsideTheBmp", u"<origmsgcl>IPM.𐐀*</origmsgcl><targetmsgcl>IPM.Deseret.𐐨</targetmsgcl>", u"ipm.𐐨bc",
     u"IPM.Deseret.𐐨"},
    // Letters whose lower case is longer in full mappings, and pairs of
    // surrogates, before the tags: the value is still cut at the right place.
    {"WideLettersBeforeTheTags",
     u"İİİ 📬📬 ẞ <ORIGMSGCL>IPM.Post</ORIGMSGCL><TARGETMSGCL>IPM.Note.Ünïcödé</TARGETMSGCL> 𐐀",
     u"IPM.Post", u"IPM.Note.Ünïcödé"},
    {"LookalikeLettersDoNotMatch", u"<origmsgcl>IPM.Сlass</origmsgcl><targetmsgcl>IPM.X</targetmsgcl>",
     u"IPM.Class", u"IPM.Class"},  // a Cyrillic С in the pattern
    {"NullInAnyCaseDeletes", u"<origmsgcl>IPM.Spam*</origmsgcl><targetmsgcl>nUlL</targetmsgcl>", u"IPM.SPAM.Ärger",
     nullptr},
};

INSTANTIATE_TEST_SUITE_P(Scripts, FolderPairs, ::testing::ValuesIn(kDescriptions),
                         [](const auto& info) { return std::string(info.param.name); });

// A description of 1 MB, mixed scripts and pairs of surrogates, with the
// tags at its end, at its start, or only half of them.
TEST_F(Texts, AOneMegabyteDescriptionWorksLikeAShortOne) {
  install(u"IPM.Note.Default\r*\r65223");
  Text filler;
  while (filler.size() < 1024 * 1024) filler += u"Ж λ é 📬 text ";
  filler.resize(1024 * 1024);
  const Text pair = u"<origmsgcl>IPM.Post</origmsgcl><targetmsgcl>IPM.Note.Big</targetmsgcl>";

  describe(filler + pair);
  EXPECT_EQ(classAfter(u"IPM.Post"), u"IPM.Note.Big");
  EXPECT_EQ(classAfter(u"IPM.Other"), u"IPM.Other");  // the folder's pair replaces the configured

  describe(pair + filler);
  EXPECT_EQ(classAfter(u"IPM.Post"), u"IPM.Note.Big");

  const Text half = filler + u"<origmsgcl>IPM.Post</origmsgcl>";
  describe(half);
  EXPECT_EQ(classAfter(u"IPM.Post"), u"IPM.Note.Default");

  auto folder = store::findFolder(u"Inbox");
  ASSERT_TRUE(folder);
  EXPECT_EQ(folder->description, half);
}

// 10,000 pairs: the last one still applies, and a class that none of them
// matches is left alone after all 10,000 passes.
TEST_F(Texts, TenThousandPairsAreWalkedToTheEnd) {
  constexpr int kPairs = 10'000;
  Text newClasses, patterns;
  for (int i = 0; i < kPairs; ++i) {
    Text n = fromUtf8(std::to_string(i));
    newClasses += (i ? u"\t" : u"") + (u"IPM.Новый." + n);
    patterns += (i ? u"\t" : u"") + (u"IPM.Class." + n);
  }
  install(newClasses + u"\r" + patterns + u"\r65223");

  EXPECT_EQ(classAfter(u" ipm.class.9999 "), u"IPM.Новый.9999");
  EXPECT_EQ(classAfter(u"IPM.Class.1"), u"IPM.Новый.1");
  EXPECT_EQ(classAfter(u"IPM.Other"), u"IPM.Other");

  // The setup reads the stored configuration back: the first pair fills the boxes.
  InstallForm form;
  Text identity;
  EXPECT_TRUE(CheckComPlusAppExists(form, kApplicationName, identity));
  EXPECT_TRUE(form.ui.txtErr.text.empty()) << toUtf8(form.ui.txtErr.text.substr(0, 500));
  EXPECT_EQ(form.ui.txtNewMsgClass.text, u"IPM.Новый.0");
  EXPECT_EQ(form.ui.txtOrigMsgClass.text, u"IPM.Class.0");
  EXPECT_EQ(form.ui.txtPriority.text, u"65223");
}

} // namespace
} // namespace korvane::setup
