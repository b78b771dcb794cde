// The connection object ("ADODB.Connection"). With the provider
// "ExOLEDB.DataSource" (any case) it opens on a folder URL of the public
// store and brackets saves in transactions (BeginTrans / CommitTrans /
// RollbackTrans; released or closed with a transaction open, it rolls it
// back). With "adsDSOobject" it opens on "Active Directory Provider" for the
// directory's Command object. Transactions of all connections share the
// server database, so they nest: one begun later must end first. Switching
// the process to another server with a transaction open is not supported.
#pragma once

#include "platform/store/ado.h"

namespace korvane::store {

inline constexpr char16_t kStoreProvider[] = u"ExOLEDB.DataSource";
inline constexpr char16_t kDirectoryProvider[] = u"adsDSOobject";

ComPtr<ado::IConnection> makeConnection();

// The store connection a Record or Recordset works through: the open store
// connection it was given, a new one opened on the URL text it was given, or
// one on the public root when it was given nothing or null (the URL `source`
// is checked when it is opened). Throws adErrInvalidConnection otherwise.
ComPtr<ado::IConnection> storeConnectionFor(const Variant& activeConnection, TextView source);

} // namespace korvane::store
