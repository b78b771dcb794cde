#include "platform/db/database.h"

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

TEST_F(DatabaseTest, ASchemaMadeOutsideATransactionIsRememberedAtOnce) {
  EXPECT_FALSE(db().hasSchema("notes"));
  db().ensureSchema("notes", kNotesSchema);
  EXPECT_TRUE(db().hasSchema("notes"));
  EXPECT_TRUE(tableExists(db(), "notes"));
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
  Database::Generation afterRollback = db().generation();
  EXPECT_NE(afterRollback, afterOther) << "a rolled-back change";
  EXPECT_EQ(db().generation(), afterRollback) << "nothing happened since";
}

} // namespace
} // namespace korvane::db
