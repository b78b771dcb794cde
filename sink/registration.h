// Self-registration of the sink library in HKEY_CLASSES_ROOT: the class with
// its in-process server path and apartment threading model, the ProgID, the
// type library and the default interface. What DllRegisterServer and
// DllUnregisterServer do, callable with any library path.
#pragma once

#include "platform/com/text.h"

namespace korvane::sink {

// Writes every key in one transaction, so a failure leaves nothing behind.
// Throws ComError on failure.
void registerServer(TextView libraryPath);

// Removes what registerServer wrote. A ProgID that meanwhile names another
// class is left alone. Throws ComError on failure.
void unregisterServer();

} // namespace korvane::sink
