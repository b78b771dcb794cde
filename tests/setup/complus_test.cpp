#include <gtest/gtest.h>

#include "platform/complus/admin.h"
#include "setup/complus/complus.h"
#include "support/server_fixture.h"

namespace korvane::setup {
namespace {

class ComPlusModule : public testing::ServerFixture {
protected:
  bool check(Text& identity, TextView name = kApplicationName) {
    return CheckComPlusAppExists(form, name, identity);
  }
  void emptyBoxes() {
    form.ui.txtOrigMsgClass.text.clear();
    form.ui.txtNewMsgClass.text.clear();
    form.ui.txtPriority.text.clear();
  }
  InstallForm form;
};

TEST_F(ComPlusModule, InstallThenReadBackIdentityMappingAndPriority) {
  AddComPlusApp(form, kApplicationName, u" CORP\\svc ", u" secret ", u"IPM.Note.MyForm\rIPM.Note*\r100");
  EXPECT_TRUE(form.ui.txtErr.text.empty()) << toUtf8(form.ui.txtErr.text);
  emptyBoxes();
  Text identity;
  EXPECT_TRUE(check(identity));
  EXPECT_EQ(identity, u"CORP\\svc");  // trimmed when written
  EXPECT_EQ(form.ui.txtNewMsgClass.text, u"IPM.Note.MyForm");
  EXPECT_EQ(form.ui.txtOrigMsgClass.text, u"IPM.Note*");
  EXPECT_EQ(form.ui.txtPriority.text, u"100");
  EXPECT_EQ(form.priorityLastAccepted, u"100");

  auto apps = complus::Catalog().listApplications();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_FALSE(apps[0].accessChecksEnabled);
  ASSERT_EQ(apps[0].components.size(), 1u);
  EXPECT_TRUE(apps[0].components[0].constructionEnabled);
}

TEST_F(ComPlusModule, IdentityIsWrittenOnlyWithAPassword) {
  AddComPlusApp(form, kApplicationName, u"CORP\\svc", u"   ", u"IPM.Note\r*\r65223");
  Text identity = u"unchanged";
  EXPECT_TRUE(check(identity));
  EXPECT_NE(identity, u"CORP\\svc");
}

TEST_F(ComPlusModule, MissingApplicationLeavesIdentityAndLoadsDefaultsIntoEmptyBoxes) {
  emptyBoxes();
  Text identity = u"kept";
  EXPECT_FALSE(check(identity));
  EXPECT_EQ(identity, u"kept");
  EXPECT_EQ(form.ui.txtOrigMsgClass.text, u"*");
  EXPECT_EQ(form.ui.txtNewMsgClass.text, u"IPM.Note");
  EXPECT_EQ(form.ui.txtPriority.text, u"65223");
}

TEST_F(ComPlusModule, TwoLineStringKeepsThePriorityBox) {
  AddComPlusApp(form, kApplicationName, u"a", u"b", u"X\rY");
  form.ui.txtPriority.text = u"42";
  Text identity;
  check(identity);
  EXPECT_EQ(form.ui.txtPriority.text, u"42");
  EXPECT_EQ(form.ui.txtOrigMsgClass.text, u"Y");
  EXPECT_EQ(form.ui.txtNewMsgClass.text, u"X");
}

TEST_F(ComPlusModule, FirstTabEntryOfEachLineIsShown) {
  AddComPlusApp(form, kApplicationName, u"a", u"b", u" N1 \tN2\r O1\tO2\r9");
  Text identity;
  check(identity);
  EXPECT_EQ(form.ui.txtNewMsgClass.text, u"N1");   // trimmed
  EXPECT_EQ(form.ui.txtOrigMsgClass.text, u"O1");  // line trimmed, entry as stored
}

TEST_F(ComPlusModule, ComponentInAnotherLetterCaseIsNotTheSinksComponent) {
  AddComPlusApp(form, kApplicationName, u"a", u"b", u"IPM.Note.X\rA*\r5");
  emptyBoxes();
  Text identity;
  EXPECT_TRUE(check(identity, u"KORVANE"));  // the application matches ignoring case
  EXPECT_EQ(form.ui.txtNewMsgClass.text, u"IPM.Note");  // but its string is not read
  EXPECT_EQ(form.ui.txtPriority.text, u"65223");
}

TEST_F(ComPlusModule, ConstructionDisabledIsNotReadBack) {
  complus::Catalog().installApplication(kApplicationName, (workDir() / "Korvane.dll").u16string(), u"", u"",
                                        std::nullopt);
  emptyBoxes();
  form.ui.txtPriority.text = u"12";
  Text identity;
  EXPECT_TRUE(check(identity));
  EXPECT_EQ(form.ui.txtOrigMsgClass.text, u"*");
  EXPECT_EQ(form.ui.txtNewMsgClass.text, u"IPM.Note");
  EXPECT_EQ(form.ui.txtPriority.text, u"12");
}

TEST_F(ComPlusModule, LibraryMissingFromTheCurrentDirectoryIsLoggedAndTheApplicationStays) {
  std::filesystem::remove(workDir() / "Korvane.dll");
  AddComPlusApp(form, kApplicationName, u"a", u"b", u"IPM.Note\r*\r65223");
  EXPECT_NE(form.ui.txtErr.text.find(u"[AddComPlusApp] - ERROR: "), Text::npos);
  auto apps = complus::Catalog().listApplications();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_TRUE(apps[0].components.empty());
  Text identity;
  EXPECT_TRUE(check(identity));
}

TEST_F(ComPlusModule, RemoveTakesTheFirstOfTwoApplicationsDifferingInCase) {
  AddComPlusApp(form, u"KORVANE", u"a", u"b", u"");
  std::filesystem::remove(workDir() / "Korvane.dll");  // the second gets no component
  AddComPlusApp(form, kApplicationName, u"a", u"b", u"");
  form.ui.txtErr.text.clear();
  RemoveComPlusApp(form, kApplicationName);
  auto apps = complus::Catalog().listApplications();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_EQ(apps[0].name, u"Korvane");
  RemoveComPlusApp(form, kApplicationName);
  EXPECT_TRUE(complus::Catalog().listApplications().empty());
  RemoveComPlusApp(form, kApplicationName);  // nothing left: no error either
  EXPECT_TRUE(form.ui.txtErr.text.empty());
}

} // namespace
} // namespace korvane::setup
