#include "platform/db/database.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fmt/format.h>
#include <map>
#include <random>
#include <set>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace korvane::db {

namespace fs = std::filesystem;

namespace {

std::optional<fs::path>& overrideDir() {
  static std::optional<fs::path> dir;
  return dir;
}

std::unique_ptr<Database>& currentDb() {
  static std::unique_ptr<Database> db;
  return db;
}

[[noreturn]] void raiseText(const std::string& text) { throw ComError(E_DATABASE, fromUtf8(text)); }

constexpr std::chrono::seconds kBusyTimeout{60};

// Waiting for another process's write lock. SQLite's own timeout sleeps up
// to 100 ms between tries, so under steady load a long sleeper keeps losing
// the lock to processes that try more often, for seconds. Short sleeps with
// a little randomness give every waiter about the same chance.
struct BusyWait {
  std::chrono::steady_clock::time_point started;
  std::minstd_rand random{static_cast<std::minstd_rand::result_type>(::getpid())};
};

int waitForLock(void* context, int tries) {
  auto& wait = *static_cast<BusyWait*>(context);
  const auto now = std::chrono::steady_clock::now();
  if (tries == 0) wait.started = now;
  if (now - wait.started >= kBusyTimeout) return 0;
  const unsigned longest = tries < 50 ? 1000 : 5000;  // microseconds
  ::usleep(100 + wait.random() % longest);
  return 1;
}

} // namespace

fs::path serverDirectory() {
  if (overrideDir()) return *overrideDir();
  if (const char* env = std::getenv("KORVANE_SERVER"); env && *env) return fs::path(env);
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg)
    return fs::path(xdg) / "korvane" / "server";
  const char* home = std::getenv("HOME");
  return fs::path(home && *home ? home : "/tmp") / ".local" / "share" / "korvane" / "server";
}

void setServerDirectory(const fs::path& dir) {
  Database::closeCurrent();
  overrideDir() = dir;
  ::setenv("KORVANE_SERVER", dir.c_str(), 1);
}

fs::path databaseFile(const fs::path& dir) { return dir / "server.db"; }

struct Database::Cache {
  std::map<std::string, std::vector<sqlite3_stmt*>, std::less<>> free;
  std::set<std::string, std::less<>> schemas;
  // Created inside a transaction: the depth it was created at, until the
  // outermost transaction commits (they become `schemas`) or the savepoint
  // that holds them rolls back (they are forgotten).
  std::map<std::string, int, std::less<>> tentative;
  BusyWait busy;
  bool trusted = false;
};

Database& Database::current() {
  auto& db = currentDb();
  if (!db) {
    fs::path file = databaseFile(serverDirectory());
    std::error_code ec;
    if (!fs::exists(file, ec))
      raiseText(fmt::format("No emulated server at {}: the file {} does not exist. Create one "
                            "with 'korvane-lab --server {} init --sample', or set KORVANE_SERVER "
                            "to the directory of an existing server.",
                            serverDirectory().string(), file.string(), serverDirectory().string()));
    // SQLite takes an empty file for an empty database and would fill it
    // with tables; a server's file is never empty (create() writes its header).
    if (fs::is_regular_file(file, ec) && fs::file_size(file, ec) == 0 && !ec)
      raiseText(fmt::format("The server database {} is empty: it holds no server. Remove it and create "
                            "the server with 'korvane-lab --server {} init --sample', or restore the file "
                            "from a backup.",
                            file.string(), serverDirectory().string()));
    db = std::make_unique<Database>(file);
  }
  return *db;
}

void Database::closeCurrent() { currentDb().reset(); }

void Database::create(const fs::path& dir) {
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec)
    raiseText(fmt::format("Cannot create the server directory {}: {}.", dir.string(), ec.message()));
  fs::path file = databaseFile(dir);
  // Created here, owner-only, so that SQLite's journal files inherit the mode.
  int fd = ::open(file.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST)
      raiseText(fmt::format("A server exists already at {}; remove the directory first or choose "
                            "another one.",
                            dir.string()));
    raiseText(fmt::format("Cannot create {}: {}.", file.string(), std::strerror(errno)));
  }
  ::close(fd);
  Database probe(file);
}

namespace {
std::uint64_t nextSerial() {
  static std::uint64_t last = 0;
  return ++last;
}
} // namespace

