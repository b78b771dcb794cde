#include <gtest/gtest.h>

#include "platform/db/database.h"
#include "tests/platform/complus/catalog_fixture.h"

namespace korvane::complus::testing {
namespace {

// The password is stored, but never read back nor shown in a refusal; the
// lab's and the setup's password paths are in the robustness tests.
TEST_F(Catalog, ANewApplicationRoundTripsThroughSaveChangesButNotItsPassword) {
  auto apps = applications(catalog.get());
  EXPECT_EQ(count(apps.get()), 0);
  auto app = add(apps.get());
  EXPECT_EQ(value(app.get(), u"Identity"), Variant(u"Interactive User"));
  EXPECT_EQ(value(app.get(), u"ApplicationAccessChecksEnabled"), Variant(true));
  EXPECT_EQ(value(app.get(), u"Activation"), Variant(1));
  EXPECT_NE(value(app.get(), u"ID"), value(add(applications(catalog.get(), false).get()).get(), u"ID"));
  put(app.get(), u"Password", Variant(u"s3cret!"));
  EXPECT_EQ(value(app.get(), u"PASSWORD"), Variant(kPasswordMask));
  Failure f = failureOf(apps->SaveChanges(nullptr));  // refused: no name yet
  EXPECT_FALSE(contains(f.description, u"s3cret")) << toUtf8(f.description);

  put(app.get(), u"Name", Variant(u"Korvane"));
  put(app.get(), u"ApplicationAccessChecksEnabled", Variant(false));
  put(app.get(), u"Identity", Variant(u"EXAMPLE\\svc-korvane"));
  Text id = value(app.get(), u"ID").textValue();
  EXPECT_TRUE(Guid::parse(TextView(id)).has_value()) << toUtf8(id);
  EXPECT_EQ(id.front(), u'{');
  EXPECT_EQ(save(apps.get()), 1);
  EXPECT_EQ(save(apps.get()), 0);  // nothing left to write

  db::Database::closeCurrent();
  auto again = applications(newCatalog().get());
  ASSERT_EQ(count(again.get()), 1);
  auto stored = item(again.get(), 0);
  EXPECT_EQ(nameOf(stored.get()), u"Korvane");
  EXPECT_EQ(value(stored.get(), u"ID"), Variant(id));
  EXPECT_EQ(value(stored.get(), u"identity"), Variant(u"EXAMPLE\\svc-korvane"));
  EXPECT_EQ(value(stored.get(), u"ApplicationAccessChecksEnabled"), Variant(false));
  EXPECT_EQ(value(stored.get(), u"Password"), Variant(kPasswordMask));
  auto s = db::Database::current().prepare("SELECT password FROM complus_applications");
  ASSERT_TRUE(s.step());
  EXPECT_EQ(s.text(0), u"s3cret!");
}

TEST_F(Catalog, ACollectionIsASnapshotThatWritesOnlyWhatItChanged) {
  auto first = applications(catalog.get());
  auto second = applications(catalog.get());
  auto app = add(second.get());
  put(app.get(), u"Name", Variant(u"Korvane"));
  EXPECT_EQ(count(applications(catalog.get()).get()), 0);  // not saved yet
  save(second.get());
  EXPECT_EQ(count(first.get()), 0);
  check(first->Populate());
  ASSERT_EQ(count(first.get()), 1);

  // A change to one snapshot stays there until it is saved.
  put(item(first.get(), 0).get(), u"Name", Variant(u"Renamed"));
  EXPECT_EQ(nameOf(item(applications(catalog.get()).get(), 0).get()), u"Korvane");
  // Populate drops unsaved changes.
  check(first->Populate());
  EXPECT_EQ(nameOf(item(first.get(), 0).get()), u"Korvane");
  EXPECT_EQ(count(applications(catalog.get(), false).get()), 0);  // unpopulated

  // Two snapshots that change different properties of one application: both are kept.
  auto other = applications(catalog.get());
  put(item(first.get(), 0).get(), u"Identity", Variant(u"svc"));
  put(item(other.get(), 0).get(), u"Description", Variant(u"the sink"));
  save(first.get());
  save(other.get());
  auto now = item(applications(catalog.get()).get(), 0);
  EXPECT_EQ(value(now.get(), u"Identity"), Variant(u"svc"));
  EXPECT_EQ(value(now.get(), u"Description"), Variant(u"the sink"));
}

TEST_F(Catalog, RemoveTakesEffectAtSaveChangesAndIndexesOutsideTheCollectionAreRefused) {
  addApplication(catalog.get(), u"One");
  addApplication(catalog.get(), u"Two");
  addApplication(catalog.get(), u"Three");
  auto apps = applications(catalog.get());
  check(apps->Remove(1));
  ASSERT_EQ(count(apps.get()), 2);
  EXPECT_EQ(nameOf(item(apps.get(), 1).get()), u"Three");
  EXPECT_EQ(count(applications(catalog.get()).get()), 3);
  EXPECT_EQ(save(apps.get()), 1);
  auto now = applications(catalog.get());
  ASSERT_EQ(count(now.get()), 2);
  EXPECT_EQ(nameOf(item(now.get(), 0).get()), u"One");
  EXPECT_EQ(nameOf(item(now.get(), 1).get()), u"Three");
  // Added and removed before saving: never stored, and no change.
  put(add(now.get()).get(), u"Name", Variant(u"Brief"));
  check(now->Remove(2));
  EXPECT_EQ(save(now.get()), 0);
  EXPECT_EQ(count(applications(catalog.get()).get()), 2);
  // Indexes outside the collection are refused.
  ComPtr<IDispatch> d;
  EXPECT_EQ(now->get_Item(2, d.put()), E_INVALIDARG);
  EXPECT_EQ(now->get_Item(-1, d.put()), E_INVALIDARG);
  EXPECT_EQ(now->Remove(2), E_INVALIDARG);
  EXPECT_EQ(count(now.get()), 2);
}

TEST_F(Catalog, NamesDifferingOnlyInCaseAreTwoApplicationsInCreationOrder) {
  Text first = addApplication(catalog.get(), u"Korvane");
  Text second = addApplication(catalog.get(), u"KORVANE");
  complus::Catalog admin;
  auto list = admin.listApplications();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].id, first);
  EXPECT_EQ(list[1].id, second);

