// One SMTP or LMTP conversation as a state machine: fed with the bytes a
// client sends, it answers with the reply lines to send back. It knows the
// protocol only; which addresses exist and how a message is stored it asks
// its Mailboxes. No sockets, no clocks: the server around it owns those.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvane::mail {

enum class Protocol { Smtp, Lmtp };

struct Limits {
  std::size_t maxMessageBytes = 10 * 1024 * 1024;  // announced as SIZE
  std::size_t maxLineBytes = 1000;                 // a command line, CRLF included
  std::size_t maxRecipients = 100;
  std::size_t maxCommands = 1000;  // per connection
  std::size_t maxErrors = 20;      // refused commands before the connection is closed
};

struct Recipient {
  std::string address;  // as the client wrote it
  std::string folder;   // the public folder's path (UTF-8)
};

struct Envelope {
  std::string sender;  // the reverse path; empty for the null sender "<>"
  std::vector<Recipient> recipients;
};

// What became of one recipient's copy of a message.
struct DeliveryResult {
  // Refused and Gone are for good (a sink's veto, a folder deleted since its
  // address was accepted); Failed asks the sender to try again.
  enum class Status { Delivered, Refused, Failed, Gone };
  Status status = Status::Failed;
  std::string detail;  // for the reply: the class stored, or what went wrong
};

// The server side of the conversation. Calls come from the thread that feeds
// the session.
class Mailboxes {
public:
  virtual ~Mailboxes() = default;
  // The path of the mail-enabled public folder with this address, if any.
  virtual std::optional<std::string> folderOf(std::string_view address) = 0;
  // Stores the message once for each recipient; one result per recipient,
  // in order. Delivered means committed.
  virtual std::vector<DeliveryResult> deliver(const Envelope& envelope, std::string_view message) = 0;
  // A message or a recipient that was turned away before delivery.
  virtual void refused(const Envelope& envelope, std::string_view recipient, std::string_view reason) = 0;
};

class Session {
public:
  Session(Protocol protocol, const Limits& limits, std::string hostName, Mailboxes& mailboxes);

  std::string greeting() const;
  // Takes what the client sent (any split of the stream) and returns the
  // replies to send, in order.
  std::string receive(std::string_view bytes);
  // The server is stopping: between transactions the session says so and
  // ends at once; inside one it ends after the message's reply.
  std::string shutdown();
  // After QUIT, a fatal error or the shutdown: send the replies, then close.
  bool closed() const { return closed_; }
  // Inside a mail transaction (MAIL given, message not yet answered).
  bool inTransaction() const { return state_ != State::Ready && state_ != State::Start; }

private:
  enum class State { Start, Ready, Mail, Data };

  void commandLine(std::string_view line, std::string& out);
  void command(std::string_view verb, std::string_view argument, std::string& out);
  void hello(std::string_view verb, std::string_view argument, std::string& out);
  void mailFrom(std::string_view argument, std::string& out);
  void rcptTo(std::string_view argument, std::string& out);
  void data(std::string_view argument, std::string& out);
  void dataBytes(std::string_view& bytes, std::string& out);
  void dataLine(std::string_view line, bool complete, std::string& out);
  void endOfMessage(std::string& out);
  void refuse(std::string_view reply, std::string& out);
  void resetTransaction();

  Protocol protocol_;
  Limits limits_;
  std::string host_;
  Mailboxes& mailboxes_;

  State state_ = State::Start;
  bool closed_ = false;
  bool stopping_ = false;
  std::size_t commands_ = 0;
  std::size_t errors_ = 0;

  std::string pending_;       // an incomplete command line
  bool skippingLine_ = false;  // rest of an over-long line, up to its end

  Envelope envelope_;
  bool utf8Sender_ = false;
  std::string message_;
  bool messageTooBig_ = false;
  bool atLineStart_ = true;  // in the message, the next byte begins a line
  std::string dataLine_;     // a message line not yet complete (short ones only)
};

} // namespace korvane::mail
