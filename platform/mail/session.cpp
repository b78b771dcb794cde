#include "platform/mail/session.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include "platform/com/text.h"

namespace korvane::mail {

namespace {

// Message text is passed on in pieces of at most this many bytes when a
// line has no end yet, so that one long line cannot grow without bound.
constexpr std::size_t kDataPiece = 8192;

char upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

bool equalsAscii(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return upper(x) == upper(y); });
}

bool startsWithAscii(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalsAscii(text.substr(0, prefix.size()), prefix);
}

bool isAscii(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// Malformed sequences do not survive the round trip: they become U+FFFD.
bool isUtf8(std::string_view s) { return isAscii(s) || toUtf8(fromUtf8(s)) == s; }

// Replies carry texts from elsewhere (addresses, error texts): one line,
// no control characters.
std::string oneLine(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return out;
}

std::string line(std::string_view code, std::string_view text) {
  return std::string(code) + " " + oneLine(text) + "\r\n";
}

std::string_view trimSpaces(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

struct Path {
  std::string address;
  std::vector<std::string_view> parameters;
};

// "FROM:<a@b> SIZE=10" after the keyword: the address inside the angle
// brackets (a source route "@x,@y:" dropped) or, as many clients send it,
// without brackets; then the parameters.
std::optional<Path> parsePath(std::string_view text) {
  text = trimSpaces(text);
  Path p;
  std::string_view rest;
  if (!text.empty() && text.front() == '<') {
    auto close = text.find('>');
    if (close == std::string_view::npos) return std::nullopt;
    std::string_view inside = text.substr(1, close - 1);
    if (!inside.empty() && inside.front() == '@') {
      auto colon = inside.find(':');
      if (colon == std::string_view::npos) return std::nullopt;
      inside.remove_prefix(colon + 1);
    }
    p.address = std::string(inside);
    rest = text.substr(close + 1);
    if (!rest.empty() && rest.front() != ' ') return std::nullopt;
  } else {
    auto space = text.find(' ');
    p.address = std::string(text.substr(0, space));
    if (p.address.empty()) return std::nullopt;
    rest = space == std::string_view::npos ? std::string_view() : text.substr(space);
  }
  for (char c : p.address)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F || c == '<' || c == '>') return std::nullopt;
  while (!(rest = trimSpaces(rest)).empty()) {
    auto space = rest.find(' ');
    p.parameters.push_back(rest.substr(0, space));
    rest = space == std::string_view::npos ? std::string_view() : rest.substr(space);
  }
  return p;
}

std::optional<std::size_t> parseSize(std::string_view digits) {
  std::size_t value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec == std::errc::result_out_of_range) return SIZE_MAX;
  if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

} // namespace

Session::Session(Protocol protocol, const Limits& limits, std::string hostName, Mailboxes& mailboxes)
    : protocol_(protocol), limits_(limits), host_(std::move(hostName)), mailboxes_(mailboxes) {}

std::string Session::greeting() const {
  return line("220", host_ + (protocol_ == Protocol::Lmtp ? " LMTP" : " ESMTP") + " korvane-lab mail service ready");
}

std::string Session::receive(std::string_view bytes) {
  std::string out;
  while (!bytes.empty() && !closed_) {
    if (state_ == State::Data) {
      dataBytes(bytes, out);
      continue;
    }
    const auto end = bytes.find('\n');
    if (end == std::string_view::npos) {
      if (!skippingLine_) pending_.append(bytes);
      bytes = {};
      if (pending_.size() >= limits_.maxLineBytes) {
        pending_.clear();
        skippingLine_ = true;
        refuse(line("500", "5.5.2 Line too long"), out);
      }
      break;
    }
    std::string text = pending_.append(bytes.substr(0, end));
    pending_.clear();
    bytes.remove_prefix(end + 1);
    if (std::exchange(skippingLine_, false)) continue;
    if (text.size() + 1 > limits_.maxLineBytes) {
      refuse(line("500", "5.5.2 Line too long"), out);
      continue;
    }
    if (!text.empty() && text.back() == '\r') text.pop_back();
    commandLine(text, out);
  }
  return out;
}

