// The lab tool's catalog calls, made of the catalog's own collections.
#include "platform/com/runtime.h"
#include "platform/complus/admin.h"
#include "platform/complus/store.h"
#include "platform/db/database.h"
#include "platform/db/fault.h"

namespace korvane::complus {

namespace {

ComPtr<ICatalogCollection> collectionOf(IDispatch* object) {
  return ComPtr<IDispatch>(object).query<ICatalogCollection>();
}

ComPtr<ICatalogCollection> populated(ICOMAdminCatalog* catalog, TextView name) {
  ComPtr<IDispatch> d;
  check(catalog->GetCollection(name, d.put()));
  auto c = collectionOf(d.get());
  check(c->Populate());
  return c;
}

ComPtr<ICatalogCollection> components(ICatalogCollection* applications, const Text& id) {
  ComPtr<IDispatch> d;
  check(applications->GetCollection(u"Components", Variant(id), d.put()));
  auto c = collectionOf(d.get());
  check(c->Populate());
  return c;
}

std::int32_t countOf(ICatalogCollection* c) {
  std::int32_t n = 0;
  check(c->get_Count(&n));
  return n;
}

ComPtr<ICatalogObject> itemOf(ICatalogCollection* c, std::int32_t i) {
  ComPtr<IDispatch> d;
  check(c->get_Item(i, d.put()));
  return d.query<ICatalogObject>();
}

Variant valueOf(ICatalogObject* o, TextView property) {
  Variant v;
  check(o->get_Value(property, &v));
  return v;
}

void put(ICatalogObject* o, TextView property, const Variant& value) { check(o->put_Value(property, value)); }

Text nameOf(ICatalogObject* o) {
  Variant v;
  check(o->get_Name(&v));
  return v.toText();
}

ComponentInfo componentInfo(ICatalogObject* o) {
  ComponentInfo c;
  c.clsid = valueOf(o, u"CLSID").toText();
  c.progId = valueOf(o, u"ProgID").toText();
  c.dll = valueOf(o, u"DLL").toText();
  c.constructionEnabled = valueOf(o, u"ConstructionEnabled").toBool();
  Variant s = valueOf(o, u"ConstructorString");
  if (!s.isNull()) c.constructorString = s.toText();
  return c;
}

ApplicationInfo applicationInfo(ICatalogCollection* applications, ICatalogObject* o) {
  ApplicationInfo a;
  a.id = valueOf(o, u"ID").toText();
  a.name = valueOf(o, u"Name").toText();
  a.identity = valueOf(o, u"Identity").toText();
  a.accessChecksEnabled = valueOf(o, u"ApplicationAccessChecksEnabled").toBool();
  a.serverApplication = valueOf(o, u"Activation").toInt() != detail::kActivationLibrary;
  auto list = components(applications, a.id);
  for (std::int32_t i = 0, n = countOf(list.get()); i < n; ++i)
    a.components.push_back(componentInfo(itemOf(list.get(), i).get()));
  return a;
}

} // namespace

Catalog::Catalog() : catalog_(createInstance<ICOMAdminCatalog>(CLSID_COMAdminCatalog)) {}

std::vector<ApplicationInfo> Catalog::listApplications() {
  auto applications = populated(catalog_.get(), u"Applications");
  std::vector<ApplicationInfo> out;
  for (std::int32_t i = 0, n = countOf(applications.get()); i < n; ++i)
    out.push_back(applicationInfo(applications.get(), itemOf(applications.get(), i).get()));
  return out;
}

ApplicationInfo Catalog::installApplication(TextView name, TextView libraryPath, TextView identity, TextView password,
                                            const std::optional<Text>& constructorString) {
  // One transaction around every step: a failure or a killed process
  // leaves neither an application without its component nor one without
  // its constructor string, and no registry entry of the library.
  db::Transaction all(db::Database::current());
  auto applications = populated(catalog_.get(), u"Applications");
  ComPtr<IDispatch> added;
  check(applications->Add(added.put()));
  auto application = added.query<ICatalogObject>();
  put(application.get(), u"Name", Variant(Text(name)));
  put(application.get(), u"ApplicationAccessChecksEnabled", Variant(false));
  Text user = trimBlanks(identity), secret = trimBlanks(password);
  if (!user.empty() && !secret.empty()) {
    put(application.get(), u"Identity", Variant(user));
    put(application.get(), u"Password", Variant(secret));
  }
  std::int32_t changes = 0;
  check(applications->SaveChanges(&changes));
  db::faultPoint("complus.install-component");
  Text id = valueOf(application.get(), u"ID").toText();
  check(catalog_->InstallComponent(id, libraryPath, {}, {}));
  db::faultPoint("complus.install-constructor");
  if (constructorString) {
    auto list = components(applications.get(), id);
    for (std::int32_t i = 0, n = countOf(list.get()); i < n; ++i) {
      auto component = itemOf(list.get(), i);
      put(component.get(), u"ConstructionEnabled", Variant(true));
      put(component.get(), u"ConstructorString", Variant(*constructorString));
    }
    check(list->SaveChanges(&changes));
  }
  ApplicationInfo info = applicationInfo(applications.get(), application.get());
  db::faultPoint("complus.install-commit");
  all.commit();
  return info;
}

std::optional<ApplicationInfo> Catalog::findApplication(TextView nameOrId) {
  auto applications = populated(catalog_.get(), u"Applications");
  std::optional<ApplicationInfo> byName;
  for (std::int32_t i = 0, n = countOf(applications.get()); i < n; ++i) {
    auto o = itemOf(applications.get(), i);
    if (equalsIgnoreCase(valueOf(o.get(), u"ID").toText(), nameOrId)) return applicationInfo(applications.get(), o.get());
    if (!byName && equalsIgnoreCase(nameOf(o.get()), nameOrId)) byName = applicationInfo(applications.get(), o.get());
  }
  return byName;
}

void Catalog::setServerApplication(TextView id, bool server) {
  auto applications = populated(catalog_.get(), u"Applications");
  for (std::int32_t i = 0, n = countOf(applications.get()); i < n; ++i) {
    auto o = itemOf(applications.get(), i);
    if (!equalsIgnoreCase(valueOf(o.get(), u"ID").toText(), id)) continue;
    put(o.get(), u"Activation", Variant(server ? detail::kActivationServer : detail::kActivationLibrary));
    std::int32_t changes = 0;
    check(applications->SaveChanges(&changes));
    return;
  }
  throw ComError(COMADMIN_E_KEYMISSING, u"There is no COM+ application with the ID " + Text(id) + u".");
}

bool Catalog::removeApplication(TextView name) {
  auto applications = populated(catalog_.get(), u"Applications");
  for (std::int32_t i = 0, n = countOf(applications.get()); i < n; ++i) {
    if (!equalsIgnoreCase(nameOf(itemOf(applications.get(), i).get()), name)) continue;
    check(applications->Remove(i));
    std::int32_t changes = 0;
    check(applications->SaveChanges(&changes));
    return true;
  }
  return false;
}

} // namespace korvane::complus
