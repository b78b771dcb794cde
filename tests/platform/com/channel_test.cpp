// The wire to host processes: values survive the trip as they were, and a
// peer that stops, lies about a length or goes away is seen as gone.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/com/channel.h"

namespace korvane::wire {
namespace {

TEST(Wire, ValuesCrossUnchanged) {
  const Variant values[] = {Variant(), Variant::null(), Variant(true), Variant(std::int64_t{-1} << 40),
                            Variant(2.5), Variant(u"Ünïcødé \U0001F4E7\r\t"), Variant(u"")};
  Writer w;
  for (const auto& v : values) w.variant(v);
  w.i32(-7).text(u"end");
  Reader r(w.bytes());
  for (const auto& v : values) EXPECT_EQ(r.variant(), v);
  EXPECT_EQ(r.i32(), -7);
  EXPECT_EQ(r.text(), u"end");
  EXPECT_THROW(r.u8(), ChannelClosed);
  EXPECT_THROW(Writer().variant(Variant(ComPtr<IUnknown>())), ComError);
}

TEST(Wire, FramesArriveWholeAndAPeerThatGoesIsSeen) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  Channel a(fds[0]), b(fds[1]);
  Writer body;
  body.text(std::u16string(100000, u'x'));
  a.send(7, body);
  auto f = b.receive(1000);
  ASSERT_TRUE(f);
  EXPECT_EQ(f->type, 7);
  EXPECT_EQ(f->body.text().size(), 100000u);
  EXPECT_FALSE(b.receive(50));  // nothing more: a timeout, not an error
  EXPECT_FALSE(b.peerGone());

  const char bogus[] = {0, 0, 0, 0x7F, 1};  // a length no frame has
  ASSERT_EQ(::write(fds[0], bogus, sizeof bogus), static_cast<ssize_t>(sizeof bogus));
  EXPECT_THROW(b.receive(1000), ChannelClosed);
  ::shutdown(fds[0], SHUT_RDWR);
  EXPECT_TRUE(b.peerGone());
  EXPECT_THROW(b.receive(1000), ChannelClosed);
}

} // namespace
} // namespace korvane::wire