Database::Database(const fs::path& file) : file_(file), cache_(std::make_unique<Cache>()), serial_(nextSerial()) {
  std::error_code ec;
  auto status = fs::status(file, ec);
  if (ec || !fs::is_regular_file(status))
    raiseText(fmt::format("The server database {} is missing or not a file.", file.string()));
  if (::access(file.c_str(), R_OK | W_OK) != 0)
    raiseText(fmt::format("The server database {} cannot be opened for reading and writing ({}). "
                          "Check its owner and permissions (it should be readable and writable by "
                          "its owner only).",
                          file.string(), std::strerror(errno)));
  int rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    raiseText(fmt::format("Cannot open the server database {}: {}.", file.string(), msg));
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_handler(db_, waitForLock, &cache_->busy);
  try {
    exec("PRAGMA journal_mode=WAL");
    exec("PRAGMA synchronous=FULL");
    exec("PRAGMA foreign_keys=ON");
    // Reading the schema proves that the file really is a database.
    exec("SELECT count(*) FROM sqlite_master");
  } catch (const ComError&) {
    const int code = sqlite3_extended_errcode(db_) & 0xFF;
    const std::string why = sqlite3_errmsg(db_);
    sqlite3_close(db_);
    db_ = nullptr;
    // A sound file that cannot be used must not be called damaged: the
    // advice would be to throw it away.
    if (code == SQLITE_CANTOPEN || code == SQLITE_READONLY || code == SQLITE_PERM || code == SQLITE_AUTH ||
        code == SQLITE_IOERR)
      raiseText(fmt::format("The server database {} cannot be opened ({}). SQLite keeps its -wal and -shm "
                            "files beside it, so its directory {} must be writable by the server's owner "
                            "as well: check the owner and permissions of the file and the directory.",
                            file.string(), why, file.parent_path().string()));
    if (code == SQLITE_BUSY)
      raiseText(fmt::format("The server database {} is locked by another process ({}); try again when "
                            "it has finished.",
                            file.string(), why));
    raiseText(fmt::format("The server database {} is damaged or not a database: {}. Restore it "
                          "from a backup or create a new server with 'korvane-lab init'.",
                          file.string(), "SQLite cannot read it"));
  }
}

Database::~Database() {
  for (auto& [sql, list] : cache_->free)
    for (auto* s : list) sqlite3_finalize(s);
  if (depth_ > 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close_v2(db_);
}

void Database::raise(std::string_view what) const {
  int code = sqlite3_extended_errcode(db_);
  std::string advice;
  if ((code & 0xFF) == SQLITE_READONLY)
    advice = " The file or its directory is read-only; give the server's owner write access.";
  else if ((code & 0xFF) == SQLITE_CORRUPT || (code & 0xFF) == SQLITE_NOTADB)
    advice = " The file is damaged; restore it from a backup or create a new server.";
  else if ((code & 0xFF) == SQLITE_FULL)
    advice = " The disk is full; free some space and try again.";
  raiseText(fmt::format("Server database {}: {} failed: {}.{}", file_.string(), what,
                        sqlite3_errmsg(db_), advice));
}

void Database::exec(std::string_view sql) {
  std::string s(sql);
  char* err = nullptr;
  if (sqlite3_exec(db_, s.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    sqlite3_free(err);
    raise(sql.substr(0, 60));
  }
}

Statement Database::prepare(std::string_view sql) {
  auto it = cache_->free.find(sql);
  if (it != cache_->free.end() && !it->second.empty()) {
    sqlite3_stmt* s = it->second.back();
    it->second.pop_back();
    return Statement(*this, s, true);
  }
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                         &s, nullptr) != SQLITE_OK)
    raise(sql.substr(0, 60));
  return Statement(*this, s, true);
}

void Database::trustSchemas() { cache_->trusted = true; }

void Database::ensureSchema(std::string_view key, std::string_view sql) {
  if (cache_->trusted || hasSchema(key)) return;
  exec(sql);
  if (depth_ > 0)
    cache_->tentative.emplace(std::string(key), depth_);
  else
    cache_->schemas.emplace(key);
}

bool Database::hasSchema(std::string_view key) const {
  return cache_->schemas.contains(key) || cache_->tentative.contains(key);
}

void Database::settleSchemas(int depth, bool committed) {
  auto& tentative = cache_->tentative;
  for (auto it = tentative.begin(); it != tentative.end();) {
    if (it->second <= depth) {
      ++it;
    } else if (!committed) {
      it = tentative.erase(it);
    } else if (depth == 0) {
      cache_->schemas.insert(it->first);
      it = tentative.erase(it);
    } else {
      it->second = depth;
      ++it;
    }
  }
}

Database::Generation Database::generation() {
  if (depth_ == 0 || !othersVersionKnown_) {
    Statement s = prepare("PRAGMA data_version");
    if (!s.step()) raise("PRAGMA data_version");
    othersVersion_ = s.integer(0);
    othersVersionKnown_ = depth_ > 0;
  }
  // Own changes count even when rolled back, and the rollback itself counts.
  return Generation{othersVersion_, sqlite3_total_changes64(db_) + rollbacks_};
}

std::int64_t Database::lastInsertId() const { return sqlite3_last_insert_rowid(db_); }
int Database::changes() const { return sqlite3_changes(db_); }

