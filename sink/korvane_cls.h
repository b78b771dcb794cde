// KorvaneCls, the store event sink: it takes its mapping pairs from the COM+
// constructor string and, in the begin phase of a delivered item's save,
// rewrites or deletes the item by its message class. It never vetoes a
// change and never reports a failure to the store.
#pragma once

#include <cstdint>

#include "platform/com/dispatch.h"
#include "platform/complus/construct.h"
#include "platform/store/exoledb.h"
#include "sink/configuration.h"
#include "sink/identity.h"
#include "sink/module.h"

namespace korvane::sink {

// The class's default dual interface, "_KorvaneCls" in the type library.
// Its one method is also reachable late-bound, by name, through IDispatch.
struct IKorvaneCls : IDispatch {
  static constexpr Guid iid = IID_KorvaneCls;
  using Base = IDispatch;
  // *result is a 16-bit Boolean: True (-1) lets the save proceed.
  virtual HRESULT ProcessBeginSave(exoledb::IExStoreEventInfo* info, TextView itemUrl,
                                   std::int32_t flags, std::int16_t* result) noexcept = 0;

protected:
  ~IKorvaneCls() = default;
};

inline constexpr char16_t kDefaultInterfaceName[] = u"_KorvaneCls";
inline constexpr char16_t kProcessBeginSaveName[] = u"ProcessBeginSave";

class KorvaneCls final : public ComObject<IKorvaneCls, exoledb::ICreateRegistration,
                                          complus::IObjectConstruct, exoledb::IExStoreSyncEvents> {
public:
  KorvaneCls() = default;

  // IDispatch: ProcessBeginSave(event information, URL, flags) by name.
  HRESULT GetProperty(TextView name, Variant* value) noexcept override;
  HRESULT PutProperty(TextView name, const Variant& value) noexcept override;
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override;

  // _KorvaneCls
  HRESULT ProcessBeginSave(exoledb::IExStoreEventInfo* info, TextView itemUrl, std::int32_t flags,
                           std::int16_t* result) noexcept override;

  // ICreateRegistration: accepts every registration.
  HRESULT Register(exoledb::IExStoreEventInfo* info, TextView url, std::int32_t flags,
                   std::int32_t* result) noexcept override;

  // IObjectConstruct: keeps its own parsed copy of the constructor string.
  HRESULT Construct(IDispatch* constructObject) noexcept override;

  // IExStoreSyncEvents
  HRESULT OnSyncSave(exoledb::IExStoreEventInfo* info, TextView url, std::int32_t flags) noexcept override;
  HRESULT OnSyncDelete(exoledb::IExStoreEventInfo* info, TextView url, std::int32_t flags) noexcept override;

  const Configuration& configuration() const { return config_; }

private:
  ~KorvaneCls() override = default;

  HRESULT invokeProcessBeginSave(std::span<const Variant> args, Variant* result);

  LiveObject live_;
  Configuration config_;
};

} // namespace korvane::sink
