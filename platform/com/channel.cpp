#include "platform/com/channel.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <system_error>
#include <sys/socket.h>
#include <unistd.h>

namespace korvane::wire {

namespace {

template <typename T>
void appendLittleEndian(std::string& out, T v) {
  for (std::size_t i = 0; i < sizeof(T); ++i) out.push_back(static_cast<char>((static_cast<std::uint64_t>(v) >> (8 * i)) & 0xFF));
}

template <typename T>
T fromLittleEndian(const char* p) {
  std::uint64_t v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) v |= std::uint64_t(static_cast<unsigned char>(p[i])) << (8 * i);
  return static_cast<T>(v);
}

using Clock = std::chrono::steady_clock;

// A yield that took longer than this ran another task: the processor is
// wanted, and spinning would only take time from the peer being waited for.
constexpr auto kContended = std::chrono::microseconds(20);
// How often a spin looks again whether the machine has processors to spare.
constexpr auto kLookEvery = std::chrono::microseconds(50);

// Whether every task that wants a processor has one, so that the peer being
// waited for runs on another and a spin takes nothing from it. Spinners that
// yield to each other never see a slow yield: four callers and their four
// hosts on two processors spun away the time their peers needed. The fourth
// field of /proc/loadavg counts the runnable tasks, this one included (about
// a microsecond to read); without it, spinning is left to kContended.
bool processorsToSpare() {
  static const int fd = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
  static const int processors = [] {
    cpu_set_t set;
    return ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set) : 1;
  }();
  char text[128];
  const ssize_t n = fd < 0 ? -1 : ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return true;
  text[n] = '\0';
  const char* field = text;
  for (int skip = 0; skip < 3 && field; ++skip)
    if ((field = std::strchr(field, ' '))) ++field;
  return !field || std::atoi(field) <= processors;
}

} // namespace

int pollSpinning(pollfd* fds, std::size_t count, int timeoutMs, std::chrono::microseconds spin) {
  if (timeoutMs != 0) {
    auto now = Clock::now();
    const auto until = now + spin;
    auto look = now;
    for (auto last = now; now < until && now - last < kContended; last = now) {
      if (now >= look) {
        if (!processorsToSpare()) break;
        look = now + kLookEvery;
      }
      int ready = ::poll(fds, count, 0);
      if (ready != 0) return ready;
      ::sched_yield();
      now = Clock::now();
    }
  }
  return ::poll(fds, count, timeoutMs);
}

Writer& Writer::u8(std::uint8_t v) {
  bytes_.push_back(static_cast<char>(v));
  return *this;
}
Writer& Writer::i32(std::int32_t v) {
  appendLittleEndian(bytes_, static_cast<std::uint32_t>(v));
  return *this;
}
Writer& Writer::i64(std::int64_t v) {
  appendLittleEndian(bytes_, static_cast<std::uint64_t>(v));
  return *this;
}
Writer& Writer::text(TextView v) {
  i32(static_cast<std::int32_t>(v.size()));
  bytes_.append(reinterpret_cast<const char*>(v.data()), v.size() * sizeof(char16_t));
  return *this;
}
Writer& Writer::blob(std::string_view bytes) {
  i32(static_cast<std::int32_t>(bytes.size()));
  bytes_.append(bytes);
  return *this;
}
Writer& Writer::raw(const std::string& bytes) {
  bytes_ += bytes;
  return *this;
}

Writer& Writer::variant(const Variant& v) {
  u8(static_cast<std::uint8_t>(v.kind()));
  switch (v.kind()) {
    case Variant::Kind::Empty:
    case Variant::Kind::Null: return *this;
    case Variant::Kind::Bool: return boolean(v.boolValue());
    case Variant::Kind::Int: return i64(v.intValue());
    case Variant::Kind::Double: {
      double d = v.doubleValue();
      std::uint64_t bits;
      std::memcpy(&bits, &d, sizeof bits);
      return i64(static_cast<std::int64_t>(bits));
    }
    case Variant::Kind::Text: return text(v.textValue());
    case Variant::Kind::Object: break;
  }
  throw ComError(DISP_E_TYPEMISMATCH, u"An object reference cannot be passed to another process.");
}

