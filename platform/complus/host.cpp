// The caller's side of host processes: settings, finding or starting a
// host, calls with their time limit, status and shutdown.
#include "platform/complus/host.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <pthread.h>
#include <mutex>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/complus/host_files.h"
#include "platform/db/database.h"
#include "platform/db/stamp.h"
#include "platform/registry/registry.h"
#include "platform/store/eventlog.h"

namespace korvane::complus::host {

namespace fs = std::filesystem;

namespace {

constexpr char16_t kSettingsKey[] = u"SOFTWARE\\Korvane Platform\\COM+";
// How long a running host may take to greet. Its listening process greets
// as it accepts: it runs no sink code and waits on nothing (no database, no
// lock), so even a loaded machine greets within milliseconds, and silence
// for seconds means it is stopped or wedged. The caller waits under the
// start lock that every creation of the application needs, so the bound is
// kept short.
constexpr int kGreetMs = 3000;
// How long a new host may take to greet: it has to load, open the server
// and read the catalog first. Still under the start lock.
constexpr int kStartMs = 10000;
// How long past the time limit a caller waits for the host's own note
// before ending it itself.
constexpr int kGraceMs = 2000;
// Objects a worker keeps for reuse: more than one save uses of one class.
constexpr std::size_t kMostKept = 8;

std::int32_t setting(TextView name, std::int32_t fallback) {
  try {
    auto v = registry::getValue(registry::Root::LocalMachine, kSettingsKey, name);
    if (!v || v->isEmpty() || v->isNull()) return fallback;
    auto n = v->toInt();
    return n > 0 && n <= 86400 ? static_cast<std::int32_t>(n) : fallback;
  } catch (const ComError&) {
    return fallback;
  }
}

void putSetting(TextView name, std::int32_t seconds) {
  if (seconds < 1 || seconds > 86400)
    throw ComError(E_INVALIDARG, u"A time in seconds between 1 and 86400 is needed.");
  registry::setValue(registry::Root::LocalMachine, kSettingsKey, name, Variant(seconds));
}

// The program next to the platform library, unless KORVANE_COMHOST names one.
std::string hostProgram() {
  if (const char* override = std::getenv("KORVANE_COMHOST"); override && *override) return override;
  Dl_info info{};
  if (::dladdr(reinterpret_cast<void*>(&hostProgram), &info) && info.dli_fname)
    return (fs::path(info.dli_fname).parent_path() / "korvane-comhost").string();
  return "korvane-comhost";
}

// Holds a flock for its lifetime.
class FileLock {
public:
  FileLock(int fd, int how) : fd_(fd) {
    while (::flock(fd_, how) != 0 && errno == EINTR) {
    }
  }
  ~FileLock() { unlock(); }
  void unlock() {
    if (fd_ >= 0) ::flock(std::exchange(fd_, -1), LOCK_UN);
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

private:
  int fd_;
};

std::atomic<std::uint64_t> trips{0};

[[noreturn]] void cannotStart(const Target& t, TextView why) {
  throw ComError(CO_E_SERVER_EXEC_FAILURE, u"The host process of the COM+ server application \"" + t.applicationName +
                                               u"\" could not be started: " + Text(why));
}

int openLockFile(const Target& t) {
  std::error_code ec;
  fs::create_directory(files::directory(), ec);
  ::chmod(files::directory().c_str(), 0700);
  int fd = ::open(files::lockFile(t.applicationId).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) cannotStart(t, u"its lock file cannot be opened: " + fromUtf8(std::strerror(errno)) + u".");
  ::fchmod(fd, 0600);  // whatever the umask: the next caller opens it for writing
  return fd;
}

// Starts korvane-comhost on `listener` as a grandchild, so that it outlives
// the caller and no caller has to reap it. Returns its pid (0: unknown).
int spawn(const Target& t, int listener) {
  std::string program = hostProgram();
  if (::access(program.c_str(), X_OK) != 0)
    cannotStart(t, u"the host program " + fromUtf8(program) + u" is missing; build it, or name it in KORVANE_COMHOST.");
  std::string server = db::serverDirectory().string(), app = toUtf8(t.applicationId);
  std::string limit = std::to_string(sinkTimeLimit()), idle = std::to_string(idleShutdown());
  const char* argv[] = {program.c_str(), "--server",     server.c_str(), "--application", app.c_str(),
                        "--time-limit",  limit.c_str(), "--idle",       idle.c_str(),    nullptr};
  wire::Writer note;
  note.text(u"the host program " + fromUtf8(program) + u" could not be run");
  std::string died = wire::frameBytes(Died, note);

  // The middle process tells the host's pid, to end a host that never greets.
  int told[2];
  if (::pipe2(told, O_CLOEXEC) != 0) cannotStart(t, u"pipe failed: " + fromUtf8(std::strerror(errno)) + u".");
  pid_t child = ::fork();
  if (child < 0) {
    Text why = fromUtf8(std::strerror(errno));
    ::close(told[0]);
    ::close(told[1]);
    cannotStart(t, u"fork failed: " + why + u".");
  }
  if (child == 0) {
    ::setsid();
    if (pid_t host = ::fork(); host != 0) {
      (void)!::write(told[1], &host, sizeof host);
      ::_exit(0);
    }
    if (listener != 3) ::dup2(listener, 3);
    ::fcntl(3, F_SETFD, 0);
    int null = ::open("/dev/null", O_RDWR);
    for (int fd = 0; fd < 3; ++fd) ::dup2(null, fd);
    ::close_range(4, ~0U, 0);
    ::execv(argv[0], const_cast<char* const*>(argv));
    int caller = ::accept(3, nullptr, nullptr);
    if (caller >= 0) (void)!::write(caller, died.data(), died.size());
    ::_exit(127);
  }
  ::close(told[1]);
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  pid_t host = 0;
  if (::read(told[0], &host, sizeof host) != sizeof host) host = 0;
  ::close(told[0]);
  if (host < 0) cannotStart(t, u"fork failed.");
  return host;
}

constexpr int kNoHost = -1;    // nothing listens on the socket
constexpr int kHostFull = -2;  // its listen queue stayed full: it takes no one

// A connection to the running host, kNoHost or kHostFull. Connects without
// blocking: a host that accepts no one fills its queue, and a blocking
// connect would then wait for ever.
int connectHost(const Target& t, int waitMs = kGreetMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return kNoHost;
    int error = 0;
    if (files::withAddress(files::socketFile(t.applicationId), [&](const sockaddr_un& a) {
          int r = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
          error = errno;
          return r;
        }) == 0) {
      ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
      return fd;
    }
    ::close(fd);
    if (error != EAGAIN) return kNoHost;
    if (std::chrono::steady_clock::now() >= deadline) return kHostFull;
    ::usleep(10000);
  }
}

int listenHost(const Target& t) {
  auto path = files::socketFile(t.applicationId);
  ::unlink(path.c_str());
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  // Connecting takes write permission on the socket, which the umask may
  // have withheld; the directory is the owner's alone.
  bool ok = fd >= 0 && files::withAddress(path, [&](const sockaddr_un& a) {
                         return ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
                       }) == 0 &&
            ::chmod(path.c_str(), 0600) == 0 && ::listen(fd, files::kBacklog) == 0;
  if (!ok) {
    Text why = fromUtf8(std::strerror(errno));
    if (fd >= 0) ::close(fd);
    cannotStart(t, u"its socket " + fromUtf8(path.string()) + u" cannot be made: " + why + u".");
  }
  return fd;
}

// Whether the process `pid` (not a child of ours) ends within `ms`.
bool awaitEnd(int pid, int ms) {
  for (int waited = 0; waited < ms; waited += 5) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    // Ended but not yet reaped by its parent.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    if (stat >> pidField >> name >> state && state == "Z") return true;
    ::usleep(5000);
  }
  return false;
}

// The process listening at the other end of a connection: the host's
// listener, which listens again when it starts so that this names it and
// not the caller that made the socket.
int peerPid(int fd) {
  ucred c{};
  socklen_t size = sizeof c;
  return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &c, &size) == 0 ? c.pid : 0;
}

