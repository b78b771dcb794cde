// The wire between a caller and a host process: length-prefixed frames over
// a connected Unix stream socket, each a type byte and a body of plain
// values (numbers, texts, variants without objects) written and read in
// order. A peer that goes away shows as ChannelClosed, never as a signal.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <poll.h>
#include <stdexcept>
#include <string>

#include "platform/com/variant.h"

namespace korvane::wire {

// The peer closed the connection or it failed.
class ChannelClosed : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class Writer {
public:
  Writer& u8(std::uint8_t v);
  Writer& boolean(bool v) { return u8(v ? 1 : 0); }
  Writer& i32(std::int32_t v);
  Writer& i64(std::int64_t v);
  Writer& text(TextView v);
  // Objects do not cross: throws ComError(DISP_E_TYPEMISMATCH).
  Writer& variant(const Variant& v);
  Writer& raw(const std::string& bytes);
  // Bytes of any kind, with their length.
  Writer& blob(std::string_view bytes);
  const std::string& bytes() const { return bytes_; }
  bool empty() const { return bytes_.empty(); }

private:
  std::string bytes_;
};

// Reads what a Writer wrote; a short or malformed body throws ChannelClosed,
// since the peer is not the program it claims to be.
class Reader {
public:
  explicit Reader(std::string bytes = {}) : bytes_(std::move(bytes)) {}
  std::uint8_t u8();
  bool boolean() { return u8() != 0; }
  std::int32_t i32();
  std::int64_t i64();
  Text text();
  Variant variant();
  std::string blob();

private:
  const char* take(std::size_t n);
  std::string bytes_;
  std::size_t at_ = 0;
};

// poll(2) that first spins for a short while, yielding the processor, before
// it sleeps: the answer to a request usually comes within tens of
// microseconds, and waking a sleeping processor costs more than that on
// virtual machines. Spinning stops as soon as another task gets the
// processor, or more tasks want one than there are, since then it would
// take time from the peer being waited for. `spin` is how long a wait is
// expected to be short.
inline constexpr std::chrono::microseconds kShortWait{250};
int pollSpinning(pollfd* fds, std::size_t count, int timeoutMs, std::chrono::microseconds spin = kShortWait);

// The longest frame a channel carries: a longer one is taken for a peer
// that is not what it claims to be.
inline constexpr std::uint32_t kMaxFrame = 64u << 20;

// A whole frame as bytes, for writing where no Channel may be used (after
// fork, in a signal handler).
std::string frameBytes(std::uint8_t type, const Writer& body);

struct Frame {
  std::uint8_t type = 0;
  Reader body;
};

// Owns the socket; closes it when destroyed.
class Channel {
public:
  explicit Channel(int fd) : fd_(fd) {}
  ~Channel();
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  int fd() const { return fd_; }
  void send(std::uint8_t type, const Writer& body);
  // The next frame; nothing when `timeoutMs` (-1: no limit) passes first.
  std::optional<Frame> receive(int timeoutMs);
  // True when the peer has closed its end (or sent something unasked).
  bool peerGone() const;
  // How long receive spins before it sleeps (see pollSpinning).
  void setSpin(std::chrono::microseconds spin) { spin_ = spin; }

private:
  void readExactly(char* out, std::size_t n, int timeoutMs);
  int fd_;
  std::chrono::microseconds spin_ = kShortWait;
};

} // namespace korvane::wire
