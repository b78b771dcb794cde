#include "platform/directory/directory.h"

#include <gtest/gtest.h>

#include "platform/directory/rootdse.h"
#include "support/temp_server.h"

namespace korvane::directory {
namespace {

using korvane::testing::TempServer;

const Text kCategory = personCategory(u"corp.example.com");

TEST(DirectoryNames, DomainAndCategoryFollowTheDnsName) {
  EXPECT_EQ(domainDn(u"corp.example.com"), u"DC=corp,DC=example,DC=com");
  EXPECT_EQ(domainDn(u""), u"");
  EXPECT_EQ(kCategory, u"CN=Person,CN=Schema,CN=Configuration,DC=corp,DC=example,DC=com");
  EXPECT_EQ(distinguishedName({u"a", u"#1 ", kCategory, std::nullopt}),
            u"CN=\\#1\\ ,CN=Users,DC=corp,DC=example,DC=com");
  EXPECT_EQ(distinguishedName({u"a", u"x=y+z", u"CN=Person", std::nullopt}), u"CN=x\\=y\\+z,CN=Users");
}

TEST(DirectoryPersons, AddUpdateRemoveAndList) {
  TempServer server;
  addPerson({u"Admin", u"Administrator", kCategory, u"/o=Org/cn=EXCH01"});
  addPerson({u"bob", u"Bob", kCategory, std::nullopt});
  auto all = listPersons();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].samAccountName, u"Admin");
  EXPECT_EQ(all[0].homeServer, Text(u"/o=Org/cn=EXCH01"));
  EXPECT_FALSE(all[1].homeServer);

  EXPECT_TRUE(updatePerson({u"BOB", u"Robert", kCategory, u"/o=Org/cn=EXVS1"}));
  EXPECT_EQ(findPerson(u"bob")->cn, u"Robert");
  EXPECT_EQ(findPerson(u"bob")->samAccountName, u"BOB");
  EXPECT_FALSE(updatePerson({u"carol", u"Carol", kCategory, std::nullopt}));

  EXPECT_TRUE(removePerson(u"ADMIN"));
  EXPECT_FALSE(removePerson(u"ADMIN"));
  EXPECT_FALSE(findPerson(u"Admin"));
  EXPECT_EQ(listPersons().size(), 1u);
}

TEST(DirectoryPersons, DuplicateAccountNamesIgnoreCase) {
  TempServer server;
  addPerson({u"\u00c9lise", u"\u00c9lise", kCategory, std::nullopt});
  try {
    addPerson({u"\u00e9LISE", u"Other", kCategory, std::nullopt});
    FAIL();
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), E_ADS_OBJECT_EXISTS);
  }
  EXPECT_EQ(listPersons().size(), 1u);
  EXPECT_EQ(findPerson(u"\u00c9LISE")->cn, u"\u00c9lise");
}

class InvalidPersons : public ::testing::TestWithParam<Person> {};

