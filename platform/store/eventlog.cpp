#include "platform/store/eventlog.h"

#include <ctime>
#include <fmt/format.h>

#include "platform/db/database.h"

namespace korvane::store {

namespace {

// As a real event log overwrites its oldest entries, each new entry pushes
// out the one kEventLogSize places before it.
constexpr std::string_view kSchemaTemplate = R"sql(
CREATE TABLE IF NOT EXISTS store_event_log(
  id INTEGER PRIMARY KEY, time TEXT NOT NULL, source TEXT NOT NULL,
  level INTEGER NOT NULL, text TEXT NOT NULL);
CREATE TRIGGER IF NOT EXISTS store_event_log_bound AFTER INSERT ON store_event_log
BEGIN DELETE FROM store_event_log WHERE id <= new.id - {}; END;
)sql";

struct Waiting {
  std::string file;  // the database the entry belongs to
  EventEntry entry;
};

std::vector<Waiting>& waiting() {
  static std::vector<Waiting> list;
  return list;
}

db::Database& logDatabase() {
  db::Database& db = db::Database::current();
  static const std::string schema = fmt::format(fmt::runtime(kSchemaTemplate), kEventLogSize);
  db.ensureSchema("store.eventlog", schema);
  return db;
}

Text utcNow() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  gmtime_r(&now, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
  return fromUtf8(buf);
}

void insert(db::Database& db, const EventEntry& e) {
  db.prepare("INSERT INTO store_event_log(time, source, level, text) VALUES (?, ?, ?, ?)")
      .bind(1, TextView(e.time))
      .bind(2, TextView(e.source))
      .bind(3, static_cast<int>(e.level))
      .bind(4, TextView(e.text))
      .run();
}

} // namespace

Text levelName(EventLevel level) {
  switch (level) {
    case EventLevel::Information: return u"Information";
    case EventLevel::Warning: return u"Warning";
    case EventLevel::Error: return u"Error";
  }
  return u"Information";
}

void writeEvent(TextView source, EventLevel level, TextView text) {
  db::Database& db = logDatabase();
  EventEntry e{0, utcNow(), Text(source), level, Text(text)};
  if (db.inTransaction()) {
    waiting().push_back({db.file().string(), std::move(e)});
    return;
  }
  flushEvents();
  insert(db, e);
}

void flushEvents() {
  if (waiting().empty()) return;
  db::Database& db = logDatabase();
  if (db.inTransaction()) return;
  std::vector<Waiting> list;
  list.swap(waiting());
  for (const Waiting& w : list)
    if (w.file == db.file().string()) insert(db, w.entry);
}

std::vector<EventEntry> listEvents() {
  flushEvents();
  // A read takes no write lock to make the table: a server that has logged
  // nothing yet has none, and on a full disk making it would fail.
  db::Database& db = db::Database::current();
  if (!db.hasSchema("store.eventlog") && !db.hasTable("store_event_log")) return {};
  auto s = db.prepare("SELECT id, time, source, level, text FROM store_event_log ORDER BY id");
  std::vector<EventEntry> out;
  while (s.step())
    out.push_back({s.integer(0), s.text(1), s.text(2), static_cast<EventLevel>(s.integer(3)), s.text(4)});
  return out;
}

void clearEvents() {
  flushEvents();
  logDatabase().exec("DELETE FROM store_event_log");
}

} // namespace korvane::store
