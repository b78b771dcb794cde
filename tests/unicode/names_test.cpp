// Names a person types: folders named in Cyrillic, Greek, accented Latin and
// characters outside the BMP, and names that hold apostrophes, double
// quotes, percent signs and query keywords. Each is listed by the folder
// enumeration, registered and looked up by the setup, and processed by the
// real sink; no name changes the meaning of a query.
#include <algorithm>

#include <gtest/gtest.h>

#include "platform/directory/directory.h"
#include "platform/win32/machine.h"
#include "setup/discovery/discovery.h"
#include "setup/folders/enumeration.h"
#include "setup/window/main_window.h"
#include "support/delivery_fixture.h"

namespace korvane::setup {
namespace {

const std::vector<Text> kNames{
    u"Продажи",
    u"Πωλήσεις",
    u"Équipe Café",
    u"Post 📬 𝔘𝔫𝔦 𐐀",
    u"Bob's Orders",
    u"Say \"Hi\"",
    u"50% Off",
    u"100%20Sure",
    u"x' OR \"DAV:ishidden\" = true OR 'a'='a",
    u"x\") OR (\"DAV:isfolder\" = false",
    u"select * from scope('deep traversal of \"http:\"') WHERE 'a'='a'",
    u"WHERE",
    u"' AND \"DAV:displayname\" = 'Korvane.reg",
};

void addFolder(const Text& path, const Text& mailAddress, bool hidden = false) {
  auto spec = korvane::testing::mailFolder(path, mailAddress);
  spec.hidden = hidden;
  store::createFolder(spec);
}

// Folders one level down, below the folder whose name is a query: listed
// with their paths; the hidden one never.
const Text kParent = u"x' OR \"DAV:ishidden\" = true OR 'a'='a";
const Text kChild = u"Child \"Ω\" 'n' %";

class Names : public korvane::testing::DeliveryFixture {
protected:
  void SetUp() override {
    DeliveryFixture::SetUp();
    install(Text(u"IPM.Note\r*\r65223"));
    for (std::size_t i = 0; i < kNames.size(); ++i)
      addFolder(kNames[i], u"f" + fromUtf8(std::to_string(i)) + u"@corp.example.com");
    // Never to be listed: hidden, and not mail-enabled.
    addFolder(u"Hidden", u"hidden@corp.example.com", true);
    addFolder(u"Plain", u"");
    addFolder(kParent + u"/" + kChild, u"child@corp.example.com");
    addFolder(kParent + u"/Hidden child", u"hidden-child@corp.example.com", true);
    runDiscovery(form);
  }
  void TearDown() override {
    Form_Unload(form);
    DeliveryFixture::TearDown();
  }

  Text url(TextView name) const { return form.strPublicRoot + Text(name); }
  std::int16_t lookUp(TextView name) {
    ComPtr<ado::IConnection> connection;
    return CheckItemExists(form.ui.txtErr, url(name), u"", kRegItemName, kRegItemCondition, true, connection);
  }
  bool registered(std::size_t i) const { return i % 2 == 0; }
  void registerEveryOther() {
    for (std::size_t i = 0; i < kNames.size(); i += 2)
      ASSERT_EQ(registerOn(url(kNames[i])), url(kNames[i])) << toUtf8(regLog.text);
  }

