#include <gtest/gtest.h>

#include "setup/registration/items.h"
#include "setup/registration/procedures.h"
#include "setup/window/main_window.h"
#include "support/delivery_fixture.h"

namespace korvane::setup {
namespace {

class RegistrationItems : public testing::DeliveryFixture {
protected:
  void SetUp() override {
    DeliveryFixture::SetUp();
    store::createFolder(testing::mailFolder(u"Sales", u"sales@corp.example.com"));
    store::createFolder(testing::mailFolder(u"Bob's Orders", u"bob@corp.example.com"));
    // Registration items name the sink, which must be creatable to be accepted.
    install(Text(u"IPM.Note\r*\r65223"));
  }
  Text create(TextView url, TextView priority = u"65223", TextView scope = u"SHALLOW") {
    return CreateRegItem(log, url, u"", kRegItemName, kEventMethod, kSinkClass, scope, kCriteria, priority, true);
  }
  TextBox log;
  ComPtr<ado::IConnection> connection;
};

TEST_F(RegistrationItems, CreateWritesTheSevenPropertiesAgainReplacesThemAndDeleteRemovesTheItemOnce) {
  EXPECT_EQ(create(folderUrl(u"Sales"), u"100"), folderUrl(u"Sales"));
  auto items = store::registrations();
  ASSERT_EQ(items.size(), 1u);
  const auto& p = items[0].properties;
  EXPECT_EQ(items[0].url, folderUrl(u"Sales") + u"/Korvane.reg");
  EXPECT_EQ(p.text(u"DAV:contentclass"), u"urn:content-class:storeeventreg");
  EXPECT_EQ(p.text(store::prop::eventMethod), u"onsyncsave");
  EXPECT_EQ(p.text(store::prop::sinkClass), u"Korvane.KorvaneCls");
  EXPECT_EQ(p.text(store::prop::matchScope), u"SHALLOW");
  EXPECT_EQ(p.text(store::prop::criteria), u" WHERE \"DAV:ishidden\" = FALSE");
  EXPECT_EQ(p.get(store::prop::priority), Variant(u"100"));  // text, not a number
  EXPECT_EQ(p.get(u"DAV:ishidden"), Variant(true));

  create(folderUrl(u"Sales"), u"7", u"DEEP");
  items = store::registrations();
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].properties.text(store::prop::priority), u"7");
  EXPECT_EQ(items[0].properties.text(store::prop::matchScope), u"DEEP");

  EXPECT_TRUE(DeleteRegItem(log, folderUrl(u"Sales"), u"", kRegItemName, false));
  EXPECT_TRUE(store::registrations().empty());
  EXPECT_FALSE(DeleteRegItem(log, folderUrl(u"Sales"), u"", kRegItemName, false));  // missing: silently
  EXPECT_TRUE(log.text.empty());
}

TEST_F(RegistrationItems, AFailedCreateIsLoggedWithTheBaseUrlAndWritesNothing) {
  EXPECT_EQ(create(folderUrl(u"Nowhere")), u"");
  EXPECT_NE(log.text.find(folderUrl(u"Nowhere") + u" - ERROR: "), Text::npos);
  EXPECT_TRUE(store::registrations().empty());
}

// Names with apostrophes: see the unicode tests' Names.
TEST_F(RegistrationItems, LookUpAnswersForBlankNamesAndMissingFolders) {
  EXPECT_EQ(CheckItemExists(log, folderUrl(u"Sales"), u"", u"  ", u"", true, connection), 1);
  EXPECT_EQ(CheckItemExists(log, folderUrl(u"Gone"), u"", u"", u"", false, connection), -1);
  EXPECT_TRUE(log.text.empty());
  EXPECT_EQ(CheckItemExists(log, folderUrl(u"Gone"), u"", u"", u"", true, connection), -1);
  EXPECT_NE(log.text.find(folderUrl(u"Gone")), Text::npos);
}

struct NameHolder {
  const char* what;
  bool folder;
  bool hidden;
  const char16_t* contentClass;
};

void PrintTo(const NameHolder& h, std::ostream* os) { *os << h.what; }

