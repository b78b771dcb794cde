#include "platform/db/database.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fmt/format.h>
#include <map>
#include <optional>
#include <pwd.h>
#include <random>
#include <set>
#include <sqlite3.h>
#include <sys/statvfs.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/db/trust.h"
#include "platform/db/writer_queue.h"

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

[[noreturn]] void refuseWriteWhileReading() {
  raiseText("Internal error: a write was made inside a read transaction; nothing was written.");
}

constexpr std::chrono::seconds kBusyTimeout{60};

// Waiting for another process's write lock. SQLite's own timeout sleeps up
// to 100 ms between tries, so under steady load a long sleeper keeps losing
// the lock to processes that try more often, for seconds. Short sleeps with
// a little randomness give every waiter about the same chance.
struct BusyWait {
  std::chrono::steady_clock::time_point started;
  std::minstd_rand random{static_cast<std::minstd_rand::result_type>(::getpid())};
  WriterQueue* queue = nullptr;
  // When the transaction now beginning joined the queue: the time it waited
  // there counts against the same limit.
  std::optional<std::chrono::steady_clock::time_point> queuedAt;
};

int waitForLock(void* context, int tries) {
  auto& wait = *static_cast<BusyWait*>(context);
  const auto now = std::chrono::steady_clock::now();
  if (tries == 0) wait.started = wait.queuedAt.value_or(now);
  if (now - wait.started >= kBusyTimeout) return 0;
  // A writer in the queue hands the lock on as it leaves: try again then.
  if (wait.queue && wait.queue->awaitTurn(wait.started + kBusyTimeout)) return 1;
  const unsigned longest = tries < 50 ? 1000 : 5000;  // microseconds
  ::usleep(100 + wait.random() % longest);
  return 1;
}

} // namespace

namespace {

// The per-user default: never a shared directory such as /tmp, where another
// user could put a server of their own first.
fs::path defaultServerDirectory() {
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/') return fs::path(xdg) / "korvane" / "server";
  const char* home = std::getenv("HOME");
  if (!home || !*home)
    if (const passwd* pw = ::getpwuid(::geteuid())) home = pw->pw_dir;
  if (!home || !*home)
    raiseText("You have no home directory (HOME is not set and the user database names none), so there is no "
              "per-user server location. Give the server directory with --server DIR or set KORVANE_SERVER.");
  std::error_code ec;
  if (!fs::is_directory(home, ec))
    raiseText(fmt::format("Your home directory {} does not exist, so there is no per-user server location. Give "
                          "the server directory with --server DIR or set KORVANE_SERVER.",
                          home));
  return fs::path(home) / ".local" / "share" / "korvane" / "server";
}

} // namespace

fs::path serverDirectory() {
  if (overrideDir()) return *overrideDir();
  // Absolute, so that no path is ever taken for an SQLite URI ("file:...").
  if (const char* env = std::getenv("KORVANE_SERVER"); env && *env) return fs::absolute(env);
  return defaultServerDirectory();
}

void setServerDirectory(const fs::path& dir) {
  Database::closeCurrent();
  if (dir.empty()) {
    overrideDir().reset();
    return;
  }
  overrideDir() = fs::absolute(dir);
  ::setenv("KORVANE_SERVER", overrideDir()->c_str(), 1);
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
    const fs::path dir = serverDirectory();
    checkPrivate(dir);
    fs::path file = databaseFile(dir);
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

bool Database::stillTheFile() const {
  struct stat now {};
  // A path this process may no longer look at (a host's worker that left the
  // owner's account after opening) says nothing against the file.
  if (::stat(file_.c_str(), &now) != 0) return errno != ENOENT && errno != ENOTDIR;
  return now.st_dev == device_ && now.st_ino == inode_;
}

bool Database::currentIsOpen() { return currentDb() != nullptr; }

namespace {

// A new file gets its identity and schema version before anyone uses it.
void stampNewDatabase(const fs::path& file) {
  sqlite3* db = nullptr;
  int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK)
    rc = sqlite3_exec(db,
                      fmt::format("PRAGMA application_id={}; PRAGMA user_version={}; PRAGMA journal_mode=WAL;",
                                  kApplicationId, kSchemaVersion)
                          .c_str(),
                      nullptr, nullptr, nullptr);
  std::string why = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
  sqlite3_close(db);
  if (rc != SQLITE_OK) raiseText(fmt::format("Cannot create the server database {}: {}.", file.string(), why));
}

} // namespace