// Whether `pid` is a host of the application in this server, by its
// command line: a host started by an older program names its starter, and
// a pid may have been reused; no other process is ever ended.
bool isHostOf(int pid, const Target& t) {
  if (pid <= 0 || pid == ::getpid()) return false;
  std::ifstream in("/proc/" + std::to_string(pid) + "/cmdline", std::ios::binary);
  std::vector<std::string> args;
  for (std::string a; std::getline(in, a, '\0');) args.push_back(a);
  bool application = false, server = false;
  for (std::size_t i = 1; i + 1 < args.size(); ++i) {
    std::error_code ec;
    if (args[i] == "--application") application = equalsIgnoreCase(fromUtf8(args[i + 1]), t.applicationId);
    if (args[i] == "--server") server = fs::equivalent(args[i + 1], db::serverDirectory(), ec);
  }
  return application && server;
}

// Kills a host that does not answer (its workers end with it); true when it
// has gone. A stopped process dies of SIGKILL too.
bool killHost(int pid, const Target& t) {
  if (!isHostOf(pid, t) || ::kill(pid, SIGKILL) != 0) return false;
  return awaitEnd(pid, 2000);
}

// Ends a host that does not answer and takes its socket away, so that the
// next creation starts a fresh one; true when its process has gone.
bool endSilentHost(int pid, const Target& t) {
  bool gone = killHost(pid, t);
  ::unlink(files::socketFile(t.applicationId).c_str());
  return gone;
}

