#include "test_sink.h"

#include <fmt/format.h>

#include "platform/com/runtime.h"
#include "platform/store/ado.h"
#include "platform/store/exoledb.h"
#include "platform/store/names.h"
#include "store_fixture.h"

namespace korvane::store::testing {

namespace {

using namespace exoledb;

bool vanishingAvailable = true;

ComPtr<ado::IRecord> eventRecord(IExStoreEventInfo* info) {
  ComPtr<IExStoreDispEventInfo> disp;
  if (failed(info->QueryInterface(IExStoreDispEventInfo::iid, disp.putVoid()))) return {};
  ComPtr<IUnknown> unknown;
  if (failed(disp->get_EventRecord(unknown.put()))) {
    takeErrorInfo();
    return {};
  }
  return unknown.as<ado::IRecord>();
}

Text classOf(ado::IRecord* record) {
  if (!record) return u"<no record>";
  try {
    const Variant v = valueOf(fieldsOf(record).get(), prop::messageClass);
    return v.isText() ? v.textValue() : Text(u"<not text>");
  } catch (const ComError&) {
    takeErrorInfo();
    return u"<no field>";
  }
}

// A refused write shows as the class left as it was.
void writeClass(ado::IRecord* record, TextView value) {
  try {
    auto f = fieldsOf(record);
    setValue(f.get(), prop::messageClass, Variant(value));
    check(f->Update());
  } catch (const ComError&) {
    takeErrorInfo();
  }
}

// Counts up "urn:test:meddled" on the item through a record of its own, as
// any other program could; an item that is not written yet cannot be opened.
void meddle(TextView url) {
  static bool meddling = false;  // its own save calls it too
  if (meddling) return;
  meddling = true;
  try {
    auto f = fieldsOf(openedRecord(url, 3, ado::adFailIfNotExists).get());
    const Variant count = valueOf(f.get(), u"urn:test:meddled");
    setValue(f.get(), u"urn:test:meddled", Variant(count.kind() == Variant::Kind::Int ? count.intValue() + 1 : 1));
    f->Update();
  } catch (const ComError&) {
  }
  takeErrorInfo();
  meddling = false;
}

// Saves an item of its own where a new item is about to be written, as
// another delivery with the same subject would.
void takeName(TextView url) {
  static bool taking = false;  // its own save calls it too
  if (taking) return;
  taking = true;
  writeRecord(url, nullptr, {{prop::subject, Variant(u"taken")}});
  takeErrorInfo();
  taking = false;
}

class TestSink final : public ComObject<IExStoreSyncEvents, ICreateRegistration> {
public:
  explicit TestSink(Text progId) : progId_(std::move(progId)) {
    static int next = 0;
    id_ = ++next;
  }

  HRESULT OnSyncSave(IExStoreEventInfo* info, TextView url, std::int32_t flags) noexcept override {
    auto record = eventRecord(info);
    SinkCall call{progId_, u"save", Text(url), flags, classOf(record.get()), id_};
    if (flags & EVT_SYNC_BEGIN) {
      if (progId_ == kRewriter && record) writeClass(record.get(), u"IPM.Rewritten");
      if (progId_ == kDeleter && record) record->DeleteRecord(u"", false);
      if (progId_ == kAborter) info->AbortChange(1);
      if (progId_ == kMeddler) meddle(url);
      if (progId_ == kNameTaker && (flags & EVT_NEW_ITEM)) takeName(url);
    }
    sinkCalls().push_back(call);
    return S_OK;
  }

  HRESULT OnSyncDelete(IExStoreEventInfo* info, TextView url, std::int32_t flags) noexcept override {
    auto record = eventRecord(info);
    sinkCalls().push_back(SinkCall{progId_, u"delete", Text(url), flags, classOf(record.get()), id_});
    if ((flags & EVT_SYNC_BEGIN) && progId_ == kAborter) info->AbortChange(1);
    return S_OK;
  }

  HRESULT Register(IExStoreEventInfo* info, TextView url, std::int32_t flags, std::int32_t* result) noexcept override {
    auto record = eventRecord(info);
    sinkCalls().push_back(SinkCall{progId_, u"register", Text(url), flags, classOf(record.get()), id_});
    *result = progId_ == kRefuser ? 1 : 0;
    return S_OK;
  }

private:
  Text progId_;
  int id_ = 0;
};

void registerSink(const std::string& clsid, const char16_t* progId) {
  Text name(progId);
  registerBuiltinClass(*Guid::parse(std::string_view(clsid)), progId, [name](const Guid& iid, void** out) -> HRESULT {
    if (name == kVanishing && !vanishingAvailable)
      return fail(CO_E_DLLNOTFOUND, u"The library vanishing.dll of class KorvaneTest.Vanishing was not found.");
    return makeCom<TestSink>(name)->QueryInterface(iid, out);
  });
}

} // namespace

std::vector<SinkCall>& sinkCalls() {
  static std::vector<SinkCall> calls;
  return calls;
}

void setVanishingAvailable(bool available) { vanishingAvailable = available; }

void registerTestSinks() {
  static const bool done = [] {
    int n = 0;
    for (const char16_t* progId :
         {kRecorder, kSecondRecorder, kRewriter, kDeleter, kAborter, kRefuser, kThirdRecorder, kVanishing, kMeddler,
          kNameTaker})
      registerSink(fmt::format("{{7A1E0001-0000-4000-8000-00000000A{:03}}}", ++n), progId);
    return true;
  }();
  (void)done;
}

} // namespace korvane::store::testing
