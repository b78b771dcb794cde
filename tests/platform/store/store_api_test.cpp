#include "platform/store/store.h"

#include <cmath>
#include <fmt/format.h>

#include "platform/store/tree.h"
#include "platform/store/url.h"
#include "store_fixture.h"

namespace korvane::store {
namespace {

using namespace testing;

class StoreApi : public StoreTest {};

TEST_F(StoreApi, TheServerKnowsItsIdentityAndKeepsItsSystemTree) {
  EXPECT_EQ(serverInfo().domain, u"corp.example.com");
  EXPECT_EQ(serverInfo().storeGuid, kGuid);
  EXPECT_EQ(globalEventsUrl(),
            u"http://exch01/Public/non_ipm_subtree/StoreEvents{5B0C8C0A-1D2E-4F60-8A9B-0C1D2E3F4A5B}/GlobalEvents");
  db::Database::closeCurrent();
  EXPECT_EQ(serverInfo().host, u"exch01");  // read back from the file
  // The system tree exists and cannot be deleted.
  auto folders = listFolders();
  ASSERT_EQ(folders.size(), 3u);
  EXPECT_EQ(folders[0].path, u"non_ipm_subtree");
  EXPECT_EQ(folders[2].path, u"non_ipm_subtree/StoreEvents{5B0C8C0A-1D2E-4F60-8A9B-0C1D2E3F4A5B}/GlobalEvents");
  for (const auto& f : folders) {
    EXPECT_TRUE(f.system);
    EXPECT_THROW(deleteItem(f.path), ComError) << toUtf8(f.path);
  }
}

struct ServerRow {
  ServerInfo info;
  bool ok;
  Text guid;  // as stored; empty: a new one
};

TEST(CreateServer, ChecksHostAndGuidBeforeWritingAnythingAndRefusesAnExistingServer) {
  const ServerRow rows[] = {
      {{u"exch02", u"", u"5b0c8c0a-1d2e-4f60-8a9b-0c1d2e3f4a5b"}, true, u"{5B0C8C0A-1D2E-4F60-8A9B-0C1D2E3F4A5B}"},
      {{u"exch03", u"", u""}, true, u""},
      {{u"exch02", u"", u"not a guid"}, false, u""},
      {{u"", u"", u""}, false, u""},
      {{u"exch 02", u"", u""}, false, u""},
      {{u"exch02/x", u"", u""}, false, u""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(toUtf8(row.info.host) + " " + toUtf8(row.info.storeGuid));
    korvane::testing::TempServer scratch(false);
    const auto dir = scratch.serverPath();
    if (row.ok) {
      createServer(dir, row.info);
      const Text guid = serverInfo().storeGuid;
      if (!row.guid.empty()) {
        EXPECT_EQ(guid, row.guid);
      }
      EXPECT_TRUE(Guid::parse(TextView(guid)).has_value() && guid.front() == u'{') << toUtf8(guid);
      EXPECT_THROW(createServer(dir, row.info), ComError);
      EXPECT_EQ(serverInfo().storeGuid, guid);
    } else {
      EXPECT_THROW(createServer(dir, row.info), ComError);
      EXPECT_FALSE(std::filesystem::exists(db::databaseFile(dir)));
    }
  }
}

TEST_F(StoreApi, FoldersCarryTheirSettingsAndNeedTheirParentUnlessAskedToMakeIt) {
  // The mail address, hidden flag and access show in the queries and opens
  // that depend on them; the content class only here.
  FolderSpec spec;
  spec.path = u"Team/Calendar";
  spec.createParents = true;
  spec.contentClass = u"urn:content-classes:calendarfolder";
  EXPECT_EQ(createFolder(spec).contentClass, u"urn:content-classes:calendarfolder");
  auto team = findFolder(u"team");
  ASSERT_TRUE(team);
  EXPECT_EQ(team->childCount, 1);
  EXPECT_EQ(team->contentClass, u"urn:content-classes:folder");
  EXPECT_FALSE(findFolder(u"Team/Calendar/Nope"));

  // Without createParents the parent must be there.
  spec = FolderSpec();
  spec.path = u"Missing/Child";
  try {
    createFolder(spec);
    FAIL();
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), ado::adErrResourceNotFound);
    EXPECT_NE(e.description().find(u"\"Missing\""), Text::npos) << toUtf8(e.description());
  }
  EXPECT_FALSE(findFolder(u"Missing"));
  for (const char16_t* bad : {u"", u"a//b", u"/", u"..", u"Team/.", u"../x"}) {
    spec.path = bad;
    EXPECT_THROW(createFolder(spec), ComError) << toUtf8(bad);
  }
}

TEST_F(StoreApi, DeliveredItemsAreNamedAfterTheirSubjectAndATakenNameGetsTheFirstFreeNumber) {
  struct Row {
    std::vector<const char16_t*> existing;
    const char16_t* subject;  // null: none
    const char16_t* expected;
  };
  const Row rows[] = {
      {{}, u"Order / 42", u"Order _ 42.EML"},
      {{}, nullptr, u"Message.EML"},
      {{u"Report.EML"}, u"Report", u"Report-2.EML"},
      {{u"report.eml", u"REPORT-2.EML"}, u"Report", u"Report-3.EML"},  // letter case is ignored
      {{u"Report.EML", u"Report-3.EML"}, u"Report", u"Report-2.EML"},
      {{u"Report.EML", u"Report-02.EML", u"Report-2x.EML", u"Report-2"}, u"Report", u"Report-2.EML"},
      {{u"été.EML", u"ÉTÉ-2.EML"}, u"Été", u"Été-3.EML"},
  };
  int n = 0;
  for (const Row& row : rows) {
    const Text path = u"F" + fromUtf8(std::to_string(++n));
    folder(path);
    for (const char16_t* name : row.existing) save(path, name, {});
    Properties mail{{prop::messageClass, Variant(u"IPM.Note")}};
    if (row.subject) mail.set(prop::subject, Variant(Text(row.subject)));
    auto out = deliver(path, mail);
    EXPECT_EQ(out.url, url(path) + u"/" + row.expected) << n;
  }
  auto items = listItems(u"F1");
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].properties.text(prop::contentClass), u"urn:content-classes:message");
  EXPECT_EQ(items[0].folderPath, u"F1");
  EXPECT_THROW(deliver(u"Nowhere", {}), ComError);
}

