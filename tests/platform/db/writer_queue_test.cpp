// The writers' queue: a turn passes on when its holder leaves or is killed,
// a writer that asks twice is told so instead of waiting for itself, and a
// queue file that is not what it should be is not used.
#include "platform/db/writer_queue.h"

#include <csignal>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/temp_server.h"

namespace korvane::db {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class WriterQueueTest : public ::testing::Test {
protected:
  std::filesystem::path file() const { return server_.dir() / "server.db"; }

  // A process that takes the turn and holds it until it is killed.
  pid_t holder() {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
      WriterQueue q(file());
      char held = q.enter(Clock::now() + 5s) ? 1 : 0;
      (void)!::write(ready[1], &held, 1);
      for (;;) ::pause();
    }
    char held = 0;
    ::close(ready[1]);
    (void)!::read(ready[0], &held, 1);
    ::close(ready[0]);
    EXPECT_EQ(held, 1) << "the holder did not get the turn";
    return pid;
  }

  testing::TempServer server_;
};

TEST_F(WriterQueueTest, ATurnPassesOnWhenItsHolderIsKilledMeanwhile) {
  WriterQueue q(file());
  EXPECT_FALSE(q.awaitTurn(Clock::now() + 1s));  // nobody holds it
  pid_t child = holder();
  ASSERT_GT(child, 0);
  std::thread killer([child] {
    std::this_thread::sleep_for(100ms);
    ::kill(child, SIGKILL);
  });
  // A turn that stayed with the dead holder would keep this waiting to the end.
  EXPECT_TRUE(q.awaitTurn(Clock::now() + 30s));
  killer.join();
  ::waitpid(child, nullptr, 0);
  EXPECT_TRUE(q.enter(Clock::now() + 1s));
  EXPECT_FALSE(q.enter(Clock::now() + 1s));  // asked twice
  WriterQueue other(file());                 // this thread again, on another connection
  EXPECT_FALSE(other.enter(Clock::now() + 1s));
  q.leave();
  EXPECT_TRUE(other.enter(Clock::now() + 1s));
}

TEST_F(WriterQueueTest, AQueueFileThatIsALinkOrNoFileIsNotUsed) {
  const std::filesystem::path queue = file().string() + "-writers", elsewhere = server_.dir() / "elsewhere";
  std::filesystem::create_symlink(elsewhere, queue);
  EXPECT_FALSE(WriterQueue(file()).enter(Clock::now() + 1s));
  EXPECT_FALSE(std::filesystem::exists(elsewhere));
  std::filesystem::remove(queue);
  std::filesystem::create_directory(queue);
  EXPECT_FALSE(WriterQueue(file()).enter(Clock::now() + 1s));
}

} // namespace
} // namespace korvane::db
