#include "platform/db/stamp.h"

#include <optional>

#include "platform/db/database.h"
#include "support/other_process.h"
#include "support/temp_server.h"

namespace korvane::db {
namespace {

std::int64_t counter() { return readStamp(Database::current(), "test.counter").value().value; }

void raise() {
  Transaction t(Database::current());
  raiseStamp(Database::current(), "test.counter");
  t.commit();
}

// Where the counter is read again after another process raised it.
enum class Again { Plain, InHold, InHoldsTransaction, InNextHold };

struct HoldRow {
  const char* what;
  Again again;
  std::int64_t seen;  // raised by one here, then by one there
};

TEST(Stamp, AHoldReadsTheCountersOnceAndATransactionOrTheNextHoldAfresh) {
  testing::TempServer server;
  const HoldRow rows[] = {
      {"no hold: every read is current", Again::Plain, 2},
      {"the same hold: as first read", Again::InHold, 1},
      {"a transaction in the hold: current", Again::InHoldsTransaction, 2},
      {"the next hold: current", Again::InNextHold, 2},
  };
  raise();  // the table is there
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Database::current().exec("DELETE FROM db_stamp");
    testing::OtherProcess other(raise);
    raise();
    std::optional<StampHold> hold;
    if (row.again != Again::Plain) hold.emplace();
    ASSERT_EQ(counter(), 1);
    other.run();
    if (row.again == Again::InHoldsTransaction) {
      Transaction t(Database::current());
      EXPECT_EQ(counter(), row.seen);
    } else {
      if (row.again == Again::InNextHold) {
        hold.reset();
        hold.emplace();
      }
      EXPECT_EQ(counter(), row.seen);
    }
  }
}

// A host's request takes its caller's reading only when it is the host's
// own last one: then nothing guarded changed in between.
TEST(Stamp, AHoldTakesACallersReadingOnlyWhenItIsItsOwnLastOne) {
  testing::TempServer server;
  raise();
  for (std::int64_t callers : {1, 2}) {
    SCOPED_TRACE(callers);
    Database::current().exec("DELETE FROM db_stamp");
    testing::OtherProcess other(raise);
    raise();
    ASSERT_EQ(counter(), 1);  // this process's last reading
    other.run();
    StampHold hold;
    adoptStamps(Database::current(), {{"test.counter", callers}});
    EXPECT_EQ(counter(), callers == 1 ? 1 : 2);
    EXPECT_EQ(heldStamps(Database::current()), (StampValues{{"test.counter", callers == 1 ? 1 : 2}}));
  }
}

} // namespace
} // namespace korvane::db
