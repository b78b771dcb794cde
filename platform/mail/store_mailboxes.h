// The mail service's road into the public store: a recipient is the e-mail
// address of a mail-enabled public folder (ignoring letter case), and each
// folder a message names gets one item of its own, delivered through the
// event service with the delivered flag. One log line per message says
// what happened. The class of incoming mail follows the public store's
// registry value "Incoming defaults to IPM.Note".
#pragma once

#include <functional>
#include <map>
#include <optional>

#include "platform/com/text.h"
#include "platform/db/stamp.h"
#include "platform/mail/session.h"

namespace korvane::mail {

class StoreMailboxes : public Mailboxes {
public:
  using Log = std::function<void(const std::string& line)>;
  explicit StoreMailboxes(Log log) : log_(std::move(log)) {}

  std::optional<std::string> folderOf(std::string_view address) override;
  std::vector<DeliveryResult> deliver(const Envelope& envelope, std::string_view message) override;
  void refused(const Envelope& envelope, std::string_view recipient, std::string_view reason) override;

private:
  Log log_;
  std::map<Text, Text> folders_;        // folded address -> folder path
  std::optional<db::StampValue> readAt_;  // where the folders' counter stood when they were read
  Text storeKey_;
};

// HKEY_LOCAL_MACHINE path of the public store's own settings.
Text publicStoreKey();
inline constexpr char16_t kIncomingNoteValue[] = u"Incoming defaults to IPM.Note";
// "IPM.Note" when the registry value is 1, else "IPM.Post"; `storeKey` is
// publicStoreKey() when already known.
Text incomingMessageClass(TextView storeKey = {});
void setIncomingDefaultsToNote(bool on);

// A text from a client, made safe for one line of a log or a terminal.
std::string printable(std::string_view text);

} // namespace korvane::mail