TEST_P(InvalidPersons, AreRefusedAndNothingIsStored) {
  TempServer server;
  EXPECT_THROW(addPerson(GetParam()), ComError);
  EXPECT_TRUE(listPersons().empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, InvalidPersons,
                         ::testing::Values(Person{u"", u"cn", u"CN=Person", std::nullopt},
                                           Person{u"a/b", u"cn", u"CN=Person", std::nullopt},
                                           Person{u"a*", u"cn", u"CN=Person", std::nullopt},
                                           Person{u"...", u"cn", u"CN=Person", std::nullopt},
                                           Person{u"a\tb", u"cn", u"CN=Person", std::nullopt},
                                           Person{u"ok", u"", u"CN=Person", std::nullopt},
                                           Person{u"ok", u"cn", u"", std::nullopt}));

class InvalidHosts : public ::testing::TestWithParam<const char16_t*> {};

TEST_P(InvalidHosts, AreRefusedAndTheOldOneStays) {
  TempServer server;
  setGlobalCatalogHost(u"dc01.corp.example.com");
  EXPECT_THROW(setGlobalCatalogHost(GetParam()), ComError);
  EXPECT_EQ(globalCatalogHost(), Text(u"dc01.corp.example.com"));
}

INSTANTIATE_TEST_SUITE_P(Rows, InvalidHosts,
                         ::testing::Values(u"", u"dc 01", u".corp", u"corp.", u"a..b", u"dc01/x",
                                           u"GC://dc01"));

struct RootRow {
  const char16_t* property;
  const char16_t* value;
};

class RootDseAttributes : public ::testing::TestWithParam<RootRow> {};

TEST_P(RootDseAttributes, DescribeTheCatalogServer) {
  TempServer server;
  setGlobalCatalogHost(u"dc01.corp.example.com");
  ComPtr<IDispatch> root = adsGetObject(u"GC://RootDSE");
  EXPECT_EQ(getProperty(root.get(), GetParam().property).toText(), GetParam().value);
  Variant name(GetParam().property);
  EXPECT_EQ(invoke(root.get(), u"Get", std::span<const Variant>(&name, 1)).toText(), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, RootDseAttributes,
    ::testing::Values(RootRow{u"dnshostname", u"dc01.corp.example.com"},
                      RootRow{u"dnsHostName", u"dc01.corp.example.com"},
                      RootRow{u"defaultNamingContext", u"DC=corp,DC=example,DC=com"},
                      RootRow{u"schemaNamingContext", u"CN=Schema,CN=Configuration,DC=corp,DC=example,DC=com"},
                      RootRow{u"isGlobalCatalogReady", u"TRUE"}));

struct BindRow {
  const char16_t* path;
  HRESULT code;
};

class Binding : public ::testing::TestWithParam<BindRow> {};

TEST_P(Binding, AcceptsTheRootDseOfThisCatalogOnly) {
  TempServer server;
  setGlobalCatalogHost(u"dc01.corp.example.com");
  ComPtr<IDispatch> out;
  EXPECT_EQ(ADsGetObject(GetParam().path, IDispatch::iid, out.putVoid()), GetParam().code)
      << toUtf8(GetParam().path);
  EXPECT_EQ(bool(out), succeeded(GetParam().code));
}

INSTANTIATE_TEST_SUITE_P(Rows, Binding,
                         ::testing::Values(BindRow{u"GC://RootDSE", S_OK}, BindRow{u"gc://rootdse", S_OK},
                                           BindRow{u"LDAP://RootDSE", S_OK},
                                           BindRow{u"GC://DC01.corp.example.com/RootDSE", S_OK},
                                           BindRow{u"GC://dc02/RootDSE", E_ADS_BAD_PATHNAME},
                                           BindRow{u"GC://Root", E_ADS_BAD_PATHNAME},
                                           BindRow{u"RootDSE", E_ADS_BAD_PATHNAME},
                                           BindRow{u"", E_ADS_BAD_PATHNAME}));

TEST(RootDse, BindWithoutCatalogFailsAndUnknownAttributesAreErrors) {
  TempServer server;
  ComPtr<IDispatch> out;
  EXPECT_EQ(ADsGetObject(u"GC://RootDSE", IDispatch::iid, out.putVoid()), E_ADS_NO_SUCH_DOMAIN);
  EXPECT_NE(takeErrorInfo().find(u"no global catalog"), Text::npos);

  setGlobalCatalogHost(u"dc01.corp.example.com");
  ComPtr<IDispatch> root = adsGetObject(u"GC://RootDSE");
  Variant v;
  EXPECT_EQ(root->GetProperty(u"nosuch", &v), E_ADS_PROPERTY_NOT_FOUND);
  EXPECT_EQ(root->PutProperty(u"dnsHostName", Variant(u"x")), E_ACCESSDENIED);
}

} // namespace
} // namespace korvane::directory
