// Registering from the window: "Change" per folder, the store-wide button
// with its question, "Refresh", and the batch run in both of its forms.
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
  EXPECT_TRUE(isChecked("Sales/Orders"));
  EXPECT_TRUE(isChecked("Forms"));
  EXPECT_FALSE(isChecked("Support/Tickets"));
  EXPECT_FALSE(button("btnChange")->isEnabled());
  EXPECT_FALSE(widget<QPlainTextEdit>("txtErr")->isVisible());
}

TEST_F(Registration, SelectAllThenDeselectAllRegistersAllThenNone) {
  installApplication();
  startAndAccept();
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
  EXPECT_EQ(button("btnRegisterSW")->text(), "Unregister");
  EXPECT_FALSE(button("Command4")->isEnabled());
  EXPECT_FALSE(button("Command5")->isEnabled());
  EXPECT_FALSE(hasCheckBox(row("Sales/Orders")));
  EXPECT_EQ(registeredFolders(), std::vector<Text>{u"Sales/Orders"});  // per-folder items untouched

  answerer->clear();
  click("btnRegisterSW");
  EXPECT_TRUE(answerer->seen().isEmpty());
  EXPECT_FALSE(storeWideRegistered());
  EXPECT_EQ(button("btnRegisterSW")->text(), "Register");
  EXPECT_TRUE(isChecked("Sales/Orders"));
  EXPECT_TRUE(button("Command4")->isEnabled());
}

TEST_F(Registration, RefreshEmptiesTheLogAndChangesNothing) {
  installApplication();
  registerFolder(u"Forms");
  startAndAccept();
  form().ui.txtErr.text = u"[old] entry\r\n\r\n";
  window().refreshWidgets();
  click("Command1");
  EXPECT_FALSE(widget<QPlainTextEdit>("txtErr")->isVisible());
  EXPECT_EQ(widget<QPlainTextEdit>("txtErr")->toPlainText(), "");
  EXPECT_EQ(registeredFolders(), std::vector<Text>{u"Forms"});
}

TEST_F(Registration, ClearErrorLogHidesTheLogAndItsButton) {
  std::filesystem::remove(workDir() / "Korvane.dll");
  startAndAccept();
  ASSERT_TRUE(widget<QPlainTextEdit>("txtErr")->isVisible());
  click("Command3");
  EXPECT_FALSE(widget<QPlainTextEdit>("txtErr")->isVisible());
  EXPECT_FALSE(button("Command3")->isVisible());
  EXPECT_EQ(widget<QPlainTextEdit>("txtErr")->toPlainText(), "");
}

class BatchMode : public WindowFixture {
protected:
  void runBatch() {
    start(QStringLiteral("-b"));
    QTest::mouseClick(program->disclaimer()->yesButton(), Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor([&] { return program->ended(); }, 20000));
    EXPECT_EQ(endCodes, std::vector<int>{0});
    EXPECT_FALSE(window().isVisible());
  }
};

TEST_F(BatchMode, ReappliesThePerFolderRegistrationsWithTheInstalledPriority) {
  installApplication(u"IPM.Note\r*\r321");
  registerFolder(u"Sales/Orders");
  registerFolder(u"Team Calendar");
  runBatch();
  EXPECT_EQ(registeredFolders(), (std::vector<Text>{u"Sales/Orders", u"Team Calendar"}));
  EXPECT_EQ(priorities(), (std::vector<Text>{u"321", u"321"}));
  EXPECT_FALSE(storeWideRegistered());
}

TEST_F(BatchMode, RecreatesTheStoreWideRegistrationWithTheInstalledPriority) {
  installApplication(u"IPM.Note\r*\r7");
  registerStoreWide();
  registerFolder(u"Forms");
  runBatch();
  EXPECT_TRUE(storeWideRegistered());
  EXPECT_EQ(registeredFolders(), std::vector<Text>{u"Forms"});
  std::vector<Text> p = priorities();
  std::sort(p.begin(), p.end());
  EXPECT_EQ(p, (std::vector<Text>{u"65223", u"7"}));  // Forms' item is left as it was
}

TEST_F(BatchMode, WithoutRegistrationsRegistersNothingAndStillEnds) {
  installApplication();
  runBatch();
  EXPECT_TRUE(store::registrations().empty());
}

} // namespace
} // namespace korvane::setup::qt
