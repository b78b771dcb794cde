// A server database that is missing, open to others, another user's or damaged: every
// korvane-lab command ends with one message that names the file and says
// what to do, and a non-zero exit; the store and its event service raise the
// same clear error in-process; nothing crashes.
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <random>

#include <gtest/gtest.h>

#include "platform/store/store.h"
#include "robustness_fixture.h"

namespace korvane::robustness {
namespace {

namespace fs = std::filesystem;

// Every command of the lab that opens the server.
const std::vector<std::vector<std::string>> kLabCommands{
    {"info"},
    {"folder", "list"},
    {"items", "Sales"},
    {"deliver", "Sales", "--class", "IPM.Note"},
    {"reg", "list"},
    {"reg", "add", "Sales", "--sink", "Korvane.KorvaneCls"},
    {"complus", "list"},
    {"events"},
    {"user", "list"},
};

enum class Damage {
  Missing,          // server.db removed
  NoDirectory,      // the server directory does not exist
  NotAFile,         // server.db is a directory
  Garbage,          // every byte replaced
  DamagedPages,     // the header kept, the pages after it overwritten
  Truncated,        // cut in the middle of its first page
  Empty,            // zero bytes: a database without any table
  OpenDirectory,    // mode 0755: others could read the server
  OpenFile,         // mode 0666: others could write the database
  AnotherUsers,     // the server of another user (run as nobody)
  CatalogTable      // the pages of the COM+ catalog's table overwritten
};

struct Case {
  const char* name;
  Damage damage;
  bool asNobody;
  // What the message must say besides the file's name.
  std::vector<std::string> advice;
};

void writeGarbage(const fs::path& file, std::size_t offset, std::size_t length) {
  std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(static_cast<std::streamoff>(offset));
  std::mt19937 random(7);
  for (std::size_t i = 0; i < length; ++i) f.put(static_cast<char>(random() & 0xFF));
}

void removeJournals(const fs::path& db) {
  fs::remove(db.string() + "-wal");
  fs::remove(db.string() + "-shm");
}

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class BadDatabase : public RobustnessTest, public ::testing::WithParamInterface<Case> {
protected:
  void SetUp() override {
    RobustnessTest::SetUp();
    addFolder(u"Sales");
    install(kCtor);
    registerOn(u"Sales");
    // Everything into the main file, so that damaging it damages the data.
    db::Database::current().exec("PRAGMA wal_checkpoint(TRUNCATE)");
    db::Database::closeCurrent();
    dbFile = db::databaseFile(serverDir());
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(serverDir(), fs::perms::owner_all, fs::perm_options::add, ec);
    RobustnessTest::TearDown();
  }

  void damage(Damage d) {
    const auto size = fs::file_size(dbFile);
    switch (d) {
      case Damage::Missing: fs::remove(dbFile); removeJournals(dbFile); break;
      case Damage::NoDirectory: fs::remove_all(serverDir()); break;
      case Damage::NotAFile: fs::remove(dbFile); removeJournals(dbFile); fs::create_directory(dbFile); break;
      case Damage::Garbage: removeJournals(dbFile); writeGarbage(dbFile, 0, size); break;
      case Damage::DamagedPages: removeJournals(dbFile); writeGarbage(dbFile, 4096, size - 4096); break;
      case Damage::Truncated: removeJournals(dbFile); fs::resize_file(dbFile, 1000); break;
      case Damage::Empty: removeJournals(dbFile); fs::resize_file(dbFile, 0); break;
      case Damage::OpenDirectory: ::chmod(serverDir().c_str(), 0755); break;
      case Damage::OpenFile: ::chmod(dbFile.c_str(), 0666); break;
      case Damage::AnotherUsers:  // reachable, so that the owner is what stops the other user
        fs::permissions(serverDir().parent_path(), fs::perms::others_exec, fs::perm_options::add);
        break;
      case Damage::CatalogTable: damageTable("complus_components"); break;
    }
  }
  void damageTable(const char* table) {
    std::int64_t page = 0, pageSize = 0;
    {
      auto& d = db::Database::current();
      auto s = d.prepare("SELECT rootpage FROM sqlite_master WHERE name = ?");
      s.bind(1, table);
      ASSERT_TRUE(s.step()) << table;
      page = s.integer(0);
      auto p = d.prepare("PRAGMA page_size");
      ASSERT_TRUE(p.step());
      pageSize = p.integer(0);
    }
    db::Database::closeCurrent();
    removeJournals(dbFile);
    writeGarbage(dbFile, static_cast<std::size_t>((page - 1) * pageSize), static_cast<std::size_t>(pageSize));
  }

  fs::path dbFile;
};

TEST_P(BadDatabase, EveryLabCommandSaysWhatIsWrongAndWhatToDo) {
  const Case& c = GetParam();
  if (c.asNobody && !canRunAsNobody())
    GTEST_SKIP() << "needs root and the user nobody: the owner of a file may read it whatever its mode";
  if (c.asNobody) fs::permissions(workDir(), fs::perms::all, fs::perm_options::add);  // for the output files
  damage(c.damage);
  const bool dirNamed = c.damage == Damage::NoDirectory || c.damage == Damage::OpenDirectory || c.asNobody;
  const std::string named = dirNamed ? serverDir().string() : dbFile.string();
  const std::string before = slurp(dbFile);
  for (const auto& command : kLabCommands) {
    ChildResult r = lab(command, {}, c.asNobody);
    const std::string shown = commaSeparated(command) + ": ";
    ASSERT_TRUE(r.exited) << shown << describe(r);
    EXPECT_NE(r.exitCode, 0) << shown << describe(r);
    EXPECT_EQ(r.err.rfind("korvane-lab: ", 0), 0u) << shown << describe(r);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << shown << "one line expected: " << r.err;
    EXPECT_NE(r.err.find(named), std::string::npos) << shown << "the message does not name " << named << ": " << r.err;
    for (const auto& words : c.advice) EXPECT_NE(r.err.find(words), std::string::npos) << shown << r.err;
  }
  EXPECT_TRUE(slurp(dbFile) == before) << "a command wrote into the bad database";
}

const Case kCases[] = {
    {"Missing", Damage::Missing, false, {"does not exist", "init"}},
    {"NoDirectory", Damage::NoDirectory, false, {"does not exist", "init"}},
    {"NotAFile", Damage::NotAFile, false, {"not a file"}},
    {"Garbage", Damage::Garbage, false, {"damaged", "backup"}},
    {"DamagedPages", Damage::DamagedPages, false, {"damaged", "backup"}},
    {"Truncated", Damage::Truncated, false, {"damaged", "backup"}},
    {"Empty", Damage::Empty, false, {"init"}},
    {"OpenDirectory", Damage::OpenDirectory, false, {"read by other users", "chmod 700"}},
    {"OpenFile", Damage::OpenFile, false, {"read and written by other users", "chmod 600"}},
    {"AnotherUsers", Damage::AnotherUsers, true, {"belongs to the user root", "chown"}},
};

INSTANTIATE_TEST_SUITE_P(Damages, BadDatabase, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

// In-process, a delivery into a damaged server fails with the same clear
// error, whether the damage hits the store or the COM+ catalog the event
// service reads to create the sink; nothing is stored, nothing crashes.
class DamagedStore : public BadDatabase {};

TEST_P(DamagedStore, ADeliveryFailsWithTheFileNamedAndStoresNothing) {
  const Case& c = GetParam();
  damage(c.damage);
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      store::deliver(u"Sales", {{store::prop::subject, Variant(u"Lost")}, {store::prop::messageClass, Variant(u"IPM.Post")}});
      ADD_FAILURE() << "the delivery went through";
    } catch (const ComError& e) {
      EXPECT_EQ(e.code(), db::E_DATABASE) << e.what();
      EXPECT_NE(e.description().find(dbFile.u16string()), Text::npos) << e.what();
      for (const auto& words : c.advice) EXPECT_NE(std::string(e.what()).find(words), std::string::npos) << e.what();
    }
  }
  if (c.damage == Damage::CatalogTable) {
    // Only the catalog is damaged: the store can say that nothing was stored.
    EXPECT_FALSE(store::findItem(u"Sales/Lost.EML"));
  }
}

const Case kInProcessCases[] = {
    {"Garbage", Damage::Garbage, false, {"damaged", "backup"}},
    {"CatalogTable", Damage::CatalogTable, false, {"damaged", "backup"}},
    {"Empty", Damage::Empty, false, {"init"}},
    {"Missing", Damage::Missing, false, {"does not exist", "init"}},
};

INSTANTIATE_TEST_SUITE_P(Damages, DamagedStore, ::testing::ValuesIn(kInProcessCases),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace korvane::robustness