// A folder made after the newest one was removed takes its id: its items
// are named by its own path, not by the one this process knew for that id.
TEST_F(StoreApi, AFolderMadeWhereARemovedOneWasNamesItsItemsByItsOwnPath) {
  folder(u"Old");
  EXPECT_EQ(deliver(u"Old", {}).url, url(u"Old") + u"/Message.EML");
  deleteItem(u"Old");
  folder(u"New");
  EXPECT_EQ(deliver(u"New", {}).url, url(u"New") + u"/Message.EML");
}

TEST_F(StoreApi, SaveCreatesOrChangesAnItemAndDeleteTakesPathsAndUrls) {
  folder(u"Sales");
  save(u"Sales", u"Note.EML", {{prop::messageClass, Variant(u"IPM.Note")}, {prop::subject, Variant(u"a")}});
  auto out = save(u"Sales", u"note.eml", {{prop::subject, Variant(u"b")}});
  EXPECT_EQ(out.url, u"http://exch01/Public/Sales/Note.EML");
  EXPECT_EQ(out.messageClass, u"IPM.Note");
  auto item = findItem(u"http://exch01/Public/Sales/Note.EML");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->properties.text(prop::subject), u"b");
  EXPECT_EQ(listItems(u"Sales").size(), 1u);

  save(u"Sales", u"B.EML", {});
  EXPECT_FALSE(deleteItem(u"Sales/Note.EML").aborted);
  EXPECT_FALSE(deleteItem(u"http://exch01/public folders/sales/b.eml").aborted);
  EXPECT_TRUE(listItems(u"Sales").empty());
  EXPECT_THROW(deleteItem(u"Sales/Note.EML"), ComError);
}