void Database::create(const fs::path& where) {
  const fs::path dir = fs::absolute(where);
  makePrivateDirectory(dir);
  checkPrivate(dir);
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
  ::fchmod(fd, 0600);  // the open's mode passes through the umask
  ::close(fd);
  stampNewDatabase(file);
  Database probe(file);
}

namespace {
std::uint64_t nextSerial() {
  static std::uint64_t last = 0;
  return ++last;
}
} // namespace

namespace {

// Space left for the files SQLite adds beside the database, in bytes; -1
// when it cannot be told.
long long spaceLeft(const fs::path& dir) {
  struct statvfs disk {};
  if (::statvfs(dir.c_str(), &disk) != 0) return -1;
  return static_cast<long long>(disk.f_bavail) * static_cast<long long>(disk.f_frsize);
}

// Why a file that SQLite cannot use was refused, with what to do about it.
[[noreturn]] void raiseOpenFailure(const fs::path& file, int code, const std::string& why) {
  // A sound file that cannot be used must not be called damaged: the
  // advice would be to throw it away.
  constexpr long long kRoomForSqlitesFiles = 64 * 1024;
  const long long left = (code & 0xFF) == SQLITE_IOERR ? spaceLeft(file.parent_path()) : -1;
  if ((code & 0xFF) == SQLITE_FULL || (left >= 0 && left < kRoomForSqlitesFiles))
    raiseText(fmt::format("The server database {} cannot be opened ({}): the disk holding {} is full, and SQLite "
                          "needs room beside the database for its -wal and -shm files. Free some space and try "
                          "again.",
                          file.string(), why, file.parent_path().string()));
  if (code == SQLITE_CANTOPEN || code == SQLITE_READONLY || code == SQLITE_PERM || code == SQLITE_AUTH ||
      code == SQLITE_IOERR)
    raiseText(fmt::format("The server database {} cannot be opened ({}). SQLite keeps its -wal and -shm "
                          "files beside it, so its directory {} must be writable by the server's owner "
                          "as well: check the owner and permissions of the file and the directory.",
                          file.string(), why, file.parent_path().string()));
  if (code == SQLITE_BUSY)
    raiseText(fmt::format("The server database {} stayed locked by another process for {} seconds; try again "
                          "when it has finished.",
                          file.string(), kBusyTimeout.count()));
  raiseText(fmt::format("The server database {} is damaged or not a database: {}. Restore it "
                        "from a backup or create a new server with 'korvane-lab init'.",
                        file.string(), "SQLite cannot read it"));
}

std::int64_t pragmaValue(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  std::int64_t value = -1;
  if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK && sqlite3_step(s) == SQLITE_ROW)
    value = sqlite3_column_int64(s, 0);
  const int rc = sqlite3_finalize(s);
  if (rc != SQLITE_OK) throw rc;
  return value;
}

// Read from the header before anything is written: a file of another program
// or of an unknown schema is left exactly as it is.
std::string identityProblem(sqlite3* db, const fs::path& file) {
  const std::int64_t id = pragmaValue(db, "PRAGMA application_id");
  const std::int64_t version = pragmaValue(db, "PRAGMA user_version");
  if (id != kApplicationId)
    return fmt::format("{} is not a Korvane server database ({}); nothing in it was changed. Point --server or "
                          "KORVANE_SERVER at a Korvane server, or create one with 'korvane-lab --server DIR init'.",
                          file.string(),
                          id == 0 ? "it carries no application id: another program's file, or a server made by an "
                                    "earlier build, which has to be created again"
                                  : fmt::format("its application id {:#010x} is another program's", id));
  if (version != kSchemaVersion)
    return fmt::format("The server database {} has schema version {}, which this build of Korvane does not know "
                          "(it reads version {}); nothing in it was changed. Use the Korvane build that made it, or "
                          "create a new server with 'korvane-lab --server DIR init'.",
                          file.string(), version, kSchemaVersion);
  return {};
}

} // namespace

