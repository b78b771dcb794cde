#include "platform/store/binding.h"

#include <limits>

namespace korvane::store::binding {

bool is(TextView name, TextView want) {
  if (name.size() != want.size()) return equalsIgnoreCase(name, want);
  for (std::size_t i = 0; i < name.size(); ++i) {
    char16_t a = name[i], b = want[i];
    if (a >= u'A' && a <= u'Z') a = static_cast<char16_t>(a + 32);
    if (b >= u'A' && b <= u'Z') b = static_cast<char16_t>(b + 32);
    if (a != b) return a > 127 || b > 127 ? equalsIgnoreCase(name, want) : false;
  }
  return true;
}

const Variant& arg(std::span<const Variant> args, std::size_t index) {
  if (index >= args.size())
    throw ComError(DISP_E_BADPARAMCOUNT, u"Wrong number of arguments or invalid property assignment.");
  return args[index];
}

std::int32_t toInt32(const Variant& value) {
  std::int64_t v = value.toInt();
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::int32_t>::max())
    throw ComError(DISP_E_TYPEMISMATCH, u"Overflow: the number does not fit 32 bits.");
  return static_cast<std::int32_t>(v);
}

std::int32_t intArg(std::span<const Variant> args, std::size_t index, std::int32_t fallback) {
  if (index >= args.size() || args[index].isEmpty()) return fallback;
  return toInt32(args[index]);
}

Text textArg(std::span<const Variant> args, std::size_t index, TextView fallback) {
  if (index >= args.size() || args[index].isEmpty()) return Text(fallback);
  return args[index].toText();
}

HRESULT put(Variant* out, Variant value) {
  if (out) *out = std::move(value);
  return S_OK;
}

} // namespace korvane::store::binding
