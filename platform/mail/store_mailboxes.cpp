#include "platform/mail/store_mailboxes.h"

#include "platform/db/database.h"
#include "platform/mail/message.h"
#include "platform/registry/registry.h"
#include "platform/store/ado.h"
#include "platform/store/store.h"
#include "platform/store/tree.h"
#include "platform/store/url.h"

namespace korvane::mail {

namespace {

std::string inQuotes(std::string_view text) { return "\"" + printable(text) + "\""; }

std::string describe(const Envelope& envelope) {
  return "from <" + printable(envelope.sender) + ">";
}

} // namespace

std::string printable(std::string_view text) {
  std::string out;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u == 0x7F) {
      static const char hex[] = "0123456789ABCDEF";
      out += "\\x";
      out += hex[u >> 4];
      out += hex[u & 15];
    } else {
      out += c;
    }
  }
  return out;
}

std::optional<std::string> StoreMailboxes::folderOf(std::string_view address) {
  // The addresses are read again only when the store's folders changed since
  // (their counter moved, in whatever process): with thousands of folders a
  // full read takes a fifth of a second, and an unknown address must not
  // cost one, nor hold up the other sessions' look-ups meanwhile.
  const auto now = db::readStamp(db::Database::current(), store::tree::kShapeStamp);
  if (!now || !readAt_ || !(*readAt_ == *now)) {
    folders_.clear();
    for (const auto& f : store::listFolders())
      if (!f.mailAddress.empty()) folders_.emplace(foldCase(f.mailAddress), f.path);
    readAt_ = now;
  }
  auto it = folders_.find(foldCase(fromUtf8(address)));
  if (it == folders_.end()) return std::nullopt;
  return toUtf8(it->second);
}

std::vector<DeliveryResult> StoreMailboxes::deliver(const Envelope& envelope, std::string_view message) {
  if (storeKey_.empty()) storeKey_ = publicStoreKey();  // the server's identity stays while it serves
  const Text messageClass = incomingMessageClass(storeKey_);
  const store::Properties item = itemProperties(message, envelope.sender, messageClass);
  std::vector<DeliveryResult> results;
  std::map<std::string, DeliveryResult> byFolder;  // one item per folder, however often it is named
  std::string summary;
  bool allDelivered = true;
  for (const Recipient& r : envelope.recipients) {
    auto done = byFolder.find(r.folder);
    if (done == byFolder.end()) {
      DeliveryResult result;
      try {
        auto outcome = store::deliver(fromUtf8(r.folder), item);
        if (outcome.aborted) {
          result = {DeliveryResult::Status::Refused, "vetoed by the event sink " + toUtf8(outcome.abortedBy)};
        } else {
          result = {DeliveryResult::Status::Delivered,
                    outcome.deleted ? toUtf8(messageClass) + ", then deleted by the folder's event sink"
                                    : toUtf8(outcome.messageClass)};
        }
      } catch (const ComError& e) {
        // A folder deleted since its address was accepted stays gone: sending
        // again would not help, and would store the message twice where it
        // did land.
        result = {e.code() == ado::adErrResourceNotFound ? DeliveryResult::Status::Gone : DeliveryResult::Status::Failed,
                  e.what()};
      } catch (const std::exception& e) {
        result = {DeliveryResult::Status::Failed, e.what()};
      }
      done = byFolder.emplace(r.folder, result).first;
    }
    results.push_back(done->second);
    allDelivered = allDelivered && done->second.status == DeliveryResult::Status::Delivered;
    summary += (summary.empty() ? "" : "; ") + printable(r.address) + " -> " + printable(r.folder) + " " +
               (done->second.status == DeliveryResult::Status::Delivered  ? "as "
                : done->second.status == DeliveryResult::Status::Refused ? "refused: "
                : done->second.status == DeliveryResult::Status::Gone    ? "gone: "
                                                                          : "FAILED (answered 451): ") +
               printable(done->second.detail);
  }
  log_((allDelivered ? "accepted " : "not all stored ") + describe(envelope) + " subject " +
       inQuotes(toUtf8(item.text(store::prop::subject))) + ", " + std::to_string(message.size()) + " bytes: " + summary);
  return results;
}

void StoreMailboxes::refused(const Envelope& envelope, std::string_view recipient, std::string_view reason) {
  log_("refused " + describe(envelope) + (recipient.empty() ? "" : " to <" + printable(recipient) + ">") + ": " +
       printable(reason));
}

Text publicStoreKey() {
  auto info = store::serverInfo();
  Text guid = info.storeGuid;
  if (guid.size() > 2 && guid.front() == u'{') guid = guid.substr(1, guid.size() - 2);
  return u"SYSTEM\\CurrentControlSet\\Services\\MSExchangeIS\\" + toUpperSimple(info.host) + u"\\Public-" + guid;
}

Text incomingMessageClass(TextView storeKey) {
  auto value = registry::getValue(registry::Root::LocalMachine, storeKey.empty() ? publicStoreKey() : Text(storeKey),
                                  kIncomingNoteValue);
  const bool note = value && value->kind() == Variant::Kind::Int && value->intValue() == 1;
  return note ? u"IPM.Note" : u"IPM.Post";
}

void setIncomingDefaultsToNote(bool on) {
  registry::setValue(registry::Root::LocalMachine, publicStoreKey(), kIncomingNoteValue, Variant(on ? 1 : 0));
}

} // namespace korvane::mail
