#include "platform/directory/query.h"

#include <fmt/format.h>

#include "platform/com/hresult.h"
#include "platform/directory/directory.h"
#include "platform/store/ado.h"

namespace korvane::directory {

namespace {

// ---- Lexer -----------------------------------------------------------------

enum class Lex { Word, Quoted, Comma, Open, Close, Op, End };

struct Lexeme {
  Lex kind = Lex::End;
  Text text;
  std::size_t position = 0;  // 1-based
};

[[noreturn]] void syntaxError(std::size_t position, std::string_view reason) {
  throw ComError(ado::adErrQuerySyntax,
                 fromUtf8(fmt::format("Syntax error in the directory query at position {}: {}.",
                                      position, reason)));
}

bool isSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }
bool isWordChar(char16_t c) { return !isSpace(c) && TextView(u"'(),=<>!").find(c) == TextView::npos; }

std::vector<Lexeme> tokenize(TextView text) {
  std::vector<Lexeme> out;
  std::size_t i = 0;
  while (i < text.size()) {
    char16_t c = text[i];
    std::size_t start = i;
    if (isSpace(c)) {
      ++i;
    } else if (c == u'\'') {
      Text value;
      ++i;
      for (;;) {
        if (i >= text.size()) syntaxError(start + 1, "the quoted text that starts here has no closing apostrophe");
        if (text[i] == u'\'') {
          if (i + 1 < text.size() && text[i + 1] == u'\'') {
            value += u'\'';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        value += text[i++];
      }
      out.push_back({Lex::Quoted, std::move(value), start + 1});
    } else if (c == u',' || c == u'(' || c == u')') {
      out.push_back({c == u',' ? Lex::Comma : c == u'(' ? Lex::Open : Lex::Close, Text(1, c), start + 1});
      ++i;
    } else if (c == u'=' || c == u'<' || c == u'>' || c == u'!') {
      Text op(1, c);
      ++i;
      if (i < text.size() && ((c != u'=' && text[i] == u'=') || (c == u'<' && text[i] == u'>'))) op += text[i++];
      if (op == u"!") syntaxError(start + 1, "'!' must be followed by '=' (or write '<>')");
      out.push_back({Lex::Op, std::move(op), start + 1});
    } else {
      while (i < text.size() && isWordChar(text[i])) ++i;
      out.push_back({Lex::Word, Text(text.substr(start, i - start)), start + 1});
    }
  }
  out.push_back({Lex::End, Text(), text.size() + 1});
  return out;
}

// ---- Parser ----------------------------------------------------------------

constexpr int kMaxNesting = 200;

bool isAttributeName(TextView t) {
  auto letter = [](char16_t c) { return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z'); };
  auto digit = [](char16_t c) { return c >= u'0' && c <= u'9'; };
  if (t.empty() || !letter(t[0])) return false;
  for (char16_t c : t)
    if (!letter(c) && !digit(c) && c != u'-') return false;
  return true;
}

std::string describe(const Lexeme& l) {
  switch (l.kind) {
    case Lex::End: return "the end of the text";
    case Lex::Quoted: return fmt::format("the quoted text '{}'", toUtf8(l.text));
    default: return fmt::format("'{}'", toUtf8(l.text));
  }
}

class Parser {
public:
  explicit Parser(TextView text) : lex_(tokenize(text)) {}

  DirectoryQuery parse() {
    DirectoryQuery q;
    expectKeyword(u"SELECT");
    q.attributes = selectList();
    expectKeyword(u"FROM");
    if (peek().kind != Lex::Quoted) fault("a quoted search source such as 'GC://host'");
    q.source = token(next());
    if (atKeyword(u"WHERE")) {
      next();
      q.where = orExpression(0);
    }
    if (atKeyword(u"ORDER")) {
      next();
      expectKeyword(u"BY");
      q.orderBy = sortList();
    }
    if (peek().kind != Lex::End) fault(q.where || !q.orderBy.empty() ? "AND, OR or the end of the query"
                                                                      : "WHERE, ORDER BY or the end of the query");
    return q;
  }

private:
  const Lexeme& peek() const { return lex_[i_]; }
  const Lexeme& next() { return lex_[i_ < lex_.size() - 1 ? i_++ : i_]; }
  static Token token(const Lexeme& l) { return Token{l.text, l.position}; }

  [[noreturn]] void fault(std::string_view expected) const {
    syntaxError(peek().position, fmt::format("expected {}, found {}", expected, describe(peek())));
  }

  bool atKeyword(TextView keyword) const {
    return peek().kind == Lex::Word && equalsIgnoreCase(peek().text, keyword);
  }
  void expectKeyword(TextView keyword) {
    if (!atKeyword(keyword)) fault(toUtf8(keyword));
    next();
  }

  Token attributeName() {
    if (peek().kind != Lex::Word || !isAttributeName(peek().text) || atKeyword(u"FROM"))
      fault("an attribute name");
    return token(next());
  }

  std::vector<Token> selectList() {
    if (peek().kind == Lex::Word && peek().text == u"*") return {token(next())};
    std::vector<Token> out{attributeName()};
    while (peek().kind == Lex::Comma) {
      next();
      out.push_back(attributeName());
    }
    return out;
  }

  std::vector<SortKey> sortList() {
    std::vector<SortKey> out;
    do {
      if (!out.empty()) next();  // the comma
      SortKey key{attributeName(), false};
      if (atKeyword(u"DESC")) {
        key.descending = true;
        next();
      } else if (atKeyword(u"ASC")) {
        next();
      }
      out.push_back(std::move(key));
    } while (peek().kind == Lex::Comma);
    return out;
  }

  ExpressionPtr combine(Expression::Kind kind, std::vector<ExpressionPtr> operands) {
    if (operands.size() == 1) return operands.front();
    auto e = std::make_shared<Expression>();
    e->kind = kind;
    e->operands = std::move(operands);
    return e;
  }

  ExpressionPtr orExpression(int depth) {
    std::vector<ExpressionPtr> terms{andExpression(depth)};
    while (atKeyword(u"OR")) {
      next();
      terms.push_back(andExpression(depth));
    }
    return combine(Expression::Kind::Or, std::move(terms));
  }

  ExpressionPtr andExpression(int depth) {
    std::vector<ExpressionPtr> factors{unary(depth)};
    while (atKeyword(u"AND")) {
      next();
      factors.push_back(unary(depth));
    }
    return combine(Expression::Kind::And, std::move(factors));
  }

  ExpressionPtr unary(int depth) {
    if (depth > kMaxNesting) syntaxError(peek().position, "the condition is nested too deeply");
    if (atKeyword(u"NOT")) {
      next();
      auto e = std::make_shared<Expression>();
      e->kind = Expression::Kind::Not;
      e->operands.push_back(unary(depth + 1));
      return e;
    }
    if (peek().kind == Lex::Open) {
      next();
      ExpressionPtr inner = orExpression(depth + 1);
      if (peek().kind != Lex::Close) fault("')'");
      next();
      return inner;
    }
    return comparison();
  }

  ExpressionPtr comparison() {
    auto e = std::make_shared<Expression>();
    if (peek().kind != Lex::Word || !isAttributeName(peek().text)) fault("an attribute name, NOT or '('");
    e->attribute = token(next());
    if (peek().kind != Lex::Op) fault("a comparison operator (=, <>, <, <=, >, >=)");
    e->op = operatorOf(next().text);
    if (peek().kind != Lex::Quoted && peek().kind != Lex::Word) fault("a value");
    e->quoted = peek().kind == Lex::Quoted;
    e->value = token(next());
    return e;
  }

  static CompareOp operatorOf(TextView op) {
    if (op == u"=") return CompareOp::Equal;
    if (op == u"<>" || op == u"!=") return CompareOp::NotEqual;
    if (op == u"<") return CompareOp::Less;
    if (op == u"<=") return CompareOp::LessEqual;
    if (op == u">") return CompareOp::Greater;
    return CompareOp::GreaterEqual;  // ">=" ; the lexer makes no other
  }

  std::vector<Lexeme> lex_;
  std::size_t i_ = 0;
};

// ---- Evaluation ------------------------------------------------------------

// Glob with "*" only, on folded texts.
bool wildcardMatch(TextView text, TextView pattern) {
  std::size_t t = 0, p = 0, star = TextView::npos, resume = 0;
  while (t < text.size()) {
    if (p < pattern.size() && pattern[p] == u'*') {
      star = p++;
      resume = t;
    } else if (p < pattern.size() && pattern[p] == text[t]) {
      ++p;
      ++t;
    } else if (star != TextView::npos) {
      p = star + 1;
      t = ++resume;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == u'*') ++p;
  return p == pattern.size();
}

// "CN=Person,CN=Schema,..." gives "Person" (escapes removed).
Text firstRdnValue(TextView dn) {
  std::size_t eq = dn.find(u'=');
  if (eq == TextView::npos) return Text(dn);
  Text out;
  for (std::size_t i = eq + 1; i < dn.size(); ++i) {
    if (dn[i] == u'\\' && i + 1 < dn.size()) {
      out += dn[++i];
      continue;
    }
    if (dn[i] == u',') break;
    out += dn[i];
  }
  return out;
}

bool valueEquals(const Expression& e, TextView actual) {
  TextView wanted = e.value.text;
  Text subject(actual);
  if (equalsIgnoreCase(e.attribute.text, u"objectCategory") && wanted.find(u'=') == TextView::npos)
    subject = firstRdnValue(actual);
  if (wanted.find(u'*') != TextView::npos) return wildcardMatch(foldCase(subject), foldCase(wanted));
  return equalsIgnoreCase(subject, wanted);
}

bool compare(const Expression& e, const AttributeLookup& lookup) {
  std::optional<Text> actual = lookup(e.attribute.text);
  switch (e.op) {
    case CompareOp::Equal: return actual && valueEquals(e, *actual);
    case CompareOp::NotEqual: return !(actual && valueEquals(e, *actual));
    default: break;
  }
  if (!actual) return false;
  int c = foldCase(*actual).compare(foldCase(e.value.text));
  switch (e.op) {
    case CompareOp::Less: return c < 0;
    case CompareOp::LessEqual: return c <= 0;
    case CompareOp::Greater: return c > 0;
    default: return c >= 0;
  }
}

} // namespace

DirectoryQuery parseQuery(TextView text) { return Parser(text).parse(); }

SearchSource parseSource(const Token& source) {
  auto bad = [&]() -> SearchSource {
    throw ComError(E_ADS_BAD_PATHNAME,
                   u"'" + source.text +
                       u"' is not a directory path: write the search source as 'GC://host' or "
                       u"'GC://host/base DN'.");
  };
  TextView t = source.text;
  std::size_t sep = t.find(u"://");
  if (sep == TextView::npos) return bad();
  SearchSource s;
  s.scheme = toUpperSimple(t.substr(0, sep));
  if (s.scheme != u"GC" && s.scheme != u"LDAP") return bad();
  TextView rest = t.substr(sep + 3);
  std::size_t slash = rest.find(u'/');
  TextView hostPort = rest.substr(0, slash);
  if (slash != TextView::npos) s.baseDn = Text(rest.substr(slash + 1));
  std::size_t colon = hostPort.find(u':');
  if (colon != TextView::npos) {
    TextView port = hostPort.substr(colon + 1);
    if (port.empty() || port.find_first_not_of(u"0123456789") != TextView::npos) return bad();
    hostPort = hostPort.substr(0, colon);
  }
  if (hostPort.empty() || hostPort.find(u'=') != TextView::npos) return bad();
  s.host = Text(hostPort);
  return s;
}

bool matches(const ExpressionPtr& condition, const AttributeLookup& lookup) {
  if (!condition) return true;
  switch (condition->kind) {
    case Expression::Kind::Compare: return compare(*condition, lookup);
    case Expression::Kind::Not: return !matches(condition->operands.front(), lookup);
    case Expression::Kind::And:
      for (const auto& op : condition->operands)
        if (!matches(op, lookup)) return false;
      return true;
    case Expression::Kind::Or:
      for (const auto& op : condition->operands)
        if (matches(op, lookup)) return true;
      return false;
  }
  return false;
}

int compareValues(const std::optional<Text>& a, const std::optional<Text>& b) {
  if (!a || !b) return a ? -1 : b ? 1 : 0;
  int c = foldCase(*a).compare(foldCase(*b));
  return c < 0 ? -1 : c > 0 ? 1 : 0;
}

} // namespace korvane::directory
