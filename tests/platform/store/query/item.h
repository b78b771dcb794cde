// A test item: named property values and the look-up the query functions
// take, with names compared ignoring case as the store compares them.
#pragma once

#include <utility>
#include <vector>

#include "platform/store/query/query.h"

namespace korvane::store::query::testing {

using Item = std::vector<std::pair<Text, Variant>>;

inline PropertyLookup lookupIn(const Item& item) {
  return [&item](TextView name) -> std::optional<Variant> {
    for (const auto& [key, value] : item)
      if (equalsIgnoreCase(key, name)) return value;
    return std::nullopt;
  };
}

} // namespace korvane::store::query::testing
