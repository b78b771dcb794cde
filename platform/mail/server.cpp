#include "platform/mail/server.h"

#include <asio.hpp>
#include <fcntl.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

namespace korvane::mail {

namespace {

using Stream = asio::generic::stream_protocol;
using StreamAcceptor = asio::basic_socket_acceptor<Stream>;
using Log = std::function<void(const std::string&)>;

const char* protocolName(Protocol p) { return p == Protocol::Lmtp ? "LMTP" : "SMTP"; }

struct Bound {
  Stream::endpoint endpoint;
  std::string unixPath;
};

Bound resolve(asio::io_context& io, const std::string& address) {
  if (address.rfind("unix:", 0) == 0) {
    std::string path = address.substr(5);
    if (path.empty()) throw std::runtime_error("\"unix:\" needs a socket path, such as unix:/tmp/korvane.lmtp");
    try {
      return {Stream::endpoint(asio::local::stream_protocol::endpoint(path)), path};
    } catch (const std::system_error& e) {  // longer than a socket address holds
      throw std::runtime_error("cannot listen on " + address + ": " + e.what());
    }
  }
  std::string host = "127.0.0.1", port = address;
  if (const auto colon = address.rfind(':'); colon != std::string::npos) {
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) host = "127.0.0.1";
  }
  // The resolver would take any number and keep its low 16 bits.
  const bool digits = !port.empty() && port.size() <= 5 &&
                      std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (!digits || std::stoi(port) > 65535)
    throw std::runtime_error("cannot use \"" + address + "\" as HOST:PORT: the port is a number from 0 to 65535 "
                             "(0: any free port)");
  asio::ip::tcp::resolver resolver(io);
  asio::error_code ec;
  auto results = resolver.resolve(host, port, asio::ip::tcp::resolver::numeric_service, ec);
  if (ec || results.empty())
    throw std::runtime_error("cannot use \"" + address + "\" as HOST:PORT: " + (ec ? ec.message() : "no address"));
  return {Stream::endpoint(results.begin()->endpoint()), {}};
}

asio::ip::tcp::endpoint tcpOf(const Stream::endpoint& e) {
  asio::ip::tcp::endpoint tcp;
  std::memcpy(tcp.data(), e.data(), e.size());
  tcp.resize(e.size());
  return tcp;
}

std::string describe(const Stream::endpoint& e) {
  if (e.protocol().family() == AF_UNIX)
    return "unix:" + std::string(reinterpret_cast<const sockaddr_un*>(e.data())->sun_path);
  const auto tcp = tcpOf(e);
  return (tcp.address().is_v6() ? "[" + tcp.address().to_string() + "]" : tcp.address().to_string()) + ":" +
         std::to_string(tcp.port());
}

bool loopback(const Stream::endpoint& e) {
  return e.protocol().family() == AF_UNIX || tcpOf(e).address().is_loopback();
}

// What a name in a directory is, for a message: "a symbolic link to /etc/x".
std::string whatIs(int dir, const std::string& name, const struct stat& st) {
  switch (st.st_mode & S_IFMT) {
    case S_IFSOCK: return "a socket";
    case S_IFREG: return "a regular file";
    case S_IFDIR: return "a directory";
    case S_IFIFO: return "a named pipe";
    case S_IFCHR:
    case S_IFBLK: return "a device";
    case S_IFLNK: {
      char target[4096];
      const ssize_t n = ::readlinkat(dir, name.c_str(), target, sizeof target);
      return n < 0 ? "a symbolic link" : "a symbolic link to " + std::string(target, static_cast<std::size_t>(n));
    }
    default: return "not a socket";
  }
}

struct Fd {
  int fd = -1;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
  int release() { return std::exchange(fd, -1); }
};

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// A "unix:" socket of the service, by its directory, which stays open, and
// the file it made there: only that file is ever removed again.
struct UnixSocket {
  std::string path, name;
  int dir = -1;
  struct stat made {};
};

class Server;

// One client, served by one of the session threads: its handlers run there,
// one after another, and a step of the session runs right where the client's
// bytes arrive, so a command costs no hop between threads; a step that waits
// for its message to be stored holds up only the clients of that thread.
// The timer runs only while the client is awaited.
class Connection : public std::enable_shared_from_this<Connection> {
public:
  Connection(Server& server, asio::io_context& context, Stream::socket socket, Protocol protocol);
  void start();
  void stop();   // the server is stopping
  void close();  // from the accepting thread

private:
  void read();
  void process(std::string bytes);
  // Runs a step of the session and writes what it answers.
  template <typename Step>
  void reply(Step step);
  void write(std::string replies, bool thenClose);
  void arm();
  void end();

