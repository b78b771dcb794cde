#include "platform/store/events.h"

#include <algorithm>
#include <set>

#include "platform/db/fault.h"
#include "store_fixture.h"
#include "support/other_process.h"
#include "test_sink.h"

namespace korvane::store {
namespace {

using namespace testing;
using korvane::testing::OtherProcess;
using namespace exoledb;

constexpr char16_t kCriteria[] = u" WHERE \"DAV:ishidden\" = FALSE";

struct Registration {
  Text sink = kRecorder;
  Text scope = u"SHALLOW";
  Text priority = u"65223";
  Text criteria = kCriteria;
  Text method = u"onsyncsave";
  Text name = u"Korvane.reg";
};

class EventService : public StoreTest {
protected:
  void SetUp() override {
    StoreTest::SetUp();
    registerTestSinks();
    setVanishingAvailable(true);
    sinkCalls().clear();
    folder(u"Sales", u"sales@corp.example.com");
    folder(u"Sales/Orders");
    folder(u"Other");
  }

  // Writes a registration item as the registration procedures do: a
  // connection on the folder, a transaction, a record created with
  // overwrite, the seven properties, Fields.Update, Close, CommitTrans.
  static HRESULT registerIn(TextView folderUrl, const Registration& reg) {
    auto c = openConnection(folderUrl);
    check(c->BeginTrans(nullptr));
    HRESULT h = writeRecord(Text(folderUrl) + u"/" + reg.name, c.get(),
                            {{u"DAV:contentclass", Variant(u"urn:content-class:storeeventreg")},
                             {prop::eventMethod, Variant(reg.method)}, {prop::sinkClass, Variant(reg.sink)},
                             {prop::matchScope, Variant(reg.scope)}, {prop::criteria, Variant(reg.criteria)},
                             {prop::priority, Variant(reg.priority)}, {u"DAV:ishidden", Variant(true)}});
    if (succeeded(h)) check(c->CommitTrans());  // on failure, releasing the connection drops the transaction
    return h;
  }
  static void registerOk(TextView folderUrl, const Registration& reg) { check(registerIn(folderUrl, reg)); }

  static Properties mail(TextView messageClass, TextView subject = u"Hello") {
    return {{prop::messageClass, Variant(Text(messageClass))}, {prop::subject, Variant(Text(subject))}};
  }

