// The recursive-descent parser of queries and registration criteria:
//   query     = SELECT list FROM scope [WHERE or] [ORDER BY key {"," key}]
//   list      = "*" | name {"," name}
//   scope     = SCOPE "(" string {"," string} ")", each string holding
//               entry {"," entry}, entry = [SHALLOW|DEEP TRAVERSAL OF] url
//   or        = and {OR and};  and = not {AND not};  not = NOT not | primary
//   primary   = "(" or ")" | operand (compare operand | IS [NOT] NULL | [NOT] LIKE string)
#include <fmt/format.h>

#include "platform/store/ado.h"
#include "platform/store/query/condition.h"
#include "platform/store/query/lexer.h"
#include "platform/store/query/values.h"

namespace korvane::store::query {

namespace {

using detail::isKeyword;
using detail::SyntaxError;
using detail::Token;
using detail::TokenKind;

class Parser {
public:
  Parser(TextView source, bool scopeText)
      : source_(source),
        endText_(scopeText ? u"end of scope" : u"end of query"),
        lexer_(source, scopeText ? u"URL" : u"property name"),
        current_(lexer_.next()) {}

  Query query() {
    Query q;
    expectKeyword(u"select", u"SELECT");
    q.select = selectList();
    if (!isKeyword(peek(), u"from"))
      fail(peek(), Text(q.select.front() == u"*" ? u"expected FROM" : u"expected ',' or FROM") + u", found " +
                       describe(peek()));
    next();
    q.scopes = scopeClause();
    if (acceptKeyword(u"where")) q.where = orExpression(0);
    if (acceptKeyword(u"order")) {
      expectKeyword(u"by", u"BY");
      q.orderBy = orderKeys();
    }
    expectEnd();
    return q;
  }

  ConditionPtr criteria() {
    if (peek().kind == TokenKind::End) return nullptr;
    expectKeyword(u"where", u"WHERE");
    ConditionPtr c = orExpression(0);
    expectEnd();
    return c;
  }

  // Entries of one scope string, read as a text of its own.
  void scopeEntries(std::vector<Scope>& out) {
    if (peek().kind == TokenKind::End) fail(peek(), u"missing scope");
    for (;;) {
      Scope scope;
      scope.depth = Depth::Deep;  // a bare URL is searched deep
      if (acceptKeyword(u"shallow")) {
        scope.depth = Depth::Shallow;
        traversalOf();
      } else if (acceptKeyword(u"deep")) {
        traversalOf();
      } else if (peek().kind != TokenKind::Name) {
        fail(peek(), u"expected 'shallow traversal of \"URL\"', 'deep traversal of \"URL\"' or \"URL\", found " +
                         describe(peek()));
      }
      scope.url = url();
      out.push_back(std::move(scope));
      if (!acceptSymbol(u",")) break;
    }
    expectEnd();
  }

private:
  // --- tokens -------------------------------------------------------------

  const Token& peek() const { return current_; }
  Token next() {
    Token t = std::move(current_);
    current_ = lexer_.next();
    return t;
  }
  Text describe(const Token& t) const { return detail::describeToken(source_, t, endText_); }
  [[noreturn]] void fail(const Token& t, Text reason) const { throw SyntaxError{t.offset, std::move(reason)}; }

  bool acceptKeyword(TextView keyword) {
    if (!isKeyword(peek(), keyword)) return false;
    next();
    return true;
  }
  void expectKeyword(TextView keyword, TextView shown) {
    if (!acceptKeyword(keyword)) fail(peek(), u"expected " + Text(shown) + u", found " + describe(peek()));
  }
  bool isSymbol(TextView symbol) const { return peek().kind == TokenKind::Symbol && peek().text == symbol; }
  bool acceptSymbol(TextView symbol) {
    if (!isSymbol(symbol)) return false;
    next();
    return true;
  }
  void expectSymbol(TextView symbol) {
    if (!acceptSymbol(symbol)) fail(peek(), u"expected '" + Text(symbol) + u"', found " + describe(peek()));
  }
  void expectEnd() {
    if (peek().kind != TokenKind::End) fail(peek(), u"unexpected " + describe(peek()));
  }

  Text propertyName() {
    if (peek().kind != TokenKind::Name)
      fail(peek(), u"expected a property name in double quotes, found " + describe(peek()));
    if (peek().text.empty()) fail(peek(), u"empty property name");
    return next().text;
  }

