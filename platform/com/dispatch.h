// Late binding: IDispatch lets a caller read and write properties and call
// methods by name (ignoring letter case), as scripts and dual interfaces do.
#pragma once

#include <span>

#include "platform/com/unknown.h"
#include "platform/com/variant.h"

namespace korvane {

struct IDispatch : IUnknown {
  static constexpr Guid iid = "{00020400-0000-0000-C000-000000000046}"_guid;
  using Base = IUnknown;
  virtual HRESULT GetProperty(TextView name, Variant* value) noexcept = 0;
  virtual HRESULT PutProperty(TextView name, const Variant& value) noexcept = 0;
  virtual HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept = 0;

protected:
  ~IDispatch() = default;
};

// Throwing helpers for callers inside a component.
Variant getProperty(IDispatch* object, TextView name);
void putProperty(IDispatch* object, TextView name, const Variant& value);
Variant invoke(IDispatch* object, TextView method, std::span<const Variant> args = {});

// The standard failure for a name an object does not know.
HRESULT unknownName(TextView name);

} // namespace korvane
