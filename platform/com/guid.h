// GUIDs as the platform's COM layer uses them: class, interface and library
// identifiers, parsed from and formatted to the usual braced text.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/com/text.h"

namespace korvane {

struct Guid {
  std::uint32_t data1 = 0;
  std::uint16_t data2 = 0;
  std::uint16_t data3 = 0;
  std::array<std::uint8_t, 8> data4{};

  // Accepts "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" with or without braces,
  // hex digits in either case; nothing else.
  static constexpr std::optional<Guid> parse(std::string_view s);
  static std::optional<Guid> parse(TextView s);

  // Upper-case hex with braces, as the registry stores class identifiers.
  std::string toString() const;
  Text toText() const;

  friend constexpr bool operator==(const Guid&, const Guid&) = default;
};

// A compile-time GUID constant: a malformed literal does not compile.
consteval Guid operator""_guid(const char* s, std::size_t n) {
  auto g = Guid::parse(std::string_view(s, n));
  if (!g) throw "malformed GUID literal";
  return *g;
}

constexpr std::optional<Guid> Guid::parse(std::string_view s) {
  if (s.size() == 38) {
    if (s.front() != '{' || s.back() != '}') return std::nullopt;
    s = s.substr(1, 36);
  }
  if (s.size() != 36) return std::nullopt;
  auto hex = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  std::uint8_t bytes[16]{};
  int nibbles = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (i == 8 || i == 13 || i == 18 || i == 23) {
      if (s[i] != '-') return std::nullopt;
      continue;
    }
    int v = hex(s[i]);
    if (v < 0) return std::nullopt;
    bytes[nibbles / 2] = static_cast<std::uint8_t>(bytes[nibbles / 2] * 16 + v);
    ++nibbles;
  }
  Guid g;
  g.data1 = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
            (std::uint32_t{bytes[2]} << 8) | bytes[3];
  g.data2 = static_cast<std::uint16_t>((bytes[4] << 8) | bytes[5]);
  g.data3 = static_cast<std::uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int i = 0; i < 8; ++i) g.data4[static_cast<std::size_t>(i)] = bytes[8 + i];
  return g;
}

} // namespace korvane

template <>
struct std::hash<korvane::Guid> {
  std::size_t operator()(const korvane::Guid& g) const noexcept {
    std::size_t h = g.data1 ^ (std::size_t{g.data2} << 16) ^ (std::size_t{g.data3} << 32);
    for (auto b : g.data4) h = h * 31 + b;
    return h;
  }
};
