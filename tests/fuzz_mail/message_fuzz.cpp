// Reads arbitrary bytes as a received message. The item must always carry
// the class and the message octet for octet, whatever GMime makes of it.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/mail/message.h"
#include "platform/store/names.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace korvane;
  const std::string_view message(reinterpret_cast<const char*>(data), size);
  store::Properties p = mail::itemProperties(message, "a@b", u"IPM.Post");
  if (p.text(store::prop::messageClass) != u"IPM.Post") std::abort();
  if (mail::rawOctets(p.text(store::prop::rawMessage)) != message) std::abort();
  return 0;
}
