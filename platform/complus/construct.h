// Object construction by the COM+ catalog: a component with construction
// enabled gets its constructor string through IObjectConstruct::Construct,
// handed over as an object that offers IObjectConstructString.
#pragma once

#include "platform/com/dispatch.h"

namespace korvane::complus {

struct IObjectConstructString : IDispatch {
  static constexpr Guid iid = "{41C4F8B2-7439-11D2-98CB-00C04F8EE1C4}"_guid;
  using Base = IDispatch;
  virtual HRESULT get_ConstructString(Text* text) noexcept = 0;

protected:
  ~IObjectConstructString() = default;
};

struct IObjectConstruct : IUnknown {
  static constexpr Guid iid = "{41C4F8B3-7439-11D2-98CB-00C04F8EE1C4}"_guid;
  using Base = IUnknown;
  virtual HRESULT Construct(IDispatch* constructObject) noexcept = 0;

protected:
  ~IObjectConstruct() = default;
};

inline constexpr Guid LIBID_COMSVCSLib = "{2A005C00-A5DE-11CF-9E66-00AA00A3F464}"_guid;

} // namespace korvane::complus
