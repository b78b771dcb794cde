#include "faultysink.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "platform/com/runtime.h"
#include "platform/complus/construct.h"
#include "platform/registry/registry.h"
#include "platform/store/ado.h"
#include "platform/store/exoledb.h"
#include "platform/store/names.h"

namespace korvane::faultysink {
namespace {

bool faultIs(const char* what) {
  const char* fault = std::getenv(kFaultVariable);
  if (!fault || *fault != '@') return fault && std::strcmp(fault, what) == 0;
  std::string named;
  std::ifstream(fault + 1) >> named;
  return named == what;
}

void misbehave() {
  if (faultIs("crash")) std::raise(SIGSEGV);
  if (faultIs("abort")) std::abort();
  if (faultIs("exit")) std::exit(3);
  if (faultIs("hang")) {
    if (const char* file = std::getenv(kPidFileVariable)) std::ofstream(file) << ::getpid() << '\n';
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

ComPtr<ado::IRecord> eventRecord(exoledb::IExStoreEventInfo* info);

void rewrite(exoledb::IExStoreEventInfo* info) {
  auto record = eventRecord(info);
  ComPtr<ado::IFields> fields;
  check(record->get_Fields(fields.put()));
  ComPtr<ado::IField> field;
  check(fields->get_Item(Variant(store::prop::messageClass), field.put()));
  check(field->put_Value(Variant(kRewritten)));
  check(fields->Update());
}

ComPtr<ado::IRecord> eventRecord(exoledb::IExStoreEventInfo* info) {
  auto disp = ComPtr<exoledb::IExStoreEventInfo>(info).query<exoledb::IExStoreDispEventInfo>();
  ComPtr<IUnknown> unknown;
  check(disp->get_EventRecord(unknown.put()));
  return unknown.query<ado::IRecord>();
}

// The sink's other uses of the item, whose results and errors must be the
// same in a host as in the caller's process.
void act(exoledb::IExStoreEventInfo* info, bool begin) {
  if (faultIs("late")) {
    if (!begin) rewrite(info);
    return;
  }
  if (!begin) return;
  if (faultIs("veto")) return check(info->AbortChange(1));
  if (faultIs("delete")) return check(eventRecord(info)->DeleteRecord(u"", false));
  rewrite(info);
  if (faultIs("computed")) {
    ComPtr<ado::IFields> fields;
    check(eventRecord(info)->get_Fields(fields.put()));
    ComPtr<ado::IField> href;
    check(fields->get_Item(Variant(store::prop::href), href.put()));
    check(href->put_Value(Variant(u"http://elsewhere/")));
  }
  misbehave();
}

class Sink : public ComObject<exoledb::IExStoreSyncEvents, exoledb::ICreateRegistration, complus::IObjectConstruct> {
public:
  HRESULT OnSyncSave(exoledb::IExStoreEventInfo* info, TextView, std::int32_t flags) noexcept override {
    return guarded([&] {
      act(info, (flags & exoledb::EVT_SYNC_BEGIN) != 0);
      return S_OK;
    });
  }
  HRESULT OnSyncDelete(exoledb::IExStoreEventInfo*, TextView, std::int32_t) noexcept override { return S_OK; }
  HRESULT Register(exoledb::IExStoreEventInfo*, TextView, std::int32_t, std::int32_t* result) noexcept override {
    if (result) *result = 0;
    return S_OK;
  }
  HRESULT Construct(IDispatch*) noexcept override {
    if (faultIs("construct")) std::raise(SIGSEGV);
    return S_OK;
  }
};

class Factory : public ComObject<IClassFactory> {
public:
  HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** out) noexcept override {
    if (faultIs("factory")) std::raise(SIGSEGV);
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return makeCom<Sink>()->QueryInterface(iid, out);
  }
  HRESULT LockServer(bool) noexcept override { return S_OK; }
};

Text ownPath() {
  Dl_info info{};
  ::dladdr(reinterpret_cast<void*>(&ownPath), &info);
  return fromUtf8(info.dli_fname ? info.dli_fname : "");
}

} // namespace
} // namespace korvane::faultysink

using namespace korvane;
using namespace korvane::faultysink;

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {
  return guarded([]() -> HRESULT {
    Text key = u"CLSID\\" + CLSID_FaultySink.toText();
    registry::setValue(registry::Root::ClassesRoot, key + u"\\InprocServer32", u"", ownPath());
    registry::setValue(registry::Root::ClassesRoot, key + u"\\InprocServer32", u"ThreadingModel", u"Apartment");
    registry::setValue(registry::Root::ClassesRoot, key + u"\\ProgID", u"", kProgId);
    registry::setValue(registry::Root::ClassesRoot, Text(kProgId) + u"\\CLSID", u"", CLSID_FaultySink.toText());
    return S_OK;
  });
}

extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() { return S_OK; }

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(const Guid* clsid, const Guid* iid,
                                                                           void** out) {
  if (!clsid || !iid || !out) return E_POINTER;
  *out = nullptr;
  if (*clsid != CLSID_FaultySink) return CLASS_E_CLASSNOTAVAILABLE;
  return makeCom<Factory>()->QueryInterface(*iid, out);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() { return S_FALSE; }
