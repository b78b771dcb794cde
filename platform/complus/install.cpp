#include "platform/complus/install.h"

#include <filesystem>

#include "platform/com/runtime.h"
#include "platform/com/runtime_libraries.h"
#include "platform/complus/catalog.h"
#include "platform/complus/store.h"
#include "platform/registry/registry.h"

namespace korvane::complus::detail {

namespace {

namespace fs = std::filesystem;
using registry::Root;

// Two spellings of one file compare equal.
std::string canonicalFile(TextView registeredPath) {
  std::error_code ec;
  std::string resolved = libraries::resolvePath(registeredPath);
  fs::path canonical = fs::weakly_canonical(resolved, ec);
  return ec ? resolved : canonical.string();
}

Text notALibrary(TextView path) {
  return u"The file " + Text(path) + u" does not exist or is not a component library";
}

void checkFile(TextView path) {
  std::error_code ec;
  auto status = fs::status(libraries::resolvePath(path), ec);
  if (path.empty() || ec || !fs::is_regular_file(status))
    throw ComError(COMADMIN_E_BADPATH, notALibrary(path) + u". Check the path (\"\\\" and \"/\" both separate "
                                                          u"folders) and that the file is there.");
}

void registerLibrary(TextView path) {
  void* fn = nullptr;
  HRESULT h = loadLibraryExport(toUtf8(path), "DllRegisterServer", &fn);
  if (h == E_ACCESSDENIED) throw ComError(COMADMIN_E_DLLLOADFAILED, takeErrorInfo());  // it is there: say who could change it
  if (failed(h))
    throw ComError(COMADMIN_E_DLLLOADFAILED, notALibrary(path) + u": " + takeErrorInfo());
  takeErrorInfo();
  h = reinterpret_cast<DllRegisterServerFn>(fn)();
  if (failed(h)) {
    Text why = takeErrorInfo();
    throw ComError(COMADMIN_E_DLLREGISTERSERVER, u"DllRegisterServer of " + Text(path) + u" failed: " +
                                                     (why.empty() ? describe(h) : why));
  }
}

Text textOr(std::optional<Text> value) { return value ? std::move(*value) : Text(); }

// What the registry says about a class.
ComponentRecord describeClass(const Text& clsid) {
  Text key = u"CLSID\\" + clsid;
  return ComponentRecord{clsid, textOr(registry::getText(Root::ClassesRoot, key + u"\\ProgID", u"")),
                         textOr(registry::getText(Root::ClassesRoot, key + u"\\InprocServer32", u"")),
                         textOr(registry::getText(Root::ClassesRoot, key + u"\\InprocServer32", u"ThreadingModel"))};
}

// The classes whose in-process server is this file, in registry order.
std::vector<ComponentRecord> classesServedBy(TextView path) {
  std::string file = canonicalFile(path);
  std::vector<ComponentRecord> out;
  for (const Text& name : registry::subKeys(Root::ClassesRoot, u"CLSID")) {
    auto clsid = Guid::parse(TextView(name));
    if (!clsid) continue;
    ComponentRecord record = describeClass(clsid->toText());
    if (!record.dll.empty() && canonicalFile(record.dll) == file) out.push_back(std::move(record));
  }
  return out;
}

} // namespace

void installComponent(TextView applicationIdOrName, TextView libraryPath) {
  auto application = applicationByIdOrName(applicationIdOrName);
  if (!application)
    throw ComError(COMADMIN_E_KEYMISSING, u"No COM+ application is named or has the ID \"" + Text(applicationIdOrName) +
                                              u"\". Create the application and save it before installing into it.");
  checkFile(libraryPath);
  // The library's classes are known only once it has registered them; the
  // refusals come after that, so its registry entries are rolled back with
  // them and a refused install leaves registry and catalog as they were.
  db::Transaction t(catalogDatabase());
  registerLibrary(libraryPath);
  auto classes = classesServedBy(libraryPath);
  if (classes.empty())
    throw ComError(COMADMIN_E_NOREGISTRYCLSID, u"The library " + Text(libraryPath) +
                                                   u" registered no class of its own, so it holds no component "
                                                   u"to install.");
  recordComponents(*application, classes);
  t.commit();
}

void refreshComponents() {
  auto& d = catalogDatabase();
  db::Transaction t(d);
  for (const Text& clsid : installedClasses()) {
    ComponentRecord record = describeClass(clsid);
    // A class whose registration is gone keeps what the catalog knew.
    if (!registry::keyExists(Root::ClassesRoot, u"CLSID\\" + clsid)) continue;
    refreshComponent(record);
  }
  t.commit();
}

void unregisterClass(TextView clsid) {
  const Text key = u"CLSID\\" + Text(clsid);
  for (const char16_t* name : {u"\\ProgID", u"\\VersionIndependentProgID"}) {
    auto progId = registry::getText(Root::ClassesRoot, key + name, u"");
    // A ProgID taken over by another class since stays that class's; one
    // that is not a single key's name is no ProgID at all.
    if (!progId || progId->empty() || progId->find(u'\\') != Text::npos) continue;
    auto names = registry::getText(Root::ClassesRoot, *progId + u"\\CLSID", u"");
    if (names && equalsIgnoreCase(*names, clsid)) registry::deleteKey(Root::ClassesRoot, *progId);
  }
  registry::deleteKey(Root::ClassesRoot, key);
}

} // namespace korvane::complus::detail
