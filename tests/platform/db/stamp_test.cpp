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

} // namespace
} // namespace korvane::db
