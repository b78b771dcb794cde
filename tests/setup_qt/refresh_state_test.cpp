// The window after its first refresh: every control's state for the three
// facts (store-wide registration, application installed, Korvane.dll
// present); its size, and how it ends.
#include <filesystem>

#include "window_fixture.h"

namespace korvane::setup::qt {
namespace {

struct Facts {
  bool storeWide;
  bool installed;
  bool dllPresent;
};

std::string name(const ::testing::TestParamInfo<Facts>& info) {
  const Facts& f = info.param;
  return std::string(f.storeWide ? "StoreWide" : "NoStoreWide") + (f.installed ? "Installed" : "NotInstalled") +
         (f.dllPresent ? "WithDll" : "WithoutDll");
}

class RefreshState : public WindowFixture, public ::testing::WithParamInterface<Facts> {
protected:
  void arrange(const Facts& f) {
    registerFolder(u"Sales/Orders");
    if (f.storeWide) registerStoreWide();
    if (f.installed) installApplication();
    if (!f.dllPresent) std::filesystem::remove(workDir() / "Korvane.dll");
  }
};

TEST_P(RefreshState, ControlsFollowTheTable) {
  const Facts f = GetParam();
  arrange(f);
  startAndAccept();
  ASSERT_TRUE(endCodes.empty());

  // Store-wide state.
  EXPECT_EQ(button("btnRegisterSW")->text(), f.storeWide ? "Unregister" : "Register");
  EXPECT_EQ(label("Label1")->text(),
            f.storeWide ? "As Korvane application is registered store-wide, you can not provide per-folder "
                          "registration."
                        : "Korvane application can be registered for all public folders.");
  EXPECT_EQ(button("Command5")->isEnabled(), !f.storeWide);
  ASSERT_NE(row("Sales/Orders"), nullptr);
  EXPECT_EQ(hasCheckBox(row("Sales/Orders")), !f.storeWide);
  EXPECT_EQ(isChecked("Sales/Orders"), !f.storeWide);

  // COM+ state: the installed application's identity and mapping read back,
  // else the defaults, editable only with the library there to install.
  const bool swEnabled = f.installed || f.storeWide;
  EXPECT_EQ(button("btnRegisterSW")->isEnabled(), swEnabled);
  EXPECT_EQ(widget<QGroupBox>("Frame3")->isEnabled(), swEnabled);
  EXPECT_EQ(button("Command4")->isEnabled(), f.installed && !f.storeWide);
  const bool canInstall = f.installed || f.dllPresent, editable = !f.installed && f.dllPresent;
  EXPECT_EQ(button("btnInstall")->isEnabled(), canInstall);
  EXPECT_EQ(widget<QGroupBox>("Frame1")->isEnabled(), canInstall);
  EXPECT_EQ(button("btnInstall")->text(), f.installed ? "Uninstall" : "Install");
  for (const char* b : {"txtIdent", "txtPwd", "txtOrigMsgClass", "txtNewMsgClass", "txtPriority"})
    EXPECT_EQ(box(b)->isEnabled(), editable) << b;
  const char* identity = f.installed ? "CORP\\svc-old" : f.dllPresent ? "CORP\\Administrator" : "";
  EXPECT_EQ(box("txtIdent")->text(), identity);
  EXPECT_EQ(box("txtPwd")->isVisible(), !f.installed);
  EXPECT_EQ(box("txtPwd")->text(), "");
  EXPECT_EQ(box("txtPwd")->echoMode(), QLineEdit::Password);
  EXPECT_EQ(label("Label2")->text(), f.installed ? "Password: ********" : "Password:");
  EXPECT_EQ(box("txtNewMsgClass")->text(), f.installed ? "IPM.Note.Custom" : "IPM.Note");
  EXPECT_EQ(box("txtOrigMsgClass")->text(), "*");
  EXPECT_EQ(box("txtPriority")->text(), f.installed ? "100" : "65223");

  // The error log: only the missing library is reported.
  auto* log = widget<QPlainTextEdit>("txtErr");
  const bool missing = !f.installed && !f.dllPresent;
  EXPECT_EQ(log->isVisible(), missing);
  EXPECT_EQ(button("Command3")->isVisible(), missing);
  if (missing) {
    QString dir = QString::fromStdString(workDir().string());
    EXPECT_EQ(log->toPlainText(), "[12/7/2026 3:04:05 AM] File " + dir +
                                      "\\Korvane.dll not found. COM+ object installation is impossible.\n\n");
  }
  EXPECT_FALSE(button("btnChange")->isEnabled());
}

INSTANTIATE_TEST_SUITE_P(AllFacts, RefreshState,
                         ::testing::Values(Facts{false, false, false}, Facts{false, false, true},
                                           Facts{false, true, false}, Facts{false, true, true},
                                           Facts{true, false, false}, Facts{true, false, true},
                                           Facts{true, true, false}, Facts{true, true, true}),
                         name);

class Activation : public WindowFixture {};

TEST_F(Activation, TheWindowStartsAt642By527AndTheListGrowsWithIt) {
  startAndAccept();
  EXPECT_EQ(window().size(), QSize(642, 527));
  const int listHeight = list()->height();
  window().resize(800, 700);
  QTest::qWait(20);
  EXPECT_GT(list()->height(), listHeight + 100);
  EXPECT_GT(list()->width(), 600);
}

TEST_F(Activation, ExitAndTheCloseBoxUnloadAndEndWithZero) {
  for (bool closeBox : {false, true}) {
    startAndAccept();
    if (closeBox)
      window().close();
    else
      click("Command2");
    EXPECT_EQ(endCodes, std::vector<int>{0}) << closeBox;
    EXPECT_FALSE(window().isVisible());
    EXPECT_FALSE(form().cnn);
    EXPECT_FALSE(form().cnn1);
    program.reset();
    endCodes.clear();
  }
}

// The store's events folder cannot be opened: the look-up counts as a
// store-wide registration, which the window shows with the reason logged,
// and which a batch run then fails to make again: it prints its log and
// exits with 4.
TEST_F(Activation, AFailedStoreWideLookUpShowsRegisteredAndFailsABatchRun) {
  Text events;
  for (const Text& part : store::globalEventsPath()) events += (events.empty() ? u"" : u"/") + part;
  store::setFolderAccess(events, store::Access::None);
  installApplication();
  startAndAccept();
  EXPECT_EQ(button("btnRegisterSW")->text(), "Unregister");
  auto* log = widget<QPlainTextEdit>("txtErr");
  EXPECT_TRUE(log->isVisible());
  EXPECT_TRUE(log->toPlainText().contains("StoreEvents")) << log->toPlainText().toStdString();
  EXPECT_TRUE(log->toPlainText().contains(" - ERROR: ")) << log->toPlainText().toStdString();
  EXPECT_TRUE(log->toPlainText().contains("could not be looked up")) << log->toPlainText().toStdString();
  program.reset();

  Run r = runScripted("yes\n", {}, {"-b"});
  EXPECT_EQ(r.exitCode, 4) << r.err.toStdString();
  EXPECT_TRUE(r.err.contains("/non_ipm_subtree - ERROR: ")) << r.err.toStdString();
}

} // namespace
} // namespace korvane::setup::qt
