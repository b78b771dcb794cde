#include "setup/folders/list_behaviour.h"

#include <algorithm>
#include <unicode/uchar.h>
#include <unicode/ustring.h>

namespace korvane::setup {

namespace {

constexpr int HDI_FORMAT_IMAGE = 0x24;
constexpr int HDF_STRING = 0x4000;
constexpr int HDF_IMAGE = 0x800;
constexpr int HDF_BITMAP_ON_RIGHT = 0x1000;

const Text& columnText(const ListRow& row, int sortKey) {
  switch (sortKey) {
    case 1: return row.subItem1;
    case 2: return row.subItem2;
    default: return row.text;
  }
}

int compareIgnoringCase(TextView a, TextView b) {
  UErrorCode status = U_ZERO_ERROR;
  return u_strCaseCompare(a.data(), static_cast<int32_t>(a.size()), b.data(),
                          static_cast<int32_t>(b.size()), U_FOLD_CASE_DEFAULT, &status);
}

} // namespace

void CheckAll(InstallForm& form, bool value) {
  for (auto& row : form.ui.ListView1.rows) row.checked = value;
}

void Command4_Click(InstallForm& form) {
  form.ui.btnChange.enabled = true;
  CheckAll(form, true);
}

void Command5_Click(InstallForm& form) {
  form.ui.btnChange.enabled = true;
  CheckAll(form, false);
}

void ListView1_ItemCheck(InstallForm& form, std::size_t index) {
  auto& rows = form.ui.ListView1.rows;
  if (index >= rows.size()) return;
  ListRow& row = rows[index];
  if (!form.blnListReady) {
    row.checked = !row.checked;
    return;
  }
  if (form.ui.btnInstall.caption != u"Install") {
    form.ui.btnChange.enabled = true;
  } else if (row.checked) {
    row.checked = false;
  } else {
    form.ui.btnChange.enabled = true;
  }
}

void sortRows(ListView& list) {
  std::optional<Text> selectedKey;
  if (list.selected && *list.selected < list.rows.size()) selectedKey = list.rows[*list.selected].key;
  const int key = list.sortKey;
  const bool descending = list.sortOrder == 1;
  std::stable_sort(list.rows.begin(), list.rows.end(), [&](const ListRow& a, const ListRow& b) {
    int c = compareIgnoringCase(columnText(a, key), columnText(b, key));
    return descending ? c > 0 : c < 0;
  });
  if (selectedKey) list.select(*selectedKey);
}

std::int16_t ToggleSortOrder(std::int16_t order) { return order == 0 ? 1 : 0; }

void ListView1_ColumnClick(InstallForm& form, int columnIndex) {
  if (columnIndex < 1 || columnIndex > 3) return;
  ListView& list = form.ui.ListView1;
  const int clicked = columnIndex - 1;
  form.sortOrders[clicked] = ToggleSortOrder(form.sortOrders[clicked]);
  list.sortOrder = form.sortOrders[clicked];
  for (int i = 0; i < 3; ++i)
    if (i != clicked) form.sortOrders[i] = 1;

  list.sortKey = clicked;
  list.sorted = true;
  sortRows(list);

  form.processEvents();
  ShowColumnHeaderSortIcon(list);
  if (list.selected && *list.selected < list.rows.size()) {
    if (form.hooks) form.hooks->ensureRowVisible(*list.selected);
    form.strLastSelectedItemKey = list.rows[*list.selected].key;
  }
}

void ResetListSort(InstallForm& form) {
  form.sortOrders[0] = 1;
  ListView1_ColumnClick(form, 1);
  if (form.ui.ListView1.rows.empty()) return;
  if (form.hooks) form.hooks->ensureRowVisible(0);
  form.ui.ListView1.selected = 0;
}

int HeaderAlignmentFormat(const HeaderItem&) {
  // All three columns are left-aligned.
  return 0;
}

void ShowColumnHeaderSortIcon(ListView& list) {
  for (int i = 0; i < 3; ++i) {
    int alignment = HeaderAlignmentFormat(list.headers[i]);
    if (i + 1 == list.sortKey + 1)
      SetHeaderItemFormat(list, i + 1, list.sortOrder, true, alignment);
    else
      SetHeaderItemFormat(list, i + 1, 0, false, alignment);
  }
}

void SetHeaderItemFormat(ListView& list, int columnIndex, int imageIndex, bool showImage, int alignment) {
  static_assert(HDI_FORMAT_IMAGE == 36);
  HeaderItem& header = list.headers[columnIndex - 1];
  header.format = HDF_STRING | alignment;
  if (showImage) header.format |= HDF_IMAGE | HDF_BITMAP_ON_RIGHT;
  header.image = imageIndex;
}

} // namespace korvane::setup
