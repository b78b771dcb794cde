#include <csignal>
#include <cstdlib>

#include "platform/db/fault.h"
#include "store_fixture.h"

namespace korvane::store {
namespace {

using namespace testing;

// A process killed at a fault point of a save, and what the server keeps.
class Crash : public StoreTest {
protected:
  void SetUp() override {
    GTEST_FLAG_SET(death_test_style, "fast");  // the child must see this test's server
    StoreTest::SetUp();
    folder(u"Sales");
    db::Database::closeCurrent();  // the child opens its own connection
  }

  void deliverKilledAt(const char* point) {
    EXPECT_EXIT(
        {
          ::setenv("KORVANE_FAULT", point, 1);
          deliver(u"Sales", {{prop::subject, Variant(u"Crash")}});
          std::exit(0);
        },
        ::testing::KilledBySignal(SIGKILL), "");
  }
};

TEST_F(Crash, BeforeTheCommitNothingIsWritten) {
  for (const char* point : {"store.begin-phase", "store.before-commit"}) {
    deliverKilledAt(point);
    EXPECT_TRUE(listItems(u"Sales").empty()) << point;
    EXPECT_EQ(tree::database().integrityCheck(), "ok");
    db::Database::closeCurrent();
  }
}

TEST_F(Crash, AfterTheCommitTheItemStays) {
  deliverKilledAt("store.after-save-before-commit-phase");
  auto items = listItems(u"Sales");
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].name, u"Crash.EML");
  EXPECT_EQ(tree::database().integrityCheck(), "ok");
}

} // namespace
} // namespace korvane::store