std::string Session::shutdown() {
  stopping_ = true;
  if (inTransaction() || closed_) return {};
  closed_ = true;
  return line("421", "4.3.2 " + host_ + " Service shutting down, closing connection");
}

void Session::commandLine(std::string_view text, std::string& out) {
  if (stopping_ && !inTransaction()) {
    out += shutdown();
    closed_ = true;
    return;
  }
  if (++commands_ > limits_.maxCommands) {
    out += line("421", "4.7.0 " + host_ + " Too many commands, closing connection");
    closed_ = true;
    return;
  }
  const auto space = text.find(' ');
  const std::string_view verb = text.substr(0, space);
  const std::string_view argument = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
  command(verb, argument, out);
}

void Session::command(std::string_view verb, std::string_view argument, std::string& out) {
  auto is = [&](std::string_view name) { return equalsAscii(verb, name); };
  if (is("EHLO") || is("HELO") || is("LHLO"))
    hello(verb, argument, out);
  else if (is("MAIL"))
    mailFrom(argument, out);
  else if (is("RCPT"))
    rcptTo(argument, out);
  else if (is("DATA"))
    data(argument, out);
  else if (is("RSET")) {
    resetTransaction();
    out += line("250", "2.0.0 OK");
  } else if (is("NOOP"))
    out += line("250", "2.0.0 OK");
  else if (is("QUIT")) {
    out += line("221", "2.0.0 " + host_ + " closing connection");
    closed_ = true;
  } else if (is("VRFY"))
    out += line("252", "2.5.2 Cannot verify the address; send the message and see");
  else if (is("HELP"))
    out += line("214", "2.0.0 Commands: EHLO HELO LHLO MAIL RCPT DATA RSET NOOP QUIT VRFY HELP");
  else if (is("STARTTLS") || is("AUTH") || is("BDAT") || is("EXPN") || is("ETRN") || is("TURN"))
    refuse(line("502", "5.5.1 Command not implemented"), out);
  else
    refuse(line("500", "5.5.2 Command not recognized"), out);
}

void Session::hello(std::string_view verb, std::string_view argument, std::string& out) {
  const bool lhlo = equalsAscii(verb, "LHLO");
  if (lhlo != (protocol_ == Protocol::Lmtp))
    return refuse(line("500", lhlo ? "5.5.1 This is SMTP: say EHLO" : "5.5.1 This is LMTP: say LHLO"), out);
  argument = trimSpaces(argument);
  if (argument.empty()) return refuse(line("501", "5.5.4 Syntax: " + std::string(verb) + " hostname"), out);
  resetTransaction();
  state_ = State::Ready;
  if (equalsAscii(verb, "HELO")) {
    out += line("250", host_);
    return;
  }
  out += "250-" + oneLine(host_ + " greets " + std::string(argument)) + "\r\n";
  out += "250-SIZE " + std::to_string(limits_.maxMessageBytes) + "\r\n";
  out += "250-PIPELINING\r\n250-8BITMIME\r\n250-ENHANCEDSTATUSCODES\r\n250 SMTPUTF8\r\n";
}

