#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>

#include "platform/complus/construct.h"
#include "platform/registry/registry.h"
#include "support/other_process.h"
#include "tests/platform/complus/catalog_fixture.h"

namespace korvane::complus::testing {
namespace {

using namespace korvane::testserver;
using registry::Root;

Text windowsStyle(const Text& path) { return replaceAll(path, u"/", u"\\"); }

class Install : public Catalog {
protected:
  // Installs the test server into a new application "Korvane" and returns
  // its ID: a library application, so that tests can look into its objects.
  Text installed(TextView path = kServerPath) {
    Text id = addApplication(catalog.get(), u"Korvane");
    check(catalog->InstallComponent(u"Korvane", path, u"", u""));
    complus::Catalog().setServerApplication(id, false);
    return id;
  }

  // The component of the class, read from `comps` (a fresh snapshot if none is given).
  ComPtr<ICatalogObject> component(const Text& id, TextView progId, ComPtr<ICatalogCollection> comps = {}) {
    if (!comps) comps = componentsOf(applications(catalog.get()).get(), id);
    for (std::int32_t i = 0; i < count(comps.get()); ++i)
      if (nameOf(item(comps.get(), i).get()) == progId) return item(comps.get(), i);
    ADD_FAILURE() << "no component " << toUtf8(progId);
    return {};
  }

