#include "platform/store/classes.h"

#include "platform/com/runtime.h"
#include "platform/store/connection.h"
#include "platform/store/record.h"

namespace korvane::store {

namespace {

template <typename Make>
BuiltinFactory factoryOf(Make make) {
  return [make](const Guid& iid, void** out) -> HRESULT {
    return guarded([&] { return make()->QueryInterface(iid, out); });
  };
}

// Registered when the platform library loads, as a system library's classes
// are there once it is installed.
[[maybe_unused]] const bool registered = [] {
  registerBuiltinClass(CLSID_Connection, u"ADODB.Connection", factoryOf(makeConnection));
  registerBuiltinClass(CLSID_Record, u"ADODB.Record", factoryOf(makeRecord));
  registerBuiltinClass(CLSID_Recordset, u"ADODB.Recordset", factoryOf(makeStoreRecordset));
  registerBuiltinClass(cdo::CLSID_Folder, u"CDO.Folder", factoryOf(makeFolderObject));
  return true;
}();

} // namespace

} // namespace korvane::store