void Session::mailFrom(std::string_view argument, std::string& out) {
  if (state_ == State::Start) return refuse(line("503", "5.5.1 Say hello first (EHLO or LHLO)"), out);
  if (state_ != State::Ready) return refuse(line("503", "5.5.1 Sender already given"), out);
  if (!startsWithAscii(argument, "FROM:")) return refuse(line("501", "5.5.4 Syntax: MAIL FROM:<address>"), out);
  auto path = parsePath(argument.substr(5));
  if (!path) return refuse(line("501", "5.1.7 Bad sender address syntax"), out);
  bool utf8 = false;
  for (std::string_view parameter : path->parameters) {
    const auto eq = parameter.find('=');
    const std::string_view key = parameter.substr(0, eq);
    const std::string_view value = eq == std::string_view::npos ? std::string_view() : parameter.substr(eq + 1);
    if (equalsAscii(key, "SIZE")) {
      auto size = parseSize(value);
      if (!size) return refuse(line("501", "5.5.4 SIZE needs a number"), out);
      if (*size > limits_.maxMessageBytes) {
        mailboxes_.refused(Envelope{path->address, {}}, "", "announced size exceeds the limit");
        return refuse(line("552", "5.3.4 Message size exceeds the limit of " + std::to_string(limits_.maxMessageBytes) +
                                      " bytes"),
                      out);
      }
    } else if (equalsAscii(key, "BODY")) {
      if (!equalsAscii(value, "7BIT") && !equalsAscii(value, "8BITMIME"))
        return refuse(line("501", "5.5.4 BODY is 7BIT or 8BITMIME"), out);
    } else if (equalsAscii(parameter, "SMTPUTF8")) {
      utf8 = true;
    } else {
      return refuse(line("555", "5.5.4 Unsupported parameter " + std::string(parameter)), out);
    }
  }
  if (!utf8 && !isAscii(path->address))
    return refuse(line("553", "5.6.7 A non-ASCII address needs the SMTPUTF8 parameter"), out);
  if (!isUtf8(path->address)) return refuse(line("553", "5.6.7 An address must be UTF-8"), out);
  envelope_ = Envelope{path->address, {}};
  utf8Sender_ = utf8;
  state_ = State::Mail;
  out += line("250", "2.1.0 Sender OK");
}

void Session::rcptTo(std::string_view argument, std::string& out) {
  if (state_ != State::Mail) return refuse(line("503", "5.5.1 Need MAIL before RCPT"), out);
  if (!startsWithAscii(argument, "TO:")) return refuse(line("501", "5.5.4 Syntax: RCPT TO:<address>"), out);
  auto path = parsePath(argument.substr(3));
  if (!path || path->address.empty()) return refuse(line("501", "5.1.3 Bad recipient address syntax"), out);
  if (!path->parameters.empty())
    return refuse(line("555", "5.5.4 Unsupported parameter " + std::string(path->parameters.front())), out);
  if (!utf8Sender_ && !isAscii(path->address))
    return refuse(line("553", "5.6.7 A non-ASCII address needs the SMTPUTF8 parameter"), out);
  if (!isUtf8(path->address)) return refuse(line("553", "5.6.7 An address must be UTF-8"), out);
  if (envelope_.recipients.size() >= limits_.maxRecipients) {
    out += line("452", "4.5.3 Too many recipients");
    return;
  }
  std::optional<std::string> folder;
  try {
    folder = mailboxes_.folderOf(path->address);
  } catch (const std::exception& e) {
    out += line("451", "4.3.0 Cannot look the address up now, try again later: " + std::string(e.what()));
    return;
  }
  if (!folder) {
    mailboxes_.refused(envelope_, path->address, "no mail-enabled public folder has this address");
    return refuse(line("550", "5.1.1 <" + path->address + ">: no public folder has this address"), out);
  }
  envelope_.recipients.push_back(Recipient{path->address, *folder});
  out += line("250", "2.1.5 Recipient OK");
}

void Session::data(std::string_view argument, std::string& out) {
  if (state_ != State::Mail) return refuse(line("503", "5.5.1 Need MAIL and RCPT before DATA"), out);
  if (envelope_.recipients.empty()) return refuse(line("554", "5.5.1 No valid recipients"), out);
  if (!trimSpaces(argument).empty()) return refuse(line("501", "5.5.4 DATA takes no argument"), out);
  state_ = State::Data;
  message_.clear();
  messageTooBig_ = false;
  atLineStart_ = true;
  pieceEndedInCr_ = false;
  out += line("354", "End data with <CR><LF>.<CR><LF>");
}

void Session::dataBytes(std::string_view& bytes, std::string& out) {
  const auto end = bytes.find('\n');
  if (end == std::string_view::npos) {
    dataLine_.append(bytes);
    bytes = {};
    if (dataLine_.size() >= kDataPiece) {
      dataLine(dataLine_, false, out);
      dataLine_.clear();
    }
    return;
  }
  dataLine_.append(bytes.substr(0, end + 1));
  bytes.remove_prefix(end + 1);
  std::string complete = std::move(dataLine_);
  dataLine_.clear();
  dataLine(complete, true, out);
}