  Server& server_;
  asio::io_context& context_;  // its session thread's
  Stream::socket socket_;
  asio::steady_timer timer_;
  Session session_;
  std::array<char, 16384> buffer_{};
  std::string out_;
  bool reading_ = false, stopping_ = false, told_ = false, closed_ = false;
};

class Server {
public:
  Server(const ServerOptions& options, Mailboxes& mailboxes, const Log& log)
      : options(options), mailboxes(mailboxes), log(log), signals_(io, SIGINT, SIGTERM) {}

  ~Server() {
    for (const UnixSocket& u : unixSockets_) {
      struct stat st {};
      if (::fstatat(u.dir, u.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        if (sameFile(st, u.made))
          ::unlinkat(u.dir, u.name.c_str(), 0);
        else
          log("left unix:" + u.path + " in place: it is " + whatIs(u.dir, u.name, st) + " now, not the service's socket");
      }
      ::close(u.dir);
    }
  }

  void listen() {
    for (const Listener& l : options.listeners) {
      Bound b = resolve(io, l.address);
      StreamAcceptor acceptor(io);
      acceptor.open(b.endpoint.protocol());
      if (b.unixPath.empty()) {
        acceptor.set_option(StreamAcceptor::reuse_address(true));
        asio::error_code ec;
        acceptor.bind(b.endpoint, ec);
        if (ec) throw std::runtime_error("cannot listen on " + l.address + ": " + ec.message());
      } else {
        bindUnix(acceptor, b.unixPath);
      }
      acceptor.listen(asio::socket_base::max_listen_connections);
      // A Unix socket was bound by a name of the moment; it is known by its path.
      const Stream::endpoint at = b.unixPath.empty() ? acceptor.local_endpoint() : b.endpoint;
      log(std::string("listening for ") + protocolName(l.protocol) + " on " + describe(at));
      if (!loopback(at))
        log("warning: " + l.address + " is reachable from other machines, and the service has no authentication");
      acceptors_.push_back({std::move(acceptor), l.protocol});
    }
  }

  // The calling thread accepts clients and takes the signals, and alone
  // touches the server's own state; each session thread serves the clients
  // handed to it.
  void run() {
    std::vector<std::thread> threads;
    for (auto& s : sessions_) threads.emplace_back([&s] { s.context->run(); });
    for (auto& a : acceptors_) accept(a);
    waitForSignal();
    io.run();
    for (auto& s : sessions_) {
      s.work.reset();  // the threads end once their clients are done
      if (stoppedAtOnce_) s.context->stop();
    }
    for (auto& t : threads) t.join();
  }

  void removed(Connection* c) {
    auto it = std::find_if(connections_.begin(), connections_.end(), [c](const auto& p) { return p.get() == c; });
    if (it != connections_.end()) connections_.erase(it);
    if (stopping_ && connections_.empty()) signals_.cancel();
  }

  const ServerOptions& options;
  Mailboxes& mailboxes;
  const Log& log;
  asio::io_context io;
  struct SessionThread {
    std::unique_ptr<asio::io_context> context = std::make_unique<asio::io_context>(1);
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work{context->get_executor()};
  };
  std::vector<SessionThread> sessions_ = std::vector<SessionThread>(std::max<std::size_t>(options.sessionThreads, 1));

private:
  struct Acceptor {
    StreamAcceptor acceptor;
    Protocol protocol;
  };

  // A socket file left by a server that died is replaced; one that a
  // running server answers on is not, and neither is anything but a socket
  // (a link is never followed: what it points to is none of ours).
  void removeStaleSocket(int dir, const std::string& name, const std::string& path) {
    struct stat st {};
    if (::fstatat(dir, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) return;
      throw std::runtime_error("cannot listen on unix:" + path + ": " + std::strerror(errno));
    }
    if (!S_ISSOCK(st.st_mode))
      throw std::runtime_error("cannot listen on unix:" + path + ": it is " + whatIs(dir, name, st) +
                               ", not a socket; remove it or choose another path");
    Stream::socket probe(io);
    asio::error_code ec;
    probe.connect(Stream::endpoint(asio::local::stream_protocol::endpoint(path)), ec);
    if (!ec) throw std::runtime_error("another server listens on unix:" + path);
    struct stat now {};
    if (::fstatat(dir, name.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(now, st))
      ::unlinkat(dir, name.c_str(), 0);
  }

  // Connecting to a socket file takes write permission on it. The socket is
  // made, given to its owner and set to its mode inside a directory of the
  // service's own that no one else can enter, and only then linked in at its
  // path: an owner or mode is never changed through a name that another
  // account (such as the one owning the socket's directory) could swap for a
  // link to some other file, and nobody can connect before both are set.
  void bindUnix(StreamAcceptor& acceptor, const std::string& path) {
    const std::string at = "unix:" + path;
    const auto fail = [&](const std::string& why) { throw std::runtime_error("cannot listen on " + at + ": " + why); };
    const std::filesystem::path p(path);
    const std::string name = p.filename().string();
    if (name.empty() || name == "." || name == "..") fail("the path names no file");
    const std::string parent = p.has_parent_path() ? p.parent_path().string() : ".";
    Fd dir{::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (dir.fd < 0) fail(parent + ": " + std::strerror(errno));

    Fd own;
    std::string ownName;
    std::mt19937_64 random(std::random_device{}());
    for (int tries = 0; own.fd < 0; ++tries) {
      char suffix[17];
      std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
      ownName = "." + name + "." + suffix;
      if (::mkdirat(dir.fd, ownName.c_str(), 0700) != 0) {
        if (errno == EEXIST && tries < 100) continue;
        fail(std::strerror(errno));
      }
      own.fd = ::openat(dir.fd, ownName.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (own.fd < 0) fail(ownName + ": " + std::strerror(errno));
    }
    struct stat ownDir {};
    if (::fstat(own.fd, &ownDir) != 0 || ownDir.st_uid != ::geteuid())
      fail("another account put something in place of the service's directory " + ownName);
    // Whatever happens next, the directory and what is in it go again.
    struct Cleanup {
      int dir, own;
      const std::string& ownName;
      const struct stat& ownDir;
      ~Cleanup() {
        ::unlinkat(own, "s", 0);
        struct stat st {};
        if (::fstatat(dir, ownName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && sameFile(st, ownDir))
          ::unlinkat(dir, ownName.c_str(), AT_REMOVEDIR);
      }
    } cleanup{dir.fd, own.fd, ownName, ownDir};
    if (::fchmod(own.fd, 0700) != 0) fail(ownName + ": " + std::strerror(errno));  // whatever the umask left

    asio::error_code ec;
    acceptor.bind(Stream::endpoint(asio::local::stream_protocol::endpoint("/proc/self/fd/" + std::to_string(own.fd) + "/s")),
                  ec);
    if (ec) fail(ec.message());
    uid_t uid = ::geteuid();
    if (!options.socketOwner.empty()) {
      const std::string giving = "cannot give " + at + " to \"" + options.socketOwner + "\": ";
      const passwd* account = ::getpwnam(options.socketOwner.c_str());
      if (!account) throw std::runtime_error(giving + "this machine has no such account");
      uid = account->pw_uid;
      if (::fchownat(own.fd, "s", account->pw_uid, account->pw_gid, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error(giving + std::strerror(errno) + " (only the superuser can; else widen --socket-mode)");
    }
    const unsigned mode = options.socketMode & 0777;
    if (::fchmodat(own.fd, "s", mode, 0) != 0)
      throw std::runtime_error("cannot set the permissions of " + at + ": " + std::strerror(errno));
    struct stat made {};
    if (::fstatat(own.fd, "s", &made, AT_SYMLINK_NOFOLLOW) != 0) fail(std::strerror(errno));

    removeStaleSocket(dir.fd, name, path);
    if (::linkat(own.fd, "s", dir.fd, name.c_str(), 0) != 0)
      fail(errno == EEXIST ? "something else appeared there while the socket was being made" : std::strerror(errno));
    // Linked in, it is in a directory that others may change: it stays only
    // if it is still the socket just made, with its owner and mode.
    struct stat st {};
    if (::fstatat(dir.fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
      fail(std::string("it vanished right after it was made: ") + std::strerror(errno));
    if (!sameFile(st, made))
      fail("another account put " + whatIs(dir.fd, name, st) + " in place of the service's socket");
    if (st.st_uid != uid || (st.st_mode & 0777) != mode) {
      ::unlinkat(dir.fd, name.c_str(), 0);
      char found[64];
      std::snprintf(found, sizeof found, "owner %u, mode %03o instead of owner %u, mode %03o",
                    static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 0777),
                    static_cast<unsigned>(uid), mode);
      fail(std::string("its owner or mode changed right after it was made (") + found + ")");
    }
    unixSockets_.push_back({path, name, dir.release(), st});
  }

  void accept(Acceptor& a) {
    asio::io_context& next = *sessions_[accepted_++ % sessions_.size()].context;
    a.acceptor.async_accept(next, [this, &a, &next](asio::error_code ec, Stream::socket socket) {
      if (ec == asio::error::operation_aborted || stopping_) return;
      if (!ec) admit(next, std::move(socket), a.protocol);
      accept(a);
    });
  }

  void admit(asio::io_context& context, Stream::socket socket, Protocol protocol) {
    if (connections_.size() >= options.maxConnections) {
      log("refused a connection: " + std::to_string(connections_.size()) + " are open, the limit");
      auto s = std::make_shared<Stream::socket>(std::move(socket));
      auto text = std::make_shared<std::string>("421 4.3.2 " + options.hostName +
                                                " Too many connections, try again later\r\n");
      asio::async_write(*s, asio::buffer(*text), [s, text](asio::error_code, std::size_t) {
        asio::error_code ignored;
        s->close(ignored);
      });
      return;
    }
    auto c = std::make_shared<Connection>(*this, context, std::move(socket), protocol);
    connections_.push_back(c);
    c->start();
  }

  void waitForSignal() {
    signals_.async_wait([this](asio::error_code ec, int) {
      if (ec) return;
      if (stopping_) {
        log("stopping now");
        for (auto& c : std::vector(connections_)) c->close();
        stoppedAtOnce_ = true;
        io.stop();
        return;
      }
      stopping_ = true;
      log("stopping: no new connections, " + std::to_string(connections_.size()) +
          " open ones end after their current message (signal again to stop at once)");
      for (auto& a : acceptors_) a.acceptor.close();
      for (auto& c : std::vector(connections_)) c->stop();
      if (connections_.empty()) return;
      waitForSignal();
    });
  }

  asio::signal_set signals_;
  std::vector<Acceptor> acceptors_;
  std::vector<UnixSocket> unixSockets_;  // removed again at the end
  std::vector<std::shared_ptr<Connection>> connections_;
  std::size_t accepted_ = 0;
  bool stopping_ = false, stoppedAtOnce_ = false;
};

Connection::Connection(Server& server, asio::io_context& context, Stream::socket socket, Protocol protocol)
    : server_(server), context_(context), socket_(std::move(socket)), timer_(context),
      session_(protocol, server.options.limits, server.options.hostName, server.mailboxes) {}

void Connection::start() {
  asio::post(context_, [self = shared_from_this()] { self->write(self->session_.greeting(), false); });
}

void Connection::arm() {
  timer_.expires_after(server_.options.idleTimeout);
  timer_.async_wait([self = shared_from_this()](asio::error_code ec) {
    if (ec || self->closed_) return;
    // A client that does not read its replies is not told anything more.
    if (!self->reading_) return self->end();
    self->reading_ = false;
    self->socket_.cancel();
    self->write("421 4.4.2 " + self->server_.options.hostName + " Idle timeout, closing connection\r\n", true);
  });
}

void Connection::read() {
  if (stopping_ && !told_) {
    told_ = true;
    return reply([this] { return session_.shutdown(); });
  }
  reading_ = true;
  arm();
  socket_.async_read_some(asio::buffer(buffer_), [self = shared_from_this()](asio::error_code ec, std::size_t n) {
    if (!self->reading_ || self->closed_) return;  // the timer took over
    self->reading_ = false;
    self->timer_.cancel();
    if (ec == asio::error::operation_aborted && self->stopping_) return self->read();
    if (ec) return self->end();
    self->process(std::string(self->buffer_.data(), n));
  });
}

void Connection::process(std::string bytes) {
  reply([this, bytes = std::move(bytes)] { return session_.receive(bytes); });
}

template <typename Step>
void Connection::reply(Step step) {
  std::string out;
  bool closed = false;
  try {
    out = step();
    closed = session_.closed();
  } catch (const std::exception& e) {  // never the whole service for one session
    server_.log(std::string("closed a connection after an internal error: ") + e.what());
    out = "421 4.3.0 Internal error, closing connection\r\n";
    closed = true;
  }
  write(std::move(out), closed);
}

void Connection::write(std::string replies, bool thenClose) {
  if (closed_) return;
  if (replies.empty()) return thenClose ? end() : read();
  out_ = std::move(replies);
  arm();
  asio::async_write(socket_, asio::buffer(out_), [self = shared_from_this(), thenClose](asio::error_code ec, std::size_t) {
    self->timer_.cancel();
    if (ec || thenClose) return self->end();
    self->read();
  });
}

void Connection::stop() {
  asio::post(context_, [self = shared_from_this()] {
    self->stopping_ = true;
    if (self->reading_) self->socket_.cancel();  // the read ends, and the session is told
  });
}

void Connection::close() {
  asio::post(context_, [self = shared_from_this()] { self->end(); });
}

void Connection::end() {
  if (closed_) return;
  closed_ = true;
  asio::error_code ignored;
  timer_.cancel();
  socket_.shutdown(asio::socket_base::shutdown_both, ignored);
  socket_.close(ignored);
  asio::post(server_.io, [self = shared_from_this()] { self->server_.removed(self.get()); });
}

} // namespace

void serve(const ServerOptions& options, Mailboxes& mailboxes, const std::function<void(const std::string&)>& log) {
  Server server(options, mailboxes, log);
  server.listen();
  server.run();
}

} // namespace korvane::mail