Text pidText(int pid) { return pid > 0 ? u" (pid " + fromUtf8(std::to_string(pid)) + u")" : Text(); }

} // namespace

std::uint64_t roundTrips() { return trips.load(); }

void writeCallHead(wire::Writer& w, std::int64_t object) {
  w.i64(object);
  auto held = db::heldStamps(db::Database::current());
  w.boolean(held.has_value());
  if (!held) return;
  w.i32(static_cast<std::int32_t>(held->size()));
  for (const auto& [name, value] : *held) w.blob(name).i64(value);
}

std::int64_t readCallHead(wire::Reader& r) {
  const std::int64_t object = r.i64();
  if (!r.boolean()) return object;
  db::StampValues callers;
  for (std::int32_t n = r.i32(); n > 0; --n) {
    std::string name = r.blob();
    callers[std::move(name)] = r.i64();
  }
  db::adoptStamps(db::Database::current(), callers);
  return object;
}

std::int32_t sinkTimeLimit() { return setting(u"SinkTimeLimit", kDefaultSinkTimeLimit); }
std::int32_t idleShutdown() { return setting(u"IdleShutdown", kDefaultIdleShutdown); }
void setSinkTimeLimit(std::int32_t seconds) { putSetting(u"SinkTimeLimit", seconds); }
void setIdleShutdown(std::int32_t seconds) { putSetting(u"IdleShutdown", seconds); }

// --- one connection ----------------------------------------------------------

Link::Link(Target target, int fd, int lockFd)
    : target_(std::move(target)), channel_(std::make_unique<wire::Channel>(fd)), lockFd_(lockFd),
      limitMs_(sinkTimeLimit() * 1000) {}

Link::~Link() {
  if (lockFd_ >= 0) ::close(lockFd_);
}

bool Link::awaitHello(int ms) {
  try {
    auto f = channel_->receive(ms);
    if (!f) return false;
    if (f->type == Died) cannotStart(target_, f->body.text() + u".");
    if (f->type != Hello) cannotStart(target_, u"it answered with something else than a greeting.");
    pid_ = f->body.i32();
    if (Text warning = f->body.text(); !warning.empty())
      store::writeEvent(u"COM+", store::EventLevel::Warning, warning);
    return true;
  } catch (const wire::ChannelClosed&) {
    cannotStart(target_, u"it ended at once.");
  }
}

void Link::died(TextView during, Text what) {
  dead_ = true;
  throw ComError(RPC_E_SERVERDIED, u"The host process (pid " + fromUtf8(std::to_string(pid_)) +
                                       u") of the COM+ server application \"" + target_.applicationName +
                                       u"\" (library " + target_.library + u") ended during " + Text(during) + u": " +
                                       what + u". The next activation starts a new host.");
}

wire::Reader Link::call(Message type, const wire::Writer& body, TextView during, const CallbackHandler& callbacks) {
  if (dead_) died(during, u"it had ended before the call");
  try {
    channel_->send(type, body);
  } catch (const wire::ChannelClosed&) {
    died(during, u"it had ended before the call");
  }
  return awaitReply(during, callbacks);
}

