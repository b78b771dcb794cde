#include "platform/store/record.h"

#include "store_fixture.h"

namespace korvane::store {
namespace {

using namespace testing;

class Record : public StoreTest {
protected:
  void SetUp() override {
    StoreTest::SetUp();
    folder(u"Sales", u"sales@corp.example.com");
    save(u"Sales", u"Order 1.EML", {{prop::messageClass, Variant(u"IPM.Note")}});
  }
};

struct OpenRow {
  const char16_t* what;
  const char16_t* url;
  std::int32_t mode;
  std::int32_t create;
  HRESULT expected;
  Access access = Access::Full;  // of the folder Sales
};

TEST_F(Record, OpenFollowsModesCreateOptionsAndAccessAndCreatesCollectionsAtOnce) {
  const OpenRow rows[] = {
      {u"existing folder, read", u"http://exch01/Public/Sales", 1, -1, S_OK},
      {u"folder with trailing slash", u"http://exch01/Public/Sales/", 1, -1, S_OK},
      {u"mode 0 reads", u"http://exch01/Public/Sales", 0, -1, S_OK},
      {u"existing item, read/write", u"http://exch01/Public/Sales/Order 1.EML", 3, -1, S_OK},
      {u"missing item, fail if missing", u"http://exch01/Public/Sales/None.EML", 3, -1, ado::adErrResourceNotFound},
      {u"missing folder on the way", u"http://exch01/Public/Nope/x.EML", 3, 0x4000000, ado::adErrResourceNotFound},
      {u"create and overwrite, new", u"http://exch01/Public/Sales/New.EML", 3, 0x4000000, S_OK},
      {u"create and overwrite, existing", u"http://exch01/Public/Sales/Order 1.EML", 3, 0x4000000, S_OK},
      {u"create new, existing", u"http://exch01/Public/Sales/order 1.eml", 3, 0, ado::adErrResourceExists},
      {u"create new or open existing", u"http://exch01/Public/Sales/Order 1.EML", 3, 0x2000000, S_OK},
      {u"create while reading", u"http://exch01/Public/Sales/New.EML", 1, 0x4000000, ado::adErrPermissionDenied},
      {u"overwrite a folder", u"http://exch01/Public/Sales", 3, 0x4000000, ado::adErrResourceExists},
      {u"the root", u"http://exch01/Public", 1, -1, S_OK},
      {u"another server", u"http://exch02/Public/Sales", 1, -1, E_NOT_THIS_SERVER},
      {u"create collection", u"http://exch01/Public/Sales/Sub", 3, 0x2000, S_OK},
      {u"create collection, existing", u"http://exch01/Public/Sales/sub", 3, 0x2000, ado::adErrResourceExists},
      {u"create collection or open existing", u"http://exch01/Public/Sales/sub", 3, 0x2000 | 0x2000000, S_OK},
      {u"folder, read/write", u"http://exch01/Public/Sales", 3, -1, S_OK},
      {u"read-only folder, read", u"http://exch01/Public/Sales", 1, -1, S_OK, Access::ReadOnly},
      {u"read-only item, read", u"http://exch01/Public/Sales/Order 1.EML", 1, -1, S_OK, Access::ReadOnly},
      {u"read-only folder, read/write", u"http://exch01/Public/Sales", 3, -1, E_ACCESSDENIED,
       Access::ReadOnly},
      {u"read-only item, read/write", u"http://exch01/Public/Sales/Order 1.EML", 3, -1, E_ACCESSDENIED,
       Access::ReadOnly},
      {u"closed folder", u"http://exch01/Public/Sales", 1, -1, E_ACCESSDENIED, Access::None},
      {u"closed item", u"http://exch01/Public/Sales/Order 1.EML", 1, -1, E_ACCESSDENIED, Access::None},
  };
  auto conn = openConnection(url(u"Sales"));
  for (const auto& row : rows) {
    setFolderAccess(u"Sales", row.access);
    auto r = newRecord();
    EXPECT_EQ(failure(openRecord(r.get(), row.url, conn.get(), row.mode, row.create)), row.expected)
        << toUtf8(row.what);
  }
  EXPECT_EQ(valueOf(fieldsOf(openedRecord(url(u"Sales/Sub"), 1, -1).get()).get(), u"DAV:isfolder"), Variant(true));
  setFolderAccess(u"Sales", Access::ReadOnly);
  auto r = newRecord();
  ASSERT_EQ(openRecord(r.get(), url(u"Sales/New.EML"), nullptr, 3, 0x4000000), E_ACCESSDENIED);
  EXPECT_NE(takeErrorInfo().find(u"http://exch01/Public/Sales"), Text::npos);
}

// A record shows the item as it is when its fields are first read, and an
// item deleted in between is reported as such, never shown half-empty.
TEST_F(Record, FieldsShowTheItemAsItIsWhenFirstRead) {
  auto r = openedRecord(url(u"Sales/Order 1.EML"), 1, -1);
  save(u"Sales", u"Order 1.EML", {{prop::messageClass, Variant(u"IPM.Note.Changed")}});
  EXPECT_EQ(valueOf(fieldsOf(r.get()).get(), prop::messageClass), Variant(u"IPM.Note.Changed"));

  auto gone = openedRecord(url(u"Sales/Order 1.EML"), 3, -1);
  deleteItem(u"Sales/Order 1.EML");
  auto f = fieldsOf(gone.get());
  std::int32_t count = 0;
  EXPECT_EQ(failure(f->get_Count(&count)), ado::adErrResourceNotFound);
  ComPtr<ado::IField> one;
  EXPECT_EQ(failure(f->get_Item(Variant(prop::messageClass), one.put())), ado::adErrResourceNotFound);
}

struct TypedRow {
  const char16_t* name;
  Variant value;
};

TEST_F(Record, TypedValuesSurviveTheRoundTrip) {
  const TypedRow rows[] = {
      {u"urn:test:text", Variant(u"Ünïcødé \"quoted\" 'single' 100%")},
      {u"urn:test:empty-text", Variant(u"")},
      {u"urn:test:true", Variant(true)},
      {u"urn:test:false", Variant(false)},
      {u"urn:test:int", Variant(std::int64_t{-9000000000})},
      {u"urn:test:zero", Variant(0)},
      {u"urn:test:double", Variant(2.5)},
      {u"urn:test:null", Variant::null()},
      {u"urn:test:priority", Variant(u"00100")},
  };
  Properties values;
  for (const auto& row : rows) values.set(row.name, row.value);
  check(writeRecord(url(u"Sales/Typed.EML"), openConnection(url(u"Sales")).get(), values));
  db::Database::closeCurrent();  // read back through a new connection to the server
  auto r = openedRecord(url(u"Sales/Typed.EML"), 1, -1);
  auto f = fieldsOf(r.get());
  for (const auto& row : rows) {
    Variant got = valueOf(f.get(), row.name);
    EXPECT_EQ(got.kind(), row.value.kind()) << toUtf8(row.name);
    EXPECT_EQ(got, row.value) << toUtf8(row.name);
  }
}

TEST_F(Record, FieldNamesIgnoreCaseKeepTheirFirstSpellingAndAnEmptyValueRemovesOne) {
  auto r = openedRecord(url(u"Sales/Order 1.EML"), 3, -1);
  auto f = fieldsOf(r.get());
  setValue(f.get(), u"HTTP://SCHEMAS.MICROSOFT.COM/EXCHANGE/OUTLOOKMESSAGECLASS", Variant(u"IPM.Post"));
  check(f->Update());
  auto item = findItem(u"Sales/Order 1.EML");
  ASSERT_TRUE(item);
  EXPECT_EQ(item->properties.text(prop::messageClass), u"IPM.Post");
  EXPECT_EQ(item->properties.entries().front().first, prop::messageClass);
  setValue(f.get(), prop::messageClass, Variant());
  check(f->Update());
  EXPECT_FALSE(findItem(u"Sales/Order 1.EML")->properties.contains(prop::messageClass));
  EXPECT_TRUE(valueOf(f.get(), prop::messageClass).isNull());
}

TEST_F(Record, ANewItemIsWrittenByUpdateOnlyAndOverwriteReplacesEveryProperty) {
  auto r = openedRecord(url(u"Sales/Draft.EML"), 3, 0x4000000, 0x8000);
  EXPECT_EQ(valueOf(fieldsOf(r.get()).get(), u"DAV:href"), Variant(url(u"Sales/Draft.EML")));
  EXPECT_FALSE(findItem(u"Sales/Draft.EML"));
  check(r->Close());
  EXPECT_FALSE(findItem(u"Sales/Draft.EML"));

  save(u"Sales", u"Order 1.EML", {{u"urn:test:old", Variant(1)}});
  check(writeRecord(url(u"Sales/Order 1.EML"), nullptr, {{u"urn:test:new", Variant(2)}}));
  auto item = findItem(u"Sales/Order 1.EML");
  ASSERT_TRUE(item);
  EXPECT_FALSE(item->properties.contains(u"urn:test:old"));
  EXPECT_FALSE(item->properties.contains(prop::messageClass));
  EXPECT_EQ(item->properties.get(u"urn:test:new"), Variant(2));
}

TEST_F(Record, RefusedChangesWriteNothing) {
  auto r = openedRecord(url(u"Sales/Order 1.EML"), 1, -1);
  auto f = fieldsOf(r.get());
  EXPECT_EQ(failure(field(f.get(), prop::messageClass)->put_Value(Variant(u"X"))), ado::adErrPermissionDenied);
  EXPECT_EQ(failure(f->Update()), ado::adErrPermissionDenied);
  EXPECT_EQ(failure(r->DeleteRecord(u"", false)), ado::adErrPermissionDenied);
  ComPtr<ado::IField> none;
  EXPECT_EQ(failure(f->get_Item(Variant(u"urn:test:unknown"), none.put())), ado::adErrItemNotFound);
  // Read/write: computed properties stay computed, and objects cannot be stored.
  auto w = openedRecord(url(u"Sales/Order 1.EML"), 3, -1);
  f = fieldsOf(w.get());
  EXPECT_EQ(failure(field(f.get(), u"DAV:href")->put_Value(Variant(u"http://elsewhere"))), ado::adErrPermissionDenied);
  EXPECT_EQ(failure(field(f.get(), u"urn:test:object")->put_Value(Variant(ComPtr<IUnknown>(w)))), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(findItem(u"Sales/Order 1.EML")->properties.text(prop::messageClass), u"IPM.Note");
}

TEST_F(Record, DeleteRecordRemovesTheItemTheNamedUrlOrAFolderWithItsSubtree) {
  save(u"Sales", u"Order 2.EML", {});
  auto r = openedRecord(url(u"Sales/Order 1.EML"), 3, -1);
  check(r->DeleteRecord(u"", false));
  EXPECT_FALSE(findItem(u"Sales/Order 1.EML"));
  EXPECT_EQ(failure(fieldsOf(r.get())->Update()), ado::adErrResourceNotFound);

  auto other = openedRecord(url(u"Sales/Order 2.EML"), 3, -1);
  check(other->DeleteRecord(url(u"Sales/Order 2.EML"), false));
  EXPECT_FALSE(findItem(u"Sales/Order 2.EML"));
  EXPECT_EQ(failure(other->DeleteRecord(url(u"Sales/Order 2.EML"), false)), ado::adErrResourceNotFound);

  folder(u"Sales/Archive");
  save(u"Sales/Archive", u"Old.EML", {});
  check(openedRecord(url(u"Sales"), 3, -1)->DeleteRecord(u"", false));
  EXPECT_FALSE(findFolder(u"Sales"));
  EXPECT_FALSE(findItem(u"Sales/Archive/Old.EML"));
}

TEST_F(Record, LateBindingOpensAndChangesItemsAndStateFollowsOpenAndClose) {
  auto r = newRecord();
  EXPECT_EQ(getProperty(r.get(), u"State"), Variant(0));
  const Variant args[] = {Variant(url(u"Sales/Order 1.EML")), Variant(), Variant(3), Variant(-1)};
  invoke(r.get(), u"Open", args);
  const Variant name[] = {Variant(prop::messageClass)};
  auto f = invoke(r.get(), u"Fields", name).objectValue().as<IDispatch>();
  putProperty(f.get(), u"Value", Variant(u"IPM.Late"));
  invoke(getProperty(r.get(), u"Fields").objectValue().as<IDispatch>().get(), u"Update");
  EXPECT_EQ(findItem(u"Sales/Order 1.EML")->properties.text(prop::messageClass), u"IPM.Late");
  EXPECT_EQ(getProperty(r.get(), u"State"), Variant(1));
  EXPECT_EQ(failure(openRecord(r.get(), url(u"Sales"), nullptr, 1, -1)), ado::adErrObjectOpen);
  check(r->Close());
  EXPECT_EQ(getProperty(r.get(), u"State"), Variant(0));
  EXPECT_EQ(failure(r->Close()), ado::adErrObjectClosed);
  ComPtr<ado::IFields> closed;
  EXPECT_EQ(failure(r->get_Fields(closed.put())), ado::adErrObjectClosed);
}

} // namespace
} // namespace korvane::store
