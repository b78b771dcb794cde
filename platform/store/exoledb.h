// The store's event interfaces: what the event service hands a sink
// (IExStoreEventInfo, IExStoreDispEventInfo) and what a sink implements
// (IExStoreSyncEvents, ICreateRegistration), with the event flags.
#pragma once

#include "platform/com/dispatch.h"

namespace korvane::exoledb {

inline constexpr std::int32_t EVT_SYNC_BEGIN = 0x01000000;
inline constexpr std::int32_t EVT_SYNC_COMMITTED = 0x02000000;
inline constexpr std::int32_t EVT_SYNC_ABORTED = 0x04000000;
inline constexpr std::int32_t EVT_IS_DELIVERED = 0x00000008;
inline constexpr std::int32_t EVT_NEW_ITEM = 0x00000001;
inline constexpr std::int32_t EVT_IS_COLLECTION = 0x00000002;

inline constexpr Guid LIBID_Exoledb = "{9DA0E107-86CE-11D1-8699-00C04FB98036}"_guid;

struct IExStoreEventInfo : IUnknown {
  static constexpr Guid iid = "{9DA0E100-86CE-11D1-8699-00C04FB98036}"_guid;
  using Base = IUnknown;
  // Vetoes the change: the store aborts the save (or delete).
  virtual HRESULT AbortChange(std::int32_t errorCode) noexcept = 0;

protected:
  ~IExStoreEventInfo() = default;
};

struct IExStoreDispEventInfo : IDispatch {
  static constexpr Guid iid = "{9DA0E110-86CE-11D1-8699-00C04FB98036}"_guid;
  using Base = IDispatch;
  // An ado::IRecord on the item, open for change within the save.
  virtual HRESULT get_EventRecord(IUnknown** record) noexcept = 0;
  virtual HRESULT AbortChange(std::int32_t errorCode) noexcept = 0;

protected:
  ~IExStoreDispEventInfo() = default;
};

struct IExStoreSyncEvents : IUnknown {
  static constexpr Guid iid = "{9DA0E0FF-86CE-11D1-8699-00C04FB98036}"_guid;
  using Base = IUnknown;
  virtual HRESULT OnSyncSave(IExStoreEventInfo* info, TextView url, std::int32_t flags) noexcept = 0;
  virtual HRESULT OnSyncDelete(IExStoreEventInfo* info, TextView url, std::int32_t flags) noexcept = 0;

protected:
  ~IExStoreSyncEvents() = default;
};

struct ICreateRegistration : IUnknown {
  static constexpr Guid iid = "{9DA0E11C-86CE-11D1-8699-00C04FB98036}"_guid;
  using Base = IUnknown;
  // *result = 0 accepts the registration; anything else refuses it.
  virtual HRESULT Register(IExStoreEventInfo* info, TextView url, std::int32_t flags,
                           std::int32_t* result) noexcept = 0;

protected:
  ~ICreateRegistration() = default;
};

} // namespace korvane::exoledb
