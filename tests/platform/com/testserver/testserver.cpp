// The test in-process server: two classes, a class factory and the four
// exports, registering itself by its own path as an installer would.
#include "testserver.h"

#include <atomic>
#include <cstdlib>
#include <dlfcn.h>

#include "platform/com/runtime.h"
#include "platform/complus/construct.h"
#include "platform/registry/registry.h"

namespace korvane::testserver {
namespace {

using registry::Root;

std::atomic<long> liveObjects{0};
std::atomic<long> canUnloadCalls{0};

// Counts itself for DllCanUnloadNow.
struct Counted {
  Counted() { ++liveObjects; }
  ~Counted() { --liveObjects; }
  Counted(const Counted&) = delete;
  Counted& operator=(const Counted&) = delete;
};

class Echo : public ComObject<complus::IObjectConstruct, IDispatch>, Counted {
public:
  HRESULT Construct(IDispatch* constructObject) noexcept override {
    return guarded([&]() -> HRESULT {
      ++constructCalls_;
      if (!constructObject) return fail(E_POINTER, u"Construct was given no object.");
      ComPtr<complus::IObjectConstructString> ctor;
      check(constructObject->QueryInterface(complus::IObjectConstructString::iid, ctor.putVoid()));
      Text s;
      check(ctor->get_ConstructString(&s));
      if (s.starts_with(kRefusedPrefix)) return fail(E_ABORT, u"The echo object refused its constructor string.");
      received_ = s;
      return S_OK;
    });
  }

  HRESULT GetProperty(TextView name, Variant* value) noexcept override {
    if (!value) return E_POINTER;
    if (equalsIgnoreCase(name, u"ConstructString")) {
      *value = received_ ? Variant(*received_) : Variant();
    } else if (equalsIgnoreCase(name, u"Constructed")) {
      *value = Variant(received_.has_value());
    } else if (equalsIgnoreCase(name, u"ConstructCalls")) {
      *value = Variant(constructCalls_);
    } else {
      return unknownName(name);
    }
    return S_OK;
  }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override { return unknownName(name); }
  HRESULT Invoke(TextView method, std::span<const Variant>, Variant* result) noexcept override {
    if (!equalsIgnoreCase(method, u"Ping")) return unknownName(method);
    if (result) *result = Variant(u"pong");
    return S_OK;
  }

private:
  std::optional<Text> received_;
  int constructCalls_ = 0;
};

class Plain : public ComObject<IDispatch>, Counted {
public:
  HRESULT GetProperty(TextView name, Variant* value) noexcept override {
    if (!value) return E_POINTER;
    if (!equalsIgnoreCase(name, u"Kind")) return unknownName(name);
    *value = Variant(u"plain");
    return S_OK;
  }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override { return unknownName(name); }
  HRESULT Invoke(TextView method, std::span<const Variant>, Variant*) noexcept override {
    return unknownName(method);
  }
};

template <typename T>
class Factory : public ComObject<IClassFactory>, Counted {
public:
  HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** out) noexcept override {
    return guarded([&]() -> HRESULT {
      if (!out) return E_POINTER;
      *out = nullptr;
      if (outer) return CLASS_E_NOAGGREGATION;
      auto object = makeCom<T>();
      return object->QueryInterface(iid, out);
    });
  }
  // The runtime never locks a server.
  HRESULT LockServer(bool) noexcept override { return S_OK; }
};

struct ClassEntry {
  Guid clsid;
  const char16_t* progId;
  ComPtr<IClassFactory> (*factory)();
};

constexpr ClassEntry kClasses[] = {
    {CLSID_Echo, kEchoProgId, [] { return ComPtr<IClassFactory>(makeCom<Factory<Echo>>()); }},
    {CLSID_Plain, kPlainProgId, [] { return ComPtr<IClassFactory>(makeCom<Factory<Plain>>()); }},
};

Text ownPath() {
  Dl_info info{};
  if (!::dladdr(reinterpret_cast<void*>(&ownPath), &info) || !info.dli_fname)
    throw ComError(E_FAIL, u"The test server cannot find its own file.");
  return fromUtf8(info.dli_fname);
}

} // namespace
} // namespace korvane::testserver

using namespace korvane;
using namespace korvane::testserver;

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {
  return guarded([]() -> HRESULT {
    if (std::getenv(kFailRegisterVariable)) return fail(E_ACCESSDENIED, u"The test server was told to fail.");
    Text path = ownPath();
    for (const auto& c : kClasses) {
      Text key = u"CLSID\\" + c.clsid.toText();
      registry::setValue(Root::ClassesRoot, key + u"\\InprocServer32", u"", path);
      registry::setValue(Root::ClassesRoot, key + u"\\InprocServer32", u"ThreadingModel", u"Apartment");
      registry::setValue(Root::ClassesRoot, key + u"\\ProgID", u"", c.progId);
      registry::setValue(Root::ClassesRoot, Text(c.progId) + u"\\CLSID", u"", c.clsid.toText());
    }
    return S_OK;
  });
}

extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() {
  return guarded([]() -> HRESULT {
    for (const auto& c : kClasses) {
      registry::deleteKey(Root::ClassesRoot, u"CLSID\\" + c.clsid.toText());
      registry::deleteKey(Root::ClassesRoot, c.progId);
    }
    return S_OK;
  });
}

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(const Guid* clsid, const Guid* iid,
                                                                           void** out) {
  return guarded([&]() -> HRESULT {
    if (!clsid || !iid || !out) return E_POINTER;
    *out = nullptr;
    for (const auto& c : kClasses)
      if (*clsid == c.clsid) return c.factory()->QueryInterface(*iid, out);
    return fail(CLASS_E_CLASSNOTAVAILABLE, u"The test server has no class " + clsid->toText() + u".");
  });
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
  ++canUnloadCalls;
  return liveObjects == 0 ? S_OK : S_FALSE;
}

extern "C" __attribute__((visibility("default"))) long KorvaneTestServerLiveObjects() { return liveObjects; }
extern "C" __attribute__((visibility("default"))) long KorvaneTestServerCanUnloadCalls() { return canUnloadCalls; }