// Something that is not a registration item but is named "Korvane.reg": no
// registration run deletes or overwrites it, and registering its folder fails
// into the error log with what to rename.
class TakenName : public RegistrationItems, public ::testing::WithParamInterface<NameHolder> {
protected:
  void SetUp() override {
    RegistrationItems::SetUp();
    const NameHolder& h = GetParam();
    store::Properties p{{u"DAV:contentclass", Variant(h.contentClass)}, {u"DAV:ishidden", Variant(h.hidden)}};
    if (h.folder) {
      store::FolderSpec spec;
      spec.path = u"Sales/Korvane.reg";
      spec.hidden = h.hidden;
      spec.contentClass = h.contentClass;
      store::createFolder(spec);
      store::save(u"Sales/Korvane.reg", u"Inside.EML", {{store::prop::subject, Variant(u"inside")}});
    } else {
      store::save(u"Sales", u"Korvane.reg", p);
    }
    create(folderUrl(u"Bob's Orders"));  // a real registration, which the runs keep
  }
  void expectHolderKept() {
    auto kept = store::findItem(u"Sales/Korvane.reg");
    ASSERT_TRUE(kept) << "deleted";
    EXPECT_EQ(kept->folder, GetParam().folder);
    EXPECT_EQ(kept->properties.text(u"DAV:contentclass"), GetParam().contentClass);
    if (GetParam().folder) {
      EXPECT_TRUE(store::findItem(u"Sales/Korvane.reg/Inside.EML"));
    }
    ASSERT_EQ(store::registrations().size(), 1u);
    EXPECT_EQ(store::registrations()[0].url, folderUrl(u"Bob's Orders") + u"/Korvane.reg");
  }
  void expectLoggedWithWhatToRename(const Text& logText) {
    EXPECT_NE(logText.find(folderUrl(u"Sales") + u" - ERROR: "), Text::npos) << toUtf8(logText);
    EXPECT_NE(logText.find(u"Rename that " + Text(GetParam().folder ? u"folder" : u"item")), Text::npos)
        << toUtf8(logText);
  }
  void run(TextView arguments, bool checkSales) {
    InstallForm form;
    Form_Load(form, arguments);
    Form_Activate(form);
    if (checkSales) {
      for (auto& row : form.ui.ListView1.rows) row.checked = row.text == u"Sales" || row.text == u"Bob's Orders";
      btnChange_Click(form);
      expectLoggedWithWhatToRename(form.ui.txtErr.text);
    }
    Form_Unload(form);
  }
};

TEST_P(TakenName, NeitherTheItemOperationsNorChangeNorTheBatchRunTouchIt) {
  EXPECT_FALSE(DeleteRegItem(log, folderUrl(u"Sales"), u"", kRegItemName, false));
  EXPECT_EQ(create(folderUrl(u"Sales")), u"");
  expectLoggedWithWhatToRename(log.text);
  expectHolderKept();
  run(u"", true);
  expectHolderKept();
  run(u"-b", false);
  expectHolderKept();
}

INSTANTIATE_TEST_SUITE_P(
    Holders, TakenName,
    ::testing::Values(NameHolder{"Folder", true, false, u"urn:content-classes:folder"},
                      NameHolder{"UsersItem", false, false, u"urn:content-classes:message"},
                      NameHolder{"HiddenItemOfAnotherClass", false, true, u"urn:content-classes:message"}),
    [](const auto& info) { return std::string(info.param.what); });

TEST(RegistrationQuery, IsSentCharacterForCharacter) {
  EXPECT_EQ(itemLookupQuery(u"http://S/Public/Sales", kRegItemName, kRegItemCondition),
            u"select  \"DAV:displayname\" from scope ('shallow traversal of \"http://S/Public/Sales\"')  WHERE "
            u"\"DAV:displayname\" = 'Korvane.reg' AND \"DAV:ishidden\" = true AND \"DAV:isfolder\" = false ");
  EXPECT_EQ(itemLookupQuery(u"http://S/Public/Bob's", kRegItemName, u""),
            u"select  \"DAV:displayname\" from scope ('shallow traversal of \"http://S/Public/Bob''s\"')  WHERE "
            u"\"DAV:displayname\" = 'Korvane.reg'");
}

} // namespace
} // namespace korvane::setup
