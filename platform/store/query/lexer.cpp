#include "platform/store/query/lexer.h"

namespace korvane::store::query::detail {

namespace {

bool isBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }
bool isLetter(char16_t c) { return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || c == u'_'; }
bool isDigit(char16_t c) { return c >= u'0' && c <= u'9'; }

char16_t asciiLower(char16_t c) { return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c; }

} // namespace

Token Lexer::next() {
  while (pos_ < s_.size() && isBlank(s_[pos_])) ++pos_;
  if (pos_ >= s_.size()) return Token{TokenKind::End, s_.size(), 0, {}};
  return token();
}

Token Lexer::token() {
  const std::size_t start = pos_;
  const char16_t c = s_[pos_];
  if (c == u'\'') return quoted(TokenKind::String, u'\'', u"string");
  if (c == u'"') return quoted(TokenKind::Name, u'"', nameLabel_);
  if (isLetter(c)) return span(TokenKind::Word, [](char16_t x) { return isLetter(x) || isDigit(x); });
  if (isDigit(c)) return span(TokenKind::Integer, isDigit);
  // Two-character operators first, so "<=" is not read as "<" then "=".
  for (TextView op : {u"<>", u"!=", u"<=", u">="}) {
    if (s_.substr(pos_, 2) == op) {
      pos_ += 2;
      return Token{TokenKind::Symbol, start, 2, Text(op)};
    }
  }
  if (TextView(u"(),*=<>-").find(c) != TextView::npos) {
    ++pos_;
    return Token{TokenKind::Symbol, start, 1, Text(1, c)};
  }
  throw SyntaxError{start, u"unexpected character '" + Text(characterAt(start)) + u"'"};
}

template <typename Pred>
Token Lexer::span(TokenKind kind, Pred belongs) {
  const std::size_t start = pos_;
  while (pos_ < s_.size() && belongs(s_[pos_])) ++pos_;
  return Token{kind, start, pos_ - start, Text(s_.substr(start, pos_ - start))};
}

// A quoted token; the quote character doubled stands for itself.
Token Lexer::quoted(TokenKind kind, char16_t quote, TextView what) {
  const std::size_t start = pos_++;
  Text text;
  for (;;) {
    if (pos_ >= s_.size()) throw SyntaxError{start, u"unterminated " + Text(what)};
    const char16_t c = s_[pos_++];
    if (c != quote) {
      text += c;
    } else if (pos_ < s_.size() && s_[pos_] == quote) {
      text += quote;
      ++pos_;
    } else {
      return Token{kind, start, pos_ - start, std::move(text)};
    }
  }
}

// The whole character at `at`, so a surrogate pair is quoted intact.
TextView Lexer::characterAt(std::size_t at) const {
  const bool pair = at + 1 < s_.size() && s_[at] >= 0xD800 && s_[at] <= 0xDBFF && s_[at + 1] >= 0xDC00 &&
                    s_[at + 1] <= 0xDFFF;
  return s_.substr(at, pair ? 2 : 1);
}

Text describeToken(TextView source, const Token& token, TextView endText) {
  if (token.kind == TokenKind::End) return Text(endText);
  constexpr std::size_t shown = 40;
  TextView written = source.substr(token.offset, token.length);
  Text out(written.substr(0, shown));
  if (written.size() > shown) {
    if (out.back() >= 0xD800 && out.back() <= 0xDBFF) out.pop_back();  // keep pairs whole
    out += u"...";
  }
  if (token.kind == TokenKind::Name || token.kind == TokenKind::String) return out;
  return u"'" + out + u"'";
}

bool isKeyword(const Token& token, TextView keyword) {
  if (token.kind != TokenKind::Word || token.text.size() != keyword.size()) return false;
  for (std::size_t i = 0; i < keyword.size(); ++i)
    if (asciiLower(token.text[i]) != keyword[i]) return false;
  return true;
}

} // namespace korvane::store::query::detail