  EXPECT_TRUE(admin.removeApplication(u"korvane"));
  list = admin.listApplications();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].name, u"KORVANE");
  EXPECT_TRUE(admin.removeApplication(u"Korvane"));
  EXPECT_FALSE(admin.removeApplication(u"Korvane"));
}

TEST_F(Catalog, SaveChangesIsAllOrNothing) {
  auto apps = applications(catalog.get());
  put(add(apps.get()).get(), u"Name", Variant(u"Good"));
  add(apps.get());  // no name
  Failure f = failureOf(apps->SaveChanges(nullptr));
  EXPECT_EQ(f.code, COMADMIN_E_OBJECTERRORS);
  EXPECT_TRUE(contains(f.description, u"needs a name")) << toUtf8(f.description);
  EXPECT_EQ(count(applications(catalog.get()).get()), 0);
  // Mended, the same snapshot saves both.
  put(item(apps.get(), 1).get(), u"Name", Variant(u"Second"));
  EXPECT_EQ(save(apps.get()), 2);
  EXPECT_EQ(count(applications(catalog.get()).get()), 2);
}

TEST_F(Catalog, ChangingAnApplicationAnotherProgramRemovedFailsAndSavesNothing) {
  // "Stays" comes first, so that only the transaction keeps its change out.
  addApplication(catalog.get(), u"Stays");
  addApplication(catalog.get(), u"Gone");
  auto stale = applications(catalog.get());
  complus::Catalog().removeApplication(u"Gone");
  put(item(stale.get(), 0).get(), u"Description", Variant(u"changed"));
  put(item(stale.get(), 1).get(), u"Description", Variant(u"changed"));
  Failure f = failureOf(stale->SaveChanges(nullptr));
  EXPECT_EQ(f.code, COMADMIN_E_OBJECTERRORS);
  EXPECT_TRUE(contains(f.description, u"\"Gone\"")) << toUtf8(f.description);
  auto now = applications(catalog.get());
  ASSERT_EQ(count(now.get()), 1);
  EXPECT_EQ(value(item(now.get(), 0).get(), u"Description"), Variant(u""));
}

struct PutRow {
  const char16_t* property;
  Variant value;
  HRESULT code;
};

