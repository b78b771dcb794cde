// Runs a directory query against the person objects of the emulated
// directory: checks that the FROM source names this directory's global
// catalog, filters by base DN, scope and condition, sorts and projects the
// selected attributes into rows.
#pragma once

#include <cstdint>

#include "platform/com/text.h"
#include "platform/store/rows.h"

namespace korvane::directory {

inline constexpr std::int32_t ADS_SCOPE_BASE = 0;
inline constexpr std::int32_t ADS_SCOPE_ONELEVEL = 1;
inline constexpr std::int32_t ADS_SCOPE_SUBTREE = 2;

struct SearchOptions {
  std::int32_t scope = ADS_SCOPE_SUBTREE;
};

// The attributes a person object has: sAMAccountName, cn, name (the cn),
// objectCategory, msExchHomeServerName, distinguishedName and ADsPath.
// "SELECT *" gives ADsPath alone. Another attribute name anywhere in the
// query fails with E_ADS_PROPERTY_NOT_FOUND naming it and its position.
// A source whose host is not the global catalog fails with
// E_ADS_SERVER_DOWN; no global catalog at all with E_ADS_NO_SUCH_DOMAIN.
// Columns are named as the query spells them; a missing value is null.
store::RowTable search(TextView queryText, const SearchOptions& options = {});

} // namespace korvane::directory
