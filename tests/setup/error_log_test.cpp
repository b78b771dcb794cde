#include "setup/window/error_log.h"

#include <gtest/gtest.h>

namespace korvane::setup {
namespace {

class ErrorLog : public ::testing::Test {
protected:
  void SetUp() override {
    setDateTimeSource([this] { return stamps.at(next++); });
  }
  void TearDown() override { setDateTimeSource(nullptr); }
  std::vector<Text> stamps{u"12/7/2026 3:04:05 AM", u"12/7/2026 3:04:06 AM"};
  std::size_t next = 0;
  TextBox log;
};

TEST_F(ErrorLog, NewestEntryFirstEachFollowedByAnEmptyLine) {
  addErrorEntry(log, u"[AddComPlusApp]", hr(0x8011041B), u"The file was not found.");
  addErrorEntry(log, u"http://exch01/Public/Sales", -2147217900, u"Syntax error.");
  EXPECT_EQ(log.text,
            u"[12/7/2026 3:04:06 AM] http://exch01/Public/Sales - ERROR: -2147217900 Syntax error.\r\n\r\n"
            u"[12/7/2026 3:04:05 AM] [AddComPlusApp] - ERROR: -2146368485 The file was not found.\r\n\r\n");
}

// The missing-library entry, and how the refresh and "Clear" show and hide
// the log, the window tests check through the widgets; a writer alone never
// shows it.
TEST_F(ErrorLog, WritersDoNotChangeVisibility) {
  InstallFormModel ui;
  addErrorEntry(ui.txtErr, u"[RemoveComPlusApp]", E_FAIL, u"Unspecified error.");
  addMissingFileEntry(ui.txtErr, u"/opt/korvane");
  EXPECT_FALSE(ui.txtErr.visible);
  EXPECT_FALSE(ui.Command3.visible);
}

} // namespace
} // namespace korvane::setup