  InstallForm form;
};

TEST_F(Names, EveryFolderIsListedOnceWithItsOwnNameAndNothingHiddenIs) {
  GetPublicFolders(form);
  EXPECT_TRUE(form.ui.txtErr.text.empty()) << toUtf8(form.ui.txtErr.text);
  ASSERT_EQ(form.ui.ListView1.rows.size(), kNames.size() + 1);
  std::vector<std::pair<Text, Text>> listed;  // path, own name
  for (const Text& name : kNames) listed.emplace_back(name, name);
  listed.emplace_back(kParent + u"/" + kChild, kChild);
  for (const auto& [path, name] : listed) {
    SCOPED_TRACE(toUtf8(path));
    int found = 0;
    for (const auto& row : form.ui.ListView1.rows)
      if (row.key == url(path)) {
        ++found;
        EXPECT_EQ(row.text, path);
        EXPECT_EQ(row.subItem1, name);
        EXPECT_FALSE(row.checked);
      }
    EXPECT_EQ(found, 1);
  }
}

TEST_F(Names, RegistrationAndLookUpAnswerForTheirOwnFolderOnly) {
  registerEveryOther();
  for (std::size_t i = 0; i < kNames.size(); ++i)
    EXPECT_EQ(lookUp(kNames[i]), registered(i) ? 1 : 0) << toUtf8(kNames[i]);
  EXPECT_TRUE(form.ui.txtErr.text.empty()) << toUtf8(form.ui.txtErr.text);

  GetPublicFolders(form);
  for (const auto& row : form.ui.ListView1.rows) {
    if (row.text == kParent + u"/" + kChild) {
      EXPECT_FALSE(row.checked);
      continue;
    }
    auto at = std::find(kNames.begin(), kNames.end(), row.text);
    ASSERT_NE(at, kNames.end()) << toUtf8(row.text);
    EXPECT_EQ(row.checked, registered(static_cast<std::size_t>(at - kNames.begin()))) << toUtf8(row.text);
  }

  for (std::size_t i = 0; i < kNames.size(); i += 2)
    EXPECT_TRUE(DeleteRegItem(form.ui.txtErr, url(kNames[i]), u"", kRegItemName, true)) << toUtf8(form.ui.txtErr.text);
  for (const Text& name : kNames) EXPECT_EQ(lookUp(name), 0) << toUtf8(name);
  EXPECT_TRUE(store::registrations().empty());
}

TEST_F(Names, DeliveriesAreProcessedInRegisteredFoldersOnly) {
  registerEveryOther();
  for (std::size_t i = 0; i < kNames.size(); ++i) {
    SCOPED_TRACE(toUtf8(kNames[i]));
    auto outcome = store::deliver(kNames[i], {{store::prop::subject, Variant(kNames[i])},
                                              {store::prop::messageClass, Variant(u"IPM.Post")}});
    EXPECT_FALSE(outcome.aborted);
    EXPECT_EQ(outcome.messageClass, registered(i) ? u"IPM.Note" : u"IPM.Post");
    auto items = store::listItems(kNames[i]);
    std::size_t mail = 0;
    for (const auto& item : items) mail += item.properties.text(store::prop::subject) == kNames[i];
    EXPECT_EQ(mail, 1u);
  }
  expectNoEvents();
}

struct UserRow {
  const char16_t* logon;      // the machine's logged-on user
  const char16_t* directory;  // the account in the directory; nullptr: none
  bool found;                 // the directory query finds it
};

class UserNames : public korvane::testing::ServerFixture {};

// Without a workstation domain the proposed identity comes from the
// directory entry found by the user name: found ignoring case, and never a
// different entry because of what the name holds.
TEST_F(UserNames, TheDirectoryFindsExactlyThatUser) {
  const UserRow rows[] = {
      {u"ДМИТРИЙ", u"дмитрий", true}, {u"𐐀dam 📬", u"𐐨dam 📬", true},
      {u"Pat O'Brien", u"Pat O'Brien", true}, {u"Pat O'Brien", nullptr, false},
      {u"x' OR 'a' LIKE 'a", nullptr, false}, {u"Administrator' OR 'x", nullptr, false},
      {u"100% sure", u"100% SURE", true},
  };
  for (const UserRow& c : rows) {
    SCOPED_TRACE(toUtf8(c.logon));
    auto machine = win32::machineInfo();
    machine.userName = c.logon;
    machine.workstationError = 2453;  // no workstation domain: the directory decides
    win32::setMachineInfo(machine);
    if (c.directory) {
      directory::Person p;
      p.samAccountName = c.directory;
      p.cn = c.directory;
      p.objectCategory = directory::personCategory(u"corp.example.com");
      directory::addPerson(p);
    }
    InstallForm form;
    runDiscovery(form);
    EXPECT_EQ(GetCurrentUserName(), Text(c.logon));
    FillIdentityField(form);
    EXPECT_EQ(form.ui.txtIdent.text, c.found ? u"corp.example.com\\" + Text(c.logon) : Text());
    Form_Unload(form);
    if (c.directory) directory::removePerson(c.directory);  // the next row starts without it
  }
}

} // namespace
} // namespace korvane::setup
