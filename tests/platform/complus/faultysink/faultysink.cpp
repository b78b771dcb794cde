#include "faultysink.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "platform/complus/construct.h"
#include "platform/store/ado.h"
#include "platform/store/exoledb.h"
#include "platform/store/names.h"
#include "tests/platform/com/testserver/inproc_server.h"

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
  if (faultIs("kill")) std::raise(SIGKILL);
  if (faultIs("exit")) std::exit(3);
  if (faultIs("hang")) {
    if (const char* file = std::getenv(kPidFileVariable)) std::ofstream(file) << ::getpid() << '\n';
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
  }
}

ComPtr<ado::IRecord> eventRecord(exoledb::IExStoreEventInfo* info) {
  auto disp = ComPtr<exoledb::IExStoreEventInfo>(info).query<exoledb::IExStoreDispEventInfo>();
  ComPtr<IUnknown> unknown;
  check(disp->get_EventRecord(unknown.put()));
  return unknown.query<ado::IRecord>();
}

void rewrite(exoledb::IExStoreEventInfo* info, TextView messageClass = kRewritten) {
  auto record = eventRecord(info);
  ComPtr<ado::IFields> fields;
  check(record->get_Fields(fields.put()));
  ComPtr<ado::IField> field;
  check(fields->get_Item(Variant(store::prop::messageClass), field.put()));
  check(field->put_Value(Variant(messageClass)));
  check(fields->Update());
}

// The sink's other uses of the item, whose results and errors must be the
// same in a host as in the caller's process.
void act(exoledb::IExStoreEventInfo* info, bool begin) {
  if (faultIs("late")) {
    if (!begin) rewrite(info);
    return;
  }
  if (!begin) {
    if (faultIs("commit")) std::raise(SIGSEGV);  // the change was saved already
    return;
  }
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

namespace fs = std::filesystem;

const char* phaseOf(std::int32_t flags) {
  if (flags & exoledb::EVT_SYNC_BEGIN) return "begin";
  if (flags & exoledb::EVT_SYNC_COMMITTED) return "committed";
  return flags & exoledb::EVT_SYNC_ABORTED ? "aborted" : "none";
}

// Held by the test: false when it said "abort".
bool waitForRelease(const fs::path& dir) {
  for (auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2); std::chrono::steady_clock::now() < until;
       std::this_thread::sleep_for(std::chrono::milliseconds(5))) {
    if (fs::exists(dir / "abort")) return false;
    if (fs::exists(dir / "release")) return true;
  }
  return true;
}

class Sink : public ComObject<exoledb::IExStoreSyncEvents, exoledb::ICreateRegistration, complus::IObjectConstruct> {
public:
  // Made by the class factory, which crashes here when told to.
  Sink() {
    if (faultIs("factory")) std::raise(SIGSEGV);
  }
  HRESULT OnSyncSave(exoledb::IExStoreEventInfo* info, TextView url, std::int32_t flags) noexcept override {
    return guarded([&]() -> HRESULT {
      const bool begin = (flags & exoledb::EVT_SYNC_BEGIN) != 0;
      if (held_.empty()) {
        act(info, begin);
        return S_OK;
      }
      log("save", flags, url);
      if (!begin) return S_OK;
      std::error_code ec;
      fs::rename(held_ / "block", held_ / "entered", ec);
      if (ec) return S_OK;
      if (!waitForRelease(held_)) return info->AbortChange(1);
      rewrite(info, u"IPM.Note");
      return S_OK;
    });
  }
  HRESULT OnSyncDelete(exoledb::IExStoreEventInfo*, TextView, std::int32_t) noexcept override {
    return S_OK;
  }
  HRESULT Register(exoledb::IExStoreEventInfo*, TextView, std::int32_t, std::int32_t* result) noexcept override {
    if (result) *result = 0;
    return S_OK;
  }
  HRESULT Construct(IDispatch* constructObject) noexcept override {
    if (faultIs("construct")) std::raise(SIGSEGV);
    return guarded([&]() -> HRESULT {
      ComPtr<complus::IObjectConstructString> ctor;
      check(constructObject->QueryInterface(complus::IObjectConstructString::iid, ctor.putVoid()));
      Text s;
      check(ctor->get_ConstructString(&s));
      if (s.starts_with(u"/")) held_ = toUtf8(s);
      if (!held_.empty()) log("construct", 0, s);
      return S_OK;
    });
  }

private:
  // One write per line, so that lines of several processes never mix.
  void log(const char* event, std::int32_t flags, TextView url) {
    std::string line = std::to_string(::getpid()) + " " + event + " " + phaseOf(flags) + " " + toUtf8(url) + "\n";
    std::ofstream(held_ / "calls.log", std::ios::app) << line << std::flush;
  }
  fs::path held_;
};

} // namespace
} // namespace korvane::faultysink

using namespace korvane;
using namespace korvane::faultysink;

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {
  return guarded([]() -> HRESULT {
    testserver::registerClass(CLSID_FaultySink, kProgId, reinterpret_cast<const void*>(&faultIs));
    return S_OK;
  });
}

extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() { return S_OK; }

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(const Guid* clsid, const Guid* iid,
                                                                           void** out) {
  if (!clsid || !iid || !out) return E_POINTER;
  *out = nullptr;
  if (*clsid != CLSID_FaultySink) return CLASS_E_CLASSNOTAVAILABLE;
  return makeCom<testserver::Factory<Sink>>()->QueryInterface(*iid, out);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() { return S_FALSE; }
