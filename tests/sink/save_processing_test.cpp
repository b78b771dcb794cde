// The begin phase of a save on KorvaneCls with a fake event information
// object and item record, while the folder and its description come from
// the real store of a temporary server through "CDO.Folder".
#include <gtest/gtest.h>

#include <optional>

#include "platform/store/store.h"
#include "sink/fakes.h"
#include "sink/korvane_cls.h"
#include "sink/save_processing.h"
#include "support/temp_server.h"

namespace korvane::sink {
namespace {

using namespace exoledb;
using testing::FakeConstructString;
using testing::FakeEventInfo;
using testing::Item;

constexpr std::int32_t kDelivered = EVT_SYNC_BEGIN | EVT_IS_DELIVERED;

// A temporary server with one folder "Sales" whose description a test sets.
class StoreFixture : public ::testing::Test {
protected:
  StoreFixture() {
    store::createServer(server_.serverPath(), store::ServerInfo{u"exch01", u"corp.example.com", u""});
    store::FolderSpec sales;
    sales.path = u"Sales";
    folderUrl_ = store::createFolder(sales).url;
  }

  Text itemUrl() const { return folderUrl_ + u"/Order.EML"; }

  // Runs the begin phase through OnSyncSave on a freshly constructed sink.
  Item save(const Text& ctor, std::optional<Variant> messageClass, std::int32_t flags = kDelivered,
            const Text& url = Text()) {
    auto sink = makeCom<KorvaneCls>();
    sink->Construct(makeCom<FakeConstructString>(ctor).get());
    Item item;
    if (messageClass) item.values[kMessageClassField] = *messageClass;
    auto info = makeCom<FakeEventInfo>(item);
    EXPECT_EQ(sink->OnSyncSave(info.get(), url.empty() ? itemUrl() : url, flags), S_OK);
    EXPECT_TRUE(info->aborts.empty());
    EXPECT_EQ(info->recordRequests, 1);
    return item;
  }

  korvane::testing::TempServer server_{false};
  Text folderUrl_;
};

struct SaveRow {
  const char* name;
  Text ctor;
  Text description;
  Text messageClass;
  std::int32_t flags;
  std::optional<Text> written;  // nothing: the class stays, no write
  bool deleted = false;
};

void PrintTo(const SaveRow& row, std::ostream* os) { *os << row.name; }

class BeginSave : public StoreFixture, public ::testing::WithParamInterface<SaveRow> {};

TEST_P(BeginSave, RewritesOrDeletesAsThePairsSay) {
  const SaveRow& row = GetParam();
  store::setFolderProperties(u"Sales", store::Properties{{store::prop::description, Variant(row.description)}});
  Item item = save(row.ctor, Variant(row.messageClass), row.flags);
  EXPECT_EQ(item.writes, row.written ? std::vector<Text>{*row.written} : std::vector<Text>{});
  EXPECT_EQ(item.updates, row.written ? 1 : 0);
  EXPECT_EQ(item.deleted, row.deleted);
  if (row.deleted) {
    EXPECT_EQ(item.deleteSource, u"");
    EXPECT_FALSE(item.deleteAsync);
  }
}

const Text kDefault = u"IPM.Note\r*\r65223";

INSTANTIATE_TEST_SUITE_P(
    Rows, BeginSave,
    ::testing::Values(
        SaveRow{"begin_and_commit_is_begin", kDefault, u"", u"IPM.Post", kDelivered | EVT_SYNC_COMMITTED,
                u"IPM.Note"},
        SaveRow{"class_is_trimmed", u"IPM.Note.X\rIPM.Note", u"", u" IPM.Note ", kDelivered, u"IPM.Note.X"},
        SaveRow{"second_pair_applies", u"A\tB\rIPM.X\tIPM.*", u"", u"IPM.Post", kDelivered, u"B"},
        SaveRow{"surplus_entries_unused", u"A\tB\rIPM.X", u"", u"IPM.Post", kDelivered, std::nullopt},
        SaveRow{"first_matching_pair_applies", u"IPM.Note.Order\tIPM.Note.Any\rIPM.Post.Order*\tIPM.Post*",
                u"", u"IPM.Post.Order.Big", kDelivered, u"IPM.Note.Order"},
        SaveRow{"blank_class_left_alone", kDefault, u"", u"  ", kDelivered, std::nullopt},
        SaveRow{"blank_null_is_written", u"NULL, NULL\rIPM.Fax, IPM.Post", u"", u"IPM.Post", kDelivered,
                u" NULL"},
        SaveRow{"no_pairs_ignore_the_folder_pair", u"IPM.Note",
                u"<origmsgcl>*</origmsgcl><targetmsgcl>X</targetmsgcl>", u"IPM.Post", kDelivered, std::nullopt},
        SaveRow{"folder_pair_can_delete", kDefault,
                u"Sales <origmsgcl>IPM.Post*</origmsgcl> <targetmsgcl>Null</targetmsgcl>", u"IPM.Post.Fax",
                kDelivered, std::nullopt, true},
        SaveRow{"closing_tag_first_keeps_configured_pair", kDefault,
                u"</origmsgcl><origmsgcl>IPM.Post</origmsgcl><targetmsgcl>X</targetmsgcl>", u"IPM.Post",
                kDelivered, u"IPM.Note"}));

TEST_F(StoreFixture, MissingOrNullMessageClassChangesNothing) {
  Item missing = save(kDefault, std::nullopt);
  EXPECT_TRUE(missing.writes.empty());
  Item null = save(kDefault, Variant::null());
  EXPECT_TRUE(null.writes.empty());
}

TEST_F(StoreFixture, FolderThatCannotBeOpenedEndsTheProcessing) {
  Item item = save(kDefault, Variant(u"IPM.Post"), kDelivered, folderUrl_ + u"/Missing/Order.EML");
  EXPECT_TRUE(item.writes.empty());
  store::setFolderAccess(u"Sales", store::Access::None);
  item = save(kDefault, Variant(u"IPM.Post"));
  EXPECT_TRUE(item.writes.empty());
}

TEST_F(StoreFixture, RefusedWritesEndQuietlyWithWhatWasWritten) {
  auto sink = makeCom<KorvaneCls>();
  sink->Construct(makeCom<FakeConstructString>(kDefault).get());
  for (bool refuseUpdate : {false, true}) {
    Item item;
    item.values[kMessageClassField] = Variant(u"IPM.Post");
    (refuseUpdate ? item.failUpdate : item.failPut) = E_ACCESSDENIED;
    auto info = makeCom<FakeEventInfo>(item);
    std::int16_t proceed = kFalse;
    EXPECT_EQ(sink->ProcessBeginSave(info.get(), itemUrl(), kDelivered, &proceed), S_OK);
    EXPECT_EQ(proceed, kTrue);
    EXPECT_EQ(item.writes.size(), refuseUpdate ? 1u : 0u);
    EXPECT_EQ(item.updates, 0);
    EXPECT_TRUE(info->aborts.empty());
  }
  Item item;
  item.values[kMessageClassField] = Variant(u"IPM.Post");
  item.failDelete = E_ACCESSDENIED;
  auto info = makeCom<FakeEventInfo>(item);
  EXPECT_EQ(processBeginSave(info.get(), itemUrl(), kDelivered, parseConstructorString(u"NULL\r*")), kTrue);
  EXPECT_FALSE(item.deleted);
}

} // namespace
} // namespace korvane::sink
