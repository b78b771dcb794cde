#include "platform/com/runtime.h"

#include <mutex>
#include <optional>
#include <unordered_map>

#include "platform/com/runtime_libraries.h"
#include "platform/registry/registry.h"

namespace korvane {

namespace {

using registry::Root;

struct Builtin {
  Text progId;
  BuiltinFactory factory;
};

// The classes of the platform itself and the activation service. Built on
// first use, so that registrars in other files may run in any order.
struct Classes {
  std::mutex lock;
  std::unordered_map<Guid, Builtin> byClsid;
  std::unordered_map<Text, Guid> byProgId;  // case-folded ProgID
  Activator activator;
};

Classes& classes() {
  static Classes c;
  return c;
}

std::optional<Builtin> builtinClass(const Guid& clsid) {
  auto& c = classes();
  std::lock_guard guard(c.lock);
  auto it = c.byClsid.find(clsid);
  if (it == c.byClsid.end()) return std::nullopt;
  return it->second;
}

std::optional<Guid> builtinProgId(TextView progId) {
  auto& c = classes();
  std::lock_guard guard(c.lock);
  auto it = c.byProgId.find(foldCase(progId));
  if (it == c.byProgId.end()) return std::nullopt;
  return it->second;
}

Activator currentActivator() {
  auto& c = classes();
  std::lock_guard guard(c.lock);
  return c.activator;
}

Text clsidKey(const Guid& clsid) { return u"CLSID\\" + clsid.toText(); }

Text unknownProgId(TextView progId) {
  return u"Invalid class string: no class is registered with the ProgID \"" + Text(progId) + u"\".";
}

// What a library's factory left as description, or a text of our own.
HRESULT libraryFailure(HRESULT h, TextView path, const Guid& clsid, TextView what) {
  Text info = takeErrorInfo();
  if (info.empty())
    info = u"The library " + Text(path) + u" could not " + Text(what) + u" of class " + clsid.toText() +
           u": " + describe(h);
  return fail(h, info);
}

} // namespace

void registerBuiltinClass(const Guid& clsid, TextView progId, BuiltinFactory factory) {
  auto& c = classes();
  std::lock_guard guard(c.lock);
  if (auto old = c.byClsid.find(clsid); old != c.byClsid.end() && !old->second.progId.empty())
    c.byProgId.erase(foldCase(old->second.progId));
  c.byClsid[clsid] = Builtin{Text(progId), std::move(factory)};
  if (!progId.empty()) c.byProgId[foldCase(progId)] = clsid;
}

void setActivator(Activator activator) {
  auto& c = classes();
  std::lock_guard guard(c.lock);
  c.activator = std::move(activator);
}

HRESULT CLSIDFromProgID(TextView progId, Guid* clsid) {
  return guarded([&]() -> HRESULT {
    if (!clsid) return E_POINTER;
    if (auto builtin = builtinProgId(progId)) {
      *clsid = *builtin;
      return S_OK;
    }
    // A ProgID is one key name of HKEY_CLASSES_ROOT.
    if (progId.empty() || progId.find(u'\\') != TextView::npos)
      return fail(CO_E_CLASSSTRING, unknownProgId(progId));
    auto text = registry::getText(Root::ClassesRoot, Text(progId) + u"\\CLSID", u"");
    auto parsed = text ? Guid::parse(TextView(*text)) : std::nullopt;
    if (!parsed) return fail(CO_E_CLASSSTRING, unknownProgId(progId));
    *clsid = *parsed;
    return S_OK;
  });
}

HRESULT ProgIDFromCLSID(const Guid& clsid, Text* progId) {
  return guarded([&]() -> HRESULT {
    if (!progId) return E_POINTER;
    if (auto builtin = builtinClass(clsid); builtin && !builtin->progId.empty()) {
      *progId = builtin->progId;
      return S_OK;
    }
    auto text = registry::getText(Root::ClassesRoot, clsidKey(clsid) + u"\\ProgID", u"");
    if (!text || text->empty())
      return fail(REGDB_E_CLASSNOTREG, u"Class not registered: the class " + clsid.toText() + u" has no ProgID.");
    *progId = *text;
    return S_OK;
  });
}

HRESULT CoCreateInstance(const Guid& clsid, IUnknown* outer, std::uint32_t /*context*/, const Guid& iid,
                         void** out) {
  return guarded([&]() -> HRESULT {
    if (!out) return E_POINTER;
    *out = nullptr;
    if (outer) return fail(CLASS_E_NOAGGREGATION, u"The class " + clsid.toText() + u" cannot be aggregated.");
    if (Activator activator = currentActivator()) {
      HRESULT h = activator(clsid, iid, out);
      if (h != S_FALSE) return h;
      *out = nullptr;
    }
    if (auto builtin = builtinClass(clsid)) return builtin->factory(iid, out);
    return createFromInprocServer(clsid, iid, out);
  });
}

HRESULT createFromInprocServer(const Guid& clsid, const Guid& iid, void** out) {
  return guarded([&]() -> HRESULT {
    if (!out) return E_POINTER;
    *out = nullptr;
    auto path = registry::getText(Root::ClassesRoot, clsidKey(clsid) + u"\\InprocServer32", u"");
    if (!path)
      return fail(REGDB_E_CLASSNOTREG, u"Class not registered: no in-process server is registered for the class " +
                                           clsid.toText() + u". Register its library first.");
    void* library = libraries::load(*path, clsid.toText());
    auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(libraries::symbol(library, "DllGetClassObject"));
    if (!getClassObject)
      return fail(CO_E_ERRORINDLL, u"The library " + *path + u" of class " + clsid.toText() +
                                       u" has no DllGetClassObject entry point.");
    takeErrorInfo();
    ComPtr<IClassFactory> factory;
    HRESULT h = getClassObject(&clsid, &IClassFactory::iid, factory.putVoid());
    if (failed(h)) return libraryFailure(h, *path, clsid, u"hand out the class factory");
    if (!factory) return fail(E_POINTER, u"The library " + *path + u" returned no class factory.");
    h = factory->CreateInstance(nullptr, iid, out);
    if (failed(h)) {
      *out = nullptr;
      return libraryFailure(h, *path, clsid, u"create an object");
    }
    return h;
  });
}

HRESULT loadLibraryExport(const std::string& path, const char* symbol, void** fn) {
  return guarded([&]() -> HRESULT {
    if (!fn || !symbol) return E_POINTER;
    *fn = nullptr;
    Text shown = fromUtf8(path);
    void* library = libraries::load(shown, u"");
    *fn = libraries::symbol(library, symbol);
    if (!*fn)
      return fail(CO_E_ERRORINDLL, u"The library " + shown + u" has no entry point " + fromUtf8(symbol) + u".");
    return S_OK;
  });
}

void freeUnusedLibraries() { libraries::unloadUnused(); }

void shutdownRuntime() {
  // Built-in classes and the activator belong to the platform library and
  // live as long as it; only the loaded servers can go.
  libraries::unloadUnused();
}

Guid classIdOf(TextView progIdOrClsid) {
  if (!progIdOrClsid.empty() && progIdOrClsid.front() == u'{') {
    if (auto g = Guid::parse(progIdOrClsid)) return *g;
    throw ComError(CO_E_CLASSSTRING, u"Invalid class string: \"" + Text(progIdOrClsid) +
                                         u"\" is neither a ProgID nor a class identifier.");
  }
  Guid clsid;
  check(CLSIDFromProgID(progIdOrClsid, &clsid));
  return clsid;
}

} // namespace korvane
