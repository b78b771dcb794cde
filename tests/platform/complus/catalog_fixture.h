// Shared pieces of the catalog tests: a fresh server per test, the test
// in-process server's path, and short throwing calls on the catalog's
// typed interfaces.
#pragma once

#include <gtest/gtest.h>

#include "platform/com/runtime.h"
#include "platform/com/testserver/testserver.h"
#include "platform/complus/admin.h"
#include "support/temp_server.h"
#include "tests/platform/com/failure.h"

namespace korvane::complus::testing {

inline const Text kServerPath = fromUtf8(KORVANE_TESTSERVER_PATH);

inline ComPtr<ICOMAdminCatalog> newCatalog() { return createInstance<ICOMAdminCatalog>(kCatalogProgId); }

inline ComPtr<ICatalogCollection> applications(ICOMAdminCatalog* catalog, bool populate = true) {
  ComPtr<IDispatch> d;
  check(catalog->GetCollection(u"Applications", d.put()));
  auto c = d.query<ICatalogCollection>();
  if (populate) check(c->Populate());
  return c;
}

inline ComPtr<ICatalogCollection> componentsOf(ICatalogCollection* apps, const Text& id) {
  ComPtr<IDispatch> d;
  check(apps->GetCollection(u"Components", Variant(id), d.put()));
  auto c = d.query<ICatalogCollection>();
  check(c->Populate());
  return c;
}

inline std::int32_t count(ICatalogCollection* c) {
  std::int32_t n = -1;
  check(c->get_Count(&n));
  return n;
}

inline ComPtr<ICatalogObject> item(ICatalogCollection* c, std::int32_t i) {
  ComPtr<IDispatch> d;
  check(c->get_Item(i, d.put()));
  return d.query<ICatalogObject>();
}

inline ComPtr<ICatalogObject> add(ICatalogCollection* c) {
  ComPtr<IDispatch> d;
  check(c->Add(d.put()));
  return d.query<ICatalogObject>();
}

inline Variant value(ICatalogObject* o, TextView property) {
  Variant v;
  check(o->get_Value(property, &v));
  return v;
}

inline void put(ICatalogObject* o, TextView property, const Variant& v) { check(o->put_Value(property, v)); }

inline Text nameOf(ICatalogObject* o) {
  Variant v;
  check(o->get_Name(&v));
  return v.textValue();
}

inline std::int32_t save(ICatalogCollection* c) {
  std::int32_t n = -1;
  check(c->SaveChanges(&n));
  return n;
}

// Adds and saves an application; returns its ID.
inline Text addApplication(ICOMAdminCatalog* catalog, TextView name) {
  auto apps = applications(catalog);
  auto app = add(apps.get());
  put(app.get(), u"Name", Variant(Text(name)));
  save(apps.get());
  return value(app.get(), u"ID").textValue();
}

using namespace korvane::testing;  // the failure helpers and the temporary server

class Catalog : public ::testing::Test {
protected:
  TempServer server;
  ComPtr<ICOMAdminCatalog> catalog = newCatalog();
};

} // namespace korvane::complus::testing
