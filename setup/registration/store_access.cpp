#include "setup/registration/store_access.h"

#include "platform/com/runtime.h"

namespace korvane::setup::store {

namespace {
template <typename Object>
std::int32_t stateOf(Object* object) {
  std::int32_t state = ado::adStateClosed;
  check(object->get_State(&state));
  return state;
}

Variant connectionVariant(ado::IConnection* connection) {
  if (!connection) return Variant();
  return Variant(ComPtr<IUnknown>(static_cast<IUnknown*>(connection)));
}

ComPtr<ado::IField> fieldOf(ado::IFields* fields, TextView name) {
  ComPtr<ado::IField> field;
  check(fields->get_Item(Variant(name), field.put()));
  return field;
}

// A record's or a recordset's field value.
template <typename Object>
Variant valueOf(Object* object, TextView name) {
  ComPtr<ado::IFields> fields;
  check(object->get_Fields(fields.put()));
  Variant value;
  check(fieldOf(fields.get(), name)->get_Value(&value));
  return value;
}
} // namespace

ComPtr<ado::IConnection> newConnection() { return createInstance<ado::IConnection>(u"ADODB.Connection"); }
ComPtr<ado::IRecord> newRecord() { return createInstance<ado::IRecord>(u"ADODB.Record"); }
ComPtr<ado::IRecordset> newRecordset() { return createInstance<ado::IRecordset>(u"ADODB.Recordset"); }

void setProvider(ado::IConnection* connection, TextView provider) { check(connection->put_Provider(provider)); }
void setConnectionString(ado::IConnection* connection, TextView text) {
  check(connection->put_ConnectionString(text));
}
void open(ado::IConnection* connection, TextView text) {
  check(connection->Open(text, u"", u"", ado::adOpenUnspecified));
}
bool isOpen(ado::IConnection* connection) { return stateOf(connection) != ado::adStateClosed; }
void close(ado::IConnection* connection) { check(connection->Close()); }
void beginTrans(ado::IConnection* connection) {
  std::int32_t level = 0;
  check(connection->BeginTrans(&level));
}
void commitTrans(ado::IConnection* connection) { check(connection->CommitTrans()); }

void openRecord(ado::IRecord* record, TextView url, ado::IConnection* connection, std::int32_t mode,
                std::int32_t createOptions, std::int32_t options) {
  check(record->Open(Variant(url), connectionVariant(connection), mode, createOptions, options, u"", u""));
}
bool isOpen(ado::IRecord* record) { return stateOf(record) != ado::adStateClosed; }
void close(ado::IRecord* record) { check(record->Close()); }

void setField(ado::IRecord* record, TextView name, const Variant& value) {
  ComPtr<ado::IFields> fields;
  check(record->get_Fields(fields.put()));
  check(fieldOf(fields.get(), name)->put_Value(value));
}

Variant field(ado::IRecord* record, TextView name) { return valueOf(record, name); }

void updateFields(ado::IRecord* record) {
  ComPtr<ado::IFields> fields;
  check(record->get_Fields(fields.put()));
  check(fields->Update());
}

void deleteRecord(ado::IRecord* record, TextView url) { check(record->DeleteRecord(url, false)); }

void openRecordset(ado::IRecordset* recordset, TextView query, ado::IConnection* connection) {
  check(recordset->Open(Variant(query), connectionVariant(connection), ado::adOpenUnspecified,
                        ado::adOpenUnspecified, ado::adOpenUnspecified));
}
bool isOpen(ado::IRecordset* recordset) { return stateOf(recordset) != ado::adStateClosed; }
void close(ado::IRecordset* recordset) { check(recordset->Close()); }
bool eof(ado::IRecordset* recordset) {
  bool atEnd = true;
  check(recordset->get_EOF(&atEnd));
  return atEnd;
}
std::int32_t recordCount(ado::IRecordset* recordset) {
  std::int32_t count = -1;
  check(recordset->get_RecordCount(&count));
  return count;
}
void moveNext(ado::IRecordset* recordset) { check(recordset->MoveNext()); }

Variant field(ado::IRecordset* recordset, TextView name) { return valueOf(recordset, name); }

} // namespace korvane::setup::store
