// The whole road of a delivered item: the real Korvane.dll installed into a
// COM+ application with a constructor string, registration items that bind
// it to a folder or to the whole store, and items delivered or saved
// through the store's event service.
#include <gtest/gtest.h>

#include <optional>

#include "platform/com/runtime.h"
#include "platform/complus/admin.h"
#include "platform/store/ado.h"
#include "platform/store/store.h"
#include "support/temp_server.h"

namespace korvane {
namespace {

namespace prop = store::prop;
using store::Properties;

const Text kDefaultCtor = u"IPM.Note\r*\r65223";
const Text kSinkProgId = u"Korvane.KorvaneCls";

void setField(ado::IFields* fields, TextView name, const Variant& value) {
  ComPtr<ado::IField> field;
  check(fields->get_Item(Variant(name), field.put()));
  check(field->put_Value(value));
}

// Writes a registration item the way the setup program does: in its own
// transaction, created or replaced, with the seven properties in order.
void createRegistration(const Text& folderUrl, const Text& scope, const Text& sinkClass = kSinkProgId,
                        const Text& eventMethod = u"onsyncsave") {
  auto connection = createInstance<ado::IConnection>(u"ADODB.Connection");
  check(connection->put_Provider(u"exoledb.datasource"));
  check(connection->Open(store::publicRootUrl(), u"", u"", -1));
  std::int32_t level = 0;
  check(connection->BeginTrans(&level));
  auto record = createInstance<ado::IRecord>(u"ADODB.Record");
  check(record->Open(Variant(folderUrl + u"/Korvane.reg"), Variant(ComPtr<IUnknown>(connection)),
                     ado::adModeReadWrite, ado::adCreateOverwrite, ado::adDelayFetchFields, u"", u""));
  ComPtr<ado::IFields> fields;
  check(record->get_Fields(fields.put()));
  setField(fields.get(), prop::contentClass, Variant(store::contentclass::registration));
  setField(fields.get(), prop::eventMethod, Variant(eventMethod));
  setField(fields.get(), prop::sinkClass, Variant(sinkClass));
  setField(fields.get(), prop::matchScope, Variant(scope));
  setField(fields.get(), prop::criteria, Variant(u" WHERE \"DAV:ishidden\" = FALSE"));
  setField(fields.get(), prop::priority, Variant(u"65223"));
  setField(fields.get(), prop::isHidden, Variant(true));
  check(fields->Update());
  check(record->Close());
  check(connection->CommitTrans());
}

Properties mail(const Text& subject, std::optional<Variant> messageClass) {
  Properties p{{prop::subject, Variant(subject)}};
  if (messageClass) p.set(prop::messageClass, *messageClass);
  return p;
}

// A temporary server with the folders "Sales" and "Support"; the sink is
// installed by each test with the constructor string it needs.
class Delivery : public ::testing::Test {
protected:
  Delivery() {
    store::createServer(dir_, store::ServerInfo{u"exch01", u"corp.example.com", u""});
    salesUrl_ = folder(u"Sales", u"");
    supportUrl_ = folder(u"Support", u"");
  }
  ~Delivery() override {
    shutdownRuntime();
    db::Database::closeCurrent();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  Text folder(const Text& path, const Text& description) {
    store::FolderSpec spec;
    spec.path = path;
    spec.mailAddress = path + u"@corp.example.com";
    spec.description = description;
    return store::createFolder(spec).url;
  }

  void install(const std::optional<Text>& ctor) {
    complus::Catalog().installApplication(u"Korvane", fromUtf8(KORVANE_SINK_PATH), u"", u"", ctor);
  }

  // Installs the sink and registers it on "Sales".
  void registerOnSales(const std::optional<Text>& ctor) {
    install(ctor);
    createRegistration(salesUrl_, u"SHALLOW");
  }

  void expectNoEvents() {
    for (const auto& e : store::listEvents()) ADD_FAILURE() << toUtf8(e.source) << ": " << toUtf8(e.text);
  }

  std::filesystem::path dir_ = korvane::testing::freshTestDirectory("korvane-sink-");
  Text salesUrl_;
  Text supportUrl_;
};

TEST_F(Delivery, DefaultPairRewritesDeliveredItemsOnly) {
  registerOnSales(kDefaultCtor);
  auto delivered = store::deliver(u"Sales", mail(u"Order", Variant(u"IPM.Post")));
  EXPECT_FALSE(delivered.aborted);
  EXPECT_EQ(delivered.messageClass, u"IPM.Note");
  EXPECT_EQ(store::findItem(delivered.url)->properties.text(prop::messageClass), u"IPM.Note");

  auto saved = store::save(u"Sales", u"Draft.EML", mail(u"Draft", Variant(u"IPM.Post")));
  EXPECT_FALSE(saved.aborted);
  EXPECT_EQ(saved.messageClass, u"IPM.Post");
  EXPECT_EQ(store::findItem(saved.url)->properties.text(prop::messageClass), u"IPM.Post");
  expectNoEvents();
}

TEST_F(Delivery, OnlyTheRegisteredFolderIsWatched) {
  registerOnSales(kDefaultCtor);
  EXPECT_EQ(store::deliver(u"Support", mail(u"Ticket", Variant(u"IPM.Post"))).messageClass, u"IPM.Post");
}

TEST_F(Delivery, EmptyOrMissingClassIsLeftAlone) {
  registerOnSales(kDefaultCtor);
  auto blank = store::deliver(u"Sales", mail(u"Blank", Variant(u"  ")));
  EXPECT_EQ(store::findItem(blank.url)->properties.text(prop::messageClass), u"  ");
  auto none = store::deliver(u"Sales", mail(u"None", std::nullopt));
  EXPECT_FALSE(none.aborted);
  EXPECT_FALSE(none.deleted);
  EXPECT_EQ(none.messageClass, u"");
}

TEST_F(Delivery, NullDeletesAndBlankNullIsWritten) {
  registerOnSales(u"NULL, NULL\rIPM.Fax, IPM.Junk");
  auto fax = store::deliver(u"Sales", mail(u"Fax", Variant(u"IPM.Fax")));
  EXPECT_TRUE(fax.deleted);
  EXPECT_FALSE(fax.aborted);
  EXPECT_FALSE(store::findItem(fax.url));
  auto junk = store::deliver(u"Sales", mail(u"Junk", Variant(u"ipm.junk")));
  EXPECT_FALSE(junk.deleted);
  EXPECT_EQ(junk.messageClass, u" NULL");
  EXPECT_EQ(store::deliver(u"Sales", mail(u"Other", Variant(u"IPM.Note"))).messageClass, u"IPM.Note");
}

TEST_F(Delivery, FolderDescriptionOverridesTheConfiguredPairs) {
  registerOnSales(kDefaultCtor);
  store::setFolderProperties(
      u"Sales", Properties{{prop::description,
                            Variant(u"Orders <ORIGMSGCL>IPM.Post</ORIGMSGCL><TargetMsgCl>IPM.Note.Order</TargetMsgCl>")}});
  EXPECT_EQ(store::deliver(u"Sales", mail(u"Order", Variant(u"IPM.Post"))).messageClass, u"IPM.Note.Order");
  // The folder's pair replaces every configured pair.
  EXPECT_EQ(store::deliver(u"Sales", mail(u"Other", Variant(u"IPM.Other"))).messageClass, u"IPM.Other");
  // A description with one tag only leaves the configured pairs in force.
  store::setFolderProperties(u"Sales", Properties{{prop::description, Variant(u"<origmsgcl>IPM.Post</origmsgcl>")}});
  EXPECT_EQ(store::deliver(u"Sales", mail(u"Again", Variant(u"IPM.Other"))).messageClass, u"IPM.Note");
}

TEST_F(Delivery, LongDescriptionWorksLikeAShortOne) {
  registerOnSales(kDefaultCtor);
  store::setFolderProperties(
      u"Sales", Properties{{prop::description, Variant(Text(100'000, u'.') +
                                                       u"<origmsgcl>IPM.Post</origmsgcl><targetmsgcl>IPM.Long</targetmsgcl>")}});
  EXPECT_EQ(store::deliver(u"Sales", mail(u"Order", Variant(u"IPM.Post"))).messageClass, u"IPM.Long");
}

TEST_F(Delivery, WithoutPairsNothingChangesEvenWithAFolderPair) {
  registerOnSales(u"IPM.Note");  // one line: no pairs
  store::setFolderProperties(
      u"Sales", Properties{{prop::description, Variant(u"<origmsgcl>*</origmsgcl><targetmsgcl>X</targetmsgcl>")}});
  EXPECT_EQ(store::deliver(u"Sales", mail(u"Order", Variant(u"IPM.Post"))).messageClass, u"IPM.Post");
}

TEST_F(Delivery, WithoutConstructionTheSinkHasNoPairs) {
  registerOnSales(std::nullopt);
  EXPECT_EQ(store::deliver(u"Sales", mail(u"Order", Variant(u"IPM.Post"))).messageClass, u"IPM.Post");
  expectNoEvents();
}

TEST_F(Delivery, SeveralPairsApplyTheFirstThatMatches) {
  registerOnSales(u"IPM.Note.Order\tIPM.Note.Any\rIPM.Post.Order*\tIPM.Post*\r65223");
  EXPECT_EQ(store::deliver(u"Sales", mail(u"A", Variant(u"IPM.Post.Order.Big"))).messageClass, u"IPM.Note.Order");
  EXPECT_EQ(store::deliver(u"Sales", mail(u"B", Variant(u"IPM.Post.Misc"))).messageClass, u"IPM.Note.Any");
  EXPECT_EQ(store::deliver(u"Sales", mail(u"C", Variant(u"IPM.Note"))).messageClass, u"IPM.Note");
}

TEST_F(Delivery, StoreWideRegistrationWatchesEveryFolder) {
  install(kDefaultCtor);
  createRegistration(store::globalEventsUrl(), u"ANY");
  EXPECT_EQ(store::deliver(u"Sales", mail(u"A", Variant(u"IPM.Post"))).messageClass, u"IPM.Note");
  EXPECT_EQ(store::deliver(u"Support", mail(u"B", Variant(u"IPM.Post"))).messageClass, u"IPM.Note");
  expectNoEvents();
}

TEST_F(Delivery, ChangesOfAnExistingItemAndDeletesPassUnvetoed) {
  install(kDefaultCtor);
  createRegistration(salesUrl_, u"SHALLOW", kSinkProgId, u"onsyncsave;onsyncdelete");
  auto item = store::save(u"Sales", u"Memo.EML", mail(u"Memo", Variant(u"IPM.Post")));
  // A later plain save (begin and commit phases) changes only what it says.
  auto again = store::save(u"Sales", u"Memo.EML", Properties{{prop::subject, Variant(u"Memo 2")}});
  EXPECT_FALSE(again.aborted);
  EXPECT_EQ(again.messageClass, u"IPM.Post");
  auto removed = store::deleteItem(item.url);
  EXPECT_FALSE(removed.aborted);
  EXPECT_FALSE(store::findItem(item.url));
  // A delivered item rewritten in the begin phase keeps its class after
  // the commit phase, and is deleted unvetoed too.
  auto delivered = store::deliver(u"Sales", mail(u"Order", Variant(u"IPM.Post")));
  EXPECT_EQ(store::findItem(delivered.url)->properties.text(prop::messageClass), u"IPM.Note");
  EXPECT_FALSE(store::deleteItem(delivered.url).aborted);
  EXPECT_FALSE(store::findItem(delivered.url));
  expectNoEvents();
}

TEST_F(Delivery, RegistrationIsAcceptedBySinkAndRefusedWithoutOne) {
  install(kDefaultCtor);
  EXPECT_NO_THROW(createRegistration(salesUrl_, u"SHALLOW"));
  EXPECT_EQ(store::registrations().size(), 1u);
  // The same item naming a class nobody serves is refused: acceptance above
  // came from the sink.
  EXPECT_THROW(createRegistration(supportUrl_, u"SHALLOW", u"Korvane.Missing"), ComError);
  EXPECT_EQ(store::registrations().size(), 1u);
}

} // namespace
} // namespace korvane
