// The queue of a server's writers: a robust mutex shared by every process,
// in a small file beside the database. A writer holds it for its whole write
// transaction, so that the next writer sleeps until it is its turn instead of
// polling for the database's write lock and sleeping past the moment it came
// free. The database's own lock still keeps writers apart; a process that
// cannot use the queue (no file, a wait that runs out) polls as before.
#pragma once

#include <chrono>
#include <filesystem>

namespace korvane::db {

class WriterQueue {
public:
  using Deadline = std::chrono::steady_clock::time_point;

  // The queue of the database `file`, made the first time it is asked for.
  explicit WriterQueue(const std::filesystem::path& file);
  ~WriterQueue();
  WriterQueue(const WriterQueue&) = delete;
  WriterQueue& operator=(const WriterQueue&) = delete;

  // Takes this connection's turn, waiting until `deadline` at most; false
  // when it could not (no queue, the wait ran out, already held).
  bool enter(Deadline deadline);
  void leave();
  // For a writer that is not in the queue: true when someone held it and
  // has let go since (so the write lock is worth trying again at once);
  // false at once when nobody holds it.
  bool awaitTurn(Deadline deadline);

private:
  struct Shared;
  Shared* shared_ = nullptr;
  bool held_ = false;
};

} // namespace korvane::db