  // The calls of one event; writing a registration item makes none but
  // "register", so tests need not forget those.
  static std::vector<SinkCall> calls(TextView event = u"save") {
    std::vector<SinkCall> out;
    for (const auto& c : sinkCalls())
      if (c.event == event) out.push_back(c);
    return out;
  }
  static std::vector<Text> sinksOf(const std::vector<SinkCall>& list, std::int32_t phase) {
    std::vector<Text> out;
    for (const auto& c : list)
      if (c.flags & phase) out.push_back(c.sink);
    return out;
  }
};

// --- which registrations apply ---------------------------------------------------

struct ScopeRow {
  const char16_t* scope;
  const char16_t* deliveredTo;
  bool fires;
};

TEST_F(EventService, MatchScopesDecideWhichSavesFireAndExactFiresForTheFolderItself) {
  const ScopeRow rows[] = {
      {u"SHALLOW", u"Sales", true},   {u"SHALLOW", u"Sales/Orders", false}, {u"SHALLOW", u"Other", false},
      {u"DEEP", u"Sales", true},      {u"DEEP", u"Sales/Orders", true},     {u"DEEP", u"Other", false},
      {u"shallow", u"Sales", true},   {u"EXACT", u"Sales", false},          {u"", u"Sales", false},
  };
  for (const auto& row : rows) {
    registerOk(url(u"Sales"), {.scope = row.scope});
    sinkCalls().clear();
    deliver(row.deliveredTo, mail(u"IPM.Note"));
    EXPECT_EQ(sinksOf(calls(), EVT_SYNC_BEGIN).size(), row.fires ? 1u : 0u)
        << toUtf8(row.scope) << " " << toUtf8(row.deliveredTo);
  }
  // EXACT fires for saves of the folder itself.
  registerOk(url(u"Sales"), {.scope = u"EXACT", .criteria = u""});
  sinkCalls().clear();
  setFolderProperties(u"Sales", {{prop::description, Variant(u"Orders of the sales team")}});
  auto folderSaves = calls();
  ASSERT_EQ(folderSaves.size(), 2u);
  EXPECT_EQ(folderSaves[0].url, url(u"Sales"));
  EXPECT_EQ(folderSaves[0].flags, EVT_SYNC_BEGIN | EVT_IS_COLLECTION);
}

// A process keeps what it read of the registrations between deliveries;
// what another process changes there applies to its very next delivery.
TEST_F(EventService, RegistrationsChangedByAnotherProcessApplyToTheNextDelivery) {
  struct Row {
    const char* what;
    std::function<void()> before, change;
    std::vector<Text> fired;
  };
  const Row rows[] = {
      {"registered", [] {}, [] { registerOk(url(u"Sales"), {}); }, {kRecorder}},
      {"removed", [] { registerOk(url(u"Sales"), {}); }, [] { deleteItem(url(u"Sales/Korvane.reg")); }, {}},
      {"replaced", [] { registerOk(url(u"Sales"), {}); },
       [] { registerOk(url(u"Sales"), {.sink = kSecondRecorder}); }, {kSecondRecorder}},
      {"another folder's, deep", [] { registerOk(url(u"Sales"), {}); },
       [] { registerOk(url(u"Sales/Orders"), {.sink = kSecondRecorder, .scope = u"DEEP", .name = u"deep.reg"}); },
       {kRecorder}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    if (findItem(url(u"Sales/Korvane.reg"))) deleteItem(url(u"Sales/Korvane.reg"));
    row.before();
    OtherProcess other(row.change);
    deliver(u"Sales", mail(u"IPM.Note"));  // reads the registrations
    other.run();
    sinkCalls().clear();
    deliver(u"Sales", mail(u"IPM.Note"));
    EXPECT_EQ(sinksOf(calls(), EVT_SYNC_BEGIN), row.fired);
  }
}

// What a transaction read of its own registration is forgotten with it,
// even when another process's change brings the store to the same count of
// changes.
TEST_F(EventService, ARegistrationRolledBackIsNotRunWhenAnotherProcessRegistersOne) {
  OtherProcess other([] { registerOk(url(u"Sales"), {.sink = kSecondRecorder}); });
  auto c = openConnection(url(u"Sales"));
  check(c->BeginTrans(nullptr));
  check(writeRecord(url(u"Sales/Korvane.reg"), c.get(),
                    {{u"DAV:contentclass", Variant(u"urn:content-class:storeeventreg")},
                     {prop::eventMethod, Variant(u"onsyncsave")}, {prop::sinkClass, Variant(kRecorder)},
                     {prop::matchScope, Variant(u"SHALLOW")}}));
  deliver(u"Sales", mail(u"IPM.Note"));
  check(c->RollbackTrans());
  other.run();
  sinkCalls().clear();
  deliver(u"Sales", mail(u"IPM.Note"));
  EXPECT_EQ(sinksOf(calls(), EVT_SYNC_BEGIN), std::vector<Text>{kSecondRecorder});
}

TEST_F(EventService, AnyIsAcceptedInGlobalEventsOnlyAndFiresForSavesAnywhere) {
  ASSERT_EQ(registerIn(url(u"Sales"), {.scope = u"ANY"}), E_REGISTRATION_REFUSED);
  EXPECT_NE(takeErrorInfo().find(u"GlobalEvents"), Text::npos);
  EXPECT_FALSE(findItem(u"Sales/Korvane.reg"));
  registerOk(globalEventsUrl(), {.scope = u"ANY"});
  for (const char16_t* path : {u"Sales", u"Sales/Orders", u"Other", u""}) {
    sinkCalls().clear();
    auto out = deliver(path, mail(u"IPM.Note"));
    auto begins = calls();
    ASSERT_EQ(sinksOf(begins, EVT_SYNC_BEGIN).size(), 1u) << toUtf8(path);
    EXPECT_EQ(begins[0].url, out.url);
  }
}

TEST_F(EventService, CriteriaAreEvaluatedOnTheSavedItemAndDisabledRegistrationsAndOtherMethodsDoNotFire) {
  registerOk(url(u"Sales"), {.criteria = u" WHERE \"DAV:ishidden\" = FALSE AND "
                                         u"\"http://schemas.microsoft.com/exchange/outlookmessageclass\" LIKE 'IPM.Note%'"});
  registerOk(url(u"Sales"), {.method = u"onsyncdelete", .name = u"deletes.reg"});
  registerOk(url(u"Sales"), {.name = u"off.reg"});
  save(u"Sales", u"off.reg", {{prop::enabled, Variant(false)}});
  deliver(u"Sales", mail(u"IPM.Note.Order"));
  deliver(u"Sales", mail(u"IPM.Appointment"));
  Properties hidden = mail(u"IPM.Note");
  hidden.set(prop::isHidden, true);
  deliver(u"Sales", hidden);
  auto begins = calls();
  ASSERT_EQ(sinksOf(begins, EVT_SYNC_BEGIN).size(), 1u);
  EXPECT_EQ(begins[0].messageClass, u"IPM.Note.Order");
}

TEST_F(EventService, RegistrationsRunInPriorityOrderThenByUrl) {
  registerOk(url(u"Sales"), {.sink = kSecondRecorder, .priority = u" 200 ", .name = u"a.reg"});
  registerOk(url(u"Sales"), {.sink = kRecorder, .priority = u"5", .name = u"b.reg"});
  registerOk(url(u"Sales"), {.sink = kDeleter, .priority = u"", .name = u"c.reg"});
  // Same priority as a.reg, earlier URL.
  registerOk(url(u"Sales"), {.sink = kRewriter, .priority = u"200", .name = u"0.reg"});
  // A priority that is no number counts as missing; this URL sorts before c.reg's.
  registerOk(globalEventsUrl(), {.sink = kThirdRecorder, .scope = u"ANY", .priority = u"not a number"});
  deliver(u"Sales", mail(u"IPM.Note"));
  EXPECT_EQ(sinksOf(calls(), EVT_SYNC_BEGIN),
            (std::vector<Text>{kRecorder, kRewriter, kSecondRecorder, kThirdRecorder, kDeleter}));
}

// --- the phases --------------------------------------------------------------------

TEST_F(EventService, DeliveriesCarryTheDeliveredFlagAndTheCommitPhaseGoesToTheSameSinkObjects) {
  registerOk(url(u"Sales"), {});
  registerOk(url(u"Sales"), {.sink = kSecondRecorder, .name = u"second.reg"});
  auto delivered = deliver(u"Sales", mail(u"IPM.Note"));
  save(u"Sales", u"Plain.EML", mail(u"IPM.Note"));
  save(u"Sales", u"Plain.EML", {{prop::subject, Variant(u"changed")}});
  auto list = calls();
  ASSERT_EQ(list.size(), 12u);
  EXPECT_EQ(list[0].flags, EVT_SYNC_BEGIN | EVT_IS_DELIVERED | EVT_NEW_ITEM);
  EXPECT_EQ(list[1].flags, list[0].flags);
  EXPECT_EQ(list[2].flags, EVT_SYNC_COMMITTED | EVT_IS_DELIVERED | EVT_NEW_ITEM);
  EXPECT_EQ(list[0].url, delivered.url);
  EXPECT_EQ(list[2].object, list[0].object);
  EXPECT_EQ(list[3].object, list[1].object);
  EXPECT_EQ(list[2].messageClass, u"IPM.Note");  // the record is readable after the commit
  EXPECT_EQ(list[4].flags, EVT_SYNC_BEGIN | EVT_NEW_ITEM);
  EXPECT_EQ(list[8].flags, EVT_SYNC_BEGIN);
  EXPECT_EQ(list[8].url, url(u"Sales/Plain.EML"));
}

TEST_F(EventService, ABeginPhaseChangeIsSavedWithTheItemAndADryRunShowsItAndKeepsNothing) {
  registerOk(url(u"Sales"), {.sink = kRewriter, .priority = u"1"});
  registerOk(url(u"Sales"), {.priority = u"2", .name = u"later.reg"});
  auto dry = deliver(u"Sales", mail(u"IPM.Note"), true);
  EXPECT_EQ(dry.messageClass, u"IPM.Rewritten");
  EXPECT_FALSE(dry.aborted);
  EXPECT_FALSE(findItem(dry.url));
  EXPECT_EQ(sinksOf(calls(), EVT_SYNC_ABORTED), (std::vector<Text>{kRewriter, kRecorder}));
  sinkCalls().clear();
  auto out = deliver(u"Sales", mail(u"IPM.Note"));
  EXPECT_EQ(out.messageClass, u"IPM.Rewritten");
  EXPECT_EQ(findItem(out.url)->properties.text(prop::messageClass), u"IPM.Rewritten");
  auto list = calls();
  ASSERT_GE(list.size(), 2u);
  EXPECT_EQ(list[0].messageClass, u"IPM.Note");
  EXPECT_EQ(list[1].sink, kRecorder);
  EXPECT_EQ(list[1].messageClass, u"IPM.Rewritten");
}

TEST_F(EventService, ADeleteInTheBeginPhaseRemovesTheItemAndStopsLaterSinks) {
  registerOk(url(u"Sales"), {.sink = kDeleter, .priority = u"1"});
  registerOk(url(u"Sales"), {.priority = u"2", .name = u"later.reg"});
  auto out = deliver(u"Sales", mail(u"IPM.Note"));
  EXPECT_TRUE(out.deleted);
  EXPECT_FALSE(out.aborted);
  EXPECT_FALSE(findItem(out.url));
  auto list = calls();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(sinksOf(list, EVT_SYNC_BEGIN), std::vector<Text>{kDeleter});
  EXPECT_EQ(sinksOf(list, EVT_SYNC_COMMITTED), std::vector<Text>{kDeleter});
  EXPECT_EQ(list[1].messageClass, u"<no record>");
}

// Another program deletes the item between its commit and the commit phase:
// the record the sink takes then must not read as if the item were there.
TEST_F(EventService, AnItemDeletedBeforeItsCommitPhaseReadsAsGone) {
  registerOk(url(u"Sales"), {});
  struct Hook {
    Hook() {
      db::setFaultHook([](const char* point) {
        if (std::string_view(point) != "store.after-save-before-commit-phase") return;
        for (const auto& item : listItems(u"Sales"))
          if (item.name != u"Korvane.reg") deleteItem(item.url);
      });
    }
    ~Hook() { db::setFaultHook(nullptr); }
  };
  auto out = [] {
    Hook deletesTheItem;
    return deliver(u"Sales", mail(u"IPM.Note"));
  }();
  EXPECT_FALSE(findItem(out.url));
  auto list = calls();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].messageClass, u"IPM.Note");
  EXPECT_EQ(list[1].flags & EVT_SYNC_COMMITTED, EVT_SYNC_COMMITTED);
  const Text& seen = list[1].messageClass;
  EXPECT_TRUE(seen == u"<no record>" || seen == u"<no field>") << "the commit phase read " << toUtf8(seen);
}

TEST_F(EventService, AbortChangeRollsTheSaveBackAndTellsTheCaller) {
  registerOk(url(u"Sales"), {.sink = kAborter});
  auto out = deliver(u"Sales", mail(u"IPM.Note"));
  EXPECT_TRUE(out.aborted);
  EXPECT_EQ(out.abortedBy, kAborter);
  EXPECT_TRUE(listItems(u"Sales").size() == 1u);  // only the registration item
  auto list = calls();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_TRUE(list[1].flags & EVT_SYNC_ABORTED);

  // Through a record the caller gets the failure, and the item is not written.
  auto r = openedRecord(url(u"Sales/New.EML"), 3, 0x4000000);
  auto f = fieldsOf(r.get());
  setValue(f.get(), prop::messageClass, Variant(u"IPM.Note"));
  ASSERT_EQ(f->Update(), E_STORE_ABORTED);
  EXPECT_NE(takeErrorInfo().find(kAborter), Text::npos);
  EXPECT_FALSE(findItem(u"Sales/New.EML"));
}

TEST_F(EventService, ASaveWhoseItemKeepsChangingWhileItsSinksRunWritesNothingAndSaysSo) {
  registerOk(url(u"Sales"), {.sink = kMeddler});
  save(u"Sales", u"Note.EML", mail(u"IPM.Note", u"Before"));  // not written yet: nothing to meddle with
  sinkCalls().clear();
  try {
    save(u"Sales", u"Note.EML", mail(u"IPM.Note", u"After"));
    ADD_FAILURE() << "the save went through";
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), E_STORE_CHANGED);
    EXPECT_NE(e.description().find(u"try again"), Text::npos) << toUtf8(e.description());
  }
  auto item = findItem(u"Sales/Note.EML");
  EXPECT_EQ(item->properties.text(prop::subject), u"Before");
  // Each attempt's begin phase ended with the abort phase; the sink's own
  // saves are its own and stay.
  EXPECT_EQ(item->properties.get(u"urn:test:meddled"), Variant(std::int64_t{5}));
  auto list = calls();
  EXPECT_EQ(std::count_if(list.begin(), list.end(), [](const SinkCall& c) { return c.flags & EVT_SYNC_ABORTED; }), 5);
}

