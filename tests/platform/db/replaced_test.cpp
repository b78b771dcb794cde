#include "platform/db/database.h"

#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "support/temp_server.h"

namespace korvane::db {
namespace {

namespace fs = std::filesystem;

// A database file replaced (a backup restored over it) or removed while a
// connection has it open is never written through that connection: what it
// wrote would be out of everyone's reach, though reported done.
TEST(ReplacedDatabase, IsNeverWrittenThroughTheConnectionThatOpenedTheOldFile) {
  for (bool removed : {false, true}) {
    SCOPED_TRACE(removed ? "removed" : "replaced");
    testing::TempServer server;
    const fs::path file = databaseFile(server.serverPath()), copy = server.dir() / "copy.db";
    Database& old = Database::current();
    old.exec("CREATE TABLE notes(text TEXT)");
    old.exec("VACUUM INTO '" + copy.string() + "'");
    ::chmod(copy.c_str(), 0600);
    if (removed) fs::remove(file);
    else fs::rename(copy, file);
    EXPECT_FALSE(old.stillTheFile());
    try {
      Transaction t(old);
      ADD_FAILURE() << "a write transaction began on the old file";
    } catch (const ComError& e) {
      EXPECT_EQ(e.code(), E_DATABASE);
      EXPECT_NE(e.description().find(u"was replaced or removed"), Text::npos) << toUtf8(e.description());
    }
  }
}

// A host's worker opens the owner-only database, then becomes another
// account that may not look into its directory: that is no replacement.
TEST(ReplacedDatabase, APathThatCannotBeLookedAtAnyMoreIsNoReplacement) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || !nobody) GTEST_SKIP() << "needs root and the account nobody";
  testing::TempServer server;
  Database::current().exec("CREATE TABLE notes(text TEXT)");
  Database::closeCurrent();
  const pid_t child = ::fork();
  if (child == 0) {
    Database& db = Database::current();
    bool wrote = false;
    if (::setresgid(nobody->pw_gid, nobody->pw_gid, nobody->pw_gid) == 0 &&
        ::setresuid(nobody->pw_uid, nobody->pw_uid, nobody->pw_uid) == 0 && db.stillTheFile()) {
      try {
        Transaction t(db);
        db.exec("INSERT INTO notes VALUES ('worker')");
        t.commit();
        wrote = true;
      } catch (...) {
      }
    }
    ::_exit(wrote ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

} // namespace
} // namespace korvane::db