// A save reports the item as the store keeps it, exactly as a read of it
// afterwards gives it: in order and spelling, with what the database cannot
// hold (a lone surrogate, a NaN) as it comes back.
TEST_F(StoreApi, ASaveReportsTheItemAsAReadOfItGivesIt) {
  folder(u"Sales");
  const Text loneSurrogate = Text(u"a") + char16_t(0xD800) + u"b";
  struct Row {
    const char* what;
    Properties values;
    bool deliver;  // else a plain save of "Item.EML"
  };
  const Row rows[] = {
      {"new, every kind",
       {{prop::subject, Variant(loneSurrogate)}, {u"urn:x:ratio", Variant(std::nan(""))}, {u"urn:x:flag", Variant(true)},
        {u"urn:x:count", Variant(std::int64_t{7})}, {u"urn:x:none", Variant::null()}, {u"urn:x:mail", Variant(u"\U0001F4E7")}},
       false},
      {"changed in another spelling, one removed, one added",
       {{u"URN:X:COUNT", Variant(std::int64_t{8})}, {u"urn:x:flag", Variant()}, {u"urn:x:new", Variant(u"n")}},
       false},
      {"delivered where its name is taken", {{prop::subject, Variant(u"Item")}}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    const SaveOutcome out = row.deliver ? deliver(u"Sales", row.values) : save(u"Sales", u"Item.EML", row.values);
    const auto target = tree::resolve(out.url);
    ASSERT_TRUE(target.node);
    Properties read;
    for (const auto& [name, value] : tree::full(*target.node))
      if (!tree::isComputed(name)) read.set(name, value);
    EXPECT_EQ(out.properties.entries(), read.entries());
  }
}

TEST_F(StoreApi, TheEventLogKeepsItsNewestEntriesInOrder) {
  clearEvents();
  writeEvent(u"Lab", EventLevel::Information, u"first");
  writeEvent(u"Lab", EventLevel::Warning, u"second: Ünïcødé");
  auto log = listEvents();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].text, u"first");
  EXPECT_EQ(log[1].level, EventLevel::Warning);
  EXPECT_EQ(log[1].text, u"second: Ünïcødé");
  EXPECT_EQ(log[0].time.size(), 20u);
  EXPECT_EQ(log[0].time.back(), u'Z');
  // Like a real event log, it overwrites its oldest entries.
  {
    auto& db = db::Database::current();
    db::Transaction t(db);
    db.exec(fmt::format("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < {}) "
                        "INSERT INTO store_event_log(time, source, level, text) "
                        "SELECT '2026-01-01T00:00:00Z', 'Lab', 0, 'filler ' || i FROM n",
                        kEventLogSize));
    t.commit();
  }
  writeEvent(u"Lab", EventLevel::Error, u"newest");
  log = listEvents();
  ASSERT_EQ(log.size(), static_cast<std::size_t>(kEventLogSize));
  EXPECT_EQ(log.front().text, u"filler 2");
  EXPECT_EQ(log.back().text, u"newest");
}

// Reading the log of a server that has logged nothing writes nothing: on a
// full disk, making its table first would fail the read.
TEST_F(StoreApi, ReadingAnEventLogThatWasNeverWrittenWritesNothing) {
  db::Database::closeCurrent();
  auto& db = db::Database::current();
  ASSERT_FALSE(db.hasTable("store_event_log")) << "the server already has an event log";
  EXPECT_TRUE(listEvents().empty());
  EXPECT_FALSE(db.hasTable("store_event_log"));
  writeEvent(u"Lab", EventLevel::Information, u"first");
  EXPECT_EQ(listEvents().size(), 1u);
}

TEST(AccessNames, RoundTrip) {
  for (Access a : {Access::Full, Access::ReadOnly, Access::None}) EXPECT_EQ(parseAccess(accessName(a)), a);
  EXPECT_EQ(parseAccess(u"READ-ONLY"), Access::ReadOnly);
  EXPECT_FALSE(parseAccess(u"some").has_value());
}

