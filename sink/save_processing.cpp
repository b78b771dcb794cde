#include "sink/save_processing.h"

#include "platform/com/runtime.h"
#include "platform/store/ado.h"
#include "platform/store/cdo.h"
#include "sink/matching.h"

namespace korvane::sink {

namespace {

using exoledb::IExStoreEventInfo;

// A call may succeed and still hand back nothing; that ends the phase too.
template <typename T>
ComPtr<T> required(ComPtr<T> object, TextView what) {
  if (!object) throw ComError(E_POINTER, Text(what) + u" is not available.");
  return object;
}

// The record of the item being saved or deleted, from the event information.
ComPtr<ado::IRecord> itemRecord(IExStoreEventInfo* info) {
  auto disp = ComPtr<IExStoreEventInfo>(info).query<exoledb::IExStoreDispEventInfo>();
  ComPtr<IUnknown> record;
  check(disp->get_EventRecord(record.put()));
  return required(record, u"The event record").query<ado::IRecord>();
}

// Opens the folder through a new folder object and reads its description.
Text folderDescription(TextView folderUrl) {
  auto folder = required(createInstance<IDispatch>(u"CDO.Folder"), u"The folder object");
  const Variant name(u"IDataSource");
  auto dataSource = required(invoke(folder.get(), u"GetInterface", {&name, 1}).objectValue(),
                             u"The folder's data source")
                        .query<cdo::IDataSource>();
  check(dataSource->Open(folderUrl, nullptr, 0, ado::adFailIfNotExists, 0, u"", u""));
  Variant description = getProperty(folder.get(), u"Description");
  return description.isNull() ? Text() : description.toText();
}

ComPtr<ado::IFields> itemFields(ado::IRecord* record) {
  ComPtr<ado::IFields> fields;
  check(record->get_Fields(fields.put()));
  return required(fields, u"The item's fields");
}

ComPtr<ado::IField> messageClassField(ado::IFields* fields) {
  ComPtr<ado::IField> field;
  check(fields->get_Item(Variant(kMessageClassField), field.put()));
  return required(field, u"The message class field");
}

// The item's message class, trimmed; a null value raises a type mismatch.
Text currentMessageClass(ado::IRecord* record) {
  auto fields = itemFields(record);
  Variant value;
  check(messageClassField(fields.get())->get_Value(&value));
  return trimBlanks(value.toText());
}

void writeMessageClass(ado::IRecord* record, const Text& newClass) {
  auto fields = itemFields(record);
  check(messageClassField(fields.get())->put_Value(Variant(newClass)));
  check(fields->Update());
}

void deleteItem(ado::IRecord* record) { check(record->DeleteRecord(u"", false)); }

// The pair walk of the begin phase: each pass reads the folder's own pair,
// falls back to configured pair i, and acts on the first pattern that
// matches; the first action ends the walk. Throws on any failure.
void applyPairs(IExStoreEventInfo* info, TextView itemUrl, std::int32_t flags,
                const Configuration& config) {
  auto record = itemRecord(info);
  if ((flags & exoledb::EVT_IS_DELIVERED) == 0) return;

  for (std::ptrdiff_t i = config.pairLowerBound; i <= config.pairUpperBound; ++i) {
    const Text description = folderDescription(parentFolderUrl(itemUrl));
    Text patterns = getTagValue(description, kOriginalClassTag);
    Text newClasses = getTagValue(description, kTargetClassTag);
    if (patterns.empty() || newClasses.empty()) {
      patterns = config.originalPatterns.at(static_cast<std::size_t>(i));
      newClasses = config.newClasses.at(static_cast<std::size_t>(i));
    }
    if (patterns.empty() || newClasses.empty()) continue;

    const Text current = currentMessageClass(record.get());
    if (current.empty()) continue;

    if (auto target = mappedClass(patterns, newClasses, current)) {
      if (meansDelete(*target))
        deleteItem(record.get());
      else
        writeMessageClass(record.get(), *target);
      return;
    }
  }
}

// The phases that change nothing still take the item record and let it go.
void touchItemRecord(IExStoreEventInfo* info) noexcept {
  try {
    itemRecord(info);
  } catch (...) {
  }
}

} // namespace

Text parentFolderUrl(TextView itemUrl) {
  std::size_t slash = itemUrl.rfind(u'/');
  return Text(slash == TextView::npos ? itemUrl : itemUrl.substr(0, slash + 1));
}

std::int16_t processBeginSave(IExStoreEventInfo* info, TextView itemUrl, std::int32_t flags,
                              const Configuration& config) noexcept {
  try {
    applyPairs(info, itemUrl, flags, config);
  } catch (...) {
    // An error ends the processing; what was written so far stays.
  }
  return kTrue;
}

void processCommitSave(IExStoreEventInfo* info, TextView, std::int32_t) noexcept { touchItemRecord(info); }

void processAbortSave(IExStoreEventInfo* info, TextView, std::int32_t) noexcept { touchItemRecord(info); }

std::int16_t processBeginDelete(IExStoreEventInfo* info, TextView, std::int32_t) noexcept {
  touchItemRecord(info);
  return kTrue;
}

void processCommitDelete(IExStoreEventInfo* info, TextView, std::int32_t) noexcept { touchItemRecord(info); }

void processAbortDelete(IExStoreEventInfo* info, TextView, std::int32_t) noexcept { touchItemRecord(info); }

} // namespace korvane::sink
