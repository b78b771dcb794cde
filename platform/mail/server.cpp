#include "platform/mail/server.h"

#include <asio.hpp>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <thread>

namespace korvane::mail {

namespace {

using Stream = asio::generic::stream_protocol;
using StreamAcceptor = asio::basic_socket_acceptor<Stream>;
using Log = std::function<void(const std::string&)>;

const char* protocolName(Protocol p) { return p == Protocol::Lmtp ? "LMTP" : "SMTP"; }

struct Bound {
  Stream::endpoint endpoint;
  std::string unixPath;  // removed again at the end
};

Bound resolve(asio::io_context& io, const std::string& address) {
  if (address.rfind("unix:", 0) == 0) {
    std::string path = address.substr(5);
    if (path.empty()) throw std::runtime_error("\"unix:\" needs a socket path, such as unix:/tmp/korvane.lmtp");
    return {Stream::endpoint(asio::local::stream_protocol::endpoint(path)), path};
  }
  std::string host = "127.0.0.1", port = address;
  if (const auto colon = address.rfind(':'); colon != std::string::npos) {
    host = address.substr(0, colon);
    port = address.substr(colon + 1);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    if (host.empty()) host = "127.0.0.1";
  }
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

  void listen() {
    for (const Listener& l : options.listeners) {
      Bound b = resolve(io, l.address);
      if (!b.unixPath.empty()) removeStaleSocket(b.unixPath);
      StreamAcceptor acceptor(io);
      acceptor.open(b.endpoint.protocol());
      if (b.unixPath.empty()) acceptor.set_option(StreamAcceptor::reuse_address(true));
      asio::error_code ec;
      acceptor.bind(b.endpoint, ec);
      if (ec) throw std::runtime_error("cannot listen on " + l.address + ": " + ec.message());
      if (!b.unixPath.empty()) grant(b.unixPath);  // before anyone can connect
      acceptor.listen(asio::socket_base::max_listen_connections);
      log(std::string("listening for ") + protocolName(l.protocol) + " on " + describe(acceptor.local_endpoint()));
      if (!loopback(acceptor.local_endpoint()))
        log("warning: " + l.address + " is reachable from other machines, and the service has no authentication");
      if (!b.unixPath.empty()) unixPaths_.push_back(b.unixPath);
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
    for (const auto& path : unixPaths_) std::filesystem::remove(path);
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
  // running server answers on is not.
  void removeStaleSocket(const std::string& path) {
    if (!std::filesystem::is_socket(path)) return;
    Stream::socket probe(io);
    asio::error_code ec;
    probe.connect(Stream::endpoint(asio::local::stream_protocol::endpoint(path)), ec);
    if (!ec) throw std::runtime_error("another server listens on unix:" + path);
    std::filesystem::remove(path);
  }

  // Connecting to a socket file takes write permission on it.
  void grant(const std::string& path) {
    auto refuse = [&](const std::string& why) {
      std::filesystem::remove(path);
      throw std::runtime_error("cannot " + why);
    };
    const std::string giving = "give unix:" + path + " to \"" + options.socketOwner + "\": ";
    if (!options.socketOwner.empty()) {
      const passwd* account = ::getpwnam(options.socketOwner.c_str());
      if (!account)
        refuse(giving + "this machine has no such account");
      else if (::chown(path.c_str(), account->pw_uid, account->pw_gid) != 0)
        refuse(giving + std::strerror(errno) + " (only the superuser can; else widen --socket-mode)");
    }
    if (::chmod(path.c_str(), options.socketMode & 0777) != 0)
      refuse("set the permissions of unix:" + path + ": " + std::strerror(errno));
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
  std::vector<std::string> unixPaths_;
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