// URLs are composed and split through the resolver below and the store's
// folder calls; only the outer slashes of a path are shown here.
TEST(FolderPath, OuterSlashesAreIgnored) {
  EXPECT_EQ(splitFolderPath(u"/Sales/Orders/"), (std::vector<Text>{u"Sales", u"Orders"}));
}

class Resolve : public StoreTest {};

struct ResolveRow {
  const char16_t* url;
  const char16_t* expected;  // canonical URL of the node found; null: nothing there
};

TEST_F(Resolve, FindsFoldersThroughEverySpellingOfTheTreeWhereNamesAreUniqueIgnoringCase) {
  folder(u"Sales");
  folder(u"Sales/Bob's \"Orders\"");
  folder(u"Ünïcødé");
  folder(u"Ünïcødé/Ελληνικά");
  folder(u"100% done");
  const ResolveRow rows[] = {
      {u"http://exch01/Public/Sales", u"http://exch01/Public/Sales"},
      {u"http://EXCH01/public/sales/", u"http://exch01/Public/Sales"},
      {u"http://exch01/public folders/SALES", u"http://exch01/Public/Sales"},
      {u"http://exch01/PUBLIC%20FOLDERS/Sales/", u"http://exch01/Public/Sales"},
      {u"http://exch01/Public/Sales/bob's \"orders\"", u"http://exch01/Public/Sales/Bob's \"Orders\""},
      {u"http://exch01/Public/ÜNÏCØDÉ", u"http://exch01/Public/Ünïcødé"},
      {u"http://exch01/Public/100% done", u"http://exch01/Public/100% done"},
      {u"http://exch01/Public/100%25 done", nullptr},  // no percent decoding
      {u"http://exch01/Public/Ünïcødé/Ελληνικά", u"http://exch01/Public/Ünïcødé/Ελληνικά"},
      {u"http://exch01/Public/Sales/Missing", nullptr},
      {u"http://exch01/Public/", u"http://exch01/Public"},
  };
  for (const auto& row : rows) {
    tree::Target t = tree::resolve(row.url);
    if (!row.expected) {
      EXPECT_FALSE(t.node.has_value()) << toUtf8(row.url);
      continue;
    }
    ASSERT_TRUE(t.node.has_value()) << toUtf8(row.url);
    EXPECT_EQ(tree::urlOf(*t.node), row.expected) << toUtf8(row.url);
  }
  // A missing item's folder is found, for the item to be made there.
  tree::Target t = tree::resolve(u"http://exch01/Public/Sales/New.EML");
  EXPECT_FALSE(t.node);
  ASSERT_TRUE(t.parent);
  EXPECT_EQ(t.parent->name, u"Sales");
  EXPECT_EQ(t.name, u"New.EML");
  EXPECT_FALSE(tree::resolve(u"http://exch01/Public/Nothing/New.EML").parent);
  // As they are found, names are unique per folder ignoring case; another folder may hold the same name.
  folder(u"Straße");
  EXPECT_THROW(folder(u"STRASSE"), ComError);
  folder(u"Sales/Straße");
  EXPECT_EQ(listFolders().size(), 7u + 3u);  // the refused one is not among them; three system folders are
}

TEST_F(Resolve, RefusesUrlsOfAnotherServerOrTreeAndMalformedOnes) {
  for (const char16_t* u : {u"http://exch02/Public/Sales", u"http://exch01/Exchange/Sales", u"Sales", u"",
                            u"http://exch01/Public/Sales//Orders", u"http://exch01/Public//", u"https://exch01/Public/Sales",
                            u"http://exch01", u"http:///Public", u"file://./backofficestorage/Public"}) {
    try {
      tree::resolve(u);
      ADD_FAILURE() << toUtf8(u);
    } catch (const ComError& e) {
      EXPECT_EQ(e.code(), E_NOT_THIS_SERVER) << toUtf8(u);
      EXPECT_NE(e.description().find(u"exch01"), Text::npos) << toUtf8(e.description());
    }
  }
}

} // namespace
} // namespace korvane::store
