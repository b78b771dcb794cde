// The class factory that DllGetClassObject hands out for KorvaneCls. It is
// one object for the library's whole life; every reference to it counts as
// a server lock, so the library is not unloaded while someone holds it.
#pragma once

#include "platform/com/runtime.h"

namespace korvane::sink {

// Answers the factory's interfaces for CLSID_KorvaneCls; other classes get
// CLASS_E_CLASSNOTAVAILABLE.
HRESULT getClassObject(const Guid* clsid, const Guid* iid, void** out) noexcept;

} // namespace korvane::sink
