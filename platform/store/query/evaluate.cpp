// Evaluation of parsed conditions on one item, and the ORDER BY comparison.
#include <algorithm>

#include "platform/store/query/condition.h"
#include "platform/store/query/values.h"

namespace korvane::store::query {

namespace {

std::optional<Variant> resolve(const Operand& operand, const PropertyLookup& lookup) {
  if (operand.isProperty) return lookup(operand.property);
  return operand.value;
}

bool holds(CompareOp op, int r) {
  switch (op) {
    case CompareOp::Equal: return r == 0;
    case CompareOp::NotEqual: return r != 0;
    case CompareOp::Less: return r < 0;
    case CompareOp::Greater: return r > 0;
    case CompareOp::LessEqual: return r <= 0;
    case CompareOp::GreaterEqual: return r >= 0;
  }
  return false;
}

// % and _ against folded code points. Backtracking only to the last %
// keeps the work at text length times pattern length, whatever the pattern.
bool matchLike(const std::vector<char32_t>& pattern, const std::vector<char32_t>& text) {
  std::size_t p = 0, t = 0;
  std::size_t starP = pattern.size(), starT = 0;
  while (t < text.size()) {
    if (p < pattern.size() && (pattern[p] == likeAnyOne || pattern[p] == text[t])) {
      ++p;
      ++t;
    } else if (p < pattern.size() && pattern[p] == likeAnySequence) {
      starP = p++;
      starT = t;
    } else if (starP != pattern.size()) {
      p = starP + 1;
      t = ++starT;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == likeAnySequence) ++p;
  return p == pattern.size();
}

bool evaluateCompare(const Condition& c, const PropertyLookup& lookup) {
  const auto left = resolve(c.left, lookup);
  if (detail::isAbsent(left)) return false;
  const auto right = resolve(c.right, lookup);
  if (detail::isAbsent(right)) return false;
  const auto r = detail::compareLoosely(*left, *right);
  return r && holds(c.op, *r);
}

bool evaluateLike(const Condition& c, const PropertyLookup& lookup) {
  const auto value = resolve(c.left, lookup);
  if (detail::isAbsent(value)) return false;
  using K = Variant::Kind;
  if (value->kind() != K::Text && value->kind() != K::Int && value->kind() != K::Double) return false;
  return matchLike(c.foldedPattern, detail::foldedCodePoints(value->toText())) != c.negated;
}

bool evaluateNode(const Condition& c, const PropertyLookup& lookup) {
  auto child = [&](const ConditionPtr& n) { return evaluateNode(*n, lookup); };
  switch (c.kind) {
    case Condition::Kind::And: return std::all_of(c.children.begin(), c.children.end(), child);
    case Condition::Kind::Or: return std::any_of(c.children.begin(), c.children.end(), child);
    case Condition::Kind::Not: return !child(c.children.front());
    case Condition::Kind::Compare: return evaluateCompare(c, lookup);
    case Condition::Kind::IsNull: return detail::isAbsent(resolve(c.left, lookup)) != c.negated;
    case Condition::Kind::Like: return evaluateLike(c, lookup);
  }
  return false;
}

} // namespace

bool evaluate(const ConditionPtr& condition, const PropertyLookup& lookup) {
  return !condition || evaluateNode(*condition, lookup);
}

int compareForOrder(const std::vector<OrderKey>& keys, const PropertyLookup& a, const PropertyLookup& b) {
  for (const OrderKey& key : keys) {
    int r = detail::compareStrictly(a(key.property), b(key.property));
    if (key.descending) r = -r;
    if (r != 0) return r;
  }
  return 0;
}

} // namespace korvane::store::query
