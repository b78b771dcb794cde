// Another process of the same server, for what caches must notice: it forks
// while this process has no connection open, waits, and makes its change on
// a connection of its own when told to, while this process has opened its
// connection again and filled its caches in the meantime.
#pragma once

#include <functional>

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/db/database.h"

namespace korvane::testing {

class OtherProcess {
public:
  explicit OtherProcess(std::function<void()> change) {
    db::Database::closeCurrent();
    int fds[2];
    if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[1]);
      char go = 0;
      if (::read(fds[0], &go, 1) != 1) ::_exit(2);
      try {
        change();
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    ::close(fds[0]);
    go_ = fds[1];
  }
  ~OtherProcess() {
    if (go_ >= 0) ::close(go_);
    if (pid_ > 0 && !ran_) ::waitpid(pid_, nullptr, 0);
  }
  OtherProcess(const OtherProcess&) = delete;
  OtherProcess& operator=(const OtherProcess&) = delete;

  // Lets it make its change and waits until it has ended.
  void run() {
    ASSERT_EQ(::write(go_, "g", 1), 1);
    int status = 0;
    ASSERT_EQ(::waitpid(pid_, &status, 0), pid_);
    ran_ = true;
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the other process's change failed";
  }

private:
  pid_t pid_ = -1;
  int go_ = -1;
  bool ran_ = false;
};

} // namespace korvane::testing
