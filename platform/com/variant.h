// The platform's variant value: what a property, a field or a late-bound call
// carries. Kinds: empty, null, Boolean, integer, double, text and object.
#pragma once

#include <cstdint>
#include <variant>

#include "platform/com/text.h"
#include "platform/com/unknown.h"

namespace korvane {

class Variant {
public:
  enum class Kind { Empty, Null, Bool, Int, Double, Text, Object };
  struct NullTag {
    friend bool operator==(NullTag, NullTag) { return true; }
  };

  Variant() = default;
  Variant(NullTag) : v_(NullTag{}) {}
  Variant(bool b) : v_(b) {}
  Variant(int i) : v_(std::int64_t{i}) {}
  Variant(std::int64_t i) : v_(i) {}
  Variant(double d) : v_(d) {}
  Variant(Text t) : v_(std::move(t)) {}
  Variant(TextView t) : v_(Text(t)) {}
  Variant(const char16_t* t) : v_(Text(t)) {}
  Variant(ComPtr<IUnknown> o) : v_(std::move(o)) {}
  // A raw pointer would silently become a Boolean.
  template <typename T>
  Variant(T*) = delete;

  static Variant null() { return Variant(NullTag{}); }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool isEmpty() const { return kind() == Kind::Empty; }
  bool isNull() const { return kind() == Kind::Null; }
  bool isText() const { return kind() == Kind::Text; }
  bool isObject() const { return kind() == Kind::Object; }

  // Exact accessors: throw ComError(DISP_E_TYPEMISMATCH) for another kind.
  bool boolValue() const;
  std::int64_t intValue() const;
  double doubleValue() const;
  const Text& textValue() const;
  const ComPtr<IUnknown>& objectValue() const;

  // Conversions as the run-time makes them: numbers and Booleans to their
  // decimal text ("True"/"False"), empty to "", null raises a type mismatch;
  // texts "True"/"False" and numbers to Booleans.
  Text toText() const;
  bool toBool() const;
  std::int64_t toInt() const;

  friend bool operator==(const Variant&, const Variant&) = default;

private:
  std::variant<std::monostate, NullTag, bool, std::int64_t, double, Text, ComPtr<IUnknown>> v_;
};

} // namespace korvane
