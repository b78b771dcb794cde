#include "platform/directory/directory.h"

#include <gtest/gtest.h>

#include "platform/directory/rootdse.h"
#include "support/temp_server.h"
#include "tests/platform/com/failure.h"

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

// Listing and the home server value are read by the search tests.
TEST(DirectoryPersons, UpdateAndRemoveFindTheAccountIgnoringCase) {
  TempServer server;
  addPerson({u"Admin", u"Administrator", kCategory, u"/o=Org/cn=EXCH01"});
  addPerson({u"bob", u"Bob", kCategory, std::nullopt});
  EXPECT_TRUE(updatePerson({u"BOB", u"Robert", kCategory, u"/o=Org/cn=EXVS1"}));
  EXPECT_EQ(findPerson(u"bob")->cn, u"Robert");
  EXPECT_EQ(findPerson(u"bob")->samAccountName, u"BOB");
  EXPECT_FALSE(updatePerson({u"carol", u"Carol", kCategory, std::nullopt}));

  EXPECT_TRUE(removePerson(u"ADMIN"));
  EXPECT_FALSE(removePerson(u"ADMIN"));
  EXPECT_FALSE(findPerson(u"Admin"));
  EXPECT_EQ(listPersons().size(), 1u);
}

TEST(DirectoryPersons, InvalidOnesAndDuplicatesIgnoringCaseAreRefusedAndNothingIsStored) {
  TempServer server;
  addPerson({u"\u00c9lise", u"\u00c9lise", kCategory, std::nullopt});
  EXPECT_EQ(korvane::testing::thrownBy([] { addPerson({u"\u00e9LISE", u"Other", kCategory, std::nullopt}); }).code,
            E_ADS_OBJECT_EXISTS);
  const Person rows[] = {
      {u"", u"cn", u"CN=Person", std::nullopt},   {u"a/b", u"cn", u"CN=Person", std::nullopt},
      {u"a*", u"cn", u"CN=Person", std::nullopt}, {u"...", u"cn", u"CN=Person", std::nullopt},
      {u"a\tb", u"cn", u"CN=Person", std::nullopt},
      {u"ok", u"", u"CN=Person", std::nullopt},   // no common name
      {u"ok", u"cn", u"", std::nullopt},          // no category
  };
  for (const Person& p : rows) EXPECT_THROW(addPerson(p), ComError) << toUtf8(p.samAccountName);
  ASSERT_EQ(listPersons().size(), 1u);
  EXPECT_EQ(findPerson(u"\u00c9LISE")->cn, u"\u00c9lise");
}

struct RootRow {
  const char16_t* property;
  const char16_t* value;
};

struct BindRow {
  const char16_t* path;
  HRESULT code;
};

// The RootDSE of this catalog (by either scheme, any case) describes it,
// read as a property or with Get; nothing else binds, and no invalid host
// name replaces the catalog's.
TEST(RootDse, DescribesTheCatalogServerAndOnlyItsOwnPathsBind) {
  TempServer server;
  ComPtr<IDispatch> out;
  EXPECT_EQ(ADsGetObject(u"GC://RootDSE", IDispatch::iid, out.putVoid()), E_ADS_NO_SUCH_DOMAIN);
  EXPECT_NE(takeErrorInfo().find(u"no global catalog"), Text::npos);

  setGlobalCatalogHost(u"dc01.corp.example.com");
  for (const char16_t* host : {u"", u"dc 01", u".corp", u"corp.", u"a..b", u"dc01/x", u"GC://dc01"})
    EXPECT_THROW(setGlobalCatalogHost(host), ComError) << toUtf8(host);  // the old one stays
  const BindRow binds[] = {{u"GC://RootDSE", S_OK},
                           {u"gc://rootdse", S_OK},
                           {u"LDAP://RootDSE", S_OK},
                           {u"GC://DC01.corp.example.com/RootDSE", S_OK},
                           {u"GC://dc02/RootDSE", E_ADS_BAD_PATHNAME},
                           {u"GC://Root", E_ADS_BAD_PATHNAME},
                           {u"RootDSE", E_ADS_BAD_PATHNAME},
                           {u"", E_ADS_BAD_PATHNAME}};
  for (const auto& row : binds) {
    ComPtr<IDispatch> bound;
    EXPECT_EQ(ADsGetObject(row.path, IDispatch::iid, bound.putVoid()), row.code) << toUtf8(row.path);
    EXPECT_EQ(bool(bound), succeeded(row.code)) << toUtf8(row.path);
  }

  ComPtr<IDispatch> root = adsGetObject(u"GC://RootDSE");
  const RootRow attributes[] = {
      {u"dnshostname", u"dc01.corp.example.com"},
      {u"dnsHostName", u"dc01.corp.example.com"},
      {u"defaultNamingContext", u"DC=corp,DC=example,DC=com"},
      {u"schemaNamingContext", u"CN=Schema,CN=Configuration,DC=corp,DC=example,DC=com"},
      {u"isGlobalCatalogReady", u"TRUE"},
  };
  for (const auto& row : attributes) {
    EXPECT_EQ(getProperty(root.get(), row.property).toText(), row.value) << toUtf8(row.property);
    Variant name(row.property);
    EXPECT_EQ(invoke(root.get(), u"Get", std::span<const Variant>(&name, 1)).toText(), row.value);
  }
  Variant v;
  EXPECT_EQ(root->GetProperty(u"nosuch", &v), E_ADS_PROPERTY_NOT_FOUND);
  EXPECT_EQ(root->PutProperty(u"dnsHostName", Variant(u"x")), E_ACCESSDENIED);
}

} // namespace
} // namespace korvane::directory
