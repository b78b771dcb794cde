// The folder object of the store's collaboration library ("CDO.Folder") and
// the IDataSource interface by which it, and the management objects, are
// bound to a URL or name. The folder object is late-bound too: property
// "Description", property "DataSource" and method "GetInterface"("IDataSource").
#pragma once

#include "platform/com/dispatch.h"

namespace korvane::cdo {

inline constexpr Guid CLSID_Folder = "{CD00010E-8B95-11D1-82DB-00C04FB1625D}"_guid;

struct IDataSource : IDispatch {
  static constexpr Guid iid = "{CD000029-8B95-11D1-82DB-00C04FB1625D}"_guid;
  using Base = IDispatch;
  // activeConnection may be null (the object connects by itself).
  virtual HRESULT Open(TextView source, IUnknown* activeConnection, std::int32_t mode,
                       std::int32_t createOptions, std::int32_t options, TextView user,
                       TextView password) noexcept = 0;

protected:
  ~IDataSource() = default;
};

} // namespace korvane::cdo
