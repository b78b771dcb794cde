#include "platform/complus/object.h"

#include <algorithm>

namespace korvane::complus::detail {

CatalogObject::CatalogObject(const Kind& kind, Values values, bool isNew)
    : kind_(kind), values_(std::move(values)), dirty_(values_.size(), false), isNew_(isNew) {}

Text CatalogObject::name() const {
  const Variant& display = values_[kind_.display];
  if (display.isText() && !display.textValue().empty()) return display.textValue();
  return key();
}

bool CatalogObject::isChanged() const {
  return isNew_ || std::find(dirty_.begin(), dirty_.end(), true) != dirty_.end();
}

void CatalogObject::markSaved() {
  isNew_ = false;
  std::fill(dirty_.begin(), dirty_.end(), false);
}

Variant CatalogObject::read(TextView property) const {
  auto i = findProperty(kind_, property);
  if (!i) unknownProperty(kind_, property);
  if (kind_.properties[*i].access == Access::WriteOnly) return Variant(kPasswordMask);
  return values_[*i];
}

void CatalogObject::write(TextView property, const Variant& value) {
  auto i = findProperty(kind_, property);
  if (!i) unknownProperty(kind_, property);
  const Property& p = kind_.properties[*i];
  if (p.access == Access::ReadOnly)
    throw ComError(COMADMIN_E_READONLY, u"The catalog property \"" + p.name + u"\" of " + kind_.name +
                                            u" is set by the catalog and cannot be changed.");
  values_[*i] = convert(p, value);
  dirty_[*i] = true;
}

HRESULT CatalogObject::get_Value(TextView property, Variant* value) noexcept {
  return guarded([&]() -> HRESULT {
    if (!value) return E_POINTER;
    *value = read(property);
    return S_OK;
  });
}

HRESULT CatalogObject::put_Value(TextView property, const Variant& value) noexcept {
  return guarded([&]() -> HRESULT {
    write(property, value);
    return S_OK;
  });
}

HRESULT CatalogObject::get_Key(Variant* key) noexcept {
  if (!key) return E_POINTER;
  *key = Variant(this->key());
  return S_OK;
}

HRESULT CatalogObject::get_Name(Variant* name) noexcept {
  return guarded([&]() -> HRESULT {
    if (!name) return E_POINTER;
    *name = Variant(this->name());
    return S_OK;
  });
}

HRESULT CatalogObject::GetProperty(TextView name, Variant* value) noexcept {
  if (equalsIgnoreCase(name, u"Name")) return get_Name(value);
  if (equalsIgnoreCase(name, u"Key")) return get_Key(value);
  return unknownName(name);
}

HRESULT CatalogObject::PutProperty(TextView name, const Variant&) noexcept { return unknownName(name); }

HRESULT CatalogObject::Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept {
  return guarded([&]() -> HRESULT {
    if (equalsIgnoreCase(method, u"Name") || equalsIgnoreCase(method, u"Key")) {
      if (!args.empty()) return fail(DISP_E_BADPARAMCOUNT, Text(method) + u" takes no arguments.");
      Variant v;
      HRESULT h = GetProperty(method, &v);
      if (result) *result = std::move(v);
      return h;
    }
    if (!equalsIgnoreCase(method, u"Value")) return unknownName(method);
    // Value(name) reads, Value(name, value) writes.
    if (args.size() == 1) {
      Variant v = read(args[0].toText());
      if (result) *result = std::move(v);
      return S_OK;
    }
    if (args.size() == 2) {
      write(args[0].toText(), args[1]);
      return S_OK;
    }
    return fail(DISP_E_BADPARAMCOUNT, u"Value takes a property name, and a value to write it.");
  });
}

} // namespace korvane::complus::detail