  void configure(const Text& id, TextView progId, bool enabled, const std::optional<Text>& ctor) {
    auto comps = componentsOf(applications(catalog.get()).get(), id);
    auto c = component(id, progId, comps);
    put(c.get(), u"ConstructionEnabled", Variant(enabled));
    if (ctor) put(c.get(), u"ConstructorString", Variant(*ctor));
    save(comps.get());
  }
};

TEST_F(Install, RecordsEveryClassTheLibraryRegistersEvenGivenABackslashPathAsReadOnlyComponents) {
  Text id = installed(windowsStyle(kServerPath));
  auto comps = componentsOf(applications(catalog.get()).get(), toUpperSimple(id));
  ASSERT_EQ(count(comps.get()), 2);
  auto echo = item(comps.get(), 0);
  EXPECT_EQ(nameOf(echo.get()), kEchoProgId);
  EXPECT_EQ(value(echo.get(), u"CLSID"), Variant(CLSID_Echo.toText()));
  EXPECT_EQ(value(echo.get(), u"ThreadingModel"), Variant(u"Apartment"));
  EXPECT_EQ(value(echo.get(), u"ConstructionEnabled"), Variant(false));
  EXPECT_TRUE(value(echo.get(), u"ConstructorString").isNull());
  EXPECT_EQ(value(echo.get(), u"ApplicationID"), Variant(id));
  Variant key;
  check(echo->get_Key(&key));
  EXPECT_EQ(key, Variant(CLSID_Echo.toText()));
  EXPECT_EQ(nameOf(item(comps.get(), 1).get()), kPlainProgId);
  // DllRegisterServer really ran.
  EXPECT_EQ(classIdOf(kEchoProgId), CLSID_Echo);
  // What the library registered is read-only, and components come only from libraries.
  EXPECT_EQ(echo->put_Value(u"ProgID", Variant(u"X.Y")), COMADMIN_E_READONLY);
  EXPECT_EQ(echo->put_Value(u"CLSID", Variant(u"{x}")), COMADMIN_E_READONLY);
  ComPtr<IDispatch> d;
  EXPECT_EQ(comps->Add(d.put()), COMADMIN_E_CANNOTADD);
}

struct BadInstall {
  const char* what;
  std::function<Text(const std::filesystem::path& dir)> path;
  HRESULT code;
  const char16_t* says;
  bool failRegister = false;  // the library's DllRegisterServer fails
};

TEST_F(Install, ALibraryThatCannotBeInstalledIsRefusedClearlyAndRecordsNothing) {
  const BadInstall rows[] = {
      {"missing file", [](auto& dir) { return fromUtf8((dir / "Korvane.dll").string()); }, COMADMIN_E_BADPATH,
       u"does not exist or is not a component library"},
      {"missing file, backslashes", [](auto& dir) { return windowsStyle(fromUtf8((dir / "Korvane.dll").string())); },
       COMADMIN_E_BADPATH, u"\\Korvane.dll does not exist"},
      {"a folder", [](auto& dir) { return fromUtf8(dir.string()); }, COMADMIN_E_BADPATH, u"does not exist"},
      {"empty path", [](auto&) { return Text(); }, COMADMIN_E_BADPATH, u"does not exist"},
      {"not a library",
       [](auto& dir) {
         std::ofstream(dir / "Text.dll") << "plain text";
         return fromUtf8((dir / "Text.dll").string());
       },
       COMADMIN_E_DLLLOADFAILED, u"is not a component library: "},
      {"registration fails", [](auto&) { return kServerPath; }, COMADMIN_E_DLLREGISTERSERVER, u"told to fail", true},
  };
  Text id = addApplication(catalog.get(), u"Korvane");
  for (const auto& row : rows) {
    Text path = row.path(server.dir());
    if (row.failRegister) ::setenv(kFailRegisterVariable, "1", 1);
    Failure f = failureOf(catalog->InstallComponent(u"Korvane", path, u"", u""));
    ::unsetenv(kFailRegisterVariable);
    EXPECT_EQ(f.code, row.code) << row.what;
    EXPECT_TRUE(contains(f.description, row.says)) << row.what << ": " << toUtf8(f.description);
    EXPECT_TRUE(contains(f.description, path)) << row.what << ": " << toUtf8(f.description);
  }
  EXPECT_EQ(count(componentsOf(applications(catalog.get()).get(), id).get()), 0);
  // Making a whole application of a missing library leaves no application behind.
  const Text missing = rows[0].path(server.dir());
  EXPECT_EQ(thrownBy([&] { complus::Catalog().installApplication(u"Other", missing, u"", u"", {}); }).code,
            COMADMIN_E_BADPATH);
  EXPECT_EQ(complus::Catalog().listApplications().size(), 1u);
}

TEST_F(Install, TheApplicationIsFoundByNameIgnoringCaseOrById) {
  Text first = addApplication(catalog.get(), u"Korvane");
  Text second = addApplication(catalog.get(), u"Other");
  Failure f = failureOf(catalog->InstallComponent(u"Nobody", kServerPath, u"", u""));
  EXPECT_EQ(f.code, COMADMIN_E_KEYMISSING);
  EXPECT_TRUE(contains(f.description, u"\"Nobody\""));

  check(catalog->InstallComponent(toLowerSimple(second), kServerPath, u"", u""));
  auto apps = applications(catalog.get());
  EXPECT_EQ(count(componentsOf(apps.get(), second).get()), 2);
  EXPECT_EQ(count(componentsOf(apps.get(), first).get()), 0);
}

TEST_F(Install, AClassBelongsToOneApplication) {
  Text id = installed();
  configure(id, kEchoProgId, true, u"kept");
  addApplication(catalog.get(), u"Second");
  // A copy of the library elsewhere registers the same class: the refusal
  // takes its registration back, so the class still names the installed file.
  const auto copy = server.dir() / "Copy.dll";
  std::filesystem::copy_file(KORVANE_TESTSERVER_PATH, copy);
  const Text serverKey = u"CLSID\\" + CLSID_Echo.toText() + u"\\InprocServer32";
  const auto registered = registry::getText(Root::ClassesRoot, serverKey, u"");
  Failure f = failureOf(catalog->InstallComponent(u"Second", fromUtf8(copy.string()), u"", u""));
  EXPECT_EQ(f.code, COMADMIN_E_ALREADYINSTALLED);
  EXPECT_TRUE(contains(f.description, u"\"Korvane\"")) << toUtf8(f.description);
  EXPECT_EQ(registry::getText(Root::ClassesRoot, serverKey, u""), registered);
  // Installing again into the same application keeps its settings.
  check(catalog->InstallComponent(u"Korvane", kServerPath, u"", u""));
  EXPECT_EQ(value(component(id, kEchoProgId).get(), u"ConstructorString"), Variant(u"kept"));
}

// A removed class is taken out of the registry too, so that it is no longer
// created at all rather than loaded, unconstructed, into whoever asks.
TEST_F(Install, RemovingAComponentOrItsApplicationTakesItOutOfTheCatalogAndTheRegistry) {
  Text id = installed();
  auto apps = applications(catalog.get());
  auto comps = componentsOf(apps.get(), id);
  check(comps->Remove(1));
  EXPECT_EQ(save(comps.get()), 1);
  EXPECT_EQ(count(componentsOf(apps.get(), id).get()), 1);
  EXPECT_FALSE(registry::keyExists(Root::ClassesRoot, u"CLSID\\" + CLSID_Plain.toText()));
  EXPECT_FALSE(registry::keyExists(Root::ClassesRoot, kPlainProgId));
  EXPECT_EQ(classIdOf(kEchoProgId), CLSID_Echo);

  // A ProgID that another class has taken since stays that class's.
  registry::setValue(Root::ClassesRoot, Text(kEchoProgId) + u"\\CLSID", u"", CLSID_Plain.toText());
  EXPECT_TRUE(complus::Catalog().removeApplication(u"Korvane"));
  auto s = db::Database::current().prepare("SELECT count(*) FROM complus_components");
  ASSERT_TRUE(s.step());
  EXPECT_EQ(s.integer(0), 0);
  EXPECT_FALSE(registry::keyExists(Root::ClassesRoot, u"CLSID\\" + CLSID_Echo.toText()));
  EXPECT_EQ(classIdOf(kEchoProgId), CLSID_Plain);
}

TEST_F(Install, RefreshComponentsRereadsTheRegistry) {
  Text id = installed();
  Text key = u"CLSID\\" + CLSID_Echo.toText();
  registry::setValue(Root::ClassesRoot, key + u"\\ProgID", u"", u"KorvaneTest.Echo.2");
  EXPECT_EQ(nameOf(component(id, kEchoProgId).get()), kEchoProgId);
  check(catalog->RefreshComponents());
  auto comps = componentsOf(applications(catalog.get()).get(), id);
  EXPECT_EQ(nameOf(item(comps.get(), 0).get()), u"KorvaneTest.Echo.2");
  // A class whose registration is gone keeps what the catalog knew.
  registry::deleteKey(Root::ClassesRoot, u"CLSID\\" + CLSID_Plain.toText());
  check(catalog->RefreshComponents());
  EXPECT_EQ(nameOf(item(componentsOf(applications(catalog.get()).get(), id).get(), 1).get()), kPlainProgId);
}

// --- activation ------------------------------------------------------------

ComPtr<IDispatch> echo() { return createInstance<IDispatch>(kEchoProgId); }

struct CtorRow {
  bool enabled;
  std::optional<Text> stored;  // written when given; a new component's is null
  Text received;
};

// Each object gets the string stored when it was created, once; a later
// change reaches only objects created after it.
TEST_F(Install, AnObjectGetsTheStoredConstructorStringOnceWhenConstructionIsEnabled) {
  Text id = installed();
  const CtorRow rows[] = {
      {false, std::nullopt, u""},
      {true, std::nullopt, u""},  // null arrives empty
      {true, Text(u"IPM.Note\r*\r65223"), u"IPM.Note\r*\r65223"},
      {true, Text(u""), u""},
      {true, Text(u"Ünïcødé \U0001F4E7\tTAB"), u"Ünïcødé \U0001F4E7\tTAB"},
  };
  std::vector<std::pair<ComPtr<IDispatch>, Text>> earlier;
  for (const auto& row : rows) {
    SCOPED_TRACE(toUtf8(row.received));
    configure(id, kEchoProgId, row.enabled, row.stored);
    auto o = echo();
    EXPECT_EQ(getProperty(o.get(), u"Constructed"), Variant(row.enabled));
    EXPECT_EQ(getProperty(o.get(), u"ConstructCalls"), Variant(row.enabled ? 1 : 0));
    if (row.enabled) {
      EXPECT_EQ(getProperty(o.get(), u"ConstructString"), Variant(row.received));
    }
    for (const auto& [object, received] : earlier)
      EXPECT_EQ(getProperty(object.get(), u"ConstructString"), Variant(received));
    if (row.enabled) earlier.emplace_back(o, row.received);
  }
  // A string stored by another process reaches the next object here.
  korvane::testing::OtherProcess other([&] { configure(id, kEchoProgId, true, Text(u"stored elsewhere")); });
  echo();
  other.run();
  EXPECT_EQ(getProperty(echo().get(), u"ConstructString"), Variant(u"stored elsewhere"));
}

TEST_F(Install, AFailingConstructFailsTheCreation) {
  Text id = installed();
  configure(id, kEchoProgId, true, Text(kRefusedPrefix) + u" please");
  ComPtr<IUnknown> out;
  takeErrorInfo();
  Failure f = failureOf(CoCreateInstance(CLSID_Echo, nullptr, CLSCTX_ALL, IDispatch::iid, out.putVoid()));
  EXPECT_EQ(f.code, E_ABORT);
  EXPECT_FALSE(out);
  EXPECT_TRUE(contains(f.description, u"\"Korvane\"")) << toUtf8(f.description);
  EXPECT_TRUE(contains(f.description, u"refused its constructor string")) << toUtf8(f.description);

  // A class without IObjectConstruct cannot take one.
  configure(id, kPlainProgId, true, u"x");
  f = failureOf(CoCreateInstance(CLSID_Plain, nullptr, CLSCTX_ALL, IDispatch::iid, out.putVoid()));
  EXPECT_EQ(f.code, E_NOINTERFACE);
  EXPECT_TRUE(contains(f.description, u"IObjectConstruct")) << toUtf8(f.description);
}

// Only creation through the catalog's activator constructs: not the
// in-process server path, not another activator, not after the application
// is gone.
TEST_F(Install, OnlyTheCatalogsActivatorConstructs) {
  Text id = installed();
  configure(id, kEchoProgId, true, u"x");
  ComPtr<IDispatch> direct;
  ASSERT_EQ(createFromInprocServer(CLSID_Echo, IDispatch::iid, direct.putVoid()), S_OK);
  EXPECT_EQ(getProperty(direct.get(), u"Constructed"), Variant(false));

  int asked = 0;
  setActivator([&](const Guid&, const Guid&, void**) {
    ++asked;
    return S_FALSE;
  });
  EXPECT_EQ(getProperty(echo().get(), u"Constructed"), Variant(false));
  EXPECT_EQ(asked, 1);
  installActivator();
  EXPECT_EQ(getProperty(echo().get(), u"ConstructString"), Variant(u"x"));
  EXPECT_EQ(asked, 1);

  complus::Catalog().removeApplication(u"Korvane");
  EXPECT_THROW(echo(), ComError);
}

// --- the lab tool's calls ----------------------------------------------------

TEST_F(Install, InstallApplicationMakesTheWholeApplication) {
  complus::Catalog admin;
  auto app = admin.installApplication(u"Korvane", windowsStyle(kServerPath), u" svc ", u" pw ", Text(u"IPM.Note\r*"));
  EXPECT_EQ(app.name, u"Korvane");
  EXPECT_EQ(app.identity, u"svc");
  EXPECT_FALSE(app.accessChecksEnabled);
  ASSERT_EQ(app.components.size(), 2u);
  EXPECT_EQ(app.components[0].progId, kEchoProgId);
  EXPECT_TRUE(app.components[0].constructionEnabled);
  EXPECT_EQ(app.components[0].constructorString, Text(u"IPM.Note\r*"));
  auto list = admin.listApplications();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].id, app.id);
  EXPECT_TRUE(list[0].serverApplication);
  admin.setServerApplication(app.id, false);
  EXPECT_EQ(getProperty(echo().get(), u"ConstructString"), Variant(u"IPM.Note\r*"));

