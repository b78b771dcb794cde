// The canonical text of parsed queries and conditions.
#include <fmt/format.h>

#include "platform/store/query/condition.h"

namespace korvane::store::query {

namespace {

Text quoted(TextView text, char16_t quote) {
  const Text q(1, quote);
  return q + replaceAll(text, q, q + q) + q;
}

Text operandText(const Operand& o) {
  if (o.isProperty) return quoted(o.property, u'"');
  switch (o.value.kind()) {
    case Variant::Kind::Text: return quoted(o.value.textValue(), u'\'');
    case Variant::Kind::Bool: return o.value.boolValue() ? u"TRUE" : u"FALSE";
    case Variant::Kind::Int: return fromUtf8(fmt::format("{}", o.value.intValue()));
    default: return u"NULL";  // the parser makes no other literal
  }
}

TextView opText(CompareOp op) {
  switch (op) {
    case CompareOp::Equal: return u"=";
    case CompareOp::NotEqual: return u"<>";
    case CompareOp::Less: return u"<";
    case CompareOp::Greater: return u">";
    case CompareOp::LessEqual: return u"<=";
    case CompareOp::GreaterEqual: return u">=";
  }
  return u"=";
}

// `nested`: the node is an operand of AND, OR or NOT, so a chain needs
// parentheses to keep its grouping.
Text conditionText(const Condition& c, bool nested) {
  switch (c.kind) {
    case Condition::Kind::And:
    case Condition::Kind::Or: {
      const TextView joint = c.kind == Condition::Kind::And ? u" AND " : u" OR ";
      Text out;
      for (const ConditionPtr& child : c.children) {
        if (!out.empty()) out += joint;
        out += conditionText(*child, true);
      }
      return nested ? u"(" + out + u")" : out;
    }
    case Condition::Kind::Not: return u"NOT " + conditionText(*c.children.front(), true);
    case Condition::Kind::Compare:
      return operandText(c.left) + u" " + Text(opText(c.op)) + u" " + operandText(c.right);
    case Condition::Kind::IsNull: return operandText(c.left) + (c.negated ? u" IS NOT NULL" : u" IS NULL");
    case Condition::Kind::Like:
      return operandText(c.left) + (c.negated ? u" NOT LIKE " : u" LIKE ") + quoted(c.pattern, u'\'');
  }
  return {};
}

Text scopeText(const Scope& scope) {
  const Text entry = Text(scope.depth == Depth::Shallow ? u"shallow" : u"deep") + u" traversal of " +
                     quoted(scope.url, u'"');
  return quoted(entry, u'\'');
}

} // namespace

Text toText(const ConditionPtr& condition) { return condition ? conditionText(*condition, false) : Text(); }

Text toText(const Query& query) {
  Text out = u"SELECT ";
  const bool all = query.select.size() == 1 && query.select.front() == u"*";
  for (std::size_t k = 0; k < query.select.size(); ++k) {
    if (k > 0) out += u", ";
    out += all ? Text(u"*") : quoted(query.select[k], u'"');
  }
  out += u" FROM SCOPE(";
  for (std::size_t k = 0; k < query.scopes.size(); ++k) {
    if (k > 0) out += u", ";
    out += scopeText(query.scopes[k]);
  }
  out += u")";
  if (query.where) out += u" WHERE " + toText(query.where);
  for (std::size_t k = 0; k < query.orderBy.size(); ++k) {
    out += k == 0 ? u" ORDER BY " : u", ";
    out += quoted(query.orderBy[k].property, u'"');
    if (query.orderBy[k].descending) out += u" DESC";
  }
  return out;
}

} // namespace korvane::store::query
