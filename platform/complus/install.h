// Installing a library into a COM+ application: checking the file, running
// its DllRegisterServer and recording the classes it registered; refreshing
// what the catalog knows of installed classes from the registry; and taking
// a removed component's registration back out.
#pragma once

#include "platform/com/text.h"

namespace korvane::complus::detail {

void installComponent(TextView applicationIdOrName, TextView libraryPath);
void refreshComponents();
// Removes the class's key and the ProgIDs that name it, in the caller's
// transaction: a component removed from the catalog is no longer created at
// all, rather than loaded into whichever process asks for it.
void unregisterClass(TextView clsid);

} // namespace korvane::complus::detail
