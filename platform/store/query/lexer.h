// Splits query text into tokens (words, double-quoted names, single-quoted
// strings, integers and operators), each with its offset in the text, so
// that the parser can name the exact position of a syntax error.
#pragma once

#include <cstddef>

#include "platform/com/text.h"

namespace korvane::store::query::detail {

// A syntax error at a 0-based offset of the text being read; the public
// functions turn it into the ComError callers see.
struct SyntaxError {
  std::size_t offset;
  Text reason;
};

enum class TokenKind { Word, Name, String, Integer, Symbol, End };

struct Token {
  TokenKind kind = TokenKind::End;
  std::size_t offset = 0;  // of the token's first code unit
  std::size_t length = 0;  // code units in the source, quotes included
  Text text;               // words and digits as written, names and strings unescaped
};

// Reads tokens one at a time, so that the first error in reading order is
// the one reported; after the text, End (offset = text size) repeats.
// `nameLabel` says what a double-quoted token is in this text ("property
// name" in a query, "URL" inside a scope) for the error messages.
class Lexer {
public:
  Lexer(TextView source, TextView nameLabel) : s_(source), nameLabel_(nameLabel) {}
  Token next();

private:
  Token token();
  template <typename Pred>
  Token span(TokenKind kind, Pred belongs);
  Token quoted(TokenKind kind, char16_t quote, TextView what);
  TextView characterAt(std::size_t at) const;

  TextView s_;
  TextView nameLabel_;
  std::size_t pos_ = 0;
};

// How a token reads in an error message: 'word', "name", or `endText`.
Text describeToken(TextView source, const Token& token, TextView endText);

// Case-insensitive comparison of a word with an ASCII keyword ("select").
bool isKeyword(const Token& token, TextView keyword);

} // namespace korvane::store::query::detail
