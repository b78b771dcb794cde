// The host process of a server application (korvane-comhost): takes the
// application's identity, then serves its callers one request at a time
// (the platform is used from one thread), as one apartment does. A watchdog
// thread ends it when a call overruns the sink time limit; handlers of the
// fatal signals and of exit leave a note for the caller whose call was
// running, so that the caller can say what happened.
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <grp.h>
#include <list>
#include <map>
#include <poll.h>
#include <pwd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "platform/complus/activation.h"
#include "platform/complus/host.h"
#include "platform/complus/host_files.h"
#include "platform/store/remote_events.h"

namespace korvane::complus::host {

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kListener = 3;

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

// Ends every connection at once, before the process goes (see Host::end);
// safe in a signal handler. Descriptors that are no sockets refuse.
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
  // No caller may reach a host that is going (a core dump takes a while).
  ::close(kListener);
  for (const auto& s : fatalSignals)
    if (s.number == number) tellCaller(s.frame);
  cutConnections();
  ::signal(number, SIG_DFL);
  ::raise(number);
}

void onExit(int status, void*) {
  ::close(kListener);
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
  ::signal(SIGPIPE, SIG_IGN);
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
        ::close(kListener);
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

// Runs the host as the local account of the identity's user name
// ("DOMAIN\user" or "user@domain"); where that cannot be, it runs as the
// caller and returns the warning for the event log (which its starter
// writes: the host writes nothing, its caller may hold the write lock).
// The catalog's default identity, "Interactive User", is the caller.
Text takeIdentity(const Text& appName, const Text& identity) {
  Text account = identity;
  if (auto slash = account.rfind(u'\\'); slash != Text::npos) account = account.substr(slash + 1);
  if (auto at = account.find(u'@'); at != Text::npos) account = account.substr(0, at);
  account = trimBlanks(account);
  if (account.empty() || equalsIgnoreCase(identity, u"Interactive User")) return {};
  auto warn = [&](TextView why) {
    return u"The COM+ server application \"" + appName + u"\" runs as \"" + userName(::geteuid()) +
           u"\", not as its identity \"" + identity + u"\": " + Text(why);
  };
  passwd* pw = ::getpwnam(toUtf8(account).c_str());
  if (!pw) return warn(u"this machine has no local account \"" + account + u"\".");
  if (pw->pw_uid == ::geteuid()) return {};
  if (::geteuid() != 0) return warn(u"only the superuser may start a process as another account.");
  if (::initgroups(pw->pw_name, pw->pw_gid) != 0 || ::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0)
    return warn(u"switching to the account failed: " + fromUtf8(std::strerror(errno)) + u".");
  return {};
}

struct Connection {
  std::unique_ptr<wire::Channel> channel;
  std::map<std::int64_t, ComPtr<IUnknown>> objects;
};

class Host {
public:
  Host(Text applicationId, int lockFd, std::int32_t idleSeconds, Text warning)
      : applicationId_(std::move(applicationId)), lockFd_(lockFd), idleMs_(std::int64_t{idleSeconds} * 1000),
        warning_(std::move(warning)) {}

  [[noreturn]] void run() {
    for (;;) {
      std::vector<pollfd> fds{{kListener, POLLIN, 0}};
      for (auto& c : connections_) fds.push_back({c.channel->fd(), POLLIN, 0});
      ::poll(fds.data(), fds.size(), 500);
      if (fds[0].revents & POLLIN) accept();
      auto it = connections_.begin();
      for (std::size_t i = 1; i < fds.size(); ++i, ++it)
        if (fds[i].revents) serveNext(*it);
      connections_.remove_if([](const Connection& c) { return !c.channel; });
      if (serverGone() || (idleLongEnough() && nothingWaiting())) end();
    }
  }

  // Closes every connection before the process goes: a dying process
  // releases its descriptors one by one, and a caller that sees one of its
  // connections end must not find another still open.
  [[noreturn]] void end() {
    cutConnections();
    ::_exit(0);
  }

private:
  void accept() {
    int fd = ::accept4(kListener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    Connection c{std::make_unique<wire::Channel>(fd), {}};
    try {
      wire::Writer hello;
      hello.i32(static_cast<std::int32_t>(::getpid())).text(warning_);
      warning_.clear();  // once per start
      c.channel->send(Hello, hello);
      connections_.push_back(std::move(c));
    } catch (const wire::ChannelClosed&) {
    }
  }

  void serveNext(Connection& c) {
    try {
      auto f = c.channel->receive(5000);
      if (f) serve(c, *f);
    } catch (const wire::ChannelClosed&) {
      drop(c);
    }
  }

  void drop(Connection& c) {
    if (!c.objects.empty()) lastActive_ = nowMs();
    c.objects.clear();
    c.channel.reset();
  }

  void serve(Connection& c, wire::Frame& f) {
    lastActive_ = nowMs();
    switch (f.type) {
      case Create: return create(c, f.body);
      case Call: return call(c, f.body);
      case Release: c.objects.erase(f.body.i64()); return;
      case Shutdown: end();
      default: return;
    }
  }

  // Marks the caller whose request runs, for the watchdog and the notes.
  class Busy {
  public:
    explicit Busy(const Connection& c) : outer_(busyFd.load()), since_(busySinceMs.load()) {
      busyFd = c.channel->fd();
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

  void create(Connection& c, wire::Reader& body) {
    Text clsidText = body.text();
    std::int64_t id = 0;
    std::uint8_t offered = 0;
    HRESULT h;
    {
      Busy busy(c);
      h = guarded([&] {
        auto clsid = Guid::parse(TextView(clsidText));
        auto how = clsid ? detail::activationOf(*clsid) : std::nullopt;
        if (!how || !equalsIgnoreCase(how->applicationId, applicationId_))
          return fail(REGDB_E_CLASSNOTREG, u"The class " + clsidText + u" is not installed in this COM+ application.");
        auto object = createLocal(*clsid, *how);
        offered = store::remote::offers(object.get());
        id = ++lastObject_;
        c.objects[id] = std::move(object);
        return S_OK;
      });
    }
    wire::Writer reply;
    reply.i32(h).text(failed(h) ? takeErrorInfo() : Text()).i64(id).u8(offered);
    c.channel->send(Reply, reply);
  }

  void call(Connection& c, wire::Reader& body) {
    std::int64_t id = body.i64();
    wire::Writer reply;
    auto it = c.objects.find(id);
    if (it == c.objects.end()) {
      reply.i32(0).i32(RPC_E_DISCONNECTED).text(u"The object has been released in its host.").i32(0);
    } else {
      ComPtr<IUnknown> object = it->second;
      Busy busy(c);
      store::remote::serveCall(object.get(), body, reply, [&](const wire::Writer& q) { return callBack(c, q); });
    }
    c.channel->send(Reply, reply);
  }

  // Asks the caller in the middle of a call; serves what the caller sends
  // meanwhile (a save it makes may call this host again).
  wire::Reader callBack(Connection& c, const wire::Writer& question) {
    c.channel->send(Callback, question);
    for (;;) {
      auto f = c.channel->receive(-1);
      if (f->type == CallbackReply) return std::move(f->body);
      serve(c, *f);
    }
  }

  bool idleLongEnough() const {
    for (const auto& c : connections_)
      if (!c.objects.empty()) return false;
    return nowMs() - lastActive_ >= idleMs_;
  }

  // Under the start lock: no request in any socket, and none can arrive
  // from a caller that knows this host without finding it gone. A caller
  // holding the lock is about to use this host: it stays.
  bool nothingWaiting() {
    if (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
      lastActive_ = nowMs();
      return false;
    }
    // A caller still in the listen queue may have sent its request already:
    // take it in, so that what it sent can be seen below.
    pollfd listener{kListener, POLLIN, 0};
    while (::poll(&listener, 1, 0) > 0 && (listener.revents & POLLIN)) accept();
    if (!requestPending()) return true;  // the lock goes with the process
    ::flock(lockFd_, LOCK_UN);
    lastActive_ = nowMs();
    return false;
  }

  // Bytes waiting in any connection. A connection that only closed (a status
  // query, say) is no request and must not keep an idle host alive.
  bool requestPending() const {
    for (const auto& c : connections_) {
      if (!c.channel) continue;
      char byte;
      if (::recv(c.channel->fd(), &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0) return true;
    }
    return false;
  }

  // The server directory was removed (a test's, or a server given up).
  bool serverGone() const {
    struct stat st {};
    return ::fstat(lockFd_, &st) != 0 || st.st_nlink == 0;
  }

  Text applicationId_;
  int lockFd_;
  std::int64_t idleMs_;
  Text warning_;
  std::int64_t lastActive_ = nowMs();
  std::int64_t lastObject_ = 0;
  std::list<Connection> connections_;
};

// Tells the first caller why no host runs, then ends.
int refuse(TextView why) {
  int fd = ::accept(kListener, nullptr, nullptr);
  std::string frame = note(why);
  if (fd >= 0) (void)!::write(fd, frame.data(), frame.size());
  return 1;
}

} // namespace

int runHost(int argc, char** argv) {
  std::map<std::string, std::string> options;
  for (int i = 1; i + 1 < argc; i += 2) options[argv[i]] = argv[i + 1];
  auto number = [&](const char* name, std::int32_t fallback) {
    auto it = options.find(name);
    return it == options.end() ? fallback : std::clamp(std::atoi(it->second.c_str()), 1, 86400);
  };
  if (options["--server"].empty() || options["--application"].empty())
    return refuse(u"it was started without --server and --application");
  Text appId = fromUtf8(options["--application"]);
  int lockFd = -1;
  Text warning;
  try {
    db::setServerDirectory(options["--server"]);
    db::Database::current().trustSchemas();
    auto app = detail::applicationById(appId);
    if (!app) return refuse(u"the application " + appId + u" is no longer in the catalog");
    lockFd = ::open(files::lockFile(appId).c_str(), O_RDWR | O_CLOEXEC);
    if (lockFd < 0) return refuse(u"its lock file cannot be opened: " + fromUtf8(std::strerror(errno)));
    // The database stays open across the change of account.
    warning = takeIdentity(app->name, detail::identityOf(appId).value_or(Text()));
  } catch (const ComError& e) {
    return refuse(e.description());
  }
  setHostedApplication(appId);
  leaveNotes();
  startWatchdog(number("--time-limit", kDefaultSinkTimeLimit));
  Host(appId, lockFd, number("--idle", kDefaultIdleShutdown), std::move(warning)).run();
}

} // namespace korvane::complus::host