  // --- SELECT and ORDER BY ------------------------------------------------

  std::vector<Text> selectList() {
    if (acceptSymbol(u"*")) return {u"*"};
    if (isKeyword(peek(), u"from") || peek().kind == TokenKind::End) fail(peek(), u"empty select list");
    std::vector<Text> names{propertyName()};
    while (acceptSymbol(u",")) names.push_back(propertyName());
    return names;
  }

  std::vector<OrderKey> orderKeys() {
    std::vector<OrderKey> keys;
    do {
      OrderKey key{propertyName(), false};
      if (acceptKeyword(u"desc")) key.descending = true;
      else acceptKeyword(u"asc");
      keys.push_back(std::move(key));
    } while (acceptSymbol(u","));
    return keys;
  }

  // --- FROM SCOPE(...) ----------------------------------------------------

  std::vector<Scope> scopeClause() {
    if (!isKeyword(peek(), u"scope"))
      fail(peek(), u"missing scope: expected SCOPE('shallow traversal of \"URL\"'), found " + describe(peek()));
    next();
    expectSymbol(u"(");
    if (isSymbol(u")")) fail(peek(), u"missing scope");
    std::vector<Scope> scopes;
    do {
      if (peek().kind != TokenKind::String)
        fail(peek(), u"expected a scope in single quotes, found " + describe(peek()));
      scopeString(peek(), scopes);  // before reading on, so its errors come first
      next();
    } while (acceptSymbol(u","));
    expectSymbol(u")");
    return scopes;
  }

  // Parses the unescaped content of a scope string; error offsets inside it
  // are mapped back to the query text.
  void scopeString(const Token& literal, std::vector<Scope>& out) const {
    try {
      Parser inner(literal.text, true);
      inner.scopeEntries(out);
    } catch (const SyntaxError& e) {
      throw SyntaxError{sourceOffset(literal, e.offset), e.reason};
    }
  }

  // Offset in the query text of the n-th character of a string's content:
  // each apostrophe of the content is written twice.
  std::size_t sourceOffset(const Token& literal, std::size_t n) const {
    std::size_t pos = literal.offset + 1;
    for (std::size_t k = 0; k < n && pos < source_.size(); ++k) pos += source_[pos] == u'\'' ? 2 : 1;
    return pos;
  }

  void traversalOf() {
    expectKeyword(u"traversal", u"TRAVERSAL");
    expectKeyword(u"of", u"OF");
  }

  Text url() {
    if (peek().kind != TokenKind::Name) fail(peek(), u"expected a URL in double quotes, found " + describe(peek()));
    if (peek().text.empty()) fail(peek(), u"empty URL");
    return next().text;
  }

  // --- WHERE --------------------------------------------------------------

  void nest(int depth) const {
    if (depth > maxNesting)
      fail(peek(), fromUtf8(fmt::format("conditions nested too deeply (more than {} levels)", maxNesting)));
  }

  ConditionPtr orExpression(int depth) { return chain(Condition::Kind::Or, u"or", depth); }

  ConditionPtr andExpression(int depth) { return chain(Condition::Kind::And, u"and", depth); }

  // A run of operands joined by one operator: one n-ary node, so long
  // chains do not make the tree deep.
  ConditionPtr chain(Condition::Kind kind, TextView keyword, int depth) {
    auto operand = [&] { return kind == Condition::Kind::Or ? andExpression(depth) : notExpression(depth); };
    ConditionPtr first = operand();
    if (!isKeyword(peek(), keyword)) return first;
    auto node = std::make_shared<Condition>();
    node->kind = kind;
    node->children.push_back(std::move(first));
    while (acceptKeyword(keyword)) node->children.push_back(operand());
    return node;
  }

  ConditionPtr notExpression(int depth) {
    if (!isKeyword(peek(), u"not")) return primary(depth);
    nest(depth + 1);
    next();
    auto node = std::make_shared<Condition>();
    node->kind = Condition::Kind::Not;
    node->children.push_back(notExpression(depth + 1));
    return node;
  }

  ConditionPtr primary(int depth) {
    if (isSymbol(u"(")) {
      nest(depth + 1);
      next();
      ConditionPtr inner = orExpression(depth + 1);
      expectSymbol(u")");
      return inner;
    }
    return predicate();
  }

