// The COM runtime: creates objects by CLSID or ProgID. Classes come from
// three places, tried in this order: the COM+ catalog (when a class is
// installed in an application, activation goes through it), the platform's
// own built-in classes, and in-process servers registered under
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, loaded by path with dlopen
// and kept loaded until shutdownRuntime() asks them DllCanUnloadNow.
#pragma once

#include <functional>
#include <string>

#include "platform/com/unknown.h"

namespace korvane {

struct IClassFactory : IUnknown {
  static constexpr Guid iid = "{00000001-0000-0000-C000-000000000046}"_guid;
  using Base = IUnknown;
  virtual HRESULT CreateInstance(IUnknown* outer, const Guid& iid, void** out) noexcept = 0;
  virtual HRESULT LockServer(bool lock) noexcept = 0;

protected:
  ~IClassFactory() = default;
};

// The four exports of an in-process server, with C linkage.
extern "C" {
using DllGetClassObjectFn = HRESULT (*)(const Guid* clsid, const Guid* iid, void** out);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();
}

// A platform class: creates one object and returns the requested interface.
using BuiltinFactory = std::function<HRESULT(const Guid& iid, void** out)>;

// Registers a class of the platform itself (like a system DLL's class).
void registerBuiltinClass(const Guid& clsid, TextView progId, BuiltinFactory factory);

// Activation through another service (the COM+ catalog installs one). It
// returns S_FALSE when the class is not its business.
using Activator = std::function<HRESULT(const Guid& clsid, const Guid& iid, void** out)>;
void setActivator(Activator activator);

HRESULT CLSIDFromProgID(TextView progId, Guid* clsid);
HRESULT ProgIDFromCLSID(const Guid& clsid, Text* progId);

inline constexpr std::uint32_t CLSCTX_INPROC_SERVER = 0x1;
inline constexpr std::uint32_t CLSCTX_ALL = 0x17;

HRESULT CoCreateInstance(const Guid& clsid, IUnknown* outer, std::uint32_t context, const Guid& iid,
                         void** out);

// Creates an object from the in-process server registered for `clsid`,
// bypassing the activator (the COM+ catalog uses this to create the real
// object before it constructs it).
HRESULT createFromInprocServer(const Guid& clsid, const Guid& iid, void** out);

// Loads a library by path and returns one of its exports; the library stays
// loaded. Fails with CO_E_DLLNOTFOUND when the file is missing and
// CO_E_ERRORINDLL when it is not a loadable library.
HRESULT loadLibraryExport(const std::string& path, const char* symbol, void** fn);

// Asks every loaded library DllCanUnloadNow and unloads those that agree.
void freeUnusedLibraries();
// Releases the runtime's caches and unloads libraries that can go.
void shutdownRuntime();

// Throwing helpers: by ProgID or "{CLSID}" text.
Guid classIdOf(TextView progIdOrClsid);
template <typename T>
ComPtr<T> createInstance(TextView progIdOrClsid) {
  ComPtr<T> out;
  check(CoCreateInstance(classIdOf(progIdOrClsid), nullptr, CLSCTX_ALL, T::iid, out.putVoid()));
  return out;
}
template <typename T>
ComPtr<T> createInstance(const Guid& clsid) {
  ComPtr<T> out;
  check(CoCreateInstance(clsid, nullptr, CLSCTX_ALL, T::iid, out.putVoid()));
  return out;
}

} // namespace korvane
