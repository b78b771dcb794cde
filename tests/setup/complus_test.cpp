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
  InstallForm form;
};

TEST_F(ComPlusModule, IdentityIsWrittenOnlyWithAPassword) {
  AddComPlusApp(form, kApplicationName, u"CORP\\svc", u"   ", u"IPM.Note\r*\r65223");
  Text identity = u"unchanged";
  EXPECT_TRUE(check(identity));
  EXPECT_NE(identity, u"CORP\\svc");
}

// What the look-up reads back into the boxes (the window tests install and
// read back through the widgets): the first entry of each line of the stored
// string, and the defaults into empty boxes where there is no string to read.
struct ReadBackRow {
  const char* name;
  enum { None, Added, ConstructionDisabled } app;
  const char16_t* ctor;
  const char16_t* lookedUpAs;
  const char16_t* priorityBefore;  // in the box before the look-up
  const char16_t *newClass, *origClass, *priority;
};

void PrintTo(const ReadBackRow& row, std::ostream* os) { *os << row.name; }

class ReadBack : public ComPlusModule, public ::testing::WithParamInterface<ReadBackRow> {};

TEST_P(ReadBack, FillsTheBoxesFromTheStoredString) {
  const ReadBackRow& row = GetParam();
  if (row.app == ReadBackRow::Added) AddComPlusApp(form, kApplicationName, u"a", u"b", row.ctor);
  if (row.app == ReadBackRow::ConstructionDisabled)
    complus::Catalog().installApplication(kApplicationName, (workDir() / "Korvane.dll").u16string(), u"", u"",
                                          std::nullopt);
  form.ui.txtOrigMsgClass.text.clear();
  form.ui.txtNewMsgClass.text.clear();
  form.ui.txtPriority.text = row.priorityBefore;
  Text identity = u"kept";
  EXPECT_EQ(check(identity, row.lookedUpAs), row.app != ReadBackRow::None);
  EXPECT_EQ(identity == u"kept", row.app == ReadBackRow::None);
  EXPECT_EQ(form.ui.txtNewMsgClass.text, row.newClass);
  EXPECT_EQ(form.ui.txtOrigMsgClass.text, row.origClass);
  EXPECT_EQ(form.ui.txtPriority.text, row.priority);
  EXPECT_EQ(form.priorityLastAccepted, row.priority);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ReadBack,
    ::testing::Values(
        ReadBackRow{"no_application", ReadBackRow::None, u"", kApplicationName, u"", u"IPM.Note", u"*", u"65223"},
        ReadBackRow{"two_lines_keep_the_priority_box", ReadBackRow::Added, u"X\rY", kApplicationName, u"42", u"X",
                    u"Y", u"42"},
        // Line 1 trimmed, the entry of line 2 as stored after the line's trim.
        ReadBackRow{"first_tab_entry_of_each_line", ReadBackRow::Added, u" N1 \tN2\r O1\tO2\r9", kApplicationName, u"",
                    u"N1", u"O1", u"9"},
        // The application is found ignoring case, its component is not.
        ReadBackRow{"another_letter_case", ReadBackRow::Added, u"IPM.Note.X\rA*\r5", u"KORVANE", u"", u"IPM.Note",
                    u"*", u"65223"},
        ReadBackRow{"construction_disabled", ReadBackRow::ConstructionDisabled, u"", kApplicationName, u"12",
                    u"IPM.Note", u"*", u"12"}));

// A library missing from the current directory, then a class that another
// application has: each is logged, without the password, and the
// application made before the failure stays.
TEST_F(ComPlusModule, FailedInstallationsAreLoggedWithoutThePasswordAndTheApplicationStays) {
  const Text secret = u"Tr0ub4dor&3-s\u00e9cret", ctor = u"IPM.Note\r*\r65223";
  std::filesystem::rename(workDir() / "Korvane.dll", workDir() / "Elsewhere.dll");
  AddComPlusApp(form, kApplicationName, u"CORP\\svc", secret, ctor);
  EXPECT_NE(form.ui.txtErr.text.find(u"[AddComPlusApp] - ERROR: "), Text::npos);
  auto apps = complus::Catalog().listApplications();
  ASSERT_EQ(apps.size(), 1u);
  EXPECT_TRUE(apps[0].components.empty());
  Text identity;
  EXPECT_TRUE(check(identity));
  EXPECT_EQ(identity, u"CORP\\svc");

  std::filesystem::rename(workDir() / "Elsewhere.dll", workDir() / "Korvane.dll");
  AddComPlusApp(form, kApplicationName, u"CORP\\svc", secret, ctor);
  const Text logged = form.ui.txtErr.text;
  AddComPlusApp(form, u"Other", u"CORP\\svc", secret, ctor);  // the class is Korvane's now
  EXPECT_NE(form.ui.txtErr.text, logged);
  EXPECT_EQ(form.ui.txtErr.text.find(secret), Text::npos) << toUtf8(form.ui.txtErr.text);
  for (const auto& e : store::listEvents()) EXPECT_EQ(e.text.find(secret), Text::npos) << toUtf8(e.text);
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
