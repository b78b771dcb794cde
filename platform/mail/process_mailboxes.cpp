#include "platform/mail/process_mailboxes.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/com/channel.h"
#include "platform/db/database.h"
#include "platform/mail/store_mailboxes.h"

namespace korvane::mail {

namespace {

constexpr std::uint8_t kDeliver = 2;

void putEnvelope(wire::Writer& w, const Envelope& e) {
  w.blob(e.sender);
  w.i32(static_cast<std::int32_t>(e.recipients.size()));
  for (const auto& r : e.recipients) {
    w.blob(r.address);
    w.blob(r.folder);
  }
}

Envelope getEnvelope(wire::Reader& r) {
  Envelope e;
  e.sender = r.blob();
  for (std::int32_t n = r.i32(); n > 0; --n) {
    Recipient rc;
    rc.address = r.blob();
    rc.folder = r.blob();
    e.recipients.push_back(std::move(rc));
  }
  return e;
}

// A delivery, or the next message of a session, takes far longer than a
// spin would last: both ends of a pool channel sleep at once, and leave the
// processor to the process that stores.
constexpr std::chrono::microseconds kNoSpin{0};

// A storing process ended while it had the message: it may have stored it.
struct EndedDuringDelivery : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A process of the pool: answers calls until the service closes its end.
[[noreturn]] void serve(int fd, const ProcessMailboxes::Make& make) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  wire::Channel channel(fd);
  channel.setSpin(kNoSpin);
  auto mailboxes = make();
  for (;;) {
    try {
      auto f = channel.receive(-1);
      Envelope e = getEnvelope(f->body);
      auto results = mailboxes->deliver(e, f->body.blob());
      wire::Writer reply;
      reply.i32(static_cast<std::int32_t>(results.size()));
      for (const auto& r : results) {
        reply.u8(static_cast<std::uint8_t>(r.status));
        reply.blob(r.detail);
      }
      channel.send(f->type, reply);
    } catch (const wire::ChannelClosed&) {
      ::_exit(0);
    }
  }
}

} // namespace

ProcessMailboxes::ProcessMailboxes(std::size_t processes, Make make, Log log)
    : make_(std::move(make)), log_(std::move(log)) {
  for (std::size_t i = 0; i < std::max<std::size_t>(processes, 1); ++i) free_.push_back(start());
}

ProcessMailboxes::~ProcessMailboxes() {
  free_.clear();  // the processes see their channel close and end
  for (int pid : pids_) {
    while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
  }
}

ProcessMailboxes::Process ProcessMailboxes::start() {
  std::lock_guard local(localLock_);
  // Each process opens a connection of its own; one carried across fork
  // would share this process's locks. The look-ups open theirs again.
  db::Database::closeCurrent();
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
    throw std::runtime_error(std::string("cannot start a storing process: ") + std::strerror(errno));
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw std::runtime_error(std::string("cannot start a storing process: ") + std::strerror(errno));
  }
  if (pid == 0) {
    // The service stops its processes by closing their channels, once their
    // messages are stored: a Ctrl-C or SIGTERM to the whole group must not
    // end them first. Nothing else of the service's (its listening and
    // client sockets, its signal pipe) belongs in them.
    ::signal(SIGINT, SIG_IGN);
    ::signal(SIGTERM, SIG_IGN);
    ::dup2(fds[1], 3);
    ::close_range(4, ~0U, 0);
    serve(3, make_);
  }
  ::close(fds[1]);
  pids_.push_back(pid);
  auto channel = std::make_unique<wire::Channel>(fds[0]);
  channel->setSpin(kNoSpin);
  return {pid, std::move(channel)};
}

ProcessMailboxes::Process ProcessMailboxes::take() {
  std::unique_lock guard(lock_);
  freed_.wait(guard, [&] { return !free_.empty(); });
  Process p = std::move(free_.back());
  free_.pop_back();
  return p;
}

void ProcessMailboxes::give(Process p) {
  {
    std::lock_guard guard(lock_);
    free_.push_back(std::move(p));
  }
  freed_.notify_one();
}

