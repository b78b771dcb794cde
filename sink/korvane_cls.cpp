#include "sink/korvane_cls.h"

#include <limits>

#include "sink/save_processing.h"

namespace korvane::sink {

namespace {

using exoledb::IExStoreEventInfo;

constexpr HRESULT DISP_E_OVERFLOW = hr(0x8002000A);

// The constructor string the COM+ catalog hands over; empty when it cannot
// be read.
Text constructString(IDispatch* constructObject) {
  auto source = ComPtr<IDispatch>(constructObject).as<complus::IObjectConstructString>();
  Text text;
  if (source && succeeded(source->get_ConstructString(&text))) return text;
  takeErrorInfo();  // the failure is not reported, so leave no description behind
  return Text();
}

// The first argument of a late-bound ProcessBeginSave: an object reference
// (possibly Nothing) that offers IExStoreEventInfo.
ComPtr<IExStoreEventInfo> eventInfoArgument(const Variant& arg) {
  if (!arg.isObject())
    throw ComError(DISP_E_TYPEMISMATCH,
                   u"ProcessBeginSave: the first argument must be the event information object.");
  if (!arg.objectValue()) return nullptr;
  auto info = arg.objectValue().as<IExStoreEventInfo>();
  if (!info)
    throw ComError(DISP_E_TYPEMISMATCH,
                   u"ProcessBeginSave: the first argument does not offer IExStoreEventInfo.");
  return info;
}

std::int32_t flagsArgument(const Variant& arg) {
  std::int64_t flags = arg.toInt();
  if (flags < std::numeric_limits<std::int32_t>::min() || flags > std::numeric_limits<std::int32_t>::max())
    throw ComError(DISP_E_OVERFLOW, u"ProcessBeginSave: the flags do not fit in a 32-bit integer.");
  return static_cast<std::int32_t>(flags);
}

} // namespace

HRESULT KorvaneCls::GetProperty(TextView name, Variant*) noexcept {
  return guarded([&] { return unknownName(name); });
}

HRESULT KorvaneCls::PutProperty(TextView name, const Variant&) noexcept {
  return guarded([&] { return unknownName(name); });
}

HRESULT KorvaneCls::Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept {
  ComPtr<KorvaneCls> hold(this);
  return guarded([&] {
    if (!equalsIgnoreCase(method, kProcessBeginSaveName)) return unknownName(method);
    return invokeProcessBeginSave(args, result);
  });
}

HRESULT KorvaneCls::invokeProcessBeginSave(std::span<const Variant> args, Variant* result) {
  if (args.size() != 3)
    return fail(DISP_E_BADPARAMCOUNT,
                u"ProcessBeginSave takes three arguments: the event information, the item URL and the flags.");
  auto info = eventInfoArgument(args[0]);
  const Text url = args[1].toText();
  const std::int32_t flags = flagsArgument(args[2]);
  std::int16_t proceed = kFalse;
  check(ProcessBeginSave(info.get(), url, flags, &proceed));
  if (result) *result = Variant(proceed != kFalse);
  return S_OK;
}

HRESULT KorvaneCls::ProcessBeginSave(IExStoreEventInfo* info, TextView itemUrl, std::int32_t flags,
                                     std::int16_t* result) noexcept {
  ComPtr<KorvaneCls> hold(this);
  std::int16_t proceed = processBeginSave(info, itemUrl, flags, config_);
  if (result) *result = proceed;
  return S_OK;
}

HRESULT KorvaneCls::Register(IExStoreEventInfo*, TextView, std::int32_t, std::int32_t* result) noexcept {
  ComPtr<KorvaneCls> hold(this);
  if (result) *result = 0;
  return S_OK;
}

HRESULT KorvaneCls::Construct(IDispatch* constructObject) noexcept {
  ComPtr<KorvaneCls> hold(this);
  try {
    config_ = Configuration{};
    config_ = parseConstructorString(constructString(constructObject));
  } catch (...) {
    // Out of memory: the object serves events without pairs.
  }
  return S_OK;
}

HRESULT KorvaneCls::OnSyncSave(IExStoreEventInfo* info, TextView url, std::int32_t flags) noexcept {
  ComPtr<KorvaneCls> hold(this);
  if (flags & exoledb::EVT_SYNC_BEGIN) {
    // Through the default interface, as a late-bound caller would reach it.
    ComPtr<IKorvaneCls> self(this);
    std::int16_t proceed = kFalse;
    if (succeeded(self->ProcessBeginSave(info, url, flags, &proceed)) && proceed != kTrue && info)
      info->AbortChange(1);
  } else if (flags & exoledb::EVT_SYNC_COMMITTED) {
    processCommitSave(info, url, flags);
  } else if (flags & exoledb::EVT_SYNC_ABORTED) {
    processAbortSave(info, url, flags);
  }
  return S_OK;
}

HRESULT KorvaneCls::OnSyncDelete(IExStoreEventInfo* info, TextView url, std::int32_t flags) noexcept {
  ComPtr<KorvaneCls> hold(this);
  if (flags & exoledb::EVT_SYNC_BEGIN) {
    if (processBeginDelete(info, url, flags) != kTrue && info) info->AbortChange(1);
  } else if (flags & exoledb::EVT_SYNC_COMMITTED) {
    processCommitDelete(info, url, flags);
  } else if (flags & exoledb::EVT_SYNC_ABORTED) {
    processAbortDelete(info, url, flags);
  }
  return S_OK;
}

} // namespace korvane::sink