// --- sinks that cannot be created -----------------------------------------------

TEST_F(EventService, ASinkThatCannotBeCreatedIsLoggedAndTheSaveGoesOnEvenIfAborted) {
  registerOk(url(u"Sales"), {.sink = kVanishing, .priority = u"1"});
  registerOk(url(u"Sales"), {.sink = kRewriter, .priority = u"2", .name = u"rewrite.reg"});
  setVanishingAvailable(false);
  clearEvents();
  auto out = deliver(u"Sales", mail(u"IPM.Note"));
  EXPECT_EQ(out.messageClass, u"IPM.Rewritten");
  EXPECT_TRUE(findItem(out.url));
  auto log = listEvents();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].level, EventLevel::Error);
  EXPECT_NE(log[0].text.find(kVanishing), Text::npos) << toUtf8(log[0].text);
  EXPECT_NE(log[0].text.find(url(u"Sales/Korvane.reg")), Text::npos) << toUtf8(log[0].text);
  EXPECT_NE(log[0].text.find(u"vanishing.dll"), Text::npos) << toUtf8(log[0].text);

  // The entry outlives a save that a later sink aborts.
  registerOk(url(u"Sales"), {.sink = kAborter, .name = u"abort.reg"});
  clearEvents();
  EXPECT_TRUE(deliver(u"Sales", mail(u"IPM.Note")).aborted);
  EXPECT_EQ(listEvents().size(), 1u);
}