std::string Database::integrityCheck() {
  Statement s = prepare("PRAGMA integrity_check");
  std::string out;
  while (s.step()) out += (out.empty() ? "" : "\n") + s.utf8(0);
  return out;
}

// --- Statement -------------------------------------------------------------

Statement::Statement(Database& db, sqlite3_stmt* stmt, bool cached)
    : db_(&db), stmt_(stmt), cached_(cached) {}

Statement::Statement(Statement&& o) noexcept
    : db_(o.db_), stmt_(std::exchange(o.stmt_, nullptr)), cached_(o.cached_) {}

Statement::~Statement() {
  if (!stmt_) return;
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
  if (cached_)
    db_->cache_->free[sqlite3_sql(stmt_)].push_back(stmt_);
  else
    sqlite3_finalize(stmt_);
}

Statement& Statement::bind(int index, std::int64_t value) {
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) db_->raise("bind");
  return *this;
}
Statement& Statement::bind(int index, double value) {
  if (sqlite3_bind_double(stmt_, index, value) != SQLITE_OK) db_->raise("bind");
  return *this;
}
Statement& Statement::bind(int index, TextView value) { return bind(index, std::string_view(toUtf8(value))); }
Statement& Statement::bind(int index, std::string_view utf8) {
  if (sqlite3_bind_text(stmt_, index, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT) !=
      SQLITE_OK)
    db_->raise("bind");
  return *this;
}
Statement& Statement::bindNull(int index) {
  if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) db_->raise("bind");
  return *this;
}

int kindCode(const Variant& value) { return static_cast<int>(value.kind()); }

Statement& Statement::bind(int index, const Variant& value) {
  switch (value.kind()) {
    case Variant::Kind::Empty:
    case Variant::Kind::Null: return bindNull(index);
    case Variant::Kind::Bool: return bind(index, std::int64_t{value.boolValue() ? 1 : 0});
    case Variant::Kind::Int: return bind(index, value.intValue());
    case Variant::Kind::Double: return bind(index, value.doubleValue());
    case Variant::Kind::Text: return bind(index, TextView(value.textValue()));
    case Variant::Kind::Object: throw ComError(DISP_E_TYPEMISMATCH, u"An object cannot be stored.");
  }
  return *this;
}

bool Statement::step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_->raise(std::string_view(sqlite3_sql(stmt_)).substr(0, 60));
}

void Statement::run() {
  while (step()) {
  }
}

bool Statement::isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
std::int64_t Statement::integer(int column) const { return sqlite3_column_int64(stmt_, column); }
double Statement::real(int column) const { return sqlite3_column_double(stmt_, column); }
std::string Statement::utf8(int column) const {
  const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  return p ? std::string(p, static_cast<size_t>(sqlite3_column_bytes(stmt_, column))) : std::string();
}
Text Statement::text(int column) const { return fromUtf8(utf8(column)); }

Variant Statement::variant(int valueColumn, int kindColumn) const {
  switch (static_cast<Variant::Kind>(integer(kindColumn))) {
    case Variant::Kind::Empty: return Variant();
    case Variant::Kind::Null: return Variant::null();
    case Variant::Kind::Bool: return Variant(integer(valueColumn) != 0);
    case Variant::Kind::Int: return Variant(integer(valueColumn));
    case Variant::Kind::Double: return Variant(real(valueColumn));
    case Variant::Kind::Text: return Variant(text(valueColumn));
    default: return Variant::null();
  }
}

// --- Transaction -----------------------------------------------------------

Transaction::Transaction(Database& db) : db_(db), level_(db.depth_) {
  if (level_ == 0) {
    db_.othersVersionKnown_ = false;
    db_.exec("BEGIN IMMEDIATE");
  }
  else
    db_.exec(fmt::format("SAVEPOINT sp{}", level_));
  ++db_.depth_;
}

Transaction::~Transaction() {
  if (active_) {
    try {
      rollback();
    } catch (...) {
    }
  }
}

void Transaction::commit() {
  if (!active_) return;
  if (level_ == 0) {
    // A failed COMMIT leaves the transaction open for the rollback.
    db_.exec("COMMIT");
    db_.othersVersionKnown_ = false;
  } else
    db_.exec(fmt::format("RELEASE sp{}", level_));
  active_ = false;
  --db_.depth_;
  db_.settleSchemas(level_, true);
}

void Transaction::rollback() {
  if (!active_) return;
  active_ = false;
  --db_.depth_;
  ++db_.rollbacks_;
  db_.settleSchemas(level_, false);
  if (level_ == 0) {
    db_.exec("ROLLBACK");
  } else {
    db_.exec(fmt::format("ROLLBACK TO sp{}", level_));
    db_.exec(fmt::format("RELEASE sp{}", level_));
  }
}

} // namespace korvane::db
