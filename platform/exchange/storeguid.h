// The store GUID service of the store event library: maps a URL of a public
// folder tree to the GUID text of the store that holds it. The scheme, the
// host and the virtual directory compare ignoring letter case, "%20" reads
// as a blank, and "public" and "public folders" name the same tree, so
// http://EXCH01/Public%20Folders/Sales belongs to the tree rooted at
// http://exch01/public. The emulated server's own public store (its host in
// the store's server information) answers with that store's GUID, so that
// the GUID names its StoreEvents{GUID} folder; other trees answer with the
// GUID of the public store that holds them (exchange.h).
#pragma once

#include "platform/com/dispatch.h"

namespace korvane::exchange {

inline constexpr Guid CLSID_StoreGuidFromUrl = "{9DA0E10D-86CE-11D1-8699-00C04FB98036}"_guid;

struct IStoreGuidFromUrl : IDispatch {
  static constexpr Guid iid = "{9DA0E10C-86CE-11D1-8699-00C04FB98036}"_guid;
  using Base = IDispatch;
  // Fails with E_INVALIDARG for a text that is no http URL with a virtual
  // directory, and with E_NO_SUCH_OBJECT when no store holds the URL.
  virtual HRESULT StoreGuidFromUrl(TextView url, Text* guid) noexcept = 0;

protected:
  ~IStoreGuidFromUrl() = default;
};

// Throwing form for callers inside a component.
Text storeGuidFromUrl(TextView url);

} // namespace korvane::exchange
