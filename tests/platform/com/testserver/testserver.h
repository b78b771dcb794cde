// Identity of the test in-process server: its classes and the extra exports
// that let tests watch it. "Echo" reports the constructor string it was
// given; "Plain" offers no IObjectConstruct.
#pragma once

#include "platform/com/guid.h"

namespace korvane::testserver {

inline constexpr Guid CLSID_Echo = "{C0A7E5D1-3B21-4E7A-9B6F-1D2E3F405161}"_guid;
inline constexpr const char16_t* kEchoProgId = u"KorvaneTest.Echo";
inline constexpr Guid CLSID_Plain = "{C0A7E5D1-3B21-4E7A-9B6F-1D2E3F405162}"_guid;
inline constexpr const char16_t* kPlainProgId = u"KorvaneTest.Plain";

// Echo's Construct refuses strings that begin with this.
inline constexpr const char16_t* kRefusedPrefix = u"!fail";

// DllRegisterServer fails while this environment variable is set.
inline constexpr const char* kFailRegisterVariable = "KORVANE_TESTSERVER_FAIL_REGISTER";

extern "C" {
// Live objects and factories of the library, and how often DllCanUnloadNow ran.
using LiveObjectsFn = long (*)();
using CanUnloadCallsFn = long (*)();
}

} // namespace korvane::testserver