Database::Database(const fs::path& path)
    : file_(fs::absolute(path)), cache_(std::make_unique<Cache>()), serial_(nextSerial()) {
  const fs::path& file = file_;
  checkPrivate(file.parent_path());
  struct stat opened {};
  if (::stat(file.c_str(), &opened) != 0 || !S_ISREG(opened.st_mode))
    raiseText(fmt::format("The server database {} is missing or not a file.", file.string()));
  device_ = opened.st_dev;
  inode_ = opened.st_ino;
  checkPrivate(file);
  if (::access(file.c_str(), R_OK | W_OK) != 0)
    raiseText(fmt::format("The server database {} cannot be opened for reading and writing ({}). "
                          "Check its owner and permissions (it should be readable and writable by "
                          "its owner only).",
                          file.string(), std::strerror(errno)));
  // Absolute and without SQLITE_OPEN_URI: never read as a "file:" URI.
  int rc = sqlite3_open_v2(file.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string msg = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    raiseText(fmt::format("Cannot open the server database {}: {}.", file.string(), msg));
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_handler(db_, waitForLock, &cache_->busy);
  std::string refused;
  int failure = SQLITE_OK;
  try {
    refused = identityProblem(db_, file);
    if (refused.empty()) {
      exec("PRAGMA journal_mode=WAL");
      exec("PRAGMA synchronous=FULL");
      exec("PRAGMA foreign_keys=ON");
      // Reading the schema proves that the file really is a database.
      exec("SELECT count(*) FROM sqlite_master");
    }
  } catch (const ComError&) {
    failure = sqlite3_extended_errcode(db_) & 0xFF;
  } catch (int rc) {
    failure = rc & 0xFF;
  }
  if (refused.empty() && failure == SQLITE_OK) {
    queue_ = std::make_unique<WriterQueue>(file);
    cache_->busy.queue = queue_.get();
    return;
  }
  const std::string why = sqlite3_errmsg(db_);
  sqlite3_close(db_);
  db_ = nullptr;
  if (failure != SQLITE_OK) raiseOpenFailure(file, failure, why);
  raiseText(refused);
}

Database::~Database() {
  for (auto& [sql, list] : cache_->free)
    for (auto* s : list) sqlite3_finalize(s);
  if (depth_ > 0) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
  sqlite3_close_v2(db_);
}

void Database::raise() const {
  const int code = sqlite3_extended_errcode(db_) & 0xFF;
  std::string advice;
  if (code == SQLITE_READONLY)
    advice = " The file or its directory is read-only; give the server's owner write access.";
  else if (code == SQLITE_CORRUPT || code == SQLITE_NOTADB)
    advice = " The file is damaged; restore it from a backup or create a new server.";
  else if (code == SQLITE_FULL)
    advice = " The disk is full; free some space and try again.";
  else if (code == SQLITE_BUSY)
    advice = fmt::format(
        " Another process held the server's write lock for all of the {} seconds this one waited; usually a long "
        "run of deliveries or registrations, or a process stopped in a debugger or at a prompt. Let it finish or "
        "end it, then try again.",
        kBusyTimeout.count());
  else if (code == SQLITE_ERROR)
    advice = " Its tables are not the ones this build of Korvane uses; create a new server with 'korvane-lab init'.";
  raiseText(fmt::format("Server database {}: {}.{}", file_.string(), sqlite3_errmsg(db_), advice));
}

void Database::exec(std::string_view sql) {
  // Schemas and set-up only, never inside a read transaction (see Statement::step).
  if (readOnly_) refuseWriteWhileReading();
  std::string s(sql);
  char* err = nullptr;
  if (sqlite3_exec(db_, s.c_str(), nullptr, nullptr, &err) != SQLITE_OK) {
    sqlite3_free(err);
    raise();
  }
}

void Database::control(std::string_view sql) { prepare(sql).run(); }

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
    raise();
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

bool Database::schemasTrusted() const { return cache_->trusted; }

bool Database::hasTable(std::string_view name) {
  auto s = prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  s.bind(1, name);
  return s.step();
}

bool Database::hasSchema(std::string_view key) const {
  return cache_->trusted || cache_->schemas.contains(key) || cache_->tentative.contains(key);
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
    if (!s.step()) raise();
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
  if (sqlite3_bind_int64(stmt_, index, value) != SQLITE_OK) db_->raise();
  return *this;
}
Statement& Statement::bind(int index, double value) {
  if (sqlite3_bind_double(stmt_, index, value) != SQLITE_OK) db_->raise();
  return *this;
}
Statement& Statement::bind(int index, TextView value) { return bind(index, std::string_view(toUtf8(value))); }
Statement& Statement::bind(int index, std::string_view utf8) {
  if (sqlite3_bind_text(stmt_, index, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT) !=
      SQLITE_OK)
    db_->raise();
  return *this;
}
Statement& Statement::bindNull(int index) {
  if (sqlite3_bind_null(stmt_, index) != SQLITE_OK) db_->raise();
  return *this;
}

int kindCode(const Variant& value) { return static_cast<int>(value.kind()); }

// SQLite keeps a NaN as NULL, which reads back as 0; text is kept as UTF-8,
// where a lone surrogate becomes U+FFFD. Everything else comes back as it was.
std::optional<Variant> storedDifferently(const Variant& value) {
  if (value.kind() == Variant::Kind::Double && std::isnan(value.doubleValue())) return Variant(0.0);
  if (value.isText()) {
    const Text& text = value.textValue();
    if (std::any_of(text.begin(), text.end(), [](char16_t c) { return c >= 0xD800 && c <= 0xDFFF; }))
      return Variant(fromUtf8(toUtf8(text)));
  }
  return std::nullopt;
}

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
  // A write would turn the read transaction into a write without the
  // writer's turn, on a snapshot another writer may have moved past.
  if (db_->readOnly_ && !sqlite3_stmt_readonly(stmt_)) refuseWriteWhileReading();
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  db_->raise();
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
  if (db_.readOnly_) refuseWriteWhileReading();
  if (level_ == 0) {
    db_.othersVersionKnown_ = false;
    auto& busy = db_.cache_->busy;
    busy.queuedAt = std::chrono::steady_clock::now();
    db_.queue_->enter(*busy.queuedAt + kBusyTimeout);
    try {
      db_.control("BEGIN IMMEDIATE");
      if (!db_.stillTheFile()) {
        db_.control("ROLLBACK");
        raiseText(fmt::format("The server database {} was replaced or removed while this program had it open, "
                              "so nothing was written to it. Stop the server's programs (korvane-lab serve, "
                              "the setup) and start them again to use the file now there; restore a backup only "
                              "while they are stopped.",
                              db_.file_.string()));
      }
    } catch (...) {
      busy.queuedAt.reset();
      db_.queue_->leave();
      throw;
    }
    busy.queuedAt.reset();
  }
  else
    db_.control(fmt::format("SAVEPOINT sp{}", level_));
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
    db_.control("COMMIT");
    db_.othersVersionKnown_ = false;
    db_.queue_->leave();
  } else
    db_.control(fmt::format("RELEASE sp{}", level_));
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
    // The turn goes however the rollback ends.
    struct Leave {
      WriterQueue& q;
      ~Leave() { q.leave(); }
    } leave{*db_.queue_};
    db_.control("ROLLBACK");
  } else {
    db_.control(fmt::format("ROLLBACK TO sp{}", level_));
    db_.control(fmt::format("RELEASE sp{}", level_));
  }
}

// --- ReadTransaction -------------------------------------------------------

ReadTransaction::ReadTransaction(Database& db) : db_(db) {
  if (db_.depth_ > 0) return;
  db_.control("BEGIN");
  db_.othersVersionKnown_ = false;
  db_.readOnly_ = true;
  ++db_.depth_;
  active_ = true;
}

ReadTransaction::~ReadTransaction() {
  try {
    end();
  } catch (...) {
  }
}

void ReadTransaction::end() {
  if (!active_) return;
  active_ = false;
  --db_.depth_;
  db_.readOnly_ = false;
  db_.othersVersionKnown_ = false;
  // Nothing was written: a COMMIT only lets go of the snapshot.
  try {
    db_.control("COMMIT");
  } catch (...) {
    db_.control("ROLLBACK");
  }
}

} // namespace korvane::db
