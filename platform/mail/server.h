// The mail service's network side, on Asio: listens for SMTP and LMTP on
// TCP or Unix sockets, runs one Session per connection, and keeps the
// connection limit and the idle timeout. SIGINT or SIGTERM stops it
// gracefully: no new connections, idle ones are told so, running messages
// are finished; a second signal ends it at once. The calling thread accepts
// clients and takes the signals; the clients are handed in turn to the
// session threads, each of which serves its own from their bytes to their
// replies, the Mailboxes calls included.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "platform/mail/session.h"

namespace korvane::mail {

struct Listener {
  Protocol protocol = Protocol::Smtp;
  // "HOST:PORT", "[V6]:PORT" or "PORT" (loopback), or "unix:PATH".
  std::string address;
};

struct ServerOptions {
  std::vector<Listener> listeners;
  Limits limits;
  std::chrono::seconds idleTimeout{300};
  std::size_t maxConnections = 50;
  std::string hostName = "localhost";
  // Who may connect to "unix:" sockets: their permission bits, and the
  // local account they are given to (empty: the service's own). A mail
  // server's LMTP client runs as an account of its own ("postfix").
  unsigned socketMode = 0600;
  std::string socketOwner;
  // Threads that serve the sessions; more than one only with Mailboxes that
  // may be called from several threads at once (ProcessMailboxes).
  std::size_t sessionThreads = 1;
};

// Runs until stopped by a signal. Binds every listener first and fails
// (throwing std::runtime_error) before serving when one cannot be bound.
// `log` gets one line per event: listening, each message (from the
// mailboxes), refused connections, the stop.
void serve(const ServerOptions& options, Mailboxes& mailboxes, const std::function<void(const std::string&)>& log);

} // namespace korvane::mail
