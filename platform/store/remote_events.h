// The event interfaces across the boundary of a COM+ server application's
// host. In the caller, a proxy stands for the sink object in the host; in
// the host, stand-ins of the event information and of the item's record are
// what the sink is handed.
//
// One call is one round trip in the usual case. The proxy sends, with
// OnSyncSave's begin phase, a snapshot of the item's fields; the host-side
// record serves reads from it and buffers what the sink does to the item
// (field values, Update, DeleteRecord, AbortChange), checked there as the
// real record checks them, and the reply carries the buffer back, where the
// proxy replays it on the event information the event service handed it, in
// order. Only what the snapshot lacks goes back to the caller during the
// call (a callback carrying the buffer so far): the fields in the other
// phases, and the deletion of another item. A replayed step that fails
// stops the replay and fails the call with its error.
#pragma once

#include "platform/complus/host.h"

namespace korvane::store::remote {

inline constexpr std::uint8_t kOffersSyncEvents = 1;
inline constexpr std::uint8_t kOffersRegistration = 2;

// In the host: which of the event interfaces the object offers.
std::uint8_t offers(IUnknown* object);

// In the caller: the proxy of an object made in a host.
ComPtr<IUnknown> makeProxy(const complus::host::Created& created);

// In the host: serves one call on `object`; `callBack` asks the caller.
// True when it was a begin phase, so that the change's commit or abort
// phase is the caller's next request.
using CallBack = std::function<wire::Reader(const wire::Writer& request)>;
bool serveCall(IUnknown* object, wire::Reader& request, wire::Writer& reply, const CallBack& callBack);

} // namespace korvane::store::remote