wire::Reader Link::awaitReply(TextView during, const CallbackHandler& callbacks) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(limitMs_ + kGraceMs);
  try {
    for (;;) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      auto f = channel_->receive(static_cast<int>(std::max<long long>(0, left)));
      if (!f) {
        if (workerPid_ > 0) ::kill(workerPid_, SIGKILL);
        died(during, u"it did not return within the sink time limit of " + fromUtf8(std::to_string(limitMs_ / 1000)) +
                         u" s and was ended");
      }
      if (f->type == Reply) {
        ++trips;
        return std::move(f->body);
      }
      if (f->type == Died) died(during, f->body.text());
      if (f->type == Serving) workerPid_ = f->body.i32();
      if (f->type != Callback) continue;
      wire::Writer answer;
      if (callbacks) callbacks(f->body, answer);
      channel_->send(CallbackReply, answer);
      ++trips;
    }
  } catch (const wire::ChannelClosed&) {
    died(during, u"it ended without a word, as a killed process does");
  }
}

void Link::release(std::int64_t object) noexcept { post(Release, object); }

bool Link::post(Message type, std::int64_t object) noexcept {
  if (dead_) return false;
  try {
    wire::Writer w;
    channel_->send(type, w.i64(object));
    return true;
  } catch (...) {
    dead_ = true;
    return false;
  }
}

// --- the links of this process -----------------------------------------------

struct Links {
  std::mutex lock;
  std::map<std::pair<std::string, Text>, std::shared_ptr<Link>> byApplication;

  static Links& instance() {
    static Links* l = [] {
      // A forked child must not talk on its parent's connections.
      ::pthread_atfork(nullptr, nullptr, [] {
        auto& mine = instance();
        for (auto& [key, link] : mine.byApplication)
          if (link) link->dead_ = true;
        mine.byApplication.clear();
      });
      return new Links;
    }();
    return *l;
  }

  // Connects to the running host or starts one, and sends the first
  // request; under the exclusive lock, so that a host does not end for
  // idleness between its greeting and the request. Every wait under the
  // lock is short: a connection, a greeting, a start.
  static std::shared_ptr<Link> open(const Target& t, const wire::Writer& first, TextView during) {
    int lockFd = openLockFile(t);
    std::shared_ptr<Link> link;
    Text replaced;
    try {
      FileLock exclusive(lockFd, LOCK_EX);
      link = greeted(t, replaced);
      try {
        link->channel_->send(Create, first);
      } catch (const wire::ChannelClosed&) {
        link->died(during, u"it ended before the request reached it");
      }
    } catch (...) {
      ::close(lockFd);
      if (!replaced.empty()) warn(replaced);
      throw;
    }
    link->lockFd_ = lockFd;
    if (!replaced.empty()) warn(replaced);
    return link;
  }

  // Not under the start lock: the log may wait for the database.
  static void warn(const Text& what) noexcept {
    try {
      store::writeEvent(u"COM+", store::EventLevel::Warning, what);
    } catch (...) {
    }
  }

  // A link that the running host, or else a new one, has greeted;
  // `replaced` says why a running host was replaced.
  static std::shared_ptr<Link> greeted(const Target& t, Text& replaced) {
    int fd = connectHost(t);
    if (fd == kNoHost) return started(t);
    int pid = 0;
    if (fd >= 0) {
      auto link = std::make_shared<Link>(t, fd, -1);
      if (link->awaitHello(kGreetMs)) return link;
      pid = peerPid(fd);
    }
    // It takes connections but answers none: it would hold every creation
    // up, and no new host would ever start in its place.
    bool gone = endSilentHost(pid, t);
    Text seconds = fromUtf8(std::to_string(kGreetMs / 1000));
    replaced = u"The host process" + pidText(pid) + u" of the COM+ server application \"" + t.applicationName +
               (fd >= 0 ? u"\" took a connection but did not answer within " + seconds + u" s"
                        : u"\" took no connection within " + seconds + u" s") +
               u", as a stopped or hung process does; " +
               (gone ? Text(u"it was ended") : Text(u"its process could not be ended")) +
               u" and a new host is started in its place.";
    return started(t);
  }

  static std::shared_ptr<Link> started(const Target& t) {
    int listener = listenHost(t);
    int pid = 0;
    try {
      pid = spawn(t, listener);
    } catch (...) {
      ::close(listener);
      throw;
    }
    ::close(listener);
    int fd = connectHost(t);
    if (fd < 0) cannotStart(t, u"its socket takes no connection.");
    auto link = std::make_shared<Link>(t, fd, -1);
    if (link->awaitHello(kStartMs)) return link;
    bool gone = endSilentHost(pid, t);
    cannotStart(t, u"it did not answer within " + fromUtf8(std::to_string(kStartMs / 1000)) + u" s" + pidText(pid) +
                       (gone ? u" and was ended." : u"."));
  }
};

