// The four entry points of the in-process server, with C linkage. They are
// the only symbols the library exports.
#include <dlfcn.h>

#include <climits>
#include <cstdlib>
#include <memory>

#include "platform/com/runtime.h"
#include "sink/class_factory.h"
#include "sink/module.h"
#include "sink/registration.h"

namespace {

// The path this library was loaded from, made absolute so that the
// registered server can be found from any working directory.
korvane::Text libraryPath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&korvane::sink::getClassObject), &info) == 0 || !info.dli_fname)
    throw korvane::ComError(korvane::E_FAIL, u"Korvane.dll cannot tell the path it was loaded from.");
  std::unique_ptr<char, decltype(&std::free)> full(realpath(info.dli_fname, nullptr), &std::free);
  return korvane::fromUtf8(full ? full.get() : info.dli_fname);
}

} // namespace

#define KORVANE_EXPORT extern "C" __attribute__((visibility("default")))

KORVANE_EXPORT korvane::HRESULT DllRegisterServer() {
  return korvane::guarded([] {
    korvane::sink::registerServer(libraryPath());
    return korvane::S_OK;
  });
}

KORVANE_EXPORT korvane::HRESULT DllUnregisterServer() {
  return korvane::guarded([] {
    korvane::sink::unregisterServer();
    return korvane::S_OK;
  });
}

KORVANE_EXPORT korvane::HRESULT DllGetClassObject(const korvane::Guid* clsid, const korvane::Guid* iid,
                                                  void** out) {
  return korvane::sink::getClassObject(clsid, iid, out);
}

KORVANE_EXPORT korvane::HRESULT DllCanUnloadNow() {
  return korvane::sink::canUnload() ? korvane::S_OK : korvane::S_FALSE;
}
