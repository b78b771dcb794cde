// A catalog object: one application or component of a populated collection,
// holding its values and which of them changed since it was read, until its
// collection's SaveChanges writes them.
#pragma once

#include "platform/complus/catalog.h"
#include "platform/complus/store.h"

namespace korvane::complus::detail {

class CatalogObject final : public ComObject<ICatalogObject> {
public:
  CatalogObject(const Kind& kind, Values values, bool isNew);

  HRESULT get_Value(TextView property, Variant* value) noexcept override;
  HRESULT put_Value(TextView property, const Variant& value) noexcept override;
  HRESULT get_Key(Variant* key) noexcept override;
  HRESULT get_Name(Variant* name) noexcept override;

  HRESULT GetProperty(TextView name, Variant* value) noexcept override;
  HRESULT PutProperty(TextView name, const Variant& value) noexcept override;
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override;

  const Kind& kind() const { return kind_; }
  const Values& values() const { return values_; }
  const std::vector<bool>& dirty() const { return dirty_; }
  const Text& key() const { return values_[kind_.key].textValue(); }
  Text name() const;
  bool isNew() const { return isNew_; }
  bool isChanged() const;
  // After SaveChanges wrote it: now stored, nothing pending.
  void markSaved();

private:
  Variant read(TextView property) const;
  void write(TextView property, const Variant& value);

  const Kind& kind_;
  Values values_;
  std::vector<bool> dirty_;
  bool isNew_;
};

} // namespace korvane::complus::detail
