// The setup's only way into the store: the data-access operations it calls,
// as small throwing helpers over the platform's Connection, Record and
// Recordset objects. A failing operation raises ComError with the provider's
// number and description; what follows is the caller's.
#pragma once

#include "platform/com/unknown.h"
#include "platform/store/ado.h"

namespace korvane::setup::store {

inline constexpr char16_t kStoreProvider[] = u"ExOLEDB.DataSource";

ComPtr<ado::IConnection> newConnection();
ComPtr<ado::IRecord> newRecord();
ComPtr<ado::IRecordset> newRecordset();

void setProvider(ado::IConnection* connection, TextView provider);
void setConnectionString(ado::IConnection* connection, TextView text);
// Open with the given text (empty keeps the connection string), empty user
// name and password, options -1.
void open(ado::IConnection* connection, TextView text);
bool isOpen(ado::IConnection* connection);
void close(ado::IConnection* connection);
void beginTrans(ado::IConnection* connection);
void commitTrans(ado::IConnection* connection);

void openRecord(ado::IRecord* record, TextView url, ado::IConnection* connection, std::int32_t mode,
                std::int32_t createOptions, std::int32_t options);
bool isOpen(ado::IRecord* record);
void close(ado::IRecord* record);
void setField(ado::IRecord* record, TextView name, const Variant& value);
Variant field(ado::IRecord* record, TextView name);
void updateFields(ado::IRecord* record);
void deleteRecord(ado::IRecord* record, TextView url);

// Open with the query text, the connection and -1 for cursor type, lock type
// and options.
void openRecordset(ado::IRecordset* recordset, TextView query, ado::IConnection* connection);
bool isOpen(ado::IRecordset* recordset);
void close(ado::IRecordset* recordset);
bool eof(ado::IRecordset* recordset);
std::int32_t recordCount(ado::IRecordset* recordset);
void moveNext(ado::IRecordset* recordset);
Variant field(ado::IRecordset* recordset, TextView name);

} // namespace korvane::setup::store