template <typename Ask>
auto ProcessMailboxes::onProcess(Ask ask) {
  Process p = take();
  // One that died while idle took no message with it; an empty place is
  // one whose successor could not be started last time.
  if (!p.channel || p.channel->peerGone()) {
    const int dead = p.pid;
    const std::string how = reap(p);
    if (dead > 0 && log_)
      log_("the storing process " + std::to_string(dead) + " had ended while idle (" + how + "); a new one takes its place");
    p = renewed(std::move(p));
  }
  try {
    auto answer = ask(*p.channel);
    give(std::move(p));
    return answer;
  } catch (const wire::ChannelClosed&) {
    const int dead = p.pid;
    const std::string how = reap(p);
    try {
      give(renewed(std::move(p)));
    } catch (const std::runtime_error&) {  // its place waits, empty, for the next call
    }
    throw EndedDuringDelivery("the storing process " + std::to_string(dead) + " ended during the delivery (" + how + ")");
  }
}

std::string ProcessMailboxes::reap(Process& dead) {
  dead.channel.reset();
  if (dead.pid <= 0) return "ended";
  // A process whose channel failed is gone or going; one that is not yet
  // must not outlive its place. Its status is its own when it ended first.
  ::kill(dead.pid, SIGKILL);
  int status = 0;
  {
    std::lock_guard guard(lock_);
    while (::waitpid(dead.pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::erase(pids_, dead.pid);
  }
  dead.pid = 0;
  if (WIFSIGNALED(status)) {
    const char* name = ::sigdescr_np(WTERMSIG(status));  // unlike strsignal, safe in any thread
    return "killed by signal " + std::to_string(WTERMSIG(status)) + (name ? std::string(" (") + name + ")" : "");
  }
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  return "ended";
}

ProcessMailboxes::Process ProcessMailboxes::replace(Process dead) {
  reap(dead);
  std::lock_guard guard(lock_);
  return start();
}

ProcessMailboxes::Process ProcessMailboxes::renewed(Process dead) {
  try {
    return replace(std::move(dead));
  } catch (...) {
    give({});
    throw;
  }
}

Mailboxes& ProcessMailboxes::local() {
  if (!local_) local_ = make_();
  return *local_;
}

std::optional<std::string> ProcessMailboxes::folderOf(std::string_view address) {
  std::lock_guard guard(localLock_);
  // This connection only reads: the tables exist, and a look-up must never
  // queue for the write lock that the deliveries take.
  db::Database::current().trustSchemas();
  return local().folderOf(address);
}

std::vector<DeliveryResult> ProcessMailboxes::deliver(const Envelope& envelope, std::string_view message) {
  try {
    return onProcess([&](wire::Channel& c) {
      wire::Writer w;
      putEnvelope(w, envelope);
      w.blob(message);
      c.send(kDeliver, w);
      auto f = c.receive(-1);
      std::vector<DeliveryResult> results;
      for (std::int32_t n = f->body.i32(); n > 0; --n) {
        DeliveryResult r;
        r.status = static_cast<DeliveryResult::Status>(f->body.u8());
        r.detail = f->body.blob();
        results.push_back(std::move(r));
      }
      return results;
    });
  } catch (const std::runtime_error& e) {
    // Nothing was acknowledged: every recipient is asked to try again.
    if (log_) {
      std::string to;
      for (const auto& r : envelope.recipients) to += (to.empty() ? "<" : ", <") + printable(r.address) + ">";
      log_("not stored: a message from <" + printable(envelope.sender) + "> to " + to + ": " + e.what() +
           ". The client is asked to send it again" +
           (dynamic_cast<const EndedDuringDelivery*>(&e)
                ? "; had the process stored it already, it is then there twice."
                : "."));
    }
    return std::vector<DeliveryResult>(envelope.recipients.size(), {DeliveryResult::Status::Failed, e.what()});
  }
}

void ProcessMailboxes::refused(const Envelope& envelope, std::string_view recipient, std::string_view reason) {
  std::lock_guard guard(localLock_);
  local().refused(envelope, recipient, reason);
}

} // namespace korvane::mail
