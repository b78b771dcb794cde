// The store's creatable classes, registered with the COM runtime when the
// platform library loads: "ADODB.Connection", "ADODB.Record",
// "ADODB.Recordset" (queries on the public store) and "CDO.Folder".
#pragma once

#include "platform/store/ado.h"
#include "platform/store/cdo.h"

namespace korvane::store {

inline constexpr Guid CLSID_Connection = "{00000514-0000-0010-8000-00AA006D2EA4}"_guid;
inline constexpr Guid CLSID_Record = "{00000560-0000-0010-8000-00AA006D2EA4}"_guid;
inline constexpr Guid CLSID_Recordset = "{00000535-0000-0010-8000-00AA006D2EA4}"_guid;

// A closed recordset whose Open runs a query of the store's query language
// on the store connection it is given: the items of each scope folder
// (shallow: its children; deep: everything below it) that satisfy the WHERE
// clause, sorted by ORDER BY (else in creation order), with the selected
// fields (select *: all properties). Hidden items are returned only when the
// WHERE clause tests "DAV:ishidden". Parsed queries are kept by their text.
ComPtr<ado::IRecordset> makeStoreRecordset();

// The folder object: IDataSource.Open(url, connection or null, mode,
// createOptions -1, ...) binds it to an existing folder (mode 3 needs full
// access); late-bound "Description", "DisplayName", "DataSource" and
// "GetInterface"("IDataSource").
ComPtr<cdo::IDataSource> makeFolderObject();

} // namespace korvane::store
