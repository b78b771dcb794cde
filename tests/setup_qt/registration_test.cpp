// Registering from the window: "Change" per folder (and after "Select all"
// and "Deselect all"), the store-wide button with its question, "Refresh",
// and the batch run in both of its forms.
#include <filesystem>

#include "window_fixture.h"

namespace korvane::setup::qt {
namespace {

class Registration : public WindowFixture {};

TEST_F(Registration, ChangeRegistersExactlyTheCheckedFolders) {
  installApplication();
  registerFolder(u"Support/Tickets");
  startAndAccept();
  EXPECT_TRUE(isChecked("Support/Tickets"));
  clickCheckBox("Sales/Orders");
  clickCheckBox("Forms");
  clickCheckBox("Support/Tickets");  // unchecked: its registration goes
  EXPECT_TRUE(button("btnChange")->isEnabled());
  click("btnChange");

  EXPECT_EQ(registeredFolders(), (std::vector<Text>{u"Forms", u"Sales/Orders"}));
  EXPECT_EQ(priorities(), (std::vector<Text>{u"100", u"100"}));
  EXPECT_FALSE(button("btnChange")->isEnabled());
  EXPECT_FALSE(widget<QPlainTextEdit>("txtErr")->isVisible());

  // "Select all", then "Deselect all": every folder, then none.
  const int rows = list()->topLevelItemCount();
  ASSERT_GE(rows, 5);
  click("Command4");
  click("btnChange");
  EXPECT_EQ(registeredFolders().size(), static_cast<std::size_t>(rows));
  click("Command5");
  EXPECT_TRUE(button("btnChange")->isEnabled());
  click("btnChange");
  EXPECT_TRUE(registeredFolders().empty());
}

TEST_F(Registration, StoreWideAsksThenRegistersAndUnregistersWithoutAsking) {
  installApplication();
  registerFolder(u"Sales/Orders");
  startAndAccept();

  answerer->queueAnswer(QMessageBox::No);
  click("btnRegisterSW");
  ASSERT_EQ(answerer->seen().size(), 1);
  EXPECT_EQ(answerer->seen()[0].text, "Are you sure you wish to register store-wide?");
  EXPECT_EQ(answerer->seen()[0].icon, QMessageBox::Question);
  EXPECT_FALSE(storeWideRegistered());
  EXPECT_EQ(button("btnRegisterSW")->text(), "Register");

  answerer->clear();
  click("btnRegisterSW");  // answered Yes
  ASSERT_EQ(answerer->seen().size(), 1);
  EXPECT_TRUE(storeWideRegistered());
  // The refresh that ends the click shows it (see RefreshState).
  EXPECT_EQ(button("btnRegisterSW")->text(), "Unregister");
  EXPECT_EQ(registeredFolders(), std::vector<Text>{u"Sales/Orders"});  // per-folder items untouched

  answerer->clear();
  click("btnRegisterSW");
  EXPECT_TRUE(answerer->seen().isEmpty());
  EXPECT_FALSE(storeWideRegistered());
  EXPECT_EQ(button("btnRegisterSW")->text(), "Register");
}

// Only the first show refreshes; "Refresh" empties the log before it
// refills it and registers nothing; "Clear error log" empties it and hides
// it with its button. A library missing at the first refresh keeps
// "Install" disabled after it comes back.
TEST_F(Registration, RefreshAndClearEmptyTheLogAndRefreshChangesNothing) {
  registerFolder(u"Forms");
  std::filesystem::rename(workDir() / "Korvane.dll", workDir() / "aside.dll");  // each refresh logs it missing
  startAndAccept();
  auto* log = widget<QPlainTextEdit>("txtErr");
  const QString once = log->toPlainText();
  EXPECT_EQ(once.count("not found"), 1);
  window().hide();
  window().show();
  QTest::qWait(50);
  EXPECT_EQ(log->toPlainText(), once);
  click("Command1");
  ASSERT_TRUE(log->isVisible());
  EXPECT_EQ(log->toPlainText().count("not found"), 1);
  EXPECT_EQ(registeredFolders(), std::vector<Text>{u"Forms"});
  click("Command3");
  EXPECT_FALSE(log->isVisible());
  EXPECT_FALSE(button("Command3")->isVisible());
  EXPECT_EQ(log->toPlainText(), "");
  std::filesystem::rename(workDir() / "aside.dll", workDir() / "Korvane.dll");
  click("Command1");
  EXPECT_FALSE(button("btnInstall")->isEnabled());
  EXPECT_FALSE(widget<QGroupBox>("Frame1")->isEnabled());
}

// The batch run makes again the registrations it finds, with the installed
// priority: the store-wide one alone when there is one (a folder's item is
// then left as it was), and nothing when there is none.
struct Batch {
  const char* name;
  const char16_t* ctor;
  bool storeWide;
  std::vector<Text> folders, sortedPriorities;
};

void PrintTo(const Batch& b, std::ostream* os) { *os << b.name; }

class BatchMode : public WindowFixture, public ::testing::WithParamInterface<Batch> {};

TEST_P(BatchMode, ReappliesTheRegistrationsItFindsWithTheInstalledPriority) {
  const Batch& b = GetParam();
  installApplication(b.ctor);
  if (b.storeWide) registerStoreWide();
  for (const Text& folder : b.folders) registerFolder(folder);
  start(QStringLiteral("-b"));
  QTest::mouseClick(program->disclaimer()->yesButton(), Qt::LeftButton);
  // The load sets the caption before the run ends by itself.
  ASSERT_NE(program->window(), nullptr);
  EXPECT_EQ(window().windowTitle(), "Korvane setup - batch mode");
  ASSERT_TRUE(QTest::qWaitFor([&] { return program->ended(); }, 20000));
  EXPECT_EQ(endCodes, std::vector<int>{0});
  EXPECT_FALSE(window().isVisible());
  EXPECT_EQ(storeWideRegistered(), b.storeWide);
  EXPECT_EQ(registeredFolders(), b.folders);
  std::vector<Text> p = priorities();
  std::sort(p.begin(), p.end());
  EXPECT_EQ(p, b.sortedPriorities);
}

INSTANTIATE_TEST_SUITE_P(
    Runs, BatchMode,
    ::testing::Values(
        Batch{"PerFolder", u"IPM.Note\r*\r321", false, {u"Sales/Orders", u"Team Calendar"}, {u"321", u"321"}},
        Batch{"StoreWide", u"IPM.Note\r*\r7", true, {u"Forms"}, {u"65223", u"7"}},
        Batch{"NoRegistration", u"IPM.Note\r*\r100", false, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace korvane::setup::qt
