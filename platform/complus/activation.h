// Activation of installed classes, shared by the caller's side (activator)
// and the host process of a server application.
#pragma once

#include "platform/complus/store.h"

namespace korvane::complus {

// Creates the object in this process and, with construction enabled, hands
// it its constructor string. Throws ComError.
ComPtr<IUnknown> createLocal(const Guid& clsid, const detail::Activation& how);

// In a host: the classes of this application are made in-process.
void setHostedApplication(Text applicationId);

} // namespace korvane::complus
