// The registration item as the setup writes it, for the benchmarks that
// register the real sink on a folder.
#pragma once

#include "platform/com/runtime.h"
#include "platform/store/ado.h"
#include "platform/store/store.h"

namespace korvane::bench {

inline void setField(ado::IFields* fields, TextView name, const Variant& value) {
  ComPtr<ado::IField> field;
  check(fields->get_Item(Variant(name), field.put()));
  check(field->put_Value(value));
}

// The registration item as the setup writes it: created through a Record on
// the folder, with its seven properties.
inline void registerSinkOn(const Text& folderUrl) {
  auto connection = createInstance<ado::IConnection>(u"ADODB.Connection");
  check(connection->put_Provider(u"ExOLEDB.DataSource"));
  check(connection->Open(folderUrl, u"", u"", ado::adOpenUnspecified));
  auto record = createInstance<ado::IRecord>(u"ADODB.Record");
  check(record->Open(Variant(folderUrl + u"/Korvane.reg"), Variant(ComPtr<IUnknown>(connection)),
                     ado::adModeReadWrite, ado::adCreateOverwrite, ado::adDelayFetchFields, u"", u""));
  ComPtr<ado::IFields> fields;
  check(record->get_Fields(fields.put()));
  setField(fields.get(), store::prop::contentClass, Variant(store::contentclass::registration));
  setField(fields.get(), store::prop::eventMethod, Variant(u"onsyncsave"));
  setField(fields.get(), store::prop::sinkClass, Variant(u"Korvane.KorvaneCls"));
  setField(fields.get(), store::prop::matchScope, Variant(u"SHALLOW"));
  setField(fields.get(), store::prop::criteria, Variant(u" WHERE \"DAV:ishidden\" = FALSE"));
  setField(fields.get(), store::prop::priority, Variant(u"65223"));
  setField(fields.get(), store::prop::isHidden, Variant(true));
  check(fields->Update());
  check(record->Close());
}

} // namespace korvane::bench
