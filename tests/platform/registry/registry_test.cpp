#include "platform/registry/registry.h"

#include <gtest/gtest.h>

#include "platform/db/database.h"
#include "support/other_process.h"
#include "support/temp_server.h"

namespace korvane::registry {
namespace {

constexpr Root HKLM = Root::LocalMachine;
constexpr Root HKCR = Root::ClassesRoot;

class Registry : public ::testing::Test {
protected:
  testing::TempServer server;
};

TEST_F(Registry, KeysAndValuesSurviveAReconnectAndClassesRootIsTheClassesKeyOfTheMachine) {
  setValue(HKLM, u"Cluster", u"ClusterName", u"EXCLUSTER");
  setValue(HKCR, u"CLSID\\{1}\\InprocServer32", u"", u"/opt/x.dll");
  setValue(HKCR, u"CLSID\\{1}", u"Flags", 7);
  db::Database::closeCurrent();

  EXPECT_EQ(getValue(HKLM, u"Cluster", u"ClusterName"), Variant(u"EXCLUSTER"));
  EXPECT_EQ(getText(HKCR, u"CLSID\\{1}\\InprocServer32", u""), Text(u"/opt/x.dll"));
  EXPECT_EQ(getText(HKLM, u"SOFTWARE\\Classes\\CLSID\\{1}\\InprocServer32", u""), Text(u"/opt/x.dll"));
  EXPECT_EQ(getValue(HKCR, u"CLSID\\{1}", u"Flags"), Variant(std::int64_t{7}));
}

// Values are kept between reads (every activation reads some); what another
// process or a rolled-back transaction changed is read as it is now.
TEST_F(Registry, AValueChangedElsewhereOrRolledBackIsReadAsItIsNow) {
  setValue(HKCR, u"Korvane.Cls\\CLSID", u"", u"{old}");
  const std::pair<const char*, std::function<void()>> others[] = {
      {"set", [] { setValue(HKCR, u"Korvane.Cls\\CLSID", u"", u"{new}"); }},
      {"deleted", [] { deleteKey(HKCR, u"Korvane.Cls"); }},
  };
  for (const auto& [what, change] : others) {
    SCOPED_TRACE(what);
    testing::OtherProcess other(change);
    EXPECT_TRUE(getText(HKCR, u"Korvane.Cls\\CLSID", u""));
    other.run();
    EXPECT_NE(getText(HKCR, u"Korvane.Cls\\CLSID", u""), std::optional<Text>(u"{old}"));
    setValue(HKCR, u"Korvane.Cls\\CLSID", u"", u"{old}");
  }
  {
    db::Transaction t(db::Database::current());
    setValue(HKCR, u"Korvane.Cls\\CLSID", u"", u"{rolled back}");
    EXPECT_EQ(getText(HKCR, u"Korvane.Cls\\CLSID", u""), Text(u"{rolled back}"));
  }
  EXPECT_EQ(getText(HKCR, u"Korvane.Cls\\CLSID", u""), Text(u"{old}"));
}

TEST_F(Registry, KeyNamesCompareByUnicodeCaseFoldingAndKeepTheirFirstSpelling) {
  const std::tuple<const char16_t*, const char16_t*, bool> rows[] = {
      {u"Software\\Korvane", u"SOFTWARE\\korvane", true},
      {u"Ärger\\École", u"äRGER\\éCOLE", true},
      {u"Straße", u"STRASSE", true},
      {u"ΣΟΦΊΑ\\Κλειδί", u"σοφία\\ΚΛΕΙΔΊ", true},
      {u"Cluster", u"Clusters", false},
      {u"A\\B", u"A\\B\\C", false},
      {u"École", u"Ecole", false}};
  for (const auto& [created, lookedUp, found] : rows) {
    SCOPED_TRACE(toUtf8(created) + " vs " + toUtf8(lookedUp));
    createKey(HKLM, created);
    EXPECT_EQ(keyExists(HKLM, lookedUp), found);
    // A value under the other spelling lands in the same key when they match.
    setValue(HKLM, lookedUp, u"v", 1);
    EXPECT_EQ(getValue(HKLM, created, u"v").has_value(), found);
  }
  // Sub-keys keep their first spelling and the order they were made in.
  createKey(HKLM, u"Root\\Zeta");
  createKey(HKLM, u"Root\\alpha");
  EXPECT_FALSE(createKey(HKLM, u"ROOT\\ALPHA"));
  createKey(HKLM, u"Root\\Mid\\Deep");
  EXPECT_EQ(subKeys(HKLM, u"root"), (std::vector<Text>{u"Zeta", u"alpha", u"Mid"}));
  EXPECT_TRUE(subKeys(HKLM, u"Missing").empty());
}

TEST_F(Registry, DeleteRemovesTheWholeSubtreeAndNothingBesideButNeverARoot) {
  setValue(HKLM, u"App\\Sub\\Leaf", u"x", u"1");
  setValue(HKLM, u"App\\Sub", u"", u"2");
  setValue(HKLM, u"App", u"y", 3);
  // Siblings whose names begin like the deleted key's name.
  setValue(HKLM, u"AppX", u"keep", 4);
  setValue(HKLM, u"App]", u"keep", 5);
  setValue(HKLM, u"App Data\\Sub", u"keep", 6);

  EXPECT_TRUE(deleteKey(HKLM, u"app"));
  EXPECT_FALSE(keyExists(HKLM, u"App"));
  EXPECT_FALSE(keyExists(HKLM, u"App\\Sub\\Leaf"));
  EXPECT_FALSE(getValue(HKLM, u"App\\Sub\\Leaf", u"x"));
  EXPECT_EQ(getValue(HKLM, u"AppX", u"keep"), Variant(std::int64_t{4}));
  EXPECT_EQ(getValue(HKLM, u"App]", u"keep"), Variant(std::int64_t{5}));
  EXPECT_EQ(getValue(HKLM, u"App Data\\Sub", u"keep"), Variant(std::int64_t{6}));

  // A key created again under the old name starts empty.
  createKey(HKLM, u"App");
  EXPECT_TRUE(subKeys(HKLM, u"App").empty());
  EXPECT_FALSE(getValue(HKLM, u"App", u"y"));
  EXPECT_FALSE(deleteKey(HKLM, u"Never"));
  EXPECT_THROW(deleteKey(HKLM, u""), ComError);  // roots stay
  EXPECT_THROW(deleteKey(HKCR, u""), ComError);
  EXPECT_TRUE(keyExists(HKCR, u""));
}

TEST_F(Registry, ValuesHoldTextWithEveryCharacterOrThirtyTwoBitNumbers) {
  setValue(HKLM, u"K", u"", u"default");
  setValue(HKLM, u"K", u"Number", 42);
  EXPECT_EQ(getValue(HKLM, u"K", u""), Variant(u"default"));
  EXPECT_EQ(getValue(HKLM, u"K", u"NUMBER"), Variant(std::int64_t{42}));
  EXPECT_FALSE(getText(HKLM, u"K", u"Number"));

  setValue(HKLM, u"K", u"number", u"now text");
  EXPECT_EQ(getValue(HKLM, u"K", u"Number"), Variant(u"now text"));

  setValue(HKLM, u"K", u"Max", std::int64_t{0xFFFFFFFF});
  setValue(HKLM, u"K", u"Minus", -1);
  EXPECT_EQ(getValue(HKLM, u"K", u"Minus"), Variant(std::int64_t{0xFFFFFFFF}));
  EXPECT_THROW(setValue(HKLM, u"K", u"Big", std::int64_t{1} << 32), ComError);
  EXPECT_THROW(setValue(HKLM, u"K", u"Flag", true), ComError);
  EXPECT_THROW(setValue(HKLM, u"K", u"Nothing", Variant::null()), ComError);
  EXPECT_FALSE(getValue(HKLM, u"K", u"Big"));

  EXPECT_FALSE(getValue(HKLM, u"Missing", u""));

  Text odd = u"tab\there, cr\r, \U0001F4E7 and a zero \0 inside";
  odd.push_back(u'\0');
  setValue(HKLM, u"K", u"odd", odd);
  EXPECT_EQ(getText(HKLM, u"K", u"odd"), odd);
}

TEST_F(Registry, MalformedNamesAreRefusedAndWriteNothing) {
  const char16_t* bad[] = {u"\\Leading", u"Double\\\\Sep", u"Trailing\\"};
  for (const char16_t* name : bad) {
    try {
      setValue(HKLM, name, u"v", 1);
      ADD_FAILURE() << "accepted " << toUtf8(name);
    } catch (const ComError& e) {
      EXPECT_EQ(e.code(), E_INVALIDARG);
      EXPECT_NE(e.description().find(u"HKEY_LOCAL_MACHINE\\"), Text::npos);
    }
  }
  EXPECT_EQ(subKeys(HKLM, u""), (std::vector<Text>{u"SOFTWARE"}));
}

TEST_F(Registry, HandlesOpenExistingKeysOnly) {
  HKEY key{};
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Cluster", &key), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(key, HKEY{0});

  createKey(HKLM, u"Cluster\\Nodes");
  ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "CLUSTER", &key), ERROR_SUCCESS);
  HKEY nodes{};
  EXPECT_EQ(RegOpenKeyA(key, "nodes", &nodes), ERROR_SUCCESS);
  EXPECT_EQ(RegOpenKeyA(key, "Other", &nodes), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyA(key, "Nodes", &nodes), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Cluster", nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "A\\\\B", &key), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

TEST_F(Registry, AFirstUseInsideARolledBackTransactionLeavesTheRegistryUsable) {
  {
    db::Transaction t(db::Database::current());
    setValue(HKLM, u"Inside", u"v", 1);
    t.rollback();
  }
  EXPECT_FALSE(keyExists(HKLM, u"Inside"));
  setValue(HKLM, u"After", u"v", 2);
  EXPECT_EQ(getValue(HKLM, u"After", u"v"), Variant(std::int64_t{2}));
}

TEST_F(Registry, WithoutAServerCallsFailWithAnIoErrorNotACrash) {
  db::Database::closeCurrent();
  db::setServerDirectory(server.dir() / "nothing-here");
  HKEY key{};
  EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "Cluster", &key), ERROR_REGISTRY_IO_FAILED);
  EXPECT_THROW(keyExists(HKLM, u"Cluster"), ComError);
  db::setServerDirectory(server.serverPath());
}

} // namespace
} // namespace korvane::registry