// A delivery's name is settled when it is written: the log names the item
// written, not the one another save took meanwhile.
TEST_F(EventService, ItsLogNamesADeliveryByTheNameItWasWrittenUnder) {
  registerOk(url(u"Sales"), {.sink = kVanishing, .priority = u"1"});
  registerOk(url(u"Sales"), {.sink = kNameTaker, .priority = u"2", .name = u"take.reg"});
  setVanishingAvailable(false);
  clearEvents();
  sinkCalls().clear();
  auto out = deliver(u"Sales", mail(u"IPM.Note"));
  ASSERT_FALSE(calls().empty());
  const Text planned = calls().front().url;
  ASSERT_NE(out.url, planned);
  std::multiset<Text> named;  // the taker's own save is logged too
  for (const auto& e : listEvents()) named.insert(e.text.substr(e.text.find(u"The change of ") + 14));
  EXPECT_EQ(named, (std::multiset<Text>{planned + u" went on without it.", out.url + u" went on without it."}));
}

// --- registration items -----------------------------------------------------------

struct RefusalRow {
  const char16_t* sink;
  const char16_t* criteria;
  const char16_t* mentioned;
};

TEST_F(EventService, ARegistrationAsksItsSinkAndARefusedOneIsNotWritten) {
  const RefusalRow rows[] = {
      {kRefuser, kCriteria, kRefuser},
      {kUnregistered, kCriteria, kUnregistered},
      {u"", kCriteria, u"sink class"},
      {kRecorder, u" WHERE \"DAV:ishidden\" = ", u"criteria"},
  };
  for (const auto& row : rows) {
    ASSERT_EQ(registerIn(url(u"Sales"), {.sink = row.sink, .criteria = row.criteria}), E_REGISTRATION_REFUSED)
        << toUtf8(row.sink);
    Text why = takeErrorInfo();
    EXPECT_NE(why.find(row.mentioned), Text::npos) << toUtf8(why);
    EXPECT_NE(why.find(url(u"Sales/Korvane.reg")), Text::npos) << toUtf8(why);
    EXPECT_FALSE(findItem(u"Sales/Korvane.reg")) << toUtf8(row.sink);
  }
  // A creatable class without Register is taken as it is, and listed with its properties.
  sinkCalls().clear();
  registerOk(url(u"Sales"), {.sink = u"ADODB.Connection"});
  EXPECT_TRUE(sinkCalls().empty());
  auto all = registrations();
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].url, url(u"Sales/Korvane.reg"));
  EXPECT_EQ(all[0].properties.text(prop::sinkClass), u"ADODB.Connection");
  registerOk(url(u"Sales"), {});
  auto reg = calls(u"register");
  ASSERT_EQ(reg.size(), 1u);
  EXPECT_EQ(reg[0].url, url(u"Sales/Korvane.reg"));
  EXPECT_TRUE(reg[0].flags & EVT_NEW_ITEM);
  EXPECT_TRUE(calls().empty());  // saving a registration item fires no save events
  EXPECT_TRUE(findItem(u"Sales/Korvane.reg"));
}