  // Without a password the identity stays the default; without a string no construction.
  EXPECT_TRUE(admin.removeApplication(u"Korvane"));
  app = admin.installApplication(u"Korvane", kServerPath, u"svc", u"  ", std::nullopt);
  EXPECT_EQ(app.identity, u"Interactive User");
  EXPECT_FALSE(app.components[0].constructionEnabled);
}

// The catalog's tables made inside a transaction that rolls back are gone
// again: creating objects must look for them anew, not trust that they exist.
TEST(InstallRolledBack, ObjectCreationStillWorksAndALaterInstallActivates) {
  korvane::testing::TempServer server;
  {
    db::Transaction t(db::Database::current());
    complus::Catalog().installApplication(u"Korvane", kServerPath, u"", u"", Text(u"first"));
    t.rollback();
  }
  EXPECT_TRUE(createInstance<IUnknown>(u"ADODB.Connection"));
  EXPECT_TRUE(complus::Catalog().listApplications().empty());

  auto app = complus::Catalog().installApplication(u"Korvane", kServerPath, u"", u"", Text(u"second"));
  complus::Catalog().setServerApplication(app.id, false);
  EXPECT_EQ(getProperty(echo().get(), u"ConstructString"), Variant(u"second"));
}

} // namespace
} // namespace korvane::complus::testing
