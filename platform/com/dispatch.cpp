#include "platform/com/dispatch.h"

namespace korvane {

Variant getProperty(IDispatch* object, TextView name) {
  if (!object) throw ComError(E_POINTER, u"Object variable not set.");
  Variant v;
  check(object->GetProperty(name, &v));
  return v;
}

void putProperty(IDispatch* object, TextView name, const Variant& value) {
  if (!object) throw ComError(E_POINTER, u"Object variable not set.");
  check(object->PutProperty(name, value));
}

Variant invoke(IDispatch* object, TextView method, std::span<const Variant> args) {
  if (!object) throw ComError(E_POINTER, u"Object variable not set.");
  Variant v;
  check(object->Invoke(method, args, &v));
  return v;
}

HRESULT unknownName(TextView name) {
  return fail(DISP_E_UNKNOWNNAME, u"Object doesn't support this property or method: " + Text(name));
}

} // namespace korvane
