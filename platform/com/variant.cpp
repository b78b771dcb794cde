#include "platform/com/variant.h"

#include <cmath>
#include <fmt/format.h>

namespace korvane {

namespace {
[[noreturn]] void mismatch() { throw ComError(DISP_E_TYPEMISMATCH, u"Type mismatch."); }
} // namespace

bool Variant::boolValue() const {
  if (auto* b = std::get_if<bool>(&v_)) return *b;
  mismatch();
}
std::int64_t Variant::intValue() const {
  if (auto* i = std::get_if<std::int64_t>(&v_)) return *i;
  mismatch();
}
double Variant::doubleValue() const {
  if (auto* d = std::get_if<double>(&v_)) return *d;
  mismatch();
}
const Text& Variant::textValue() const {
  if (auto* t = std::get_if<Text>(&v_)) return *t;
  mismatch();
}
const ComPtr<IUnknown>& Variant::objectValue() const {
  if (auto* o = std::get_if<ComPtr<IUnknown>>(&v_)) return *o;
  mismatch();
}

Text Variant::toText() const {
  switch (kind()) {
    case Kind::Empty: return {};
    case Kind::Bool: return std::get<bool>(v_) ? u"True" : u"False";
    case Kind::Int: return fromUtf8(fmt::format("{}", std::get<std::int64_t>(v_)));
    case Kind::Double: return fromUtf8(fmt::format("{}", std::get<double>(v_)));
    case Kind::Text: return std::get<Text>(v_);
    default: mismatch();
  }
}

bool Variant::toBool() const {
  switch (kind()) {
    case Kind::Empty: return false;
    case Kind::Bool: return std::get<bool>(v_);
    case Kind::Int: return std::get<std::int64_t>(v_) != 0;
    case Kind::Double: return std::get<double>(v_) != 0.0;
    case Kind::Text: {
      const Text& t = std::get<Text>(v_);
      if (equalsIgnoreCase(trimBlanks(t), u"true")) return true;
      if (equalsIgnoreCase(trimBlanks(t), u"false")) return false;
      return toInt() != 0;
    }
    default: mismatch();
  }
}

std::int64_t Variant::toInt() const {
  switch (kind()) {
    case Kind::Empty: return 0;
    case Kind::Bool: return std::get<bool>(v_) ? -1 : 0;
    case Kind::Int: return std::get<std::int64_t>(v_);
    case Kind::Double: {
      double d = std::get<double>(v_);
      if (!std::isfinite(d) || std::fabs(d) > 9.2e18) mismatch();
      return static_cast<std::int64_t>(std::nearbyint(d));
    }
    case Kind::Text: {
      std::string s = toUtf8(trimBlanks(std::get<Text>(v_)));
      if (s.empty()) mismatch();
      std::size_t used = 0;
      long long v = 0;
      try {
        v = std::stoll(s, &used);
      } catch (...) {
        mismatch();
      }
      if (used != s.size()) mismatch();
      return v;
    }
    default: mismatch();
  }
}

} // namespace korvane
