// What the tests' in-process servers do alike: a class factory for one
// class, and a class registered by the library's own path, as an installer
// writes it.
#pragma once

#include <dlfcn.h>

#include "platform/com/runtime.h"
#include "platform/registry/registry.h"

namespace korvane::testserver {

template <typename T>
class Factory : public ComObject<IClassFactory> {
public:
  // The runtime refuses aggregation and a missing `out` before it asks, so
  // the factory checks neither and masks no such check of the runtime's.
  HRESULT CreateInstance(IUnknown*, const Guid& iid, void** out) noexcept override {
    return guarded([&] { return makeCom<T>()->QueryInterface(iid, out); });
  }
  // The runtime never locks a server.
  HRESULT LockServer(bool) noexcept override { return S_OK; }
};

// The file that holds `self` (any address in the library) serves the class.
inline void registerClass(const Guid& clsid, const Text& progId, const void* self) {
  Dl_info info{};
  if (!::dladdr(self, &info) || !info.dli_fname)
    throw ComError(E_FAIL, u"A test server cannot find its own file.");
  const Text key = u"CLSID\\" + clsid.toText();
  registry::setValue(registry::Root::ClassesRoot, key + u"\\InprocServer32", u"", fromUtf8(info.dli_fname));
  registry::setValue(registry::Root::ClassesRoot, key + u"\\InprocServer32", u"ThreadingModel", u"Apartment");
  registry::setValue(registry::Root::ClassesRoot, key + u"\\ProgID", u"", progId);
  registry::setValue(registry::Root::ClassesRoot, progId + u"\\CLSID", u"", clsid.toText());
}

} // namespace korvane::testserver
