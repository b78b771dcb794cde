// The test in-process server: two classes, a class factory and the four
// exports, registering itself by its own path as an installer would.
#include "testserver.h"

#include <atomic>
#include <cstdlib>

#include "inproc_server.h"
#include "platform/complus/construct.h"

namespace korvane::testserver {
namespace {

std::atomic<long> liveObjects{0};
std::atomic<long> canUnloadCalls{0};

// Counts itself for DllCanUnloadNow.
struct Counted {
  Counted() { ++liveObjects; }
  ~Counted() { --liveObjects; }  // never copied: the objects that hold it cannot be
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
class CountedFactory : public Factory<T>, Counted {};

struct ClassEntry {
  Guid clsid;
  const char16_t* progId;
  ComPtr<IClassFactory> (*factory)();
};

constexpr ClassEntry kClasses[] = {
    {CLSID_Echo, kEchoProgId, [] { return ComPtr<IClassFactory>(makeCom<CountedFactory<Echo>>()); }},
    {CLSID_Plain, kPlainProgId, [] { return ComPtr<IClassFactory>(makeCom<CountedFactory<Plain>>()); }},
};

} // namespace
} // namespace korvane::testserver

using namespace korvane;
using namespace korvane::testserver;

extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {
  return guarded([]() -> HRESULT {
    if (std::getenv(kFailRegisterVariable)) return fail(E_ACCESSDENIED, u"The test server was told to fail.");
    for (const auto& c : kClasses) registerClass(c.clsid, c.progId, &kClasses);
    return S_OK;
  });
}

// Nothing calls it: the catalog takes a removed class's keys out itself.
extern "C" __attribute__((visibility("default"))) HRESULT DllUnregisterServer() { return S_OK; }

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
