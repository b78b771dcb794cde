#include "platform/db/stamp.h"

#include <string>

#include "platform/com/hresult.h"
#include "platform/db/database.h"

namespace korvane::db {

namespace {

constexpr std::string_view kSchema = R"sql(
CREATE TABLE IF NOT EXISTS db_stamp(name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
)sql";

// The values last read, for as long as no other connection committed, this
// one raised none and rolled nothing back: a delivery's own commits leave
// them as they are.
struct Memo {
  std::uint64_t connection = 0;
  std::int64_t others = -1;
  std::int64_t rollbacks = -1;
  std::uint64_t raises = 0;
  bool read = false;
  std::map<std::string, std::int64_t, std::less<>> values;
};

Memo& memo() {
  static Memo m;
  return m;
}

std::uint64_t& raisesHere() {
  static std::uint64_t n = 0;
  return n;
}

// A reader that may not create tables (a COM+ host) looks for it until it
// is there; once there it stays for the connection.
bool hasTable(Database& db) {
  if (!db.schemasTrusted()) {
    db.ensureSchema("db.stamp", kSchema);
    return true;
  }
  static std::uint64_t seenOn = 0;
  if (seenOn == db.serial()) return true;
  if (!db.hasTable("db_stamp")) return false;
  seenOn = db.serial();
  return true;
}

} // namespace

void raiseStamp(Database& db, std::string_view name) {
  if (!db.inTransaction())
    throw ComError(E_FAIL, u"Internal error: a counter of changes was raised outside the change's transaction.");
  db.ensureSchema("db.stamp", kSchema);
  db.prepare("INSERT INTO db_stamp(name, value) VALUES (?, 1) ON CONFLICT(name) DO UPDATE SET value = value + 1")
      .bind(1, name)
      .run();
  ++raisesHere();
}

std::optional<StampValue> readStamp(Database& db, std::string_view name) {
  Memo& m = memo();
  const std::int64_t others = db.generation().others;
  if (m.connection != db.serial() || m.others != others || m.rollbacks != db.rollbacks() || m.raises != raisesHere())
    m = Memo{db.serial(), others, db.rollbacks(), raisesHere(), false, {}};
  if (!m.read) {
    if (!hasTable(db)) return std::nullopt;
    // All of them at once: a delivery asks for several, and there are few.
    auto s = db.prepare("SELECT name, value FROM db_stamp");
    while (s.step()) m.values.emplace(s.utf8(0), s.integer(1));
    m.read = true;
  }
  auto it = m.values.find(name);
  return StampValue{db.serial(), db.rollbacks(), it == m.values.end() ? 0 : it->second};
}

} // namespace korvane::db