  ConditionPtr predicate() {
    auto node = std::make_shared<Condition>();
    node->left = operand(u"a property name, a value or '('");
    if (acceptKeyword(u"is")) {
      node->kind = Condition::Kind::IsNull;
      node->negated = acceptKeyword(u"not");
      expectKeyword(u"null", u"NULL");
    } else if (isKeyword(peek(), u"like") || isKeyword(peek(), u"not")) {
      node->kind = Condition::Kind::Like;
      node->negated = acceptKeyword(u"not");
      expectKeyword(u"like", u"LIKE");
      likePattern(*node);
    } else {
      node->kind = Condition::Kind::Compare;
      node->op = comparison();
      node->right = operand(u"a value or a property name");
    }
    return node;
  }

  CompareOp comparison() {
    static const std::pair<TextView, CompareOp> ops[] = {
        {u"=", CompareOp::Equal},       {u"<>", CompareOp::NotEqual},     {u"!=", CompareOp::NotEqual},
        {u"<", CompareOp::Less},        {u">", CompareOp::Greater},       {u"<=", CompareOp::LessEqual},
        {u">=", CompareOp::GreaterEqual}};
    for (const auto& [symbol, op] : ops)
      if (acceptSymbol(symbol)) return op;
    fail(peek(), u"expected a comparison (=, <>, <, >, <=, >=, IS, LIKE), found " + describe(peek()));
  }

  Operand operand(TextView expected) {
    const Token& t = peek();
    Operand o;
    if (t.kind == TokenKind::Name) {
      o.isProperty = true;
      o.property = propertyName();
    } else if (t.kind == TokenKind::String) {
      o.value = Variant(next().text);
    } else if (t.kind == TokenKind::Integer || isSymbol(u"-")) {
      o.value = integer();
    } else if (isKeyword(t, u"true") || isKeyword(t, u"false")) {
      o.value = Variant(isKeyword(next(), u"true"));
    } else if (isKeyword(t, u"null")) {
      fail(t, u"a value cannot be compared with NULL: use IS NULL or IS NOT NULL");
    } else {
      fail(t, u"expected " + Text(expected) + u", found " + describe(t));
    }
    return o;
  }

  Variant integer() {
    const bool negative = acceptSymbol(u"-");
    const Token& t = peek();
    if (t.kind != TokenKind::Integer) fail(t, u"expected digits after '-', found " + describe(t));
    std::int64_t value = 0;
    for (char16_t c : t.text) {
      const int digit = c - u'0';
      if (value > (INT64_MAX - digit) / 10) fail(t, u"number too large");
      value = value * 10 + digit;
    }
    next();
    return Variant(negative ? -value : value);
  }

  void likePattern(Condition& node) {
    if (peek().kind != TokenKind::String)
      fail(peek(), u"expected a pattern in single quotes after LIKE, found " + describe(peek()));
    node.pattern = next().text;
    for (std::size_t k = 0; k < node.pattern.size(); ++k) {
      const char16_t c = node.pattern[k];
      if (c == u'%') {
        node.foldedPattern.push_back(likeAnySequence);
      } else if (c == u'_') {
        node.foldedPattern.push_back(likeAnyOne);
      } else {
        const bool pair = c >= 0xD800 && c <= 0xDBFF && k + 1 < node.pattern.size() &&
                          node.pattern[k + 1] >= 0xDC00 && node.pattern[k + 1] <= 0xDFFF;
        const std::size_t units = pair ? 2 : 1;
        for (char32_t f : detail::foldedCodePoints(TextView(node.pattern).substr(k, units)))
          node.foldedPattern.push_back(f);
        k += units - 1;
      }
    }
  }

  TextView source_;
  TextView endText_;
  detail::Lexer lexer_;
  Token current_;  // the one token of look-ahead
};

[[noreturn]] void raise(const SyntaxError& e) {
  throw ComError(ado::adErrQuerySyntax,
                 fromUtf8(fmt::format("Syntax error in query at position {}: ", e.offset + 1)) + e.reason);
}

} // namespace

Query parse(TextView text) {
  try {
    return Parser(text, false).query();
  } catch (const SyntaxError& e) {
    raise(e);
  }
}

ConditionPtr parseCriteria(TextView text) {
  try {
    return Parser(text, false).criteria();
  } catch (const SyntaxError& e) {
    raise(e);
  }
}

} // namespace korvane::store::query
