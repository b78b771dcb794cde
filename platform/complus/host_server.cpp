// The host process of a server application (korvane-comhost). The process
// that callers find through the socket only listens: it takes the
// application's identity and hands each caller's connection to a worker
// process of its own, which serves that caller one request at a time (the
// platform is used from one thread, as one apartment is). So a slow sink
// holds up only the saves of its own caller, and a crash costs only that
// caller's call. A worker ends with its parent, when its caller goes, and
// after the idle time; the host ends when it has had no worker for that long.
//
// In a worker a watchdog thread ends it when a call overruns the sink time
// limit; handlers of the fatal signals and of exit leave a note for the
// caller whose call was running, so that the caller can say what happened.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <functional>
#include <grp.h>
#include <list>
#include <map>
#include <optional>
#include <poll.h>
#include <pwd.h>
#include <set>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/complus/activation.h"
#include "platform/complus/host.h"
#include "platform/complus/host_files.h"
#include "platform/db/stamp.h"
#include "platform/store/remote_events.h"

namespace korvane::complus::host {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kListener = 3;
// How a worker ends: a caller that only looked (a status query) is no
// activity that keeps an idle host alive.
constexpr int kServed = 0;
constexpr int kServedNothing = 2;
// Between a sink's begin phase and the commit or abort phase that follows
// lies only the caller's own write: worth waiting for awake.
constexpr std::chrono::microseconds kAwaitAfterPhase{2000};
// A caller that saves one item after another takes its kept sink back soon
// after letting it go. Waking a sleeping worker costs about as much as the
// begin phase it then serves, so a worker whose caller came back within this
// time the last time waits that long awake for it; otherwise it sleeps.
constexpr std::chrono::microseconds kAwaitNextSave{1000};

// What a signal handler may touch: the caller whose call runs, and when it
// began (0: no call).
std::atomic<int> busyFd{-1};
std::atomic<std::int64_t> busySinceMs{0};

std::int64_t nowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

std::string note(TextView what) {
  wire::Writer w;
  w.text(what);
  return wire::frameBytes(Died, w);
}

void tellCaller(const std::string& frame) {
  int fd = busyFd.load();
  if (fd >= 0) (void)!::write(fd, frame.data(), frame.size());
}

// Ends every connection at once, before the process goes (see
// Worker::end); safe in a signal handler. Descriptors that are no sockets
// refuse.
void cutConnections() {
  for (int fd = kListener; fd < 1024; ++fd) ::shutdown(fd, SHUT_RDWR);
}

struct FatalSignal {
  int number;
  const char16_t* what;
  std::string frame;
};

FatalSignal fatalSignals[] = {
    {SIGSEGV, u"it crashed (SIGSEGV, an invalid memory access)", {}},
    {SIGBUS, u"it crashed (SIGBUS, a bad memory access)", {}},
    {SIGFPE, u"it crashed (SIGFPE, an arithmetic fault)", {}},
    {SIGILL, u"it crashed (SIGILL, an illegal instruction)", {}},
    {SIGABRT, u"it aborted (SIGABRT)", {}},
    {SIGTERM, u"it was ended (SIGTERM)", {}},
};

void onFatalSignal(int number) {
  for (const auto& s : fatalSignals)
    if (s.number == number) tellCaller(s.frame);
  cutConnections();
  ::signal(number, SIG_DFL);
  ::raise(number);
}

void onExit(int status, void*) {
  if (busyFd.load() >= 0) tellCaller(note(u"its library called exit(" + fromUtf8(std::to_string(status)) + u")"));
  cutConnections();
}

void leaveNotes() {
  for (auto& s : fatalSignals) {
    s.frame = note(s.what);
    struct sigaction a {};
    a.sa_handler = onFatalSignal;
    a.sa_flags = SA_NODEFER;
    ::sigaction(s.number, &a, nullptr);
  }
  ::on_exit(onExit, nullptr);
}

void startWatchdog(std::int32_t limitSeconds) {
  std::thread([limitMs = std::int64_t{limitSeconds} * 1000, limitSeconds] {
    const std::string overrun = note(u"it did not return within the sink time limit of " +
                                     fromUtf8(std::to_string(limitSeconds)) + u" s and was ended");
    for (;;) {
      std::this_thread::sleep_for(std::chrono::milliseconds(std::clamp<std::int64_t>(limitMs / 20, 10, 250)));
      std::int64_t since = busySinceMs.load();
      if (since != 0 && nowMs() - since > limitMs) {
        tellCaller(overrun);
        cutConnections();
        ::_exit(3);
      }
    }
  }).detach();
}

Text userName(uid_t uid) {
  if (passwd* pw = ::getpwuid(uid)) return fromUtf8(pw->pw_name);
  return fromUtf8(std::to_string(uid));
}

// The local account a host runs as: the identity's user name ("DOMAIN\user"
// or "user@domain") where this machine has it and the caller may become it;
// otherwise the caller, with the warning for the event log (which its
// starter writes: the host writes nothing, its caller may hold the write
// lock). The catalog's default identity, "Interactive User", is the caller.
struct Account {
  bool switches = false;
  uid_t uid = 0;
  gid_t gid = 0;
  std::string name;
  Text warning;
};

Text identityWarning(const Text& appName, const Text& identity, TextView why) {
  return u"The COM+ server application \"" + appName + u"\" runs as \"" + userName(::geteuid()) +
         u"\", not as its identity \"" + identity + u"\": " + Text(why);
}

Account accountOf(const Text& appName, const Text& identity) {
  Text account = identity;
  if (auto slash = account.rfind(u'\\'); slash != Text::npos) account = account.substr(slash + 1);
  if (auto at = account.find(u'@'); at != Text::npos) account = account.substr(0, at);
  account = trimBlanks(account);
  if (account.empty() || equalsIgnoreCase(identity, u"Interactive User")) return {};
  auto warn = [&](TextView why) { return Account{false, 0, 0, {}, identityWarning(appName, identity, why)}; };
  passwd* pw = ::getpwnam(toUtf8(account).c_str());
  if (!pw) return warn(u"this machine has no local account \"" + account + u"\".");
  if (pw->pw_uid == ::geteuid()) return {};
  if (::geteuid() != 0) return warn(u"only the superuser may start a process as another account.");
  return Account{true, pw->pw_uid, pw->pw_gid, pw->pw_name, {}};
}

// The listening host becomes the account but keeps the superuser as its
// saved identity, so that a worker can open the owner-only database before
// it drops the superuser for good. No sink code ever runs in the listener.
Text becomeListener(const Account& a) {
  if (!a.switches) return {};
  if (::initgroups(a.name.c_str(), a.gid) == 0 && ::setresgid(a.gid, a.gid, 0) == 0 && ::setresuid(a.uid, a.uid, 0) == 0)
    return {};
  return u"switching to the account \"" + fromUtf8(a.name) + u"\" failed: " + fromUtf8(std::strerror(errno)) + u".";
}

// In a worker: opens what needs the superuser, then leaves it for good.
bool becomeWorker(const Account& a, const std::function<void()>& openFiles) {
  if (a.switches && (::setresuid(0, 0, -1) != 0 || ::setresgid(0, 0, -1) != 0)) return false;
  openFiles();
  if (!a.switches) return true;
  return ::setresgid(a.gid, a.gid, a.gid) == 0 && ::setresuid(a.uid, a.uid, a.uid) == 0;
}

// Whether a process may end for idleness: under the start lock, which a
// caller holds while it is about to send to this process, nothing waits. The
// lock is kept when it may (it goes with the process); otherwise the idle
// time starts again.
bool mayEnd(int lockFd, const std::function<bool()>& waiting, std::int64_t& lastActive) {
  if (::flock(lockFd, LOCK_EX | LOCK_NB) == 0) {
    if (!waiting()) return true;
    ::flock(lockFd, LOCK_UN);
  }
  lastActive = nowMs();
  return false;
}

// Bytes waiting on a connection. A connection that only closed (a status
// query, say) is no request and must not keep an idle host alive.
bool requestPending(int fd) {
  char byte;
  return ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// Serves one caller's connection in a process of its own.
class Worker {
public:
  Worker(Text applicationId, int fd, int lockFd, std::int64_t idleMs)
      : applicationId_(std::move(applicationId)), channel_(fd), lockFd_(lockFd), idleMs_(idleMs) {}

  [[noreturn]] void run() {
    wire::Writer serving;
    serving.i32(static_cast<std::int32_t>(::getpid()));
    try {
      channel_.send(Serving, serving);
    } catch (const wire::ChannelClosed&) {
      end();
    }
    for (;;) {
      pollfd p{channel_.fd(), POLLIN, 0};
      if (wire::pollSpinning(&p, 1, 500, spinFor()) > 0) serveNext();
      if (!inUse() && nowMs() - lastActive_ >= idleMs_ && nothingWaiting()) end();
    }
  }

private:
  // Releases the objects (their destructors are sink code), closes the
  // connection and goes.
  [[noreturn]] void end() {
    objects_.clear();
    cutConnections();
    ::_exit(served_ ? kServed : kServedNothing);
  }

  void serveNext() {
    try {
      auto f = channel_.receive(5000);
      if (f) serve(*f);
    } catch (const wire::ChannelClosed&) {
      end();
    }
  }

  // How long to wait awake for the next request before sleeping.
  std::chrono::microseconds spinFor() {
    if (afterPhaseNext_) return kAwaitAfterPhase;
    if (inUse()) return wire::kShortWait;
    const auto now = Clock::now();
    if (!idleSince_) idleSince_ = now;
    const auto idle = std::chrono::duration_cast<std::chrono::microseconds>(now - *idleSince_);
    if (idle >= kAwaitNextSave) return {};  // asleep until the caller comes
    return callerReturnsSoon_ ? kAwaitNextSave - idle : wire::kShortWait;
  }

  void serve(wire::Frame& f) {
    db::StampHold steady;  // one reading of the caches' counters per request
    if (idleSince_) callerReturnsSoon_ = Clock::now() - *idleSince_ <= kAwaitNextSave;
    idleSince_.reset();
    afterPhaseNext_ = false;
    lastActive_ = nowMs();
    served_ = true;
    switch (f.type) {
      case Create: return create(f.body);
      case Call: return call(f.body);
      case Release: objects_.erase(f.body.i64()); return;
      case Park: return keep(f.body.i64(), true);
      case Unpark: return keep(f.body.i64(), false);
      case Shutdown: ::kill(::getppid(), SIGTERM); end();
      default: return;
    }
  }

  // Marks the caller's request as running, for the watchdog and the notes.
  class Busy {
  public:
    explicit Busy(int fd) : outer_(busyFd.load()), since_(busySinceMs.load()) {
      busyFd = fd;
      if (since_ == 0) busySinceMs = nowMs();
    }
    ~Busy() {
      busyFd = outer_;
      busySinceMs = since_;
    }

  private:
    int outer_;
    std::int64_t since_;
  };

  void create(wire::Reader& body) {
    Text clsidText = body.text();
    std::int64_t id = 0;
    std::uint8_t offered = 0;
    Text construction;
    HRESULT h;
    {
      Busy busy(channel_.fd());
      h = guarded([&] {
        auto clsid = Guid::parse(TextView(clsidText));
        auto how = clsid ? detail::activationOf(*clsid) : std::nullopt;
        if (!how || !equalsIgnoreCase(how->applicationId, applicationId_))
          return fail(REGDB_E_CLASSNOTREG, u"The class " + clsidText + u" is not installed in this COM+ application.");
        auto object = createLocal(*clsid, *how);
        offered = store::remote::offers(object.get());
        construction = detail::constructionOf(*how);
        id = ++lastObject_;
        objects_[id] = Hosted{std::move(object)};
        return S_OK;
      });
    }
    wire::Writer reply;
    reply.i32(h).text(failed(h) ? takeErrorInfo() : Text()).i64(id).u8(offered).text(construction);
    channel_.send(Reply, reply);
  }

  void call(wire::Reader& body) {
    const std::int64_t id = readCallHead(body);
    wire::Writer reply;
    auto it = objects_.find(id);
    if (it == objects_.end()) {
      reply.i32(0).i32(RPC_E_DISCONNECTED).text(u"The object has been released in its host.").i32(0);
    } else {
      ComPtr<IUnknown> object = it->second.object;
      Busy busy(channel_.fd());
      afterPhaseNext_ =
          store::remote::serveCall(object.get(), body, reply, [&](const wire::Writer& q) { return callBack(q); });
    }
    channel_.send(Reply, reply);
  }

  // Asks the caller in the middle of a call; serves what the caller sends
  // meanwhile (a save it makes may call this host again).
  wire::Reader callBack(const wire::Writer& question) {
    channel_.send(Callback, question);
    for (;;) {
      auto f = channel_.receive(-1);
      if (f->type == CallbackReply) return std::move(f->body);
      serve(*f);
    }
  }

  void keep(std::int64_t id, bool kept) {
    if (auto it = objects_.find(id); it != objects_.end()) it->second.kept = kept;
  }
  bool inUse() const {
    return std::any_of(objects_.begin(), objects_.end(), [](const auto& o) { return !o.second.kept; });
  }

  // Under the start lock, which a caller holds shared while it sends to a
  // worker it knows: no request waits, and none can arrive unseen.
  bool nothingWaiting() {
    return mayEnd(lockFd_, [&] { return requestPending(channel_.fd()); }, lastActive_);
  }

  Text applicationId_;
  wire::Channel channel_;
  int lockFd_;
  std::int64_t idleMs_;
  std::int64_t lastActive_ = nowMs();
  std::int64_t lastObject_ = 0;
  bool served_ = false;
  bool afterPhaseNext_ = false;
  // Since when the caller has held none of its objects, and whether it took
  // one again within kAwaitNextSave the last time.
  std::optional<Clock::time_point> idleSince_;
  bool callerReturnsSoon_ = false;
  // The caller's objects; those it let go of are kept for its reuse.
  struct Hosted {
    ComPtr<IUnknown> object;
    bool kept = false;
  };
  std::map<std::int64_t, Hosted> objects_;
};

struct Settings {
  Text applicationId;
  std::int32_t timeLimit = kDefaultSinkTimeLimit;
  std::int64_t idleMs = std::int64_t{kDefaultIdleShutdown} * 1000;
  Account account;
};

// The listening host: greets each caller, hands its connection to a worker.
class Listener {
public:
  Listener(Settings settings, int lockFd, Text warning)
      : settings_(std::move(settings)), lockFd_(lockFd), warning_(std::move(warning)) {}

  [[noreturn]] void run() {
    for (;;) {
      std::vector<pollfd> fds{{kListener, POLLIN, 0}};
      for (const auto& c : pending_) fds.push_back({c->fd(), POLLIN, 0});
      ::poll(fds.data(), fds.size(), 500);
      // Callers that asked something get a worker; those that only closed
      // (a status query) are dropped.
      auto it = pending_.begin();
      for (std::size_t i = 1; i < fds.size(); ++i) {
        if (!fds[i].revents) {
          ++it;
          continue;
        }
        if (requestPending((*it)->fd())) startWorker(**it);
        it = pending_.erase(it);
      }
      if (fds[0].revents & POLLIN) accept();
      reap();
      if (serverGone() || (workers_.empty() && nowMs() - lastActive_ >= settings_.idleMs && nothingWaiting()))
        ::_exit(0);
    }
  }

private:
  void accept() {
    int fd = ::accept4(kListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    auto channel = std::make_unique<wire::Channel>(fd);
    wire::Writer hello;
    hello.i32(static_cast<std::int32_t>(::getpid())).text(warning_);
    try {
      channel->send(Hello, hello);
      warning_.clear();  // once per start
      pending_.push_back(std::move(channel));
    } catch (const wire::ChannelClosed&) {
    }
  }

  void startWorker(const wire::Channel& caller) {
    const pid_t parent = ::getpid();
    pid_t worker = ::fork();
    if (worker == 0) work(caller.fd(), parent);
    if (worker > 0) {
      workers_.insert(worker);
      return;
    }
    std::string frame = note(u"it could not start a process for the call: " + fromUtf8(std::strerror(errno)));
    (void)!::write(caller.fd(), frame.data(), frame.size());
  }

  [[noreturn]] void work(int fd, pid_t parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(0);
    ::signal(SIGTERM, SIG_DFL);
    ::close(kListener);
    ::close(lockFd_);
    for (const auto& c : pending_)
      if (c->fd() != fd) ::close(c->fd());
    int lockFd = -1;
    Text failure;
    bool ready = becomeWorker(settings_.account, [&] {
      lockFd = ::open(files::lockFile(settings_.applicationId).c_str(), O_RDWR | O_CLOEXEC);
      try {
        db::Database::current().trustSchemas();
        (void)detail::applicationById(settings_.applicationId);  // opens the journal files too
      } catch (const ComError& e) {
        failure = e.description();
      }
    });
    if (!ready || lockFd < 0 || !failure.empty()) {
      std::string frame = note(u"it could not open the server: " +
                               (failure.empty() ? fromUtf8(std::strerror(errno)) : failure));
      (void)!::write(fd, frame.data(), frame.size());
      ::_exit(1);
    }
    setHostedApplication(settings_.applicationId);
    leaveNotes();
    startWatchdog(settings_.timeLimit);
    Worker(settings_.applicationId, fd, lockFd, settings_.idleMs).run();
  }

  void reap() {
    int status = 0;
    for (pid_t pid; (pid = ::waitpid(-1, &status, WNOHANG)) > 0;) {
      workers_.erase(pid);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != kServedNothing) lastActive_ = nowMs();
    }
  }

  // Under the start lock: no caller waits in the listen queue or with a
  // request, and none can arrive. A caller holding the lock is about to use this host: it stays.
  bool nothingWaiting() {
    return mayEnd(lockFd_, [&] {
      pollfd p{kListener, POLLIN, 0};
      if (::poll(&p, 1, 0) != 0) return true;
      return std::any_of(pending_.begin(), pending_.end(), [](const auto& c) { return requestPending(c->fd()); });
    }, lastActive_);
  }

  // The server directory was removed (a test's, or a server given up).
  bool serverGone() const {
    struct stat st {};
    return ::fstat(lockFd_, &st) != 0 || st.st_nlink == 0;
  }

  Settings settings_;
  int lockFd_;
  Text warning_;
  std::int64_t lastActive_ = nowMs();
  std::list<std::unique_ptr<wire::Channel>> pending_;
  std::set<pid_t> workers_;
};

// Ends the host once its workers, told first, have ended: whoever asked
// for the shutdown waits for this process, and must not find a worker left.
void onListenerTerm(int) {
  ::signal(SIGTERM, SIG_IGN);
  ::close(kListener);
  ::kill(0, SIGTERM);
  while (::waitpid(-1, nullptr, 0) > 0 || errno == EINTR) {
  }
  ::_exit(0);
}

// Tells the first caller why no host runs, then ends.
int refuse(TextView why) {
  int fd = ::accept(kListener, nullptr, nullptr);
  std::string frame = note(why);
  if (fd >= 0) (void)!::write(fd, frame.data(), frame.size());
  return 1;
}

} // namespace

int runHost(int argc, char** argv) {
  // The starter made the socket; listening again makes a caller's
  // SO_PEERCRED name this process, so that a caller can end a host that
  // takes connections but never greets (a stopped one).
  ::listen(kListener, files::kBacklog);
  std::map<std::string, std::string> options;
  for (int i = 1; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
  auto number = [&](const char* name, std::int32_t fallback) {
    auto it = options.find(name);
    return it == options.end() ? fallback : std::clamp(std::atoi(it->second.c_str()), 1, 86400);
  };
  if (options["--server"].empty() || options["--application"].empty())
    return refuse(u"it was started without --server and --application");
  Settings settings;
  settings.applicationId = fromUtf8(options["--application"]);
  settings.timeLimit = number("--time-limit", kDefaultSinkTimeLimit);
  settings.idleMs = std::int64_t{number("--idle", kDefaultIdleShutdown)} * 1000;
  int lockFd = -1;
  Text warning, appName, identity;
  try {
    db::setServerDirectory(options["--server"]);
    db::Database::current().trustSchemas();
    auto app = detail::applicationById(settings.applicationId);
    if (!app) return refuse(u"the application " + settings.applicationId + u" is no longer in the catalog");
    lockFd = ::open(files::lockFile(settings.applicationId).c_str(), O_RDWR | O_CLOEXEC);
    if (lockFd < 0) return refuse(u"its lock file cannot be opened: " + fromUtf8(std::strerror(errno)));
    appName = app->name;
    identity = detail::identityOf(settings.applicationId).value_or(Text());
    settings.account = accountOf(appName, identity);
    warning = settings.account.warning;
    // Each worker opens a connection of its own: one carried across fork
    // would share the listener's locks.
    db::Database::closeCurrent();
  } catch (const ComError& e) {
    return refuse(e.description());
  }
  if (Text why = becomeListener(settings.account); !why.empty()) {
    warning = identityWarning(appName, identity, why);
    settings.account.switches = false;
  }
  ::signal(SIGPIPE, SIG_IGN);
  ::signal(SIGTERM, onListenerTerm);
  Listener(std::move(settings), lockFd, std::move(warning)).run();
}

} // namespace korvane::complus::host
