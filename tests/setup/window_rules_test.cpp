// The window's input rules, list behaviour and error log, which need no server.
#include <gtest/gtest.h>

#include "setup/complus/complus.h"
#include "setup/folders/list_behaviour.h"
#include "setup/window/error_log.h"
#include "setup/window/install.h"
#include "setup/window/main_window.h"
#include "support/temp_server.h"

namespace korvane::setup {
namespace {

TEST(BatchSwitch, RecognisesOnlyTheTwoFormsAtTheStart) {
  struct Row {
    const char16_t* args;
    bool batch;
  } rows[] = {{u"/B", true},  {u"-b", true},  {u"-bx", true}, {u"/bq extra", true}, {u"b", false},
              {u"-c", false}, {u"", false},   {u"-", false},  {u" -b", false},      {u"x/b", false}};
  for (auto& r : rows) EXPECT_EQ(isBatchSwitch(r.args), r.batch) << toUtf8(r.args);
}

TEST(Priority, AcceptsOnlyWholeNumbersUpTo65535) {
  struct Row {
    const char16_t* text;
    bool ok;
  } rows[] = {{u"0", true},     {u"65535", true}, {u" 100 ", true}, {u"65536", false}, {u"-1", false},
              {u"1.5", false},  {u"", false},     {u"  ", false},   {u"1e3", false},   {u"&H10", false},
              {u"99999999999999999999", false},   {u"1 2", false}};
  for (auto& r : rows) EXPECT_EQ(isAcceptablePriority(r.text), r.ok) << toUtf8(r.text);
}

TEST(ConstructorString, StoredLinesSplitAsTheWindowReadsThem) {
  struct Row {
    const char16_t* stored;
    const char16_t *line1, *line2, *line3;
  } rows[] = {
      // Lines as such are what the look-up reads back (see ReadBack).
      {u" A \r B \r 7 ", u"A", u"B", u"7"},
      {u"\r*\r1", u"", u"", u""},
      {u"single line", u"", u"", u""},
      {u"IPM.Note\r\r65223", u"IPM.Note", u"\r65223", u""},
  };
  for (auto& r : rows) {
    auto lines = splitConstructorLines(r.stored);
    EXPECT_EQ(lines.line1, r.line1) << toUtf8(r.stored);
    EXPECT_EQ(lines.line2, r.line2) << toUtf8(r.stored);
    EXPECT_EQ(lines.line3, r.line3) << toUtf8(r.stored);
  }
}

TEST(ListSort, FollowsTheCollationOfTheUsersLocale) {
  struct Row {
    const char* locale;
    std::vector<Text> sorted;
  } rows[] = {
      {"en_US.UTF-8", {u"apple", u"Eagle", u"Émile", u"Ölfeld", u"Oslo", u"Zürich"}},
      {"sv_SE.UTF-8", {u"apple", u"Eagle", u"Émile", u"Oslo", u"Zürich", u"Ölfeld"}},  // Ö after Z
      {"C", {u"apple", u"Eagle", u"Émile", u"Ölfeld", u"Oslo", u"Zürich"}},
  };
  for (const Row& r : rows) {
    korvane::testing::ScopedEnv locale("LC_ALL", r.locale);
    InstallForm form;
    for (const char16_t* path : {u"Zürich", u"Ölfeld", u"Émile", u"Oslo", u"apple", u"Eagle"}) {
      ListRow row;
      row.key = Text(u"k/") + path;
      row.text = path;
      form.ui.ListView1.rows.push_back(row);
    }
    ResetListSort(form);
    std::vector<Text> paths;
    for (auto& row : form.ui.ListView1.rows) paths.push_back(row.text);
    EXPECT_EQ(paths, r.sorted) << r.locale;
  }
}

// How checks follow the installation the folder list tests show through the
// check boxes; while the list fills, any change is set back.
TEST(ListChecks, AChangeWhileTheListFillsIsSetBack) {
  InstallForm form;
  form.ui.ListView1.rows.resize(1);
  form.ui.ListView1.rows[0].checked = true;
  form.ui.btnInstall.caption = u"Uninstall";
  form.ui.btnChange.enabled = false;
  form.blnListReady = false;
  ListView1_ItemCheck(form, 0);
  EXPECT_FALSE(form.ui.ListView1.rows[0].checked);
  EXPECT_FALSE(form.ui.btnChange.enabled);
}

// The error log's writers: the newest entry first, each followed by an empty
// line. Showing and hiding it is the refresh's and "Clear"'s (see the window
// tests); a writer alone never shows it.
TEST(ErrorLog, NewestEntryFirstAndWritersDoNotChangeVisibility) {
  const std::vector<Text> stamps{u"12/7/2026 3:04:05 AM", u"12/7/2026 3:04:06 AM", u"12/7/2026 3:04:07 AM"};
  setDateTimeSource([stamps, next = std::size_t{0}]() mutable { return stamps.at(next++); });
  InstallFormModel ui;
  addErrorEntry(ui.txtErr, u"[AddComPlusApp]", hr(0x8011041B), u"The file was not found.");
  addErrorEntry(ui.txtErr, u"http://exch01/Public/Sales", -2147217900, u"Syntax error.");
  EXPECT_EQ(ui.txtErr.text,
            u"[12/7/2026 3:04:06 AM] http://exch01/Public/Sales - ERROR: -2147217900 Syntax error.\r\n\r\n"
            u"[12/7/2026 3:04:05 AM] [AddComPlusApp] - ERROR: -2146368485 The file was not found.\r\n\r\n");
  addMissingFileEntry(ui.txtErr, u"/opt/korvane");
  EXPECT_FALSE(ui.txtErr.visible);
  EXPECT_FALSE(ui.Command3.visible);
  setDateTimeSource(nullptr);
}

} // namespace
} // namespace korvane::setup