// Only CRLF ends a line of the message: a bare LF is one of its bytes, so
// "<LF>.<LF>" neither ends it nor lets a second message follow unseen.
void Session::dataLine(std::string_view text, bool complete, std::string& out) {
  if (atLineStart_ && complete && text == ".\r\n") return endOfMessage(out);
  if (atLineStart_ && !text.empty() && text.front() == '.') text.remove_prefix(1);  // the sender doubled it
  const bool crlf = complete && (text.size() >= 2 ? text.substr(text.size() - 2) == "\r\n" : text == "\n" && pieceEndedInCr_);
  pieceEndedInCr_ = !complete && !text.empty() && text.back() == '\r';
  atLineStart_ = crlf;
  if (messageTooBig_) return;
  if (message_.size() + text.size() > limits_.maxMessageBytes) {
    messageTooBig_ = true;
    std::string().swap(message_);
    return;
  }
  message_.append(text);
}

void Session::endOfMessage(std::string& out) {
  const auto& recipients = envelope_.recipients;
  const std::size_t replies = protocol_ == Protocol::Lmtp ? recipients.size() : 1;
  if (messageTooBig_) {
    mailboxes_.refused(envelope_, "", "message exceeds the limit of " + std::to_string(limits_.maxMessageBytes) + " bytes");
    for (std::size_t i = 0; i < replies; ++i)
      out += line("552", "5.3.4 Message exceeds the limit of " + std::to_string(limits_.maxMessageBytes) + " bytes");
  } else {
    std::vector<DeliveryResult> results;
    try {
      results = mailboxes_.deliver(envelope_, message_);
    } catch (const std::exception& e) {
      results.clear();
      results.resize(recipients.size(), DeliveryResult{DeliveryResult::Status::Failed, e.what()});
    }
    results.resize(recipients.size(), DeliveryResult{DeliveryResult::Status::Failed, "no result"});
    auto reply = [](const DeliveryResult& r, const std::string& who) {
      switch (r.status) {
        case DeliveryResult::Status::Delivered: return line("250", "2.0.0 " + who + "delivered as " + r.detail);
        case DeliveryResult::Status::Refused: return line("550", "5.7.1 " + who + "refused: " + r.detail);
        case DeliveryResult::Status::Gone: return line("550", "5.1.1 " + who + "no longer exists: " + r.detail);
        case DeliveryResult::Status::Failed: break;
      }
      return line("451", "4.3.0 " + who + "not stored, try again later: " + r.detail);
    };
    if (protocol_ == Protocol::Lmtp) {
      for (std::size_t i = 0; i < recipients.size(); ++i) out += reply(results[i], "<" + recipients[i].address + "> ");
    } else {
      // One reply for all: a failure anywhere makes the client send again,
      // since a copy that was lost weighs more than one that comes twice.
      // Refusals for good do not: a retry would only store the rest twice.
      auto worst = std::max_element(results.begin(), results.end(), [](const auto& a, const auto& b) {
        auto rank = [](DeliveryResult::Status s) {
          return s == DeliveryResult::Status::Failed ? 2 : s == DeliveryResult::Status::Delivered ? 1 : 0;
        };
        return rank(a.status) < rank(b.status);
      });
      out += worst->status == DeliveryResult::Status::Delivered ? line("250", "2.0.0 Message accepted") : reply(*worst, "");
    }
  }
  resetTransaction();
  std::string().swap(message_);
  if (stopping_) out += shutdown();
}

void Session::refuse(std::string_view reply, std::string& out) {
  out += reply;
  if (++errors_ >= limits_.maxErrors) {
    out += line("421", "4.7.0 " + host_ + " Too many errors, closing connection");
    closed_ = true;
  }
}

void Session::resetTransaction() {
  if (state_ != State::Start) state_ = State::Ready;
  envelope_ = Envelope{};
  utf8Sender_ = false;
}

} // namespace korvane::mail
