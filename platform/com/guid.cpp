#include "platform/com/guid.h"

#include <fmt/format.h>

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

std::string Guid::toString() const {
  return fmt::format("{{{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}}}",
                     data1, data2, data3, data4[0], data4[1], data4[2], data4[3], data4[4],
                     data4[5], data4[6], data4[7]);
}

Text Guid::toText() const { return fromUtf8(toString()); }

} // namespace korvane
