// The directory's SQL dialect, as the directory provider accepts it:
//   SELECT attr, ... FROM 'GC://host[/base DN]' [WHERE condition] [ORDER BY attr [ASC|DESC], ...]
// Conditions compare an attribute with a value (=, <>, !=, <, <=, >, >=),
// joined by AND, OR and NOT with parentheses. Values are quoted texts
// ('O''Brien', with '' for an apostrophe) or bare words (person, 5, Jo*).
// Keywords and attribute names ignore letter case. A text that cannot be
// parsed raises ComError(ado::adErrQuerySyntax) naming the 1-based position
// (in UTF-16 code units) and the reason.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "platform/com/text.h"

namespace korvane::directory {

// A name or value as written, with its 1-based position in the query text.
struct Token {
  Text text;
  std::size_t position = 0;
};

enum class CompareOp { Equal, NotEqual, Less, LessEqual, Greater, GreaterEqual };

struct Expression;
using ExpressionPtr = std::shared_ptr<const Expression>;

struct Expression {
  enum class Kind { Compare, And, Or, Not };
  Kind kind = Kind::Compare;
  // Compare:
  Token attribute;
  CompareOp op = CompareOp::Equal;
  Token value;
  bool quoted = false;  // a bare value may hold "*" wildcards; a quoted one too
  // And, Or (two or more), Not (one):
  std::vector<ExpressionPtr> operands;
};

struct SortKey {
  Token attribute;
  bool descending = false;
};

struct DirectoryQuery {
  std::vector<Token> attributes;  // in select order; a single "*" for SELECT *
  Token source;                   // the text between the quotes after FROM
  ExpressionPtr where;            // null when there is no WHERE clause
  std::vector<SortKey> orderBy;
};

DirectoryQuery parseQuery(TextView text);

// The parts of a search source "GC://host[:port][/base DN]" (or LDAP://).
struct SearchSource {
  Text scheme;  // "GC" or "LDAP", upper case
  Text host;
  Text baseDn;  // empty: the whole forest
};

// Raises ComError(E_ADS_BAD_PATHNAME) for a source of another form.
SearchSource parseSource(const Token& source);

// Looks up an attribute of the object under test (name as written in the
// query); nullopt when the object has no value.
using AttributeLookup = std::function<std::optional<Text>(TextView name)>;

// Evaluates a condition (null matches everything). Texts compare ignoring
// letter case (Unicode folding); "*" in a value of "=" or "<>" matches any
// run of characters, and a lone "*" asks whether the attribute is present.
// A comparison on a missing attribute is false, except "<>", which is its
// negation. objectCategory compared with a short name (no "=") matches the
// category whose first RDN value is that name: "person" matches
// "CN=Person,CN=Schema,...".
bool matches(const ExpressionPtr& condition, const AttributeLookup& lookup);

// Compares two attribute values for ORDER BY: ignoring letter case, missing
// values last.
int compareValues(const std::optional<Text>& a, const std::optional<Text>& b);

} // namespace korvane::directory
