#include "platform/db/database.h"

#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>

#include "platform/server/provision.h"
#include "support/temp_server.h"

namespace korvane::db {
namespace {

constexpr std::string_view kNotesSchema = "CREATE TABLE IF NOT EXISTS notes(text TEXT);";

bool tableExists(Database& d, std::string_view table) {
  auto s = d.prepare("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?");
  s.bind(1, table);
  return s.step();
}

class DatabaseTest : public ::testing::Test {
protected:
  Database& db() { return Database::current(); }
  testing::TempServer server_;
};

// Where the schema is first asked for, and how the transactions around it end.
struct SchemaRow {
  const char* what;
  bool inSavepoint;  // asked for inside a savepoint of the outer transaction
  bool innerCommits;
  bool outerCommits;
  bool kept;
};

TEST_F(DatabaseTest, ASchemaIsRememberedOnlyWhenItsCreationCommits) {
  EXPECT_FALSE(db().hasSchema("notes"));
  db().ensureSchema("notes", kNotesSchema);  // outside a transaction: at once
  EXPECT_TRUE(db().hasSchema("notes"));
  EXPECT_TRUE(tableExists(db(), "notes"));
  const SchemaRow rows[] = {
      {"outer transaction committed", false, true, true, true},
      {"outer transaction rolled back", false, true, false, false},
      {"savepoint and outer transaction committed", true, true, true, true},
      {"savepoint rolled back, outer committed", true, false, true, false},
      {"savepoint released, outer rolled back", true, true, false, false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    Database::closeCurrent();  // a fresh connection remembers nothing
    db().exec("DROP TABLE IF EXISTS notes");
    {
      Transaction outer(db());
      {
        std::optional<Transaction> inner;
        if (row.inSavepoint) inner.emplace(db());
        db().ensureSchema("notes", kNotesSchema);
        EXPECT_TRUE(db().hasSchema("notes"));
        if (inner && row.innerCommits) inner->commit();
        if (inner && !row.innerCommits) inner->rollback();
      }
      if (row.outerCommits) outer.commit();
      else outer.rollback();
    }
    EXPECT_EQ(db().hasSchema("notes"), row.kept);
    EXPECT_EQ(tableExists(db(), "notes"), row.kept);
    // Whatever happened, asking again leaves a table that works.
    db().ensureSchema("notes", kNotesSchema);
    db().prepare("INSERT INTO notes(text) VALUES ('x')").run();
    EXPECT_TRUE(db().hasSchema("notes"));
  }
}

// The generation is what caches of stored data are checked against: it must
// move with every change anyone could see, and only then.
TEST_F(DatabaseTest, TheGenerationMovesWithEveryChangeAndOnlyThen) {
  db().ensureSchema("notes", kNotesSchema);
  Database other(db().file());
  Database::Generation before = db().generation();

  db().prepare("SELECT count(*) FROM notes").step();
  EXPECT_EQ(db().generation(), before) << "a read";

  db().prepare("INSERT INTO notes(text) VALUES ('own')").run();
  Database::Generation afterOwn = db().generation();
  EXPECT_NE(afterOwn, before) << "a change through this connection";

  other.prepare("INSERT INTO notes(text) VALUES ('other')").run();
  Database::Generation afterOther = db().generation();
  EXPECT_NE(afterOther, afterOwn) << "a commit by another connection";

  {
    Transaction t(db());
    db().prepare("DELETE FROM notes").run();
    t.rollback();
  }
  EXPECT_NE(db().generation(), afterOther) << "a rolled-back change";
}

// What a save plans without the write lock: one snapshot, and no write.
TEST_F(DatabaseTest, AReadTransactionReadsOneSnapshotAndBeginsNoWrite) {
  db().ensureSchema("notes", kNotesSchema);
  Database other(db().file());
  auto count = [&] {
    auto s = db().prepare("SELECT count(*) FROM notes");
    s.step();
    return s.integer(0);
  };
  ReadTransaction reading(db());
  const auto before = count();
  other.prepare("INSERT INTO notes(text) VALUES ('other')").run();
  EXPECT_EQ(count(), before);
  EXPECT_THROW({ Transaction t(db()); }, ComError);
  EXPECT_THROW(db().prepare("INSERT INTO notes(text) VALUES ('inside')").run(), ComError);
  EXPECT_THROW(db().exec("INSERT INTO notes(text) VALUES ('inside')"), ComError);
  reading.end();
  EXPECT_EQ(count(), before + 1);
  Transaction writing(db());
  db().prepare("INSERT INTO notes(text) VALUES ('own')").run();
  writing.commit();
  EXPECT_EQ(count(), before + 2);
}

namespace fs = std::filesystem;

std::string bytesOf(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string refusal(const fs::path& file) {
  try {
    Database d(file);
  } catch (const ComError& e) {
    EXPECT_EQ(e.code(), E_DATABASE);
    return e.what();
  }
  return "";
}

mode_t modeOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

// Whatever the umask, what makes up a server is its owner's alone, the
// -wal and -shm files SQLite adds included.
TEST(ServerFiles, AreOwnerOnlyWhateverTheUmask) {
  for (mode_t mask : {0000, 0277}) {  // nothing masked, and even the owner's write
    SCOPED_TRACE(mask);
    testing::TempServer scratch(false);
    const fs::path dir = scratch.dir() / "a" / "server";
    const mode_t old = ::umask(mask);
    Database::create(dir);
    setServerDirectory(dir);
    Database::current().exec("CREATE TABLE notes(text TEXT); INSERT INTO notes VALUES ('x')");
    ::umask(old);
    EXPECT_EQ(modeOf(dir), 0700u);
    EXPECT_EQ(modeOf(dir.parent_path()), 0700u);
    for (const char* suffix : {"", "-wal", "-shm", "-writers"})
      EXPECT_EQ(modeOf(dir / (std::string("server.db") + suffix)), 0600u) << suffix;
    Database::closeCurrent();
  }
}

// init builds beside the server's directory, in a place no one else can
// have chosen for it: a link planted where a guessable name would be is
// neither followed nor moved into the server's place.
TEST(ServerFiles, InitBuildsInADirectoryNoOneCouldPlantALinkFor) {
  testing::TempServer scratch(false);
  const fs::path dir = scratch.dir() / "server", elsewhere = scratch.dir() / "elsewhere";
  fs::create_directory(elsewhere);
  fs::permissions(elsewhere, fs::perms::owner_all);
  fs::create_directory_symlink(elsewhere, scratch.dir() / (".server.init-" + std::to_string(::getpid())));
  server::initServer(dir, {}, false);
  Database::closeCurrent();
  EXPECT_TRUE(fs::is_directory(fs::symlink_status(dir)));
  EXPECT_TRUE(fs::exists(databaseFile(dir)));
  EXPECT_TRUE(fs::is_empty(elsewhere));
}

// A full disk is named as such: permissions are not what to check then.
TEST(ServerFiles, AFullDiskIsNamedWhenTheDatabaseCannotBeOpened) {
  testing::TempServer scratch(false);
  const fs::path disk = scratch.dir() / "disk", dir = disk / "server";
  fs::create_directory(disk);
  if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=1m") != 0) GTEST_SKIP() << "cannot mount a small disk here";
  struct Unmount {
    fs::path at;
    ~Unmount() { ::umount2(at.c_str(), MNT_DETACH); }
  } unmount{disk};
  Database::create(dir);
  {
    std::ofstream fill(disk / "fill", std::ios::binary);
    const std::string block(4096, 'x');
    while (fill.write(block.data(), block.size())) {
    }
  }
  const std::string message = refusal(databaseFile(dir));
  EXPECT_NE(message.find("is full"), std::string::npos) << message;
  EXPECT_EQ(message.find("permissions"), std::string::npos) << message;
}

struct TrustRow {
  const char* what;
  mode_t dirMode, fileMode;
  uid_t fileOwner;  // 0: the test's own user
  const char* fix;  // what the refusal must advise
};

// Another user's or an open server is refused before a byte of it is read (the
// robustness tests show a directory others may read and a database others may
// write refused by every lab command; every test opens a private one).
TEST(ServerFiles, AreRefusedWhenAnotherUserOwnsThemOrOthersMayUseThem) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root, to give a file to another user";
  const TrustRow rows[] = {
      {"directory shared like /tmp", 01777, 0600, 0, "shared by all users"},
      {"directory group-writable", 0770, 0600, 0, "chmod 700"},
      {"database readable", 0700, 0644, 0, "chmod 600"},
      {"database of another user", 0700, 0600, 65534, "chown -R root"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    testing::TempServer server;
    Database::closeCurrent();
    const fs::path file = databaseFile(server.serverPath());
    ::chmod(server.serverPath().c_str(), row.dirMode);
    ::chmod(file.c_str(), row.fileMode);
    ASSERT_EQ(::chown(file.c_str(), row.fileOwner, static_cast<gid_t>(-1)), 0);
    const std::string before = bytesOf(file);
    const std::string message = refusal(file);
    const std::string named = row.dirMode != 0700 ? server.serverPath().string() : file.string();
    EXPECT_NE(message.find(named), std::string::npos) << message;
    EXPECT_NE(message.find(row.fix), std::string::npos) << message;
    EXPECT_EQ(bytesOf(file), before);
    EXPECT_FALSE(fs::exists(file.string() + "-wal"));
  }
}

struct IdentityRow {
  const char* what;
  const char* pragmas;
  const char* says;
};

// Another program's database, or a schema this build does not know, is left
// exactly as it is: no table added, no switch to WAL.
TEST(ServerFiles, AnotherProgramsDatabaseOrAnUnknownSchemaIsNeverWritten) {
  const IdentityRow rows[] = {
      {"another program's", "PRAGMA application_id=1234;", "is not a Korvane server database"},
      {"no identity", "", "carries no application id"},
      {"a newer schema", "PRAGMA application_id=1263687246; PRAGMA user_version=2;", "schema version 2"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    testing::TempServer scratch(false);
    fs::create_directory(scratch.serverPath());
    const fs::path file = databaseFile(scratch.serverPath());
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &raw), SQLITE_OK);
    sqlite3_exec(raw, (std::string(row.pragmas) + "CREATE TABLE theirs(x);").c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(raw);
    ::chmod(scratch.serverPath().c_str(), 0700);
    ::chmod(file.c_str(), 0600);
    const std::string before = bytesOf(file);
    const std::string message = refusal(file);
    EXPECT_NE(message.find(file.string()), std::string::npos) << message;
    EXPECT_NE(message.find(row.says), std::string::npos) << message;
    EXPECT_EQ(message.find("CREATE"), std::string::npos) << message;
    EXPECT_EQ(std::count(message.begin(), message.end(), '\n'), 0) << message;
    EXPECT_EQ(bytesOf(file), before);
  }
}

// "file:" names a directory, never an SQLite URI with its options.
TEST(ServerFiles, APathIsNeverReadAsAUri) {
  testing::TempServer scratch(false);
  const fs::path previous = fs::current_path();
  fs::current_path(scratch.dir());
  Database::create("file:x?mode=memory");
  setServerDirectory("file:x?mode=memory");
  Database::current().exec("CREATE TABLE notes(text TEXT)");
  fs::current_path(previous);
  EXPECT_TRUE(fs::exists(scratch.dir() / "file:x?mode=memory" / "server.db"));
  EXPECT_EQ(serverDirectory(), scratch.dir() / "file:x?mode=memory");
  Database::closeCurrent();
}

struct LocationRow {
  const char* what;
  std::optional<std::string> server, xdg, home;
  const char* expected;  // a path, or what the refusal says
};

// The per-user default never falls back to a shared directory.
TEST(ServerLocation, ComesFromTheVariablesOrTheHomeDirectoryOnly) {
  const LocationRow rows[] = {
      {"KORVANE_SERVER", "/srv/k", "/x", "/root", "/srv/k"},
      {"XDG_DATA_HOME", std::nullopt, "/x", "/root", "/x/korvane/server"},
      {"a relative XDG_DATA_HOME is ignored", std::nullopt, "x", "/root", "/root/.local/share/korvane/server"},
      {"a missing home", std::nullopt, std::nullopt, "/nonexistent-home", "--server DIR or set KORVANE_SERVER"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    testing::ScopedEnv server("KORVANE_SERVER", row.server), xdg("XDG_DATA_HOME", row.xdg), home("HOME", row.home);
    setServerDirectory({});
    try {
      EXPECT_EQ(serverDirectory().string(), row.expected);
    } catch (const ComError& e) {
      EXPECT_NE(std::string(e.what()).find(row.expected), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find("/nonexistent-home"), std::string::npos) << e.what();
    }
  }
}

} // namespace
} // namespace korvane::db
