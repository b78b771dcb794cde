// "ADODB.Command", the built-in class through which programs search the
// directory (and, on a store connection, run a store query). Its active
// connection decides what Execute does:
// - provider "adsDSOobject" (ignoring case): the command text is a directory
//   query (query.h), run by search.h with the command's provider properties
//   "searchscope" (0 base, 1 one level, 2 subtree; default 2), "cache
//   results" (Boolean, default true) and "Chase Referrals" (0, 32, 64 or 96;
//   default 64). These three exist once the connection is set, as a
//   provider's properties do; any other name fails with adErrItemNotFound,
//   and a value out of range is refused when it is set.
// - provider "ExOLEDB.DataSource": the text goes to an "ADODB.Recordset"
//   opened on that connection.
// Late bound too: ActiveConnection, CommandText, Properties, Execute.
#pragma once

#include "platform/store/ado.h"

namespace korvane::directory {

inline constexpr Guid CLSID_Command = "{00000507-0000-0010-8000-00AA006D2EA4}"_guid;

// No command text to execute.
inline constexpr HRESULT DB_E_NOCOMMAND = hr(0x80040E0C);

// A new command (what CoCreateInstance of "ADODB.Command" gives).
ComPtr<ado::ICommand> makeCommand();

} // namespace korvane::directory