// Sends to a worker this process already knows. Shared: a worker that is
// going waits until the request is in its socket. False when it has ended.
bool Link::sendToLiving(Message type, const wire::Writer& body) {
  if (dead_) return false;
  FileLock shared(lockFd_, LOCK_SH);
  try {
    if (!channel_->peerGone()) {
      channel_->send(type, body);
      return true;
    }
  } catch (const wire::ChannelClosed&) {
  }
  dead_ = true;
  return false;
}

std::optional<Created> Link::reuse(const std::shared_ptr<Link>& self, const Guid& clsid, const Text& construction) {
  std::optional<Created> found;
  std::erase_if(parked_, [&](const Created& p) {
    if (p.clsid != clsid) return false;
    if (p.construction != construction) {
      release(p.object);  // made from what the catalog no longer says
      return true;
    }
    if (found) return false;
    found = p;
    return true;
  });
  wire::Writer w;
  if (!found || !sendToLiving(Unpark, w.i64(found->object))) return std::nullopt;
  found->link = self;
  return found;
}

void Link::park(const Created& c) noexcept {
  std::lock_guard guard(Links::instance().lock);
  if (parked_.size() >= kMostKept) return release(c.object);
  if (!post(Park, c.object)) return;
  parked_.push_back(c);
  parked_.back().link.reset();
}

Created create(const Target& target, const Guid& clsid, const Text& construction) {
  auto& links = Links::instance();
  std::lock_guard guard(links.lock);
  auto& slot = links.byApplication[{db::serverDirectory().string(), foldCase(target.applicationId)}];
  if (slot)
    if (auto kept = slot->reuse(slot, clsid, construction)) return *kept;
  wire::Writer request;
  request.text(clsid.toText());
  Text during = u"the creation of an object of class " + clsid.toText();
  if (!slot || !slot->sendToLiving(Create, request)) slot = Links::open(target, request, during);
  auto link = slot;
  wire::Reader reply = link->awaitReply(during, {});
  HRESULT h = reply.i32();
  Text description = reply.text();
  if (failed(h)) throw ComError(h, description);
  return Created{link, reply.i64(), reply.u8(), reply.text(), clsid};  // read in order
}

Status status(TextView applicationId) {
  Target t{Text(applicationId), Text(applicationId), {}};
  std::error_code ec;
  if (!fs::exists(files::socketFile(applicationId), ec)) return {};
  int fd = connectHost(t);
  if (fd == kHostFull) return {true, 0, false};
  if (fd < 0) return {};
  // A host that does not greet in time (stopped or wedged) still runs; its
  // pid is that of the socket's peer when that process is this host.
  wire::Channel channel(fd);
  try {
    auto f = channel.receive(2000);
    if (!f) {
      int peer = peerPid(fd);
      return {true, isHostOf(peer, t) ? peer : 0, false};
    }
    if (f->type == Hello) return {true, f->body.i32(), true};
  } catch (const wire::ChannelClosed&) {
  }
  return {};
}

Ended shutdown(TextView applicationId) {
  Target t{Text(applicationId), Text(applicationId), {}};
  std::error_code ec;
  if (!fs::exists(files::socketFile(applicationId), ec)) return {};
  int lockFd = openLockFile(t);
  FileLock exclusive(lockFd, LOCK_EX);
  int fd = connectHost(t);
  Ended ended;
  if (fd >= 0) {
    wire::Channel channel(fd);
    ended.running = true;
    try {
      auto hello = channel.receive(kGreetMs);
      if (hello && hello->type == Hello) {
        ended.pid = hello->body.i32();
        channel.send(Shutdown, {});
        // The host ends its workers, then itself.
        ended.answered = ended.gone = awaitEnd(ended.pid, 5000);
      } else if (int peer = peerPid(fd); isHostOf(peer, t)) {
        ended.pid = peer;  // stopped or wedged: it never greets
      }
    } catch (const wire::ChannelClosed&) {
      // It was going already.
      if (ended.pid == 0) ended.running = false;
      else ended.answered = ended.gone = awaitEnd(ended.pid, 5000);
    }
    if (ended.running && !ended.answered) ended.gone = killHost(ended.pid, t);
  } else if (fd == kHostFull) {
    ended.running = true;
  }
  ::unlink(files::socketFile(applicationId).c_str());
  exclusive.unlock();
  ::close(lockFd);
  return ended;
}

} // namespace korvane::complus::host
