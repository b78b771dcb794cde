// Installing a library into a COM+ application: checking the file, running
// its DllRegisterServer and recording the classes it registered; and
// refreshing what the catalog knows of installed classes from the registry.
#pragma once

#include "platform/com/text.h"

namespace korvane::complus::detail {

void installComponent(TextView applicationIdOrName, TextView libraryPath);
void refreshComponents();

} // namespace korvane::complus::detail
