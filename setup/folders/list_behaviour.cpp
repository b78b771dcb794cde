#include "setup/folders/list_behaviour.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <string>
#include <unicode/ucol.h>

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

// The locale whose collation orders the list: LC_ALL, LC_COLLATE or LANG,
// the first one set, without encoding and modifier; the root collation
// (which also keeps accented letters beside their base letter) for "C".
std::string collationLocale() {
  for (const char* name : {"LC_ALL", "LC_COLLATE", "LANG"}) {
    const char* value = std::getenv(name);
    if (!value || !*value) continue;
    std::string id(value);
    id = id.substr(0, id.find_first_of(".@"));
    return id == "C" || id == "POSIX" ? std::string() : id;
  }
  return {};
}

struct CollatorCloser {
  void operator()(UCollator* c) const { ucol_close(c); }
};

// One collation key per row: comparing keys orders the rows as the user's
// language does, at a cost per row that does not grow with the list.
std::vector<std::string> collationKeys(const std::vector<ListRow>& rows, int sortKey) {
  UErrorCode status = U_ZERO_ERROR;
  std::unique_ptr<UCollator, CollatorCloser> collator(ucol_open(collationLocale().c_str(), &status));
  if (U_FAILURE(status)) {
    status = U_ZERO_ERROR;
    collator.reset(ucol_open("", &status));  // the root collation
  }
  std::vector<std::string> keys;
  keys.reserve(rows.size());
  std::string key;
  for (const ListRow& row : rows) {
    const Text& text = columnText(row, sortKey);
    const auto length = static_cast<int32_t>(text.size());
    key.resize(std::max<std::size_t>(key.capacity(), 64));
    int32_t needed = ucol_getSortKey(collator.get(), text.data(), length,
                                     reinterpret_cast<uint8_t*>(key.data()), static_cast<int32_t>(key.size()));
    if (needed > static_cast<int32_t>(key.size())) {
      key.resize(static_cast<std::size_t>(needed));
      ucol_getSortKey(collator.get(), text.data(), length, reinterpret_cast<uint8_t*>(key.data()), needed);
    }
    keys.emplace_back(key.data(), needed > 0 ? static_cast<std::size_t>(needed) - 1 : 0);  // without the 0 byte
  }
  return keys;
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
  const std::vector<std::string> keys = collationKeys(list.rows, list.sortKey);
  const bool descending = list.sortOrder == 1;
  std::vector<std::size_t> order(list.rows.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return descending ? keys[b] < keys[a] : keys[a] < keys[b];
  });
  std::vector<ListRow> sorted;
  sorted.reserve(order.size());
  for (std::size_t i : order) sorted.push_back(std::move(list.rows[i]));
  list.rows = std::move(sorted);
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
