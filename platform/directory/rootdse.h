// Binding directory objects by path, as ADSI does. The one object the
// platform serves is the RootDSE of the global catalog ("GC://RootDSE", also
// "LDAP://RootDSE"): a late-bound object whose attributes, read as
// properties or with Get(name), describe the directory server:
// dnsHostName, defaultNamingContext, rootDomainNamingContext,
// configurationNamingContext, schemaNamingContext, isGlobalCatalogReady.
// The naming contexts follow from the host name (dc01.corp.example.com is in
// DC=corp,DC=example,DC=com). Attribute names ignore letter case.
#pragma once

#include "platform/com/dispatch.h"

namespace korvane::directory {

// Binds the object at `path` and returns its interface `iid`. Fails with
// E_ADS_BAD_PATHNAME for a path that names no object this directory serves,
// and with E_ADS_NO_SUCH_DOMAIN while no global catalog is configured.
HRESULT ADsGetObject(TextView path, const Guid& iid, void** out) noexcept;

// Throwing form for callers inside a component.
ComPtr<IDispatch> adsGetObject(TextView path);

} // namespace korvane::directory
