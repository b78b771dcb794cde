// How the query language compares property values: the loose comparison of
// WHERE (case-folded texts, Booleans as 1/0 or 'true'/'false', numeric texts)
// and the strict total order of ORDER BY (nulls, numbers, texts, objects).
#pragma once

#include <optional>

#include "platform/com/variant.h"

namespace korvane::store::query::detail {

// No value at all: a missing property, null or empty.
bool isAbsent(const std::optional<Variant>& value);

// Negative, zero or positive; nullopt when the two cannot be compared (a
// text that is no number against a number, an object, NaN, a null).
std::optional<int> compareLoosely(const Variant& a, const Variant& b);

// A strict weak order over every value, so that sorting is well defined.
int compareStrictly(const std::optional<Variant>& a, const std::optional<Variant>& b);

// Folded code points of a text, for LIKE.
std::vector<char32_t> foldedCodePoints(TextView text);

} // namespace korvane::store::query::detail
