// KorvaneSetup as an administrator uses it: the real program on a real X
// server, driven by real mouse and key events (XTest through xdotool).
// Every wait is for a condition the window reports, with a time limit.
#include <algorithm>
#include <stdexcept>

#include <gtest/gtest.h>

#include "platform/db/database.h"
#include "setup_qt/x11/x_session.h"
#include "support/delivery_fixture.h"

namespace korvane::setup::x11 {
namespace {

class RealInput : public testing::DeliveryFixture {
protected:
  // The X session is started by the first test and shared by all of them;
  // one that cannot be had fails each test (never skips it).
  void SetUp() override {
    DeliveryFixture::SetUp();
    if (x) return;
    try {
      x = new XSession();
    } catch (const std::exception& e) {
      FAIL() << e.what();
    }
  }
  static void TearDownTestSuite() {
    delete x;
    x = nullptr;
  }

  // first x second mail-enabled folders: "Branch i" and "Branch i/Folder j".
  int createTree(int first, int second) {
    db::Transaction tx(db::Database::current());  // one disk flush for the whole tree
    for (int i = 0; i < first; ++i) {
      Text branch = fromUtf8("Branch " + std::to_string(100 + i));
      store::createFolder(testing::mailFolder(branch, fromUtf8("b" + std::to_string(i) + "@corp.example.com")));
      for (int j = 0; j < second; ++j)
        store::createFolder(testing::mailFolder(branch + fromUtf8("/Folder " + std::to_string(100 + j)),
                                                fromUtf8("f" + std::to_string(i) + "-" + std::to_string(j) + "@corp.example.com")));
    }
    tx.commit();
    return first * (1 + second);
  }
  std::unique_ptr<SetupProcess> startSetup() {
    auto setup = std::make_unique<SetupProcess>(*x, serverDir());
    setup->acceptDisclaimer();
    // Without the main window every later step would wait out its limit.
    if (HasFatalFailure()) throw std::runtime_error("the Disclaimer could not be answered");
    return setup;
  }
  // Clicks the row's "Name" cell and presses Space: its check mark toggles.
  WindowState checkRow(SetupProcess& setup, const WindowState& state, const std::string& path) {
    const WindowState::Row* row = state.row(path);
    EXPECT_NE(row, nullptr) << path << " is not in view";
    if (!row) return state;
    const auto& list = state.widgets.at("ListView1");
    setup.clickAt(state, std::min(row->rect.x + 250, list.x + list.width - 30), row->rect.y + row->rect.height / 2);
    setup.key("space");
    return setup.waitFor([&](const WindowState& s) { return s.row(path) && s.row(path)->checked == "1"; },
                         path + " checked");
  }

  // The window as the X server has placed it lies wholly on the screen.
  void expectOnScreen(const WindowState& s) {
    const std::string shell = x->run({"xdotool", "getwindowgeometry", "--shell", s.window});
    auto value = [&](const std::string& key) {
      auto at = shell.find("\n" + key + "=");
      return at == std::string::npos ? -1 : std::stoi(shell.substr(at + key.size() + 2));
    };
    const int left = value("X"), top = value("Y");
    EXPECT_TRUE(left >= 0 && top >= 0 && left + value("WIDTH") <= XSession::kScreenWidth &&
                top + value("HEIGHT") <= XSession::kScreenHeight)
        << shell;
  }

  static XSession* x;
};

XSession* RealInput::x = nullptr;

TEST_F(RealInput, DoubleClicksDuringAFillAreNotTakenAndChangeRegistersExactlyTheCheckedFolder) {
  install(u"IPM.Note\r*\r65223");
  const int folders = createTree(30, 30);  // a fill long enough for the second click to land in it
  auto setup = startSetup();
  WindowState s = setup->waitFor([](const WindowState& s) { return s.activated && !s.busy; }, "first refresh");
  ASSERT_EQ(s.rows, folders);

  setup->click(s, "Command1", 2);  // "Refresh"
  s = setup->waitUntilIdle(s.actions);
  EXPECT_GE(s.refused, 1) << "the second click came after the fill: the test proves nothing";
  EXPECT_EQ(s.rows, folders) << "a folder listed twice";
  x->screenshot("after-double-refresh");

  const std::string checked = s.rowsInView.at(2).path;
  s = checkRow(*setup, s, checked);
  const int refusedBefore = s.refused;
  setup->click(s, "btnChange", 2);
  s = setup->waitUntilIdle(s.actions);
  EXPECT_GT(s.refused, refusedBefore);
  EXPECT_EQ(s.rows, folders);
  EXPECT_EQ(registeredFolders(), std::vector<Text>{fromUtf8(checked)});
  x->screenshot("after-change");
}

// The install frame's fields in their order; Tab goes forward, Shift+Tab back.
const std::vector<std::string> kInstallFrame{"txtIdent", "txtPwd", "txtPriority", "txtOrigMsgClass", "txtNewMsgClass",
                                             "btnInstall"};

TEST_F(RealInput, TabAndShiftTabVisitEveryFieldOfTheInstallFrameAndReturnPressesTheFocusedButton) {
  auto setup = startSetup();
  WindowState s = setup->waitFor([](const WindowState& s) { return s.activated && !s.busy; }, "first refresh");
  expectOnScreen(s);
  setup->click(s, "txtIdent");
  setup->waitFor([](const WindowState& s) { return s.focus == "txtIdent"; }, "focus in txtIdent");
  for (std::size_t i = 1; i < kInstallFrame.size(); ++i) {
    setup->key("Tab");
    setup->waitFor([&](const WindowState& s) { return s.focus == kInstallFrame[i]; }, "Tab to " + kInstallFrame[i]);
  }
  for (std::size_t i = kInstallFrame.size() - 1; i-- > 0;) {
    setup->key("shift+Tab");
    setup->waitFor([&](const WindowState& s) { return s.focus == kInstallFrame[i]; },
                   "Shift+Tab to " + kInstallFrame[i]);
  }

  // Keyboard only: the password, then Tab to "Install" and Return.
  setup->key("Tab");
  setup->waitFor([](const WindowState& s) { return s.focus == "txtPwd"; }, "focus in txtPwd");
  setup->type("secret");
  for (int i = 0; i < 4; ++i) setup->key("Tab");
  s = setup->waitFor([](const WindowState& s) { return s.focus == "btnInstall"; }, "focus on Install");
  setup->key("Return");
  setup->waitUntilIdle(s.actions);
  x->screenshot("after-return-on-install");
  EXPECT_EQ(complus::Catalog().listApplications().size(), 1u);
}

} // namespace
} // namespace korvane::setup::x11
