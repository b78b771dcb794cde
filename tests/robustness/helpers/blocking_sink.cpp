// KorvaneTestBlocking.dll: an event sink that the slow-sink tests hold up
// from outside. Its COM+ constructor string names a control directory:
// - a save's begin phase that manages to rename DIR/block to DIR/entered
//   (one call wins) waits until DIR/release or DIR/abort exists (two
//   minutes at most), then writes the class "IPM.Note" (what the tests'
//   mapping makes of every class), or calls AbortChange for DIR/abort;
// - every other call returns at once and changes nothing;
// - every call appends "<pid> <event> <phase> <url>" to DIR/calls.log.
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <dlfcn.h>
#include <filesystem>
#include <thread>

#include "platform/com/runtime.h"
#include "platform/complus/construct.h"
#include "platform/registry/registry.h"
#include "platform/store/ado.h"
#include "platform/store/exoledb.h"
#include "platform/store/names.h"

namespace korvane::testsink {
namespace {

namespace fs = std::filesystem;
using namespace exoledb;

constexpr Guid CLSID_Blocking = "{6C1D2B9E-4F0A-4E53-9B77-2D3A8E0F51C4}"_guid;
constexpr char16_t kProgId[] = u"KorvaneTest.Blocking";

const char* phaseOf(std::int32_t flags) {
  if (flags & EVT_SYNC_BEGIN) return "begin";
  if (flags & EVT_SYNC_COMMITTED) return "committed";
  if (flags & EVT_SYNC_ABORTED) return "aborted";
  return "none";
}

void appendLine(const fs::path& file, const std::string& line) {
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  if (fd < 0) return;
  std::string l = line + "\n";
  [[maybe_unused]] auto n = ::write(fd, l.data(), l.size());
  ::close(fd);
}

// Waits for the test's word; false when it said "abort".
bool waitForRelease(const fs::path& dir) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (std::chrono::steady_clock::now() < deadline) {
    if (fs::exists(dir / "abort")) return false;
    if (fs::exists(dir / "release")) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

HRESULT writeClass(IExStoreEventInfo* info, TextView value) {
  ComPtr<IExStoreDispEventInfo> disp;
  ComPtr<IUnknown> unknown;
  ComPtr<ado::IFields> fields;
  ComPtr<ado::IField> field;
  HRESULT h = info->QueryInterface(IExStoreDispEventInfo::iid, disp.putVoid());
  if (succeeded(h)) h = disp->get_EventRecord(unknown.put());
  auto record = succeeded(h) ? unknown.as<ado::IRecord>() : ComPtr<ado::IRecord>();
  if (!record) return failed(h) ? h : E_NOINTERFACE;
  h = record->get_Fields(fields.put());
  if (succeeded(h)) h = fields->get_Item(Variant(store::prop::messageClass), field.put());
  if (succeeded(h)) h = field->put_Value(Variant(value));
  if (succeeded(h)) h = fields->Update();
  return h;
}

class Blocking final : public ComObject<IExStoreSyncEvents, ICreateRegistration, complus::IObjectConstruct> {
public:
  HRESULT Construct(IDispatch* constructObject) noexcept override {
    return guarded([&]() -> HRESULT {
      ComPtr<complus::IObjectConstructString> ctor;
      check(constructObject->QueryInterface(complus::IObjectConstructString::iid, ctor.putVoid()));
      Text s;
      check(ctor->get_ConstructString(&s));
      dir_ = toUtf8(s);
      return S_OK;
    });
  }

  HRESULT OnSyncSave(IExStoreEventInfo* info, TextView url, std::int32_t flags) noexcept override {
    log("save", flags, url);
    if (!(flags & EVT_SYNC_BEGIN)) return S_OK;
    std::error_code ec;
    fs::rename(dir_ / "block", dir_ / "entered", ec);
    if (ec) return S_OK;
    if (!waitForRelease(dir_)) return info->AbortChange(1);
    return writeClass(info, u"IPM.Note");
  }
  HRESULT OnSyncDelete(IExStoreEventInfo*, TextView url, std::int32_t flags) noexcept override {
    log("delete", flags, url);
    return S_OK;
  }
  HRESULT Register(IExStoreEventInfo*, TextView, std::int32_t, std::int32_t* result) noexcept override {
    if (result) *result = 0;
    return S_OK;
  }

private:
  void log(const char* event, std::int32_t flags, TextView url) {
    appendLine(dir_ / "calls.log", std::to_string(::getpid()) + " " + event + " " + phaseOf(flags) + " " + toUtf8(url));
  }
  fs::path dir_;
};

class Factory final : public ComObject<IClassFactory> {
public:
  HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** out) noexcept override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    return makeCom<Blocking>()->QueryInterface(iid, out);
  }
  HRESULT LockServer(bool) noexcept override { return S_OK; }
};

Text ownPath() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&ownPath), &info) || !info.dli_fname)
    throw ComError(E_FAIL, u"The blocking sink cannot find its own file.");
  return fromUtf8(info.dli_fname);
}

} // namespace
} // namespace korvane::testsink

using namespace korvane;
using namespace korvane::testsink;
using registry::Root;

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {
  return guarded([]() -> HRESULT {
    const Text key = u"CLSID\\" + CLSID_Blocking.toText();
    registry::setValue(Root::ClassesRoot, key, u"", u"Korvane test blocking sink");
    registry::setValue(Root::ClassesRoot, key + u"\\InprocServer32", u"", ownPath());
    registry::setValue(Root::ClassesRoot, key + u"\\InprocServer32", u"ThreadingModel", u"Apartment");
    registry::setValue(Root::ClassesRoot, key + u"\\ProgID", u"", kProgId);
    registry::setValue(Root::ClassesRoot, Text(kProgId) + u"\\CLSID", u"", CLSID_Blocking.toText());
    return S_OK;
  });
}

extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
  return guarded([]() -> HRESULT {
    registry::deleteKey(Root::ClassesRoot, u"CLSID\\" + CLSID_Blocking.toText());
    registry::deleteKey(Root::ClassesRoot, kProgId);
    return S_OK;
  });
}

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(const Guid* clsid, const Guid* iid,
                                                                           void** out) {
  if (!clsid || !iid || !out) return E_POINTER;
  *out = nullptr;
  if (!(*clsid == CLSID_Blocking)) return CLASS_E_CLASSNOTAVAILABLE;
  return makeCom<Factory>()->QueryInterface(*iid, out);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() { return S_FALSE; }