const char* Reader::take(std::size_t n) {
  if (bytes_.size() - at_ < n) throw ChannelClosed("a frame ended early");
  const char* p = bytes_.data() + at_;
  at_ += n;
  return p;
}
std::uint8_t Reader::u8() { return static_cast<std::uint8_t>(*take(1)); }
std::int32_t Reader::i32() { return static_cast<std::int32_t>(fromLittleEndian<std::uint32_t>(take(4))); }
std::int64_t Reader::i64() { return static_cast<std::int64_t>(fromLittleEndian<std::uint64_t>(take(8))); }
Text Reader::text() {
  std::int32_t n = i32();
  if (n < 0) throw ChannelClosed("a negative text length");
  const char* p = take(static_cast<std::size_t>(n) * sizeof(char16_t));
  Text out(static_cast<std::size_t>(n), u'\0');
  std::memcpy(out.data(), p, out.size() * sizeof(char16_t));
  return out;
}

std::string Reader::blob() {
  std::int32_t n = i32();
  if (n < 0) throw ChannelClosed("a negative length");
  return std::string(take(static_cast<std::size_t>(n)), static_cast<std::size_t>(n));
}

Variant Reader::variant() {
  switch (static_cast<Variant::Kind>(u8())) {
    case Variant::Kind::Empty: return Variant();
    case Variant::Kind::Null: return Variant::null();
    case Variant::Kind::Bool: return Variant(boolean());
    case Variant::Kind::Int: return Variant(i64());
    case Variant::Kind::Double: {
      auto bits = static_cast<std::uint64_t>(i64());
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return Variant(d);
    }
    case Variant::Kind::Text: return Variant(text());
    default: throw ChannelClosed("an unknown value kind");
  }
}

Channel::~Channel() {
  if (fd_ >= 0) ::close(fd_);
}

std::string frameBytes(std::uint8_t type, const Writer& body) {
  std::string frame;
  appendLittleEndian(frame, static_cast<std::uint32_t>(body.bytes().size() + 1));
  frame.push_back(static_cast<char>(type));
  return frame + body.bytes();
}

void Channel::send(std::uint8_t type, const Writer& body) {
  const std::string frame = frameBytes(type, body);
  std::size_t sent = 0;
  while (sent < frame.size()) {
    ssize_t n = ::send(fd_, frame.data() + sent, frame.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ChannelClosed(std::strerror(errno));
    sent += static_cast<std::size_t>(n);
  }
}

void Channel::readExactly(char* out, std::size_t n, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::size_t got = 0;
  while (got < n) {
    ssize_t r = ::recv(fd_, out + got, n - got, MSG_DONTWAIT);
    if (r > 0) {
      got += static_cast<std::size_t>(r);
      continue;
    }
    if (r == 0) throw ChannelClosed("the peer closed the connection");
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) throw ChannelClosed(std::strerror(errno));
    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      wait = static_cast<int>(std::max<long long>(0, left));
    }
    pollfd p{fd_, POLLIN, 0};
    int ready = pollSpinning(&p, 1, wait, spin_);
    if (ready < 0 && errno != EINTR) throw ChannelClosed(std::strerror(errno));
    if (ready == 0) throw std::system_error(ETIMEDOUT, std::generic_category());
  }
}

std::optional<Frame> Channel::receive(int timeoutMs) {
  char header[4];
  try {
    readExactly(header, 4, timeoutMs);
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  auto length = fromLittleEndian<std::uint32_t>(header);
  if (length == 0 || length > kMaxFrame) throw ChannelClosed("a frame of impossible length");
  std::string body(length, '\0');
  // The rest of a started frame follows at once; a peer that stops half-way
  // is gone for good.
  try {
    readExactly(body.data(), length, timeoutMs < 0 ? -1 : std::max(timeoutMs, 1000));
  } catch (const std::system_error&) {
    throw ChannelClosed("a frame stopped half-way");
  }
  Frame f;
  f.type = static_cast<std::uint8_t>(body[0]);
  f.body = Reader(body.substr(1));
  return f;
}

bool Channel::peerGone() const {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, 0) <= 0) return false;
  if (p.revents & (POLLHUP | POLLERR)) return true;
  char c;
  return ::recv(fd_, &c, 1, MSG_PEEK | MSG_DONTWAIT) != -1 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

} // namespace korvane::wire
