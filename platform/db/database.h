// The emulated server's database: one SQLite file per server directory,
// shared by every process that works on that server. WAL journal, foreign
// keys on, full synchronous commits, and a long busy timeout so that
// concurrent processes wait for each other instead of failing. A process
// holds one connection to its current server; the platform is used from one
// thread at a time, as its apartment-threaded callers imply.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/com/variant.h"

struct sqlite3;
struct sqlite3_stmt;

namespace korvane::db {

class WriterQueue;

// Where the current server lives, as an absolute path: the directory set by
// setServerDirectory, else $KORVANE_SERVER, else $XDG_DATA_HOME/korvane/server
// (or ~/.local/share/korvane/server). Without a home directory it fails
// and asks for --server or KORVANE_SERVER.
std::filesystem::path serverDirectory();
// Switches the process to another server (closes the open connection) and
// exports KORVANE_SERVER so that child processes use the same one. An empty
// path goes back to KORVANE_SERVER as it stands and the per-user default.
void setServerDirectory(const std::filesystem::path& dir);
std::filesystem::path databaseFile(const std::filesystem::path& dir);

// Thrown as ComError with this code for every database failure; the text
// names the file and what to do.
inline constexpr HRESULT E_DATABASE = hr(0x8004D100);

// The header fields that say a file is a Korvane server database ("KRVN")
// and which version of its tables it holds; checked before any write.
inline constexpr std::int32_t kApplicationId = 0x4B52564E;
inline constexpr std::int32_t kSchemaVersion = 1;

class Statement;

class Database {
public:
  // The connection to the current server, opened on first use. Fails with a
  // clear message when the directory holds no server database.
  static Database& current();
  // Creates a new, empty server database with its identity, in a directory
  // made owner-only (as the file is) whatever the umask. Fails when one
  // exists already.
  static void create(const std::filesystem::path& dir);
  // Closes the current connection (the next current() opens it again).
  static void closeCurrent();
  // Whether the current connection is open in this process.
  static bool currentIsOpen();

  explicit Database(const std::filesystem::path& file);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::filesystem::path& file() const { return file_; }
  // Whether its path still names the file this connection opened. What is
  // written to one replaced or removed meanwhile (a backup restored under a
  // running service) is out of everyone's reach, so a write transaction
  // begins only after this says yes. Opening the new file instead is no
  // way out: it would share the old file's write-ahead log by name.
  bool stillTheFile() const;

  void exec(std::string_view sql);
  // A prepared statement, taken from the connection's cache when free.
  Statement prepare(std::string_view sql);
  // Creates tables the first time a component asks, once per connection.
  // Inside a transaction the creation is remembered only once it commits:
  // a rollback undoes the tables, so the next call creates them again.
  void ensureSchema(std::string_view key, std::string_view sql);
  // From now on ensureSchema does nothing on this connection: a reader of
  // a server whose tables exist (a COM+ host) must not take the write lock
  // that its caller may hold.
  void trustSchemas();
  // Whether ensureSchema(key) has run on this connection and still holds,
  // or the schemas are trusted to be there.
  bool hasSchema(std::string_view key) const;
  bool schemasTrusted() const;
  // Whether the file holds a table of that name (a reader that may not
  // create tables asks before it reads one that older servers lack).
  bool hasTable(std::string_view name);

  // Changes whenever what this connection reads may have changed: a commit
  // by another connection, a change made through this one, or a rollback.
  // Caches of stored data keep the generation they were filled at.
  struct Generation {
    std::int64_t others = -1;
    std::int64_t own = -1;
    bool operator==(const Generation&) const = default;
  };
  Generation generation();
  // Unique among the connections this process opens, and the number of
  // rollbacks on this one: for caches of data that only this process writes.
  std::uint64_t serial() const { return serial_; }
  std::int64_t rollbacks() const { return rollbacks_; }

