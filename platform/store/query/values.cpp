#include "platform/store/query/values.h"

#include <charconv>
#include <cmath>
#include <string>

namespace korvane::store::query::detail {

namespace {

// A number as the value holds it: integers stay exact.
struct Number {
  bool isInt = true;
  std::int64_t i = 0;
  double d = 0;
};

int sign(auto x, auto y) { return x < y ? -1 : (y < x ? 1 : 0); }

// Exact comparison of an integer with a finite double; a conversion of the
// integer to double would merge neighbours above 2^53 and break ordering.
int compareIntDouble(std::int64_t i, double d) {
  if (d >= 9223372036854775808.0) return -1;
  if (d < -9223372036854775808.0) return 1;
  const auto t = static_cast<std::int64_t>(d);  // truncates toward zero, exact here
  if (i != t) return sign(i, t);
  const double rest = d - static_cast<double>(t);
  return rest > 0 ? -1 : (rest < 0 ? 1 : 0);
}

// nullopt when either is NaN.
std::optional<int> compareNumbers(const Number& a, const Number& b) {
  if (a.isInt && b.isInt) return sign(a.i, b.i);
  if ((!a.isInt && std::isnan(a.d)) || (!b.isInt && std::isnan(b.d))) return std::nullopt;
  if (a.isInt) return compareIntDouble(a.i, b.d);
  if (b.isInt) return -compareIntDouble(b.i, a.d);
  return sign(a.d, b.d);
}

std::optional<Number> asNumber(const Variant& v) {
  switch (v.kind()) {
    case Variant::Kind::Bool: return Number{true, v.boolValue() ? 1 : 0, 0};
    case Variant::Kind::Int: return Number{true, v.intValue(), 0};
    case Variant::Kind::Double: return Number{false, 0, v.doubleValue()};
    default: return std::nullopt;
  }
}

// A text read as a number: an integer or a finite decimal, blanks around.
std::optional<Number> parseNumber(TextView text) {
  const Text trimmed = trimBlanks(text);
  std::string ascii;
  for (char16_t c : trimmed) {
    if (c > 0x7F) return std::nullopt;
    ascii += static_cast<char>(c);
  }
  const char* first = ascii.data();
  const char* last = first + ascii.size();
  if (ascii.empty()) return std::nullopt;
  std::int64_t i = 0;
  if (auto r = std::from_chars(first, last, i); r.ec == std::errc{} && r.ptr == last) return Number{true, i, 0};
  double d = 0;
  if (auto r = std::from_chars(first, last, d); r.ec == std::errc{} && r.ptr == last && std::isfinite(d))
    return Number{false, 0, d};
  return std::nullopt;
}

std::optional<bool> parseBoolean(TextView text) {
  const Text trimmed = trimBlanks(text);
  if (equalsIgnoreCase(trimmed, u"true")) return true;
  if (equalsIgnoreCase(trimmed, u"false")) return false;
  return std::nullopt;
}

// Code point order; plain UTF-16 unit order would sort U+E000..U+FFFF
// after the characters beyond the basic plane.
int compareCodePoints(TextView a, TextView b) {
  auto key = [](char16_t c) -> std::uint32_t {
    if (c >= 0xD800 && c <= 0xDFFF) return c + 0x2000u;  // surrogates above U+FFFF
    if (c >= 0xE000) return c - 0x800u;
    return c;
  };
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t k = 0; k < n; ++k)
    if (a[k] != b[k]) return sign(key(a[k]), key(b[k]));
  return sign(a.size(), b.size());
}

int compareTexts(TextView a, TextView b) { return compareCodePoints(foldCase(a), foldCase(b)); }

// A Boolean against a text: 'true'/'false' as Booleans, else as a number.
std::optional<int> compareBooleanText(bool b, TextView text) {
  if (auto t = parseBoolean(text)) return sign(int{b}, int{*t});
  if (auto n = parseNumber(text)) return compareNumbers(Number{true, b ? 1 : 0, 0}, *n);
  return std::nullopt;
}

std::optional<int> negate(std::optional<int> r) {
  if (r) return -*r;
  return r;
}

// Order of the kinds in ORDER BY: Booleans share the numbers' rank.
int rank(const Variant& v) {
  switch (v.kind()) {
    case Variant::Kind::Bool:
    case Variant::Kind::Int:
    case Variant::Kind::Double: return 1;
    case Variant::Kind::Text: return 2;
    default: return 3;
  }
}

bool isNaN(const Variant& v) { return v.kind() == Variant::Kind::Double && std::isnan(v.doubleValue()); }

} // namespace

bool isAbsent(const std::optional<Variant>& value) { return !value || value->isNull() || value->isEmpty(); }

std::optional<int> compareLoosely(const Variant& a, const Variant& b) {
  using K = Variant::Kind;
  if (a.isText() && b.isText()) return compareTexts(a.textValue(), b.textValue());
  if (a.kind() == K::Bool && b.isText()) return compareBooleanText(a.boolValue(), b.textValue());
  if (a.isText() && b.kind() == K::Bool) return negate(compareBooleanText(b.boolValue(), a.textValue()));
  auto na = a.isText() ? parseNumber(a.textValue()) : asNumber(a);
  auto nb = b.isText() ? parseNumber(b.textValue()) : asNumber(b);
  if (!na || !nb) return std::nullopt;
  return compareNumbers(*na, *nb);
}

int compareStrictly(const std::optional<Variant>& a, const std::optional<Variant>& b) {
  const bool absentA = isAbsent(a), absentB = isAbsent(b);
  if (absentA || absentB) return sign(!absentA, !absentB);
  if (int r = sign(rank(*a), rank(*b)); r != 0) return r;
  switch (rank(*a)) {
    case 1:
      // NaN after every number and equal to itself, so the order stays strict.
      if (isNaN(*a) || isNaN(*b)) return sign(isNaN(*a), isNaN(*b));
      return *compareNumbers(*asNumber(*a), *asNumber(*b));
    case 2: return compareTexts(a->textValue(), b->textValue());
    default: return 0;
  }
}

std::vector<char32_t> foldedCodePoints(TextView text) {
  const Text folded = foldCase(text);
  std::vector<char32_t> out;
  out.reserve(folded.size());
  for (std::size_t k = 0; k < folded.size(); ++k) {
    const char16_t c = folded[k];
    if (c >= 0xD800 && c <= 0xDBFF && k + 1 < folded.size() && folded[k + 1] >= 0xDC00 && folded[k + 1] <= 0xDFFF) {
      out.push_back(0x10000 + ((char32_t{c} - 0xD800) << 10) + (folded[k + 1] - 0xDC00));
      ++k;
    } else {
      out.push_back(c);  // an unpaired surrogate stands for itself
    }
  }
  return out;
}

} // namespace korvane::store::query::detail
