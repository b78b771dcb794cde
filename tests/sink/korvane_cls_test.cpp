#include "sink/korvane_cls.h"

#include <gtest/gtest.h>

#include "sink/class_factory.h"
#include "sink/module.h"
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

TEST(KorvaneClsInterfaces, AnswersItsFourInterfacesWithOneIdentity) {
  auto sink = makeCom<KorvaneCls>();
  ComPtr<IUnknown> identity = ComPtr<IUnknown>(sink->unknown());
  const Guid iids[] = {IUnknown::iid,          IDispatch::iid,          IID_KorvaneCls,
                       ICreateRegistration::iid, complus::IObjectConstruct::iid, IExStoreSyncEvents::iid};
  for (const Guid& iid : iids) {
    ComPtr<IUnknown> p;
    ASSERT_EQ(sink->QueryInterface(iid, p.putVoid()), S_OK) << iid.toString();
    EXPECT_EQ(p.as<IUnknown>(), identity) << iid.toString();
  }
  ComPtr<IUnknown> none;
  EXPECT_EQ(sink->QueryInterface(IExStoreEventInfo::iid, none.putVoid()), E_NOINTERFACE);
  EXPECT_FALSE(none);
}

struct ConstructRow {
  const char* name;
  std::optional<Text> ctor;  // nothing: the string cannot be read
  std::size_t pairs;
};

void PrintTo(const ConstructRow& row, std::ostream* os) { *os << row.name; }

class Construct : public ::testing::TestWithParam<ConstructRow> {};

TEST_P(Construct, KeepsTheParsedPairsAndAlwaysSucceeds) {
  auto sink = constructedSink(GetParam().ctor);
  EXPECT_EQ(sink->configuration().pairCount(), GetParam().pairs);
}

INSTANTIATE_TEST_SUITE_P(Rows, Construct,
                         ::testing::Values(ConstructRow{"setup_default", kDefaultCtor, 1},
                                           ConstructRow{"two_pairs", u"A\tB\rX\tY\r1", 2},
                                           ConstructRow{"single_line", u"IPM.Note", 0},
                                           ConstructRow{"unreadable", std::nullopt, 0},
                                           ConstructRow{"empty", u"", 0}));

TEST(ConstructObject, WithoutConstructStringInterfaceGivesNoPairs) {
  auto sink = makeCom<KorvaneCls>();
  Item item;
  EXPECT_EQ(sink->Construct(nullptr), S_OK);
  EXPECT_EQ(sink->configuration().pairCount(), 0u);
  // An object that is not a constructor-string object.
  EXPECT_EQ(sink->Construct(makeCom<FakeRecord>(item).get()), S_OK);
  EXPECT_EQ(sink->configuration().pairCount(), 0u);
}

TEST(ConstructObject, EachObjectKeepsItsOwnCopyAndALaterCallReplacesIt) {
  auto first = constructedSink(u"A\tB\rX\tY");
  auto second = constructedSink(kDefaultCtor);
  EXPECT_EQ(first->configuration().newClasses, (std::vector<Text>{u"A", u"B"}));
  EXPECT_EQ(second->configuration().newClasses, (std::vector<Text>{u"IPM.Note"}));
  first->Construct(makeCom<FakeConstructString>(std::nullopt).get());
  EXPECT_EQ(first->configuration().pairCount(), 0u);
  EXPECT_EQ(second->configuration().pairCount(), 1u);
}

TEST(Register, AcceptsEveryRegistration) {
  auto sink = makeCom<KorvaneCls>();
  Item item;
  auto info = makeCom<FakeEventInfo>(item);
  const Text urls[] = {u"", kUrl, u"not a url"};
  const std::int32_t flags[] = {0, -1, EVT_SYNC_BEGIN, 0x7FFFFFFF};
  for (const Text& url : urls) {
    for (std::int32_t f : flags) {
      std::int32_t result = 12345;
      EXPECT_EQ(sink->Register(info.get(), url, f, &result), S_OK);
      EXPECT_EQ(result, 0);
    }
  }
  std::int32_t result = 7;
  EXPECT_EQ(sink->Register(nullptr, u"", 0, &result), S_OK);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(sink->Register(nullptr, u"", 0, nullptr), S_OK);
  EXPECT_EQ(info->recordRequests, 0);
}

