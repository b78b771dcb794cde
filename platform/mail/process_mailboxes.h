// Mailboxes served by a few processes of the service's own, so that the
// messages of several sessions are stored side by side: each process has
// its own connection to the server, as separate delivering programs do, and
// while one waits for its commit to reach the disk another goes on. Every
// delivery is handed to a free process and waited for; a process that dies
// fails only the delivery it ran (the client is told to try again), is
// started anew and is logged: the message may have been stored before it
// ended, and is then stored twice when the client sends it again.
// Addresses are looked up, and refusals logged, in the service's own
// process by one more Mailboxes of the same kind: a look-up only reads, so
// it need not queue behind the deliveries for a process.
#pragma once

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/com/channel.h"
#include "platform/mail/session.h"

namespace korvane::mail {

// A message crosses to the process that stores it in one frame, with its
// envelope: the largest message leaves room for that.
inline constexpr std::size_t kLargestMessage = wire::kMaxFrame - (1u << 20);

class ProcessMailboxes final : public Mailboxes {
public:
  using Make = std::function<std::unique_ptr<Mailboxes>()>;
  using Log = std::function<void(const std::string& line)>;
  // Starts `processes` processes, each with the Mailboxes that `make`
  // builds in it. Call before any other thread starts: processes are forked.
  // The Mailboxes for look-ups is made here on first use, after the fork.
  // `log` hears of a process that ended, during a delivery or while idle.
  ProcessMailboxes(std::size_t processes, Make make, Log log = {});
  ~ProcessMailboxes() override;
  ProcessMailboxes(const ProcessMailboxes&) = delete;
  ProcessMailboxes& operator=(const ProcessMailboxes&) = delete;

  std::optional<std::string> folderOf(std::string_view address) override;
  std::vector<DeliveryResult> deliver(const Envelope& envelope, std::string_view message) override;
  void refused(const Envelope& envelope, std::string_view recipient, std::string_view reason) override;

private:
  struct Process {
    int pid = 0;
    std::unique_ptr<wire::Channel> channel;  // none in an empty place
  };
  Process start();
  // Ends a process that died or failed, if it has not, and reaps it; says
  // how it ended ("killed by signal 9 (Killed)").
  std::string reap(Process& dead);
  // Reaps a process that died or failed and starts its successor.
  Process replace(Process dead);
  // The same; when no successor can be started (no processes or file
  // descriptors left), an empty place goes back to the pool for the next
  // call to try again, since a lost place would leave later calls waiting
  // for ever, and the error is thrown.
  Process renewed(Process dead);
  Process take();
  void give(Process p);
  // Runs `ask` on a free process; a process that fails is replaced and the
  // call throws std::runtime_error.
  template <typename Ask>
  auto onProcess(Ask ask);

  // The Mailboxes for look-ups, under localLock_. A restart forks while
  // other threads run: holding localLock_ keeps them out of the database
  // and its libraries, whose locks a child would inherit taken.
  Mailboxes& local();

  Make make_;
  Log log_;
  std::mutex localLock_;
  std::unique_ptr<Mailboxes> local_;
  std::mutex lock_;
  std::condition_variable freed_;
  std::vector<Process> free_;
  std::vector<int> pids_;
};

} // namespace korvane::mail