TEST_F(Catalog, PropertyWritesAreCheckedAgainstTheirKind) {
  auto apps = applications(catalog.get());
  auto app = add(apps.get());
  const PutRow rows[] = {
      {u"ID", Variant(u"{00000000-0000-0000-0000-000000000000}"), COMADMIN_E_READONLY},
      {u"NoSuchThing", Variant(1), COMADMIN_E_PROPERTYUNKNOWN},
      {u"Activation", Variant(u"often"), COMADMIN_E_OBJECTINVALID},
      {u"Activation", Variant(std::int64_t{1} << 40), COMADMIN_E_OBJECTINVALID},
      {u"ApplicationAccessChecksEnabled", Variant(u"maybe"), COMADMIN_E_OBJECTINVALID},
      {u"Name", Variant::null(), COMADMIN_E_OBJECTINVALID},
      {u"Password", Variant(ComPtr<IUnknown>(app.get())), COMADMIN_E_OBJECTINVALID},
      {u"ApplicationAccessChecksEnabled", Variant(u"False"), S_OK},
      {u"Activation", Variant(u"0"), S_OK},
      {u"Name", Variant(42), S_OK},
  };
  for (const auto& row : rows) {
    Failure f = failureOf(app->put_Value(row.property, row.value));
    EXPECT_EQ(f.code, row.code) << toUtf8(row.property);
    if (failed(row.code)) {
      EXPECT_TRUE(contains(f.description, u"\"" + Text(row.property) + u"\"")) << toUtf8(f.description);
    }
  }
  EXPECT_EQ(value(app.get(), u"ApplicationAccessChecksEnabled"), Variant(false));
  EXPECT_EQ(value(app.get(), u"Activation"), Variant(0));
  EXPECT_EQ(value(app.get(), u"Name"), Variant(u"42"));
  Variant v;
  EXPECT_EQ(app->get_Value(u"NoSuchThing", &v), COMADMIN_E_PROPERTYUNKNOWN);
}

TEST_F(Catalog, UnknownCollectionsAndKeysAreNamed) {
  ComPtr<IDispatch> d;
  Failure f = failureOf(catalog->GetCollection(u"Partitions", d.put()));
  EXPECT_EQ(f.code, COMADMIN_E_COLLECTIONUNKNOWN);
  EXPECT_TRUE(contains(f.description, u"\"Partitions\""));
  auto apps = applications(catalog.get());
  f = failureOf(apps->GetCollection(u"Components", Variant(u"{00000000-0000-0000-0000-000000000001}"), d.put()));
  EXPECT_EQ(f.code, COMADMIN_E_KEYMISSING);
  // The key of an application that is not saved yet is not found either.
  Text unsaved = value(add(apps.get()).get(), u"ID").textValue();
  EXPECT_EQ(apps->GetCollection(u"Components", Variant(unsaved), d.put()), COMADMIN_E_KEYMISSING);
  EXPECT_EQ(apps->GetCollection(u"Roles", Variant(unsaved), d.put()), COMADMIN_E_COLLECTIONUNKNOWN);
}

TEST_F(Catalog, LateBoundCallsByNameDoWhatTheTypedOnesDo) {
  auto root = catalog.query<IDispatch>();
  auto call = [](IDispatch* o, TextView m, std::vector<Variant> args = {}) { return invoke(o, m, args); };
  auto apps = call(root.get(), u"GetCollection", {Variant(u"Applications")}).objectValue().query<IDispatch>();
  call(apps.get(), u"Populate");
  auto app = call(apps.get(), u"Add").objectValue().query<IDispatch>();
  call(app.get(), u"Value", {Variant(u"Name"), Variant(u"Korvane")});
  call(app.get(), u"value", {Variant(u"ApplicationAccessChecksEnabled"), Variant(false)});
  EXPECT_EQ(call(apps.get(), u"SaveChanges"), Variant(1));
  EXPECT_EQ(getProperty(apps.get(), u"Count"), Variant(1));
  EXPECT_EQ(getProperty(apps.get(), u"Name"), Variant(u"Applications"));
  auto first = call(apps.get(), u"Item", {Variant(0)}).objectValue().query<IDispatch>();
  EXPECT_EQ(getProperty(first.get(), u"Name"), Variant(u"Korvane"));
  Text id = call(first.get(), u"Value", {Variant(u"ID")}).textValue();
  EXPECT_EQ(getProperty(first.get(), u"Key"), Variant(id));
  auto comps = call(apps.get(), u"GetCollection", {Variant(u"Components"), Variant(toUpperSimple(id))})
                   .objectValue()
                   .query<IDispatch>();
  call(comps.get(), u"Populate");
  EXPECT_EQ(getProperty(comps.get(), u"Count"), Variant(0));
  call(apps.get(), u"Remove", {Variant(0)});
  call(apps.get(), u"SaveChanges");
  EXPECT_EQ(count(applications(catalog.get()).get()), 0);
  Variant ignored;
  EXPECT_EQ(root->Invoke(u"Fly", {}, &ignored), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(apps->Invoke(u"Item", {}, &ignored), DISP_E_BADPARAMCOUNT);
}

} // namespace
} // namespace korvane::complus::testing
