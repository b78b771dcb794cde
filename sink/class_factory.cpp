#include "sink/class_factory.h"

#include "sink/identity.h"
#include "sink/korvane_cls.h"
#include "sink/module.h"

namespace korvane::sink {

namespace {

class KorvaneClsFactory final : public IClassFactory {
public:
  HRESULT QueryInterface(const Guid& iid, void** out) noexcept override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (iid != IUnknown::iid && iid != IClassFactory::iid) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  std::uint32_t AddRef() noexcept override {
    lockServer();
    return static_cast<std::uint32_t>(serverLocks());
  }
  std::uint32_t Release() noexcept override {
    unlockServer();
    return static_cast<std::uint32_t>(serverLocks());
  }

  HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** out) noexcept override {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return fail(CLASS_E_NOAGGREGATION, u"KorvaneCls cannot be aggregated.");
    return guarded([&] { return makeCom<KorvaneCls>()->QueryInterface(iid, out); });
  }
  HRESULT LockServer(bool lock) noexcept override {
    if (lock)
      lockServer();
    else
      unlockServer();
    return S_OK;
  }
};

KorvaneClsFactory factory;

} // namespace

HRESULT getClassObject(const Guid* clsid, const Guid* iid, void** out) noexcept {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (!clsid || !iid) return E_INVALIDARG;
  if (*clsid != CLSID_KorvaneCls)
    return fail(CLASS_E_CLASSNOTAVAILABLE, u"The library Korvane.dll offers no class " + clsid->toText() + u".");
  return factory.QueryInterface(*iid, out);
}

} // namespace korvane::sink