  std::int64_t lastInsertId() const;
  int changes() const;
  bool inTransaction() const { return depth_ > 0; }
  // In a ReadTransaction: what is read there may be planned on, not written.
  bool reading() const { return readOnly_; }
  // "ok" when the file passes SQLite's integrity check.
  std::string integrityCheck();

  // Raises the database failure for the last SQLite error: what happened and
  // what to do, never the statement's text.
  [[noreturn]] void raise() const;

private:
  friend class Statement;
  friend class Transaction;
  friend class ReadTransaction;
  struct Cache;
  // A transaction ended at `depth` open transactions: schemas created
  // inside it are kept (passed to the enclosing one) or forgotten.
  void settleSchemas(int depth, bool committed);
  // Runs a transaction's BEGIN, COMMIT, SAVEPOINT, ...: prepared once, as
  // each write pays for them and parsing them costs more than running them.
  void control(std::string_view sql);
  sqlite3* db_ = nullptr;
  std::filesystem::path file_;
  int depth_ = 0;
  std::unique_ptr<Cache> cache_;
  // Made once the file is open; its turn is held while a write transaction is open.
  std::unique_ptr<WriterQueue> queue_;
  // Other connections' commits as last seen; inside a transaction they
  // cannot change what this one reads, so it is read once after BEGIN.
  std::int64_t othersVersion_ = -1;
  bool othersVersionKnown_ = false;
  std::int64_t rollbacks_ = 0;
  bool readOnly_ = false;  // the open transaction is a ReadTransaction: statements that write fail
  std::uint64_t serial_;
  // The opened file's identity, to tell it from one put at its path later.
  dev_t device_ = 0;
  ino_t inode_ = 0;
};

// One execution of a prepared statement; resets it when it goes out of scope.
class Statement {
public:
  Statement(Statement&& o) noexcept;
  Statement& operator=(Statement&&) = delete;
  ~Statement();

  Statement& bind(int index, std::int64_t value);
  Statement& bind(int index, int value) { return bind(index, std::int64_t{value}); }
  Statement& bind(int index, double value);
  Statement& bind(int index, TextView value);
  Statement& bind(int index, std::string_view utf8);
  Statement& bind(int index, const char* utf8) { return bind(index, std::string_view(utf8)); }
  Statement& bind(int index, const Variant& value);
  Statement& bindNull(int index);

  // Steps once: true while there is a row.
  bool step();
  // Runs to completion (for statements without rows).
  void run();

  bool isNull(int column) const;
  std::int64_t integer(int column) const;
  double real(int column) const;
  Text text(int column) const;
  std::string utf8(int column) const;
  // Reads a column written by bind(Variant) together with its kind column.
  Variant variant(int valueColumn, int kindColumn) const;

private:
  friend class Database;
  Statement(Database& db, sqlite3_stmt* stmt, bool cached);
  Database* db_;
  sqlite3_stmt* stmt_;
  bool cached_;
};

// Kind codes stored beside a variant value.
int kindCode(const Variant& value);
// The value as variant() reads it back after bind(Variant) wrote it, when
// that is not the value itself.
std::optional<Variant> storedDifferently(const Variant& value);

// A transaction: BEGIN IMMEDIATE outermost, a savepoint when nested. Rolls
// back unless committed.
class Transaction {
public:
  explicit Transaction(Database& db);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void commit();
  void rollback();
  bool active() const { return active_; }

private:
  Database& db_;
  int level_;
  bool active_ = true;
};

// A read transaction (BEGIN DEFERRED) when none is open: several reads from
// one snapshot, without the writer's turn or its lock. Nothing can be
// written in it: a write or a Transaction begun inside one fails. Inside
// another transaction it is nothing of its own.
class ReadTransaction {
public:
  explicit ReadTransaction(Database& db);
  ~ReadTransaction();
  ReadTransaction(const ReadTransaction&) = delete;
  ReadTransaction& operator=(const ReadTransaction&) = delete;
  void end();

private:
  Database& db_;
  bool active_ = false;
};

} // namespace korvane::db
