// The sort procedures ask the window to scroll the selected row into view:
// after a column click the selected row, after the refresh's default sort
// the first row.
#include <gtest/gtest.h>

#include "setup/folders/list_behaviour.h"

namespace korvane::setup {
namespace {

struct ScrollHooks : WindowHooks {
  std::vector<std::size_t> scrolledTo;
  void ensureRowVisible(std::size_t row) override { scrolledTo.push_back(row); }
};

InstallForm formWith(std::initializer_list<const char16_t*> paths, ScrollHooks& hooks) {
  InstallForm form;
  form.hooks = &hooks;
  for (const char16_t* p : paths) {
    ListRow row;
    row.key = u"http://exch01/Public/" + Text(p);
    row.text = p;
    form.ui.ListView1.rows.push_back(row);
  }
  return form;
}

TEST(ListScroll, AColumnClickScrollsToTheSelectedRowWhereverTheSortPutsIt) {
  ScrollHooks hooks;
  InstallForm form = formWith({u"b", u"c", u"a"}, hooks);
  form.ui.ListView1.selected = 1;  // "c"
  form.sortOrders[0] = 1;          // so that the click sorts ascending
  ListView1_ColumnClick(form, 1);  // "c" is the third row now
  EXPECT_EQ(hooks.scrolledTo, std::vector<std::size_t>{2});
}

TEST(ListScroll, NoSelectedRowNoScroll) {
  ScrollHooks hooks;
  InstallForm form = formWith({u"b", u"a"}, hooks);
  ListView1_ColumnClick(form, 2);
  EXPECT_TRUE(hooks.scrolledTo.empty());
}

TEST(ListScroll, TheRefreshSortEndsAtTheFirstRow) {
  ScrollHooks hooks;
  InstallForm form = formWith({u"b", u"c", u"a"}, hooks);
  form.ui.ListView1.selected = 0;  // "b"
  ResetListSort(form);
  ASSERT_FALSE(hooks.scrolledTo.empty());
  EXPECT_EQ(hooks.scrolledTo.back(), 0u);
  EXPECT_EQ(form.ui.ListView1.selected, 0u);

  ScrollHooks none;
  InstallForm empty = formWith({}, none);
  ResetListSort(empty);
  EXPECT_TRUE(none.scrolledTo.empty());
}

} // namespace
} // namespace korvane::setup
