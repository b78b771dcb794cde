#include "platform/com/text.h"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

namespace korvane {

// Both conversions write through a pointer into a buffer of the final size
// (or, from UTF-8, of an upper bound) instead of appending byte by byte:
// they carry every text the store reads and writes, a received message's
// kilobytes among them.

namespace {

// The code point at text[i], moving i past it; a lone surrogate is U+FFFD.
inline char32_t nextCodePoint(TextView text, std::size_t& i) {
  char32_t c = text[i++];
  if (U16_IS_LEAD(c) && i < text.size() && U16_IS_TRAIL(text[i])) {
    c = U16_GET_SUPPLEMENTARY(c, text[i]);
    ++i;
  } else if (U16_IS_SURROGATE(c)) {
    c = 0xFFFD;
  }
  return c;
}

std::size_t utf8Length(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

} // namespace

std::string toUtf8(TextView text) {
  std::size_t length = 0;
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] < 0x80) {
      ++length;
      ++i;
    } else {
      length += utf8Length(nextCodePoint(text, i));
    }
  }
  std::string out(length, '\0');
  char* o = out.data();
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] < 0x80) {
      *o++ = static_cast<char>(text[i++]);
      continue;
    }
    const char32_t c = nextCodePoint(text, i);
    switch (utf8Length(c)) {
      case 1: *o++ = static_cast<char>(c); break;
      case 2:
        *o++ = static_cast<char>(0xC0 | (c >> 6));
        *o++ = static_cast<char>(0x80 | (c & 0x3F));
        break;
      case 3:
        *o++ = static_cast<char>(0xE0 | (c >> 12));
        *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (c & 0x3F));
        break;
      default:
        *o++ = static_cast<char>(0xF0 | (c >> 18));
        *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

Text fromUtf8(std::string_view utf8) {
  Text out(utf8.size(), u'\0');  // a byte never gives more than one UTF-16 unit
  char16_t* o = out.data();
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t n = utf8.size();
  for (std::size_t i = 0; i < n;) {
    const unsigned char b = s[i];
    if (b < 0x80) {
      *o++ = b;
      ++i;
      continue;
    }
    char32_t c = 0xFFFD;
    std::size_t len = 1;
    auto cont = [&](std::size_t k) { return i + k < n && (s[i + k] & 0xC0) == 0x80; };
    if ((b & 0xE0) == 0xC0 && cont(1)) {
      c = ((b & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
      len = 2;
      if (c < 0x80) c = 0xFFFD;
    } else if ((b & 0xF0) == 0xE0 && cont(1) && cont(2)) {
      c = ((b & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
      len = 3;
      if (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    } else if ((b & 0xF8) == 0xF0 && cont(1) && cont(2) && cont(3)) {
      c = ((b & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
      len = 4;
      if (c < 0x10000 || c > 0x10FFFF) c = 0xFFFD;
    }
    i += len;
    if (c >= 0x10000) {
      *o++ = static_cast<char16_t>(U16_LEAD(c));
      *o++ = static_cast<char16_t>(U16_TRAIL(c));
    } else {
      *o++ = static_cast<char16_t>(c);
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

Text trimBlanks(TextView text) {
  size_t b = 0, e = text.size();
  while (b < e && text[b] == u' ') ++b;
  while (e > b && text[e - 1] == u' ') --e;
  return Text(text.substr(b, e - b));
}

namespace {

bool isAscii(TextView text) {
  for (char16_t c : text)
    if (c >= 0x80) return false;
  return true;
}

// Unicode's default case folding of an ASCII character: only A-Z change.
char16_t foldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

} // namespace

// Names and keys are nearly always ASCII: those are folded here, without
// ICU, with the same result as its default folding.
bool equalsIgnoreCase(TextView a, TextView b) {
  if (isAscii(a) && isAscii(b)) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
      if (foldAscii(a[i]) != foldAscii(b[i])) return false;
    return true;
  }
  UErrorCode status = U_ZERO_ERROR;
  int r = u_strCaseCompare(a.data(), static_cast<int32_t>(a.size()), b.data(),
                           static_cast<int32_t>(b.size()), U_FOLD_CASE_DEFAULT, &status);
  return U_SUCCESS(status) && r == 0;
}

Text foldCase(TextView text) {
  if (isAscii(text)) {
    Text out(text);
    for (char16_t& c : out) c = foldAscii(c);
    return out;
  }
  Text out(text.size() + 16, u'\0');
  for (;;) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = u_strFoldCase(out.data(), static_cast<int32_t>(out.size()), text.data(),
                              static_cast<int32_t>(text.size()), U_FOLD_CASE_DEFAULT, &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
      out.resize(static_cast<size_t>(n));
      continue;
    }
    out.resize(U_SUCCESS(status) ? static_cast<size_t>(n) : 0);
    return out;
  }
}

namespace {
template <typename Map>
Text mapSimple(TextView text, Map map) {
  Text out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    size_t start = i;
    UChar32 c;
    U16_NEXT(text.data(), i, text.size(), c);
    UChar32 m = map(c);
    // Keep the original where the mapping would change the code-unit count.
    if (U16_LENGTH(m) != static_cast<int>(i - start)) m = c;
    if (U16_LENGTH(m) == 1 && U16_IS_SURROGATE(text[start])) {
      out += text[start];  // an unpaired surrogate stays as it was
    } else if (U16_LENGTH(m) == 1) {
      out += static_cast<char16_t>(m);
    } else {
      out += static_cast<char16_t>(U16_LEAD(m));
      out += static_cast<char16_t>(U16_TRAIL(m));
    }
  }
  return out;
}
} // namespace

Text toLowerSimple(TextView text) { return mapSimple(text, [](UChar32 c) { return u_tolower(c); }); }
Text toUpperSimple(TextView text) { return mapSimple(text, [](UChar32 c) { return u_toupper(c); }); }

std::vector<Text> split(TextView text, char16_t separator) {
  std::vector<Text> out;
  if (text.empty()) return out;
  size_t start = 0;
  for (;;) {
    size_t pos = text.find(separator, start);
    if (pos == TextView::npos) {
      out.emplace_back(text.substr(start));
      return out;
    }
    out.emplace_back(text.substr(start, pos - start));
    start = pos + 1;
  }
}

Text replaceAll(TextView text, TextView from, TextView to) {
  if (from.empty()) return Text(text);
  Text out;
  size_t start = 0;
  for (size_t pos; (pos = text.find(from, start)) != TextView::npos; start = pos + from.size()) {
    out.append(text.substr(start, pos - start));
    out.append(to);
  }
  out.append(text.substr(start));
  return out;
}

} // namespace korvane
