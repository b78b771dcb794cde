// The run-time error report: a server that cannot be reached at start-up,
// or one without a mounted public store, ends the program with a clear
// message box (the window caption as title), the same text on stderr and
// exit code 1, and the window never shows.
#include <QTemporaryDir>

#include "platform/exchange/exchange.h"
#include "platform/win32/machine.h"
#include "setup/qt/runtime_error.h"
#include "window_fixture.h"

namespace korvane::setup::qt {
namespace {

// A failure code (high bit set, also in hex) from a platform error: see
// Unreachable, whose reports show both.
TEST(RuntimeErrorText, NumberInDecimalAndHighBitCodesAlsoInHex) {
  struct Row {
    HRESULT number;
    const char* description;
    const char* text;
  } rows[] = {
      {7, "Out of memory", "Run-time error '7':\n\nOut of memory"},
      {91, "", "Run-time error '91':\n\nUnexpected failure."},
  };
  for (const Row& r : rows) EXPECT_EQ(runtimeErrorText(r.number, r.description), r.text) << r.number;
}

TEST(RuntimeErrorText, ExceptionsGiveNumberAndDescription) {
  auto of = [](auto&& thrower) {
    try {
      thrower();
    } catch (...) {
      return describeException(std::current_exception());
    }
    return RuntimeError{0, {}};
  };
  RuntimeError std = of([] { throw std::runtime_error("disk full"); });
  EXPECT_EQ(std.number, E_FAIL);
  EXPECT_EQ(std.description, "disk full");
  EXPECT_EQ(of([] { throw std::bad_alloc(); }).number, 7);
}

class Unreachable : public WindowFixture {
protected:
  // "Yes" on a server that fails at load: the report comes instead of the window.
  SeenMessageBox yesAndReport() {
    start();
    QTest::mouseClick(program->disclaimer()->yesButton(), Qt::LeftButton);
    EXPECT_EQ(endCodes, std::vector<int>{1});
    EXPECT_FALSE(program->window() && program->window()->isVisible());
    EXPECT_EQ(answerer->seen().size(), 1);
    return answerer->seen().value(0);
  }
};

TEST_F(Unreachable, AServerWhosePublicStoreIsDismounted) {
  auto group = exchange::storageGroups(u"EXCH01").at(0);
  exchange::dismountPublicStore(u"EXCH01", group.name, group.publicStores.at(0).name);
  SeenMessageBox report = yesAndReport();
  EXPECT_EQ(report.title, "Korvane setup");
  EXPECT_EQ(report.icon, QMessageBox::Critical);
  EXPECT_EQ(report.text,
            "Run-time error '-2147016656 (80072030)':\n\nNo mounted public store was found on the Exchange server "
            "EXCH01: the setup needs the public store of the public folder (MAPI) tree. Mount that public store, "
            "then start the setup again.");
  EXPECT_TRUE(complus::Catalog().listApplications().empty());
  EXPECT_TRUE(store::registrations().empty());
}

TEST_F(Unreachable, AMachineWithoutItsExchangeServerObject) {
  auto machine = win32::machineInfo();
  machine.computerName = u"OTHERBOX";
  win32::setMachineInfo(machine);
  SeenMessageBox report = yesAndReport();
  EXPECT_TRUE(report.text.startsWith("Run-time error '")) << report.text.toStdString();
  EXPECT_GT(report.text.size(), 40);
}

TEST_F(Unreachable, AnErrorInAClickHandlerEndsTheProgramAndNothingRunsAfterIt) {
  startAndAccept();
  ASSERT_TRUE(endCodes.empty());
  QTemporaryDir empty;
  db::setServerDirectory(empty.path().toStdString());  // the server goes away under the window
  click("Command1");  // the refresh proposes an identity: the directory cannot be asked
  EXPECT_EQ(endCodes, std::vector<int>{1});
  ASSERT_EQ(answerer->seen().size(), 1);
  EXPECT_TRUE(answerer->seen()[0].text.contains("No emulated server at")) << answerer->seen()[0].text.toStdString();
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_TRUE(window().ended());
  QTest::mouseClick(button("Command2"), Qt::LeftButton);
  EXPECT_EQ(endCodes, std::vector<int>{1});
  EXPECT_EQ(answerer->seen().size(), 1);
}

// The real program on a directory that does not exist: the report, which
// says how to make a server, on stderr and exit code 1, no hang, and nothing
// created on the way.
TEST_F(Unreachable, TheProgramExitsWithOneAndTheReportOnStderr) {
  const QString missing = QString::fromStdString((workDir() / "no" / "such" / "server").string());
  Run r = runScripted("yes\n", missing);
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_TRUE(r.err.contains("Run-time error '-2147168000 (8004d100)':\n\nNo emulated server at " + missing))
      << r.err.toStdString();
  EXPECT_FALSE(std::filesystem::exists(workDir() / "no"));
  EXPECT_TRUE(r.err.contains("korvane-lab")) << r.err.toStdString();
  EXPECT_TRUE(r.out.contains("message box \"Korvane setup\": Run-time error")) << r.out.toStdString();
}

} // namespace
} // namespace korvane::setup::qt
