#include "setup/window/model.h"

namespace korvane::setup {

const ListRow* ListView::find(TextView key) const {
  for (const auto& row : rows)
    if (row.key == key) return &row;
  return nullptr;
}

ListRow* ListView::find(TextView key) {
  return const_cast<ListRow*>(static_cast<const ListView*>(this)->find(key));
}

void ListView::select(TextView key) {
  for (std::size_t i = 0; i < rows.size(); ++i)
    if (rows[i].key == key) selected = i;
}

} // namespace korvane::setup
