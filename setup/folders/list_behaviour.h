// What the administrator does with the folder list: checking rows (refused
// while the list fills, and only unchecking while no application is
// installed), "Select All" / "Deselect All", sorting by a column with the
// arrow in its header, and the default sort after every refresh.
#pragma once

#include "setup/window/form_state.h"

namespace korvane::setup {

void CheckAll(InstallForm& form, bool value);
void Command4_Click(InstallForm& form);  // "Select All"
void Command5_Click(InstallForm& form);  // "Deselect All"

// The row's mark has already changed when this runs.
void ListView1_ItemCheck(InstallForm& form, std::size_t row);

// Column header index 1 to 3.
void ListView1_ColumnClick(InstallForm& form, int columnIndex);

void ResetListSort(InstallForm& form);

std::int16_t ToggleSortOrder(std::int16_t order);
int HeaderAlignmentFormat(const HeaderItem& header);
void ShowColumnHeaderSortIcon(ListView& list);
void SetHeaderItemFormat(ListView& list, int columnIndex, int imageIndex, bool showImage, int alignment);

// Sorts the rows by the list's sort key and order, keeping the selected row.
// Texts compare by the collation of the user's locale (LC_ALL, LC_COLLATE or
// LANG): "Émile" sorts beside "Emil", not after "Z".
void sortRows(ListView& list);

} // namespace korvane::setup
