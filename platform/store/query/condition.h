// The parsed form of a WHERE expression: a tree of AND, OR and NOT nodes
// over comparisons, IS NULL tests and LIKE matches. Nodes are immutable once
// built, so parsed queries can be cached and shared between threads.
#pragma once

#include <vector>

#include "platform/store/query/query.h"

namespace korvane::store::query {

enum class CompareOp { Equal, NotEqual, Less, Greater, LessEqual, GreaterEqual };

// One side of a predicate: a property of the item or a literal value.
struct Operand {
  bool isProperty = false;
  Text property;  // when isProperty
  Variant value;  // the literal otherwise: text, integer or Boolean
};

struct Condition {
  enum class Kind { And, Or, Not, Compare, IsNull, Like };
  Kind kind = Kind::Compare;
  std::vector<ConditionPtr> children;  // And, Or (two or more), Not (one)
  Operand left;                        // Compare, IsNull, Like
  Operand right;                       // Compare
  CompareOp op = CompareOp::Equal;     // Compare
  bool negated = false;                // IS NOT NULL, NOT LIKE
  Text pattern;                        // Like: as written
  std::vector<char32_t> foldedPattern; // Like: folded, with the wildcards below
};

// Wildcards in a folded LIKE pattern, outside the range of code points.
inline constexpr char32_t likeAnySequence = 0x110000;  // %
inline constexpr char32_t likeAnyOne = 0x110001;       // _

} // namespace korvane::store::query
