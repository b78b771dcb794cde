#include "sink/korvane_cls.h"

#include <gtest/gtest.h>

#include "sink/class_factory.h"
#include "sink/save_processing.h"
#include "sink/fakes.h"

namespace korvane::sink {
namespace {

using namespace exoledb;
using testing::FakeConstructString;
using testing::FakeEventInfo;
using testing::FakeRecord;
using testing::Item;

const Text kUrl = u"http://exch01/Public/Sales/Order.EML";
const Text kDefaultCtor = u"IPM.Note\r*\r65223";

Item itemWithClass(const Text& messageClass) {
  Item item;
  item.values[kMessageClassField] = Variant(messageClass);
  return item;
}

ComPtr<KorvaneCls> constructedSink(std::optional<Text> ctor) {
  auto sink = makeCom<KorvaneCls>();
  EXPECT_EQ(sink->Construct(makeCom<FakeConstructString>(std::move(ctor)).get()), S_OK);
  return sink;
}

// Whatever the construction object, construction succeeds; one that gives
// no string leaves no pairs, also when an earlier call had set some.
TEST(ConstructObject, AnObjectWithoutAStringGivesNoPairsAndEachSinkKeepsItsOwn) {
  Item item;
  auto record = makeCom<FakeRecord>(item);
  auto unreadable = makeCom<FakeConstructString>(std::nullopt);
  auto other = constructedSink(kDefaultCtor);
  for (IDispatch* object : {static_cast<IDispatch*>(nullptr), static_cast<IDispatch*>(record.get()),
                            static_cast<IDispatch*>(unreadable.get())}) {
    auto sink = constructedSink(u"A\tB\rX\tY");
    ASSERT_EQ(sink->configuration().newClasses, (std::vector<Text>{u"A", u"B"}));
    EXPECT_EQ(sink->Construct(object), S_OK);
    EXPECT_EQ(sink->configuration().pairCount(), 0u);
  }
  EXPECT_EQ(other->configuration().newClasses, (std::vector<Text>{u"IPM.Note"}));
}

TEST(Register, AcceptsEveryRegistrationEvenWithoutEventInformation) {
  auto sink = makeCom<KorvaneCls>();
  Item item;
  auto info = makeCom<FakeEventInfo>(item);
  for (auto* given : {static_cast<IExStoreEventInfo*>(info.get()), static_cast<IExStoreEventInfo*>(nullptr)}) {
    std::int32_t result = 12345;
    EXPECT_EQ(sink->Register(given, kUrl, EVT_SYNC_BEGIN, &result), S_OK);
    EXPECT_EQ(result, 0);
  }
  EXPECT_EQ(sink->Register(nullptr, u"", 0, nullptr), S_OK);
  EXPECT_EQ(info->recordRequests, 0);
}

// Events that lead to no change without a folder being opened: each row says
// how often the phase takes the item record.
struct PhaseRow {
  const char* name;
  bool del;  // OnSyncDelete, else OnSyncSave
  std::int32_t flags;
  int recordRequests;
};

void PrintTo(const PhaseRow& row, std::ostream* os) { *os << row.name; }

class QuietPhases : public ::testing::TestWithParam<PhaseRow> {};

TEST_P(QuietPhases, ChangeNothingNeverVetoAndReportSuccess) {
  const PhaseRow& row = GetParam();
  auto sink = constructedSink(u"NULL\r*");  // would delete any delivered item in a save's begin phase
  Item item = itemWithClass(u"IPM.Post");
  auto info = makeCom<FakeEventInfo>(item);
  EXPECT_EQ(row.del ? sink->OnSyncDelete(info.get(), kUrl, row.flags) : sink->OnSyncSave(info.get(), kUrl, row.flags),
            S_OK);
  EXPECT_EQ(info->recordRequests, row.recordRequests);
  EXPECT_TRUE(item.writes.empty());
  EXPECT_EQ(item.updates, 0);
  EXPECT_FALSE(item.deleted);
  EXPECT_TRUE(info->aborts.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, QuietPhases,
    ::testing::Values(PhaseRow{"save_begin_not_delivered", false, EVT_SYNC_BEGIN, 1},
                      PhaseRow{"save_begin_new_item_not_delivered", false, EVT_SYNC_BEGIN | EVT_NEW_ITEM, 1},
                      PhaseRow{"save_commit_delivered", false, EVT_SYNC_COMMITTED | EVT_IS_DELIVERED, 1},
                      PhaseRow{"save_abort_delivered", false, EVT_SYNC_ABORTED | EVT_IS_DELIVERED, 1},
                      PhaseRow{"save_commit_and_abort", false, EVT_SYNC_COMMITTED | EVT_SYNC_ABORTED, 1},
                      PhaseRow{"save_no_phase", false, 0, 0},
                      PhaseRow{"save_other_bits_only", false,
                               ~(EVT_SYNC_BEGIN | EVT_SYNC_COMMITTED | EVT_SYNC_ABORTED), 0},
                      PhaseRow{"delete_begin", true, EVT_SYNC_BEGIN, 1},
                      PhaseRow{"delete_begin_delivered", true, EVT_SYNC_BEGIN | EVT_IS_DELIVERED, 1},
                      PhaseRow{"delete_commit", true, EVT_SYNC_COMMITTED, 1},
                      PhaseRow{"delete_abort", true, EVT_SYNC_ABORTED, 1},
                      PhaseRow{"delete_begin_and_commit", true, EVT_SYNC_BEGIN | EVT_SYNC_COMMITTED, 1},
                      PhaseRow{"delete_no_phase", true, EVT_IS_DELIVERED, 0}));

TEST(SaveFailures, MissingRecordOrEventInformationEndsQuietly) {
  auto sink = constructedSink(kDefaultCtor);
  for (std::int32_t flags : {EVT_SYNC_BEGIN | EVT_IS_DELIVERED, EVT_SYNC_COMMITTED, EVT_SYNC_ABORTED}) {
    Item item = itemWithClass(u"IPM.Post");
    auto info = makeCom<FakeEventInfo>(item);
    info->failRecord = E_FAIL;
    EXPECT_EQ(sink->OnSyncSave(info.get(), kUrl, flags), S_OK);
    EXPECT_EQ(sink->OnSyncDelete(info.get(), kUrl, flags), S_OK);
    EXPECT_TRUE(info->aborts.empty());
    EXPECT_TRUE(item.writes.empty());
    EXPECT_EQ(sink->OnSyncSave(nullptr, kUrl, flags), S_OK);
    EXPECT_EQ(sink->OnSyncDelete(nullptr, kUrl, flags), S_OK);
  }
}

TEST(ParentFolder, IsTheUrlUpToItsLastSlash) {
  EXPECT_EQ(parentFolderUrl(u"http://exch01/Public/Sales/Order.EML"), u"http://exch01/Public/Sales/");
  EXPECT_EQ(parentFolderUrl(u"http://exch01/Public/Sales/"), u"http://exch01/Public/Sales/");
  EXPECT_EQ(parentFolderUrl(u"no-slash"), u"no-slash");
  EXPECT_EQ(parentFolderUrl(u""), u"");
}

// ProcessBeginSave reached late-bound, by name, as a script would call it.
TEST(LateBound, ProcessBeginSaveByNameReportsTrue) {
  auto sink = constructedSink(kDefaultCtor);
  Item item = itemWithClass(u"IPM.Post");
  auto info = makeCom<FakeEventInfo>(item);
  ComPtr<IDispatch> dispatch = sink.as<IDispatch>();
  const Variant args[] = {Variant(ComPtr<IUnknown>(info->unknown())), Variant(kUrl), Variant(EVT_SYNC_BEGIN)};
  for (const char16_t* name : {u"ProcessBeginSave", u"processbeginsave", u"PROCESSBEGINSAVE"}) {
    Variant result;
    ASSERT_EQ(dispatch->Invoke(name, args, &result), S_OK) << toUtf8(name);
    EXPECT_EQ(result, Variant(true));
  }
  EXPECT_EQ(info->recordRequests, 3);

  const Variant nothing[] = {Variant(ComPtr<IUnknown>()), Variant(kUrl), Variant(0)};
  Variant result;
  EXPECT_EQ(dispatch->Invoke(u"ProcessBeginSave", nothing, &result), S_OK);
  EXPECT_EQ(result, Variant(true));

  EXPECT_EQ(sink->GetProperty(u"ConstructString", &result), DISP_E_UNKNOWNNAME);  // no properties
  EXPECT_EQ(sink->PutProperty(u"ConstructString", Variant(u"x")), DISP_E_UNKNOWNNAME);
  takeErrorInfo();
}

struct BadCallRow {
  const char* name;
  Text method;
  std::vector<Variant> args;
  HRESULT expected;
};

void PrintTo(const BadCallRow& row, std::ostream* os) { *os << row.name; }

class LateBoundErrors : public ::testing::TestWithParam<BadCallRow> {};

TEST_P(LateBoundErrors, FailWithADescription) {
  auto sink = constructedSink(kDefaultCtor);
  Variant result;
  HRESULT h = sink.as<IDispatch>()->Invoke(GetParam().method, GetParam().args, &result);
  EXPECT_EQ(h, GetParam().expected);
  EXPECT_FALSE(takeErrorInfo().empty());
  EXPECT_TRUE(result.isEmpty());
}

Variant someRecord() {
  static Item item;
  return Variant(ComPtr<IUnknown>(makeCom<FakeRecord>(item)->unknown()));
}

const Variant kNothing{ComPtr<IUnknown>()};

INSTANTIATE_TEST_SUITE_P(
    Rows, LateBoundErrors,
    ::testing::Values(
        BadCallRow{"unknown_method", u"ProcessCommitSave", {}, DISP_E_UNKNOWNNAME},
        BadCallRow{"too_few_arguments", u"ProcessBeginSave", {Variant(u"x")}, DISP_E_BADPARAMCOUNT},
        BadCallRow{"text_for_object", u"ProcessBeginSave", {Variant(u"x"), Variant(kUrl), Variant(0)},
                   DISP_E_TYPEMISMATCH},
        BadCallRow{"object_without_event_info", u"ProcessBeginSave", {someRecord(), Variant(kUrl), Variant(0)},
                   DISP_E_TYPEMISMATCH},
        BadCallRow{"null_url", u"ProcessBeginSave", {kNothing, Variant::null(), Variant(0)}, DISP_E_TYPEMISMATCH},
        BadCallRow{"flags_too_large", u"ProcessBeginSave", {kNothing, Variant(kUrl), Variant(std::int64_t{1} << 40)},
                   hr(0x8002000A)}));

TEST(ClassFactory, RefusesOtherClassesAggregationAndMissingPointers) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(getClassObject(&IID_KorvaneCls, &IClassFactory::iid, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_FALSE(takeErrorInfo().empty());
  EXPECT_EQ(getClassObject(&CLSID_KorvaneCls, &IClassFactory::iid, nullptr), E_POINTER);
  EXPECT_EQ(getClassObject(nullptr, &IClassFactory::iid, &out), E_INVALIDARG);

  ComPtr<IClassFactory> factory;
  ASSERT_EQ(getClassObject(&CLSID_KorvaneCls, &IClassFactory::iid, factory.putVoid()), S_OK);
  auto outer = makeCom<KorvaneCls>();
  EXPECT_EQ(factory->CreateInstance(outer->unknown(), IUnknown::iid, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IExStoreEventInfo::iid, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  ComPtr<IUnknown> none;
  EXPECT_EQ(factory->QueryInterface(IDispatch::iid, none.putVoid()), E_NOINTERFACE);
  takeErrorInfo();
}

} // namespace
} // namespace korvane::sink
