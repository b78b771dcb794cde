// The identifiers of the sink library: its class, default interface, type
// library and the names under which it is registered and installed.
#pragma once

#include "platform/com/guid.h"

namespace korvane::sink {

inline constexpr Guid CLSID_KorvaneCls = "{9FD36E03-31C9-4FC6-A4EF-C245FFAA2A73}"_guid;
inline constexpr Guid IID_KorvaneCls = "{EF3B7EB0-8501-476B-BEA1-CE3331EF44EE}"_guid;
inline constexpr Guid LIBID_Korvane = "{48D19E50-5468-4427-9865-63B2902AF870}"_guid;

inline constexpr char16_t kLibraryName[] = u"Korvane";
inline constexpr char16_t kClassName[] = u"KorvaneCls";
inline constexpr char16_t kProgId[] = u"Korvane.KorvaneCls";
inline constexpr char16_t kTypeLibVersion[] = u"1.0";
inline constexpr char16_t kThreadingModel[] = u"Apartment";

} // namespace korvane::sink
