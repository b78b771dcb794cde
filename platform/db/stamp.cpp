#include "platform/db/stamp.h"

#include <string>

#include "platform/com/hresult.h"
#include "platform/db/database.h"

namespace korvane::db {

namespace {

constexpr std::string_view kSchema = R"sql(
CREATE TABLE IF NOT EXISTS db_stamp(name TEXT PRIMARY KEY, value INTEGER NOT NULL) WITHOUT ROWID;
)sql";

// The values last read, and where the connection stood then: the data
// version (other connections' commits), its rollbacks, this process's
// raises, and the hold they were read in.
struct Memo {
  std::uint64_t connection = 0;
  std::int64_t others = -1;
  std::int64_t rollbacks = -1;
  std::uint64_t raises = 0;
  std::uint64_t hold = 0;
  bool read = false;
  StampValues values;
};

Memo& memo() {
  static Memo m;
  return m;
}

// The holds open now, and the number of the outermost.
struct Holds {
  int depth = 0;
  std::uint64_t current = 0;
};
Holds& holds() {
  static Holds h;
  return h;
}

std::uint64_t& raisesHere() {
  static std::uint64_t n = 0;
  return n;
}

// A reader that may not create tables (a COM+ host) looks for it until it
// is there; once there it stays for the connection.
bool stampTableThere(Database& db) {
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

bool sameConnection(Database& db, const Memo& m) {
  return m.read && m.connection == db.serial() && m.rollbacks == db.rollbacks() && m.raises == raisesHere();
}

// Whether the values last read still stand. Inside a transaction the data
// version is read once. Outside one, a hold reads the counters once (its
// first look-up costs one read transaction, the check as much as the read);
// without a hold a check of the data version, a read of its own but a
// cheap one, spares reading them again while nothing was committed.
bool memoHolds(Database& db, const Memo& m) {
  if (!sameConnection(db, m)) return false;
  if (!db.inTransaction() && holds().depth > 0) return m.hold == holds().current;
  return m.others == db.generation().others;
}

} // namespace

StampHold::StampHold() {
  if (holds().depth++ == 0) ++holds().current;
}
StampHold::~StampHold() { --holds().depth; }

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
  if (!memoHolds(db, m)) {
    if (!stampTableThere(db)) return std::nullopt;
    // All of them at once (a delivery asks for several, and there are few),
    // with the data version they go with.
    ReadTransaction reading(db);
    m = Memo{db.serial(), db.generation().others, db.rollbacks(), raisesHere(), holds().current, false, {}};
    {
      auto s = db.prepare("SELECT name, value FROM db_stamp");
      while (s.step()) m.values.emplace(s.utf8(0), s.integer(1));
    }
    reading.end();
    m.read = true;
  }
  auto it = m.values.find(name);
  return StampValue{db.serial(), db.rollbacks(), it == m.values.end() ? 0 : it->second};
}

std::optional<StampValues> heldStamps(Database& db) {
  const Memo& m = memo();
  if (holds().depth == 0 || db.inTransaction() || !memoHolds(db, m)) return std::nullopt;
  return m.values;
}

void adoptStamps(Database& db, const StampValues& callers) {
  Memo& m = memo();
  if (holds().depth == 0 || db.inTransaction() || !sameConnection(db, m) || m.values != callers) return;
  m.hold = holds().current;
}

} // namespace korvane::db
