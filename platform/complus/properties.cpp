#include "platform/complus/properties.h"

#include <limits>

#include "platform/complus/catalog.h"

namespace korvane::complus::detail {

namespace {

Kind makeApplications() {
  Kind k{u"Applications", "complus_applications", {}, 0, 1, std::nullopt, true};
  k.properties = {
      {u"ID", "id", Type::Text, Access::ReadOnly, Variant(u"")},
      {u"Name", "name", Type::Text, Access::ReadWrite, Variant(u"")},
      {u"Description", "description", Type::Text, Access::ReadWrite, Variant(u"")},
      {u"Identity", "identity", Type::Text, Access::ReadWrite, Variant(u"Interactive User")},
      {u"Password", "password", Type::Text, Access::WriteOnly, Variant(u"")},
      {u"ApplicationAccessChecksEnabled", "access_checks", Type::Bool, Access::ReadWrite, Variant(true)},
      {u"Activation", "activation", Type::Int, Access::ReadWrite, Variant(1)},
  };
  return k;
}

Kind makeComponents() {
  Kind k{u"Components", "complus_components", {}, 0, 1, 4, false};
  k.properties = {
      {u"CLSID", "clsid", Type::Text, Access::ReadOnly, Variant(u"")},
      {u"ProgID", "progid", Type::Text, Access::ReadOnly, Variant(u"")},
      {u"DLL", "dll", Type::Text, Access::ReadOnly, Variant(u"")},
      {u"ThreadingModel", "threading_model", Type::Text, Access::ReadOnly, Variant(u"")},
      {u"ApplicationID", "application", Type::Text, Access::ReadOnly, Variant(u"")},
      {u"Description", "description", Type::Text, Access::ReadWrite, Variant(u"")},
      {u"ConstructionEnabled", "construction_enabled", Type::Bool, Access::ReadWrite, Variant(false)},
      {u"ConstructorString", "constructor_string", Type::NullableText, Access::ReadWrite, Variant::null()},
  };
  return k;
}

[[noreturn]] void invalid(const Property& property, const char16_t* expected) {
  throw ComError(COMADMIN_E_OBJECTINVALID,
                 u"The catalog property \"" + property.name + u"\" takes " + expected + u"; the value given is not one.");
}

} // namespace

const Kind& applications() {
  static const Kind k = makeApplications();
  return k;
}

const Kind& components() {
  static const Kind k = makeComponents();
  return k;
}

std::optional<std::size_t> findProperty(const Kind& kind, TextView name) {
  for (std::size_t i = 0; i < kind.properties.size(); ++i)
    if (equalsIgnoreCase(kind.properties[i].name, name)) return i;
  return std::nullopt;
}

void unknownProperty(const Kind& kind, TextView name) {
  throw ComError(COMADMIN_E_PROPERTYUNKNOWN, u"The COM+ catalog has no property \"" + Text(name) +
                                                 u"\" for objects of the collection \"" + kind.name + u"\".");
}

Variant convert(const Property& property, const Variant& value) {
  if (value.isObject()) invalid(property, u"a plain value");
  try {
    switch (property.type) {
      case Type::NullableText:
        if (value.isNull()) return value;
        [[fallthrough]];
      case Type::Text:
        if (value.isNull()) invalid(property, u"a text");
        return Variant(value.toText());
      case Type::Bool:
        return Variant(value.toBool());
      case Type::Int: {
        std::int64_t n = value.toInt();
        if (n < std::numeric_limits<std::int32_t>::min() || n > std::numeric_limits<std::int32_t>::max())
          invalid(property, u"a 32-bit number");
        return Variant(n);
      }
    }
  } catch (const ComError& e) {
    if (e.code() == COMADMIN_E_OBJECTINVALID) throw;
  }
  invalid(property, property.type == Type::Bool ? u"True or False" : property.type == Type::Int ? u"a number" : u"a text");
}

} // namespace korvane::complus::detail
