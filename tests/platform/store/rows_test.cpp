#include "platform/store/rows.h"

#include <gtest/gtest.h>

#include "printing.h"

namespace korvane::store {
namespace {

// What reading a field of the current row answered; the value goes to out.
HRESULT fieldFailure(ado::IRecordset* rs, const Variant& index, Variant* out = nullptr) {
  ComPtr<ado::IFields> fields;
  ComPtr<ado::IField> field;
  Variant v;
  HRESULT h = rs->get_Fields(fields.put());
  if (succeeded(h)) h = fields->get_Item(index, field.put());
  return succeeded(h) ? field->get_Value(out ? out : &v) : h;
}

Variant fieldValue(ado::IRecordset* rs, const Variant& index) {
  Variant v;
  check(fieldFailure(rs, index, &v));
  return v;
}

std::vector<Row> twoFolders() {
  return {
      {{u"DAV:displayname", Variant(u"Sales")}, {u"DAV:href", Variant(u"http://h/Public/Sales")}},
      {{u"DAV:displayname", Variant(u"Éclair")}, {u"DAV:href", Variant(u"http://h/Public/Éclair")}},
  };
}

TEST(RowTable, ColumnsAreTheUnionInOrderFoundIgnoringCaseAndMissingValuesAreNull) {
  RowTable t({{{u"a", Variant(1)}}, {{u"B", Variant(2)}, {u"A", Variant(3)}}});
  ASSERT_EQ(t.columns(), (std::vector<Text>{u"a", u"B"}));
  EXPECT_EQ(t.value(0, 0), Variant(1));
  EXPECT_TRUE(t.value(0, 1).isNull());
  EXPECT_EQ(t.value(1, 0), Variant(3));
  EXPECT_EQ(t.value(1, 1), Variant(2));
  RowTable folded({{{u"Größe", Variant(1)}, {u"ÉTAT", Variant(2)}}});
  EXPECT_EQ(folded.column(u"GRÖSSE"), 0u);
  EXPECT_EQ(folded.column(u"état"), 1u);
  EXPECT_FALSE(folded.column(u"etat").has_value());
  EXPECT_THROW(RowTable({u"a", u"b"}, {{Variant(1)}}), ComError);  // rows must match the columns
}

struct BadIndex {
  Variant index;
  HRESULT expected;
};

// Walking and reading rows is shown through the store's queries; unknown
// names and ordinals are reported, and past the last row there is nothing to read.
TEST(MemoryRecordset, UnknownFieldsAndReadsPastTheLastRowAreReported) {
  auto rs = makeRecordset(twoFolders());
  const BadIndex rows[] = {{Variant(2), ado::adErrItemNotFound},
                           {Variant(-1), ado::adErrItemNotFound},
                           {Variant(true), DISP_E_TYPEMISMATCH}};
  for (const auto& row : rows) EXPECT_EQ(fieldFailure(rs.get(), row.index), row.expected) << toUtf8(row.index.toText());
  ASSERT_EQ(fieldFailure(rs.get(), Variant(u"DAV:nothing")), ado::adErrItemNotFound);
  EXPECT_NE(takeErrorInfo().find(u"DAV:nothing"), Text::npos);
  EXPECT_EQ(fieldValue(rs.get(), Variant(1)), Variant(u"http://h/Public/Sales"));
  check(rs->MoveNext());
  EXPECT_EQ(fieldValue(rs.get(), Variant(u"DAV:DisplayName")), Variant(u"Éclair"));
  check(rs->MoveNext());
  bool eof = false;
  check(rs->get_EOF(&eof));
  EXPECT_TRUE(eof);
  EXPECT_EQ(rs->MoveNext(), ado::adErrNoCurrentRecord);
  EXPECT_EQ(fieldFailure(rs.get(), Variant(u"DAV:href")), ado::adErrNoCurrentRecord);
}

TEST(MemoryRecordset, RowsAreReadOnlyAndAClosedRecordsetRefusesEverything) {
  auto rs = makeRecordset(twoFolders());
  ComPtr<ado::IFields> before;
  check(rs->get_Fields(before.put()));
  ComPtr<ado::IField> f;
  check(before->get_Item(Variant(0), f.put()));
  EXPECT_EQ(f->put_Value(Variant(u"x")), ado::adErrPermissionDenied);
  EXPECT_EQ(before->Update(), ado::adErrPermissionDenied);
  EXPECT_EQ(fieldValue(rs.get(), Variant(0)), Variant(u"Sales"));
  check(rs->Close());
  std::int32_t state = 1, n = 0;
  bool eof = false;
  check(rs->get_State(&state));
  EXPECT_EQ(state, ado::adStateClosed);
  EXPECT_EQ(rs->get_EOF(&eof), ado::adErrObjectClosed);
  EXPECT_EQ(rs->get_RecordCount(&n), ado::adErrObjectClosed);
  EXPECT_EQ(rs->MoveNext(), ado::adErrObjectClosed);
  EXPECT_EQ(rs->Close(), ado::adErrObjectClosed);
  EXPECT_EQ(before->get_Count(&n), ado::adErrObjectClosed);
  EXPECT_EQ(rs->Open(Variant(), Variant(), -1, -1, -1), E_FAIL);
}

// That every open runs the query again is shown through the store's queries.
TEST(MemoryRecordset, AFailedOpenLeavesItClosedAndAnOpenOneRefusesAnother) {
  auto rs = makeRecordset(RowOpener([&](const Variant& source, const Variant&) {
    if (source.textValue() == u"bad") throw ComError(ado::adErrQuerySyntax, u"Syntax error in query at position 1: nothing.");
    return RowTable(std::vector<Row>{Row{{u"n", Variant(1)}}});
  }));
  std::int32_t state = 1;
  EXPECT_EQ(rs->Open(Variant(u"bad"), Variant(), -1, -1, -1), ado::adErrQuerySyntax);
  EXPECT_EQ(takeErrorInfo(), u"Syntax error in query at position 1: nothing.");
  check(rs->get_State(&state));
  EXPECT_EQ(state, ado::adStateClosed);
  check(rs->Open(Variant(u"select 1"), Variant(), -1, -1, -1));
  EXPECT_EQ(rs->Open(Variant(u"again"), Variant(), -1, -1, -1), ado::adErrObjectOpen);
}

TEST(MemoryRecordset, LateBindingReachesTheSameMembers) {
  auto rs = makeRecordset(twoFolders());
  EXPECT_EQ(getProperty(rs.get(), u"recordcount"), Variant(2));
  EXPECT_EQ(getProperty(rs.get(), u"EOF"), Variant(false));
  const Variant key[] = {Variant(u"DAV:HREF")};
  Variant field = invoke(rs.get(), u"Fields", key);
  auto f = field.objectValue().as<IDispatch>();
  ASSERT_TRUE(f);
  EXPECT_EQ(getProperty(f.get(), u"Value"), Variant(u"http://h/Public/Sales"));
  invoke(rs.get(), u"MoveNext");
  EXPECT_EQ(getProperty(f.get(), u"value"), Variant(u"http://h/Public/Éclair"));
  auto fields = getProperty(rs.get(), u"Fields").objectValue().as<IDispatch>();
  EXPECT_EQ(getProperty(fields.get(), u"Count"), Variant(2));
  EXPECT_THROW(getProperty(rs.get(), u"NoSuchThing"), ComError);
  invoke(rs.get(), u"Close");
  EXPECT_EQ(getProperty(rs.get(), u"State"), Variant(0));
}

} // namespace
} // namespace korvane::store
