// The record object ("ADODB.Record"): one item or folder of the store opened
// by URL, its properties as Fields, saved with Fields.Update (one store save,
// with its events) and deleted with DeleteRecord. The event record is the
// same object bound to a save in progress: in the begin phase it shows the
// item the save holds in memory, and its changes (Fields.Update,
// DeleteRecord) become part of that save and fire no events of their own.
//
// Open(source, connection, mode, createOptions, options, user, password):
// - mode 1 (or 0) reads, 2 or 3 reads and writes; writing needs a folder of
//   full access, reading one that is not closed (Access::None).
// - createOptions: -1 the item must exist; 0 creates a new item (fails when
//   one exists); 0x2000 creates a folder at once; 0x2000000 with 0 or 0x2000
//   opens an existing one instead; 0x4000000 creates or replaces an item.
//   A new or replacing item is written by the first Fields.Update.
// - Fields: stored and computed properties; on a writable record an unknown
//   name gives a new field. Assigning an empty value removes a property;
//   computed properties (DAV:href, DAV:displayname, ...) are read-only.
#pragma once

#include <memory>

#include "platform/store/ado.h"
#include "platform/store/events.h"

namespace korvane::store {

inline constexpr std::int32_t adCreateNonCollection = 0;
inline constexpr std::int32_t adCreateCollection = 0x2000;
inline constexpr std::int32_t adOpenIfExists = 0x2000000;

ComPtr<ado::IRecord> makeRecord();
// The late binding of a record ("State", "Fields", "Open", "Close",
// "DeleteRecord") over its typed methods, for every record object.
HRESULT recordGetProperty(ado::IRecord* self, TextView name, Variant* value) noexcept;
HRESULT recordInvoke(ado::IRecord* self, TextView method, std::span<const Variant> args, Variant* result) noexcept;

class LateBoundRecord : public ComObject<ado::IRecord> {
public:
  HRESULT GetProperty(TextView name, Variant* value) noexcept override { return recordGetProperty(this, name, value); }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override { return unknownName(name); }
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    return recordInvoke(this, method, args, result);
  }
};
// Writable in the begin phase of a save; read-only otherwise.
ComPtr<ado::IRecord> makeEventRecord(std::shared_ptr<events::Change> change);

} // namespace korvane::store
