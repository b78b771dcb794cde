#include "platform/db/database.h"

#include <sys/stat.h>

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

} // namespace
} // namespace korvane::db
