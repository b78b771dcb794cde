// Readable failure messages for the store tests: platform texts and variants
// printed as UTF-8.
#pragma once

#include <ostream>

#include "platform/com/variant.h"

namespace korvane {

inline void PrintTo(const Variant& v, std::ostream* os) {
  switch (v.kind()) {
    case Variant::Kind::Empty: *os << "<empty>"; return;
    case Variant::Kind::Null: *os << "<null>"; return;
    case Variant::Kind::Object: *os << "<object>"; return;
    case Variant::Kind::Text: *os << '"' << toUtf8(v.textValue()) << '"'; return;
    default: *os << toUtf8(v.toText());
  }
}

} // namespace korvane