// --- deletes ------------------------------------------------------------------------

TEST_F(EventService, DeletesFireBeginBeforeAndCommitAfter) {
  registerOk(url(u"Sales"), {.method = u"onsyncsave;OnSyncDelete"});
  auto out = deliver(u"Sales", mail(u"IPM.Note"));
  EXPECT_FALSE(deleteItem(out.url).aborted);
  auto list = calls(u"delete");
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(list[0].flags, EVT_SYNC_BEGIN);
  EXPECT_EQ(list[0].messageClass, u"IPM.Note");  // the item is still there in the begin phase
  EXPECT_EQ(list[1].flags, EVT_SYNC_COMMITTED);
  EXPECT_EQ(list[1].object, list[0].object);
  EXPECT_FALSE(findItem(out.url));
}

TEST_F(EventService, AnAbortedDeleteKeepsTheItemAndDeletingARegistrationItemFiresNothing) {
  registerOk(url(u"Sales"), {.sink = kAborter, .method = u"onsyncdelete"});
  registerOk(url(u"Sales"), {.sink = kAborter, .method = u"onsyncdelete", .name = u"other.reg"});
  auto out = deliver(u"Sales", mail(u"IPM.Note"));
  auto r = openedRecord(out.url, 3, -1);
  EXPECT_EQ(failure(r->DeleteRecord(u"", false)), E_STORE_ABORTED);
  EXPECT_TRUE(findItem(out.url));
  EXPECT_TRUE(deleteItem(out.url).aborted);
  sinkCalls().clear();
  check(openedRecord(url(u"Sales/Korvane.reg"), 3, -1)->DeleteRecord(url(u"Sales/Korvane.reg"), false));
  EXPECT_TRUE(sinkCalls().empty());
  EXPECT_EQ(registrations().size(), 1u);
}

} // namespace
} // namespace korvane::store
