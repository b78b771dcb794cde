#include "sink/registration.h"

#include "platform/db/database.h"
#include "platform/registry/registry.h"
#include "sink/identity.h"
#include "sink/korvane_cls.h"

namespace korvane::sink {

namespace {

using registry::Root;

// Late-bound calls on dual interfaces go through the standard automation
// marshaler.
constexpr Guid kAutomationProxyStub = "{00020420-0000-0000-C000-000000000046}"_guid;

Text classKey() { return u"CLSID\\" + CLSID_KorvaneCls.toText(); }
Text progIdKey() { return Text(kProgId); }
Text typeLibKey() { return u"TypeLib\\" + LIBID_Korvane.toText(); }
Text typeLibVersionKey() { return typeLibKey() + u"\\" + kTypeLibVersion; }
Text interfaceKey() { return u"Interface\\" + IID_KorvaneCls.toText(); }

// The folder of the library, for the type library's help directory.
Text directoryOf(TextView path) {
  std::size_t slash = path.find_last_of(u"/\\");
  return Text(slash == TextView::npos ? TextView() : path.substr(0, slash));
}

void set(TextView key, TextView name, TextView value) {
  registry::setValue(Root::ClassesRoot, key, name, Variant(value));
}

void registerClass(TextView libraryPath) {
  const Text key = classKey();
  set(key, u"", kProgId);
  set(key + u"\\InprocServer32", u"", libraryPath);
  set(key + u"\\InprocServer32", u"ThreadingModel", kThreadingModel);
  set(key + u"\\ProgID", u"", kProgId);
  set(key + u"\\VersionIndependentProgID", u"", kProgId);
  set(key + u"\\TypeLib", u"", LIBID_Korvane.toText());
  set(key + u"\\Version", u"", kTypeLibVersion);
  registry::createKey(Root::ClassesRoot, key + u"\\Programmable");
}

void registerProgId() {
  set(progIdKey(), u"", kProgId);
  set(progIdKey() + u"\\CLSID", u"", CLSID_KorvaneCls.toText());
}

void registerTypeLibrary(TextView libraryPath) {
  const Text key = typeLibVersionKey();
  set(key, u"", kLibraryName);
  set(key + u"\\0\\win32", u"", libraryPath);
  set(key + u"\\FLAGS", u"", u"0");
  set(key + u"\\HELPDIR", u"", directoryOf(libraryPath));

  set(interfaceKey(), u"", kDefaultInterfaceName);
  set(interfaceKey() + u"\\ProxyStubClsid32", u"", kAutomationProxyStub.toText());
  set(interfaceKey() + u"\\TypeLib", u"", LIBID_Korvane.toText());
  set(interfaceKey() + u"\\TypeLib", u"Version", kTypeLibVersion);
}

// The ProgID key is ours only while it still names our class.
bool progIdIsOurs() {
  auto clsid = registry::getText(Root::ClassesRoot, progIdKey() + u"\\CLSID", u"");
  if (!clsid) return registry::keyExists(Root::ClassesRoot, progIdKey());
  auto parsed = Guid::parse(TextView(*clsid));
  return parsed && *parsed == CLSID_KorvaneCls;
}

} // namespace

void registerServer(TextView libraryPath) {
  db::Transaction transaction(db::Database::current());
  registerClass(libraryPath);
  registerProgId();
  registerTypeLibrary(libraryPath);
  transaction.commit();
}

void unregisterServer() {
  db::Transaction transaction(db::Database::current());
  registry::deleteKey(Root::ClassesRoot, classKey());
  if (progIdIsOurs()) registry::deleteKey(Root::ClassesRoot, progIdKey());
  registry::deleteKey(Root::ClassesRoot, interfaceKey());
  registry::deleteKey(Root::ClassesRoot, typeLibVersionKey());
  if (registry::subKeys(Root::ClassesRoot, typeLibKey()).empty())
    registry::deleteKey(Root::ClassesRoot, typeLibKey());
  transaction.commit();
}

} // namespace korvane::sink
