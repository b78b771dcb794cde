// The two collections of the COM+ catalog described as data: each property's
// name, database column, type and access, so that catalog objects, loading
// and saving share one description instead of a switch per property.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "platform/com/variant.h"

namespace korvane::complus::detail {

enum class Type { Text, NullableText, Bool, Int };
enum class Access { ReadWrite, ReadOnly, WriteOnly };

struct Property {
  Text name;
  std::string column;
  Type type;
  Access access;
  Variant initial;  // the value of a new object
};

struct Kind {
  Text name;  // the collection's name, e.g. "Applications"
  std::string table;
  std::vector<Property> properties;
  std::size_t key;      // index of the object's Key property
  std::size_t display;  // index of the object's Name property
  std::optional<std::size_t> parent;  // index of the owner's ID (components)
  bool canAdd;
};

const Kind& applications();
const Kind& components();

// The property of that name, ignoring case.
std::optional<std::size_t> findProperty(const Kind& kind, TextView name);

// Throws COMADMIN_E_PROPERTYUNKNOWN naming the property and the collection.
[[noreturn]] void unknownProperty(const Kind& kind, TextView name);

// The value as the property's type; throws COMADMIN_E_OBJECTINVALID (the
// message never shows the value, which may be a password).
Variant convert(const Property& property, const Variant& value);

} // namespace korvane::complus::detail
