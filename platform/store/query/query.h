// The store's query language: parses the SQL-like text that programs send
// through a Recordset (select list, scope with shallow or deep traversal,
// WHERE with comparisons, AND, OR, NOT and parentheses, ORDER BY) and the
// bare WHERE clauses of event registration criteria, and evaluates a
// condition on one item's properties. Text that cannot be parsed raises
// ComError(ado::adErrQuerySyntax) naming the 1-based position and the reason.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/com/variant.h"

namespace korvane::store::query {

enum class Depth { Shallow, Deep };

struct Scope {
  Text url;  // as written between the double quotes, unchanged
  Depth depth = Depth::Shallow;
};

struct OrderKey {
  Text property;
  bool descending = false;
};

struct Condition;  // a parsed WHERE expression
using ConditionPtr = std::shared_ptr<const Condition>;

struct Query {
  std::vector<Text> select;      // property names in order; {"*"} for select *
  std::vector<Scope> scopes;     // at least one
  ConditionPtr where;            // null when the query has no WHERE
  std::vector<OrderKey> orderBy;
};

// Parses a whole query.
Query parse(TextView text);

// Parses registration criteria: a WHERE clause, with its keyword, optionally
// surrounded by blanks (" WHERE "DAV:ishidden" = FALSE"). Empty or blank
// text gives a null condition (everything matches).
ConditionPtr parseCriteria(TextView text);

// Looks up one property of the item under test; nullopt when it has none.
using PropertyLookup = std::function<std::optional<Variant>(TextView name)>;

// Evaluates a condition (null matches everything). Texts compare ignoring
// letter case (Unicode folding); a missing property or a null value makes a
// comparison false; a Boolean compares with TRUE/FALSE and with 1/0.
bool evaluate(const ConditionPtr& condition, const PropertyLookup& lookup);

// Orders a and b by the keys: negative, zero or positive.
int compareForOrder(const std::vector<OrderKey>& keys, const PropertyLookup& a, const PropertyLookup& b);

// The rules of evaluation and ordering in full:
// - A comparison (=, <> or !=, <, >, <=, >=) is false when either side is a
//   missing property, null or empty; IS NULL is true for exactly those, and
//   IS NOT NULL for everything else. Logic is two-valued: NOT of a false
//   comparison is true, also when the property is missing.
// - Text with text: by Unicode case folding, ordered by code point.
// - Booleans and numbers compare numerically, TRUE being 1 and FALSE 0;
//   integers and doubles compare exactly. A text against a Boolean is read
//   as 'true'/'false' (ignoring case and blanks), else as a number; a text
//   against a number is read as a number. Anything else (a text that is no
//   number, an object, NaN) makes the comparison false.
// - LIKE matches texts and numbers (their decimal text) by folded
//   characters: % any run, _ exactly one character. A missing value makes
//   LIKE and NOT LIKE false.
// - ORDER BY orders nulls and missing values first, then Booleans and
//   numbers together, then texts (folded), then objects; DESC reverses the
//   whole order. Equal keys compare as zero, so a stable sort keeps ties in
//   the order the caller had them.

// Parentheses and NOTs may nest this deep; deeper text is a syntax error, so
// that hostile input cannot exhaust the stack.
inline constexpr int maxNesting = 200;

// The canonical text of a query or condition (keywords in capitals, single
// blanks, escapes doubled): parsing it again gives the same query.
Text toText(const Query& query);
Text toText(const ConditionPtr& condition);  // empty for a null condition

} // namespace korvane::store::query
