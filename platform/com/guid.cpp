#include "platform/com/guid.h"

namespace korvane {

std::optional<Guid> Guid::parse(TextView s) {
  std::string ascii;
  ascii.reserve(s.size());
  for (char16_t c : s) {
    if (c > 0x7F) return std::nullopt;
    ascii += static_cast<char>(c);
  }
  return parse(std::string_view(ascii));
}

namespace {

void appendHex(std::string& out, std::uint64_t value, int digits) {
  constexpr char kDigits[] = "0123456789ABCDEF";
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

} // namespace

// By hand: every activation formats a class id, and a format string
// costs several times the whole look-up it serves.
std::string Guid::toString() const {
  std::string out;
  out.reserve(38);
  out += '{';
  appendHex(out, data1, 8);
  out += '-';
  appendHex(out, data2, 4);
  out += '-';
  appendHex(out, data3, 4);
  out += '-';
  for (std::size_t i = 0; i < data4.size(); ++i) {
    if (i == 2) out += '-';
    appendHex(out, data4[i], 2);
  }
  out += '}';
  return out;
}

Text Guid::toText() const { return fromUtf8(toString()); }

} // namespace korvane
