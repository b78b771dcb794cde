// Feeds arbitrary bytes to an SMTP and an LMTP session, split at a point the
// input chooses. Every reply must be a well-formed reply line, and what the
// session hands over for delivery must stay within the size limit.
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/mail/session.h"

namespace {

using namespace korvane::mail;

void require(bool condition) {
  if (!condition) std::abort();
}

class Boxes : public Mailboxes {
public:
  std::optional<std::string> folderOf(std::string_view address) override {
    if (address.size() % 3 == 0) return std::nullopt;
    return std::string("Folder");
  }
  std::vector<DeliveryResult> deliver(const Envelope& envelope, std::string_view message) override {
    require(!envelope.recipients.empty());
    require(message.size() <= limits.maxMessageBytes);
    return std::vector<DeliveryResult>(envelope.recipients.size(),
                                       DeliveryResult{DeliveryResult::Status::Delivered, "IPM.Post"});
  }
  void refused(const Envelope&, std::string_view, std::string_view) override {}
  Limits limits{.maxMessageBytes = 512, .maxLineBytes = 80};
};

// Reply lines: "ddd" then " " or "-", printable text, CRLF.
void checkReplies(std::string_view out) {
  while (!out.empty()) {
    const auto end = out.find("\r\n");
    require(end != std::string_view::npos && end >= 4);
    const std::string_view line = out.substr(0, end);
    require(line[0] >= '2' && line[0] <= '5' && std::isdigit(static_cast<unsigned char>(line[1])) &&
            std::isdigit(static_cast<unsigned char>(line[2])));
    require(line[3] == ' ' || line[3] == '-');
    for (char c : line) require(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
    out.remove_prefix(end + 2);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  for (Protocol protocol : {Protocol::Smtp, Protocol::Lmtp}) {
    Boxes boxes;
    Session session(protocol, boxes.limits, "fuzz.test", boxes);
    const std::size_t cut = size ? data[0] % (size + 1) : 0;
    checkReplies(session.receive(input.substr(0, cut)));
    checkReplies(session.receive(input.substr(cut)));
    checkReplies(session.shutdown());
  }
  return 0;
}
