// Helpers for the late-bound (IDispatch) side of the store's objects: member
// names compared ignoring letter case, argument access with the run-time's
// errors, and objects carried in variants.
#pragma once

#include <cstdint>
#include <span>

#include "platform/com/dispatch.h"

namespace korvane::store::binding {

// True when a late-bound member name is `want`, ignoring letter case.
bool is(TextView name, TextView want);

// The argument at `index`; throws DISP_E_BADPARAMCOUNT when it is missing.
const Variant& arg(std::span<const Variant> args, std::size_t index);
// The argument at `index` as a 32-bit number, or `fallback` when it is absent
// or empty (optional arguments).
std::int32_t intArg(std::span<const Variant> args, std::size_t index, std::int32_t fallback);
Text textArg(std::span<const Variant> args, std::size_t index, TextView fallback = {});

std::int32_t toInt32(const Variant& value);

template <typename T>
Variant object(const ComPtr<T>& p) {
  return Variant(ComPtr<IUnknown>(p));
}

// The object a variant carries, as interface T; empty when it carries none
// or the object does not offer T.
template <typename T>
ComPtr<T> objectAs(const Variant& value) {
  if (!value.isObject() || !value.objectValue()) return {};
  return value.objectValue().template as<T>();
}

// Stores `value` in an out parameter that may be null.
HRESULT put(Variant* out, Variant value);

} // namespace korvane::store::binding