// Flags that lead to no change without a folder being opened: each row says
// how often the phase takes the item record.
struct FlagsRow {
  const char* name;
  std::int32_t flags;
  int recordRequests;
};

void PrintTo(const FlagsRow& row, std::ostream* os) { *os << row.name; }

class SaveFlags : public ::testing::TestWithParam<FlagsRow> {};

TEST_P(SaveFlags, ChangeNothingAndReportSuccess) {
  auto sink = constructedSink(kDefaultCtor);
  Item item = itemWithClass(u"IPM.Post");
  auto info = makeCom<FakeEventInfo>(item);
  EXPECT_EQ(sink->OnSyncSave(info.get(), kUrl, GetParam().flags), S_OK);
  EXPECT_EQ(info->recordRequests, GetParam().recordRequests);
  EXPECT_TRUE(item.writes.empty());
  EXPECT_EQ(item.updates, 0);
  EXPECT_FALSE(item.deleted);
  EXPECT_TRUE(info->aborts.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SaveFlags,
    ::testing::Values(FlagsRow{"begin_not_delivered", EVT_SYNC_BEGIN, 1},
                      FlagsRow{"begin_new_item_not_delivered", EVT_SYNC_BEGIN | EVT_NEW_ITEM, 1},
                      FlagsRow{"commit_delivered", EVT_SYNC_COMMITTED | EVT_IS_DELIVERED, 1},
                      FlagsRow{"abort_delivered", EVT_SYNC_ABORTED | EVT_IS_DELIVERED, 1},
                      FlagsRow{"commit_and_abort", EVT_SYNC_COMMITTED | EVT_SYNC_ABORTED, 1},
                      FlagsRow{"no_phase", 0, 0},
                      FlagsRow{"no_phase_delivered", EVT_IS_DELIVERED | EVT_NEW_ITEM, 0},
                      FlagsRow{"other_bits_only", ~(EVT_SYNC_BEGIN | EVT_SYNC_COMMITTED | EVT_SYNC_ABORTED), 0}));

TEST(SaveWithoutPairs, DeliveredItemStaysAsItIs) {
  for (auto ctor : {std::optional<Text>(u"IPM.Note"), std::optional<Text>(u"\r*"), std::optional<Text>()}) {
    auto sink = constructedSink(ctor);
    Item item = itemWithClass(u"IPM.Post");
    auto info = makeCom<FakeEventInfo>(item);
    EXPECT_EQ(sink->OnSyncSave(info.get(), kUrl, EVT_SYNC_BEGIN | EVT_IS_DELIVERED), S_OK);
    EXPECT_EQ(info->recordRequests, 1);
    EXPECT_TRUE(item.writes.empty());
    EXPECT_TRUE(info->aborts.empty());
  }
}

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

class DeleteFlags : public ::testing::TestWithParam<FlagsRow> {};

TEST_P(DeleteFlags, NeverVetoAndChangeNothing) {
  auto sink = constructedSink(u"NULL\r*");
  Item item = itemWithClass(u"IPM.Post");
  auto info = makeCom<FakeEventInfo>(item);
  EXPECT_EQ(sink->OnSyncDelete(info.get(), kUrl, GetParam().flags), S_OK);
  EXPECT_EQ(info->recordRequests, GetParam().recordRequests);
  EXPECT_TRUE(info->aborts.empty());
  EXPECT_TRUE(item.writes.empty());
  EXPECT_FALSE(item.deleted);
}

INSTANTIATE_TEST_SUITE_P(Rows, DeleteFlags,
                         ::testing::Values(FlagsRow{"begin", EVT_SYNC_BEGIN, 1},
                                           FlagsRow{"begin_delivered", EVT_SYNC_BEGIN | EVT_IS_DELIVERED, 1},
                                           FlagsRow{"commit", EVT_SYNC_COMMITTED, 1},
                                           FlagsRow{"abort", EVT_SYNC_ABORTED, 1},
                                           FlagsRow{"begin_and_commit", EVT_SYNC_BEGIN | EVT_SYNC_COMMITTED, 1},
                                           FlagsRow{"no_phase", EVT_IS_DELIVERED, 0}));

TEST(PhaseProcedures, BeginDeleteReportsTrue) {
  Item item;
  auto info = makeCom<FakeEventInfo>(item);
  EXPECT_EQ(processBeginDelete(info.get(), kUrl, EVT_SYNC_BEGIN), kTrue);
  EXPECT_EQ(processBeginDelete(nullptr, kUrl, EVT_SYNC_BEGIN), kTrue);
  EXPECT_EQ(info->recordRequests, 1);
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

INSTANTIATE_TEST_SUITE_P(
    Rows, LateBoundErrors,
    ::testing::Values(
        BadCallRow{"unknown_method", u"ProcessCommitSave", {}, DISP_E_UNKNOWNNAME},
        BadCallRow{"too_few_arguments", u"ProcessBeginSave", {Variant(u"x")}, DISP_E_BADPARAMCOUNT},
        BadCallRow{"text_for_object", u"ProcessBeginSave", {Variant(u"x"), Variant(kUrl), Variant(0)},
                   DISP_E_TYPEMISMATCH},
        BadCallRow{"object_without_event_info", u"ProcessBeginSave", {someRecord(), Variant(kUrl), Variant(0)},
                   DISP_E_TYPEMISMATCH},
        BadCallRow{"null_url", u"ProcessBeginSave", {Variant(ComPtr<IUnknown>()), Variant::null(), Variant(0)},
                   DISP_E_TYPEMISMATCH},
        BadCallRow{"flags_too_large", u"ProcessBeginSave",
                   {Variant(ComPtr<IUnknown>()), Variant(kUrl), Variant(std::int64_t{1} << 40)}, hr(0x8002000A)}));

TEST(LateBound, HasNoProperties) {
  auto sink = makeCom<KorvaneCls>();
  Variant value;
  EXPECT_EQ(sink->GetProperty(u"ConstructString", &value), DISP_E_UNKNOWNNAME);
  EXPECT_EQ(sink->PutProperty(u"ConstructString", Variant(u"x")), DISP_E_UNKNOWNNAME);
  takeErrorInfo();
}

TEST(ClassFactory, CreatesObjectsAndCountsThemForUnloading) {
  ASSERT_TRUE(canUnload());
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(getClassObject(&CLSID_KorvaneCls, &IClassFactory::iid, factory.putVoid()), S_OK);
  EXPECT_FALSE(canUnload());  // a held factory keeps the library

  ComPtr<IExStoreSyncEvents> events;
  ASSERT_EQ(factory->CreateInstance(nullptr, IExStoreSyncEvents::iid, events.putVoid()), S_OK);
  EXPECT_EQ(liveObjects(), 1);
  factory.reset();
  EXPECT_FALSE(canUnload());
  events.reset();
  EXPECT_EQ(liveObjects(), 0);
  EXPECT_TRUE(canUnload());
}

TEST(ClassFactory, LockServerKeepsTheLibrary) {
  ComPtr<IClassFactory> factory;
  ASSERT_EQ(getClassObject(&CLSID_KorvaneCls, &IUnknown::iid, factory.putVoid()), S_OK);
  EXPECT_EQ(factory->LockServer(true), S_OK);
  factory.reset();
  EXPECT_FALSE(canUnload());
  ASSERT_EQ(getClassObject(&CLSID_KorvaneCls, &IClassFactory::iid, factory.putVoid()), S_OK);
  EXPECT_EQ(factory->LockServer(false), S_OK);
  factory.reset();
  EXPECT_TRUE(canUnload());
}

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
