#include "platform/mail/message.h"

#include <gmime/gmime.h>

#include <memory>
#include <mutex>
#include <string>

#include "platform/store/names.h"

namespace korvane::mail {

namespace {

struct GFree {
  void operator()(void* p) const { g_free(p); }
};
using GText = std::unique_ptr<char, GFree>;

struct Unref {
  void operator()(void* p) const { g_object_unref(p); }
};
template <typename T>
using GRef = std::unique_ptr<T, Unref>;

void initGMime() {
  static std::once_flag once;
  std::call_once(once, [] { g_mime_init(); });
}

GRef<GMimeMessage> parse(std::string_view message) {
  GRef<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(message.data(), message.size()));
  GRef<GMimeParser> parser(g_mime_parser_new_with_stream(stream.get()));
  return GRef<GMimeMessage>(g_mime_parser_construct_message(parser.get(), nullptr));
}

void setText(store::Properties& p, TextView name, const char* utf8) {
  if (utf8 && *utf8) p.set(name, Variant(fromUtf8(utf8)));
}

// GMime writes an international domain in its ASCII form (xn--...); the
// item shows the address as the sender wrote it.
void keepInternationalDomains(std::string& text, InternetAddressList* list) {
  for (int i = 0; i < internet_address_list_length(list); ++i) {
    InternetAddress* a = internet_address_list_get_address(list, i);
    if (INTERNET_ADDRESS_IS_GROUP(a)) {
      keepInternationalDomains(text, internet_address_group_get_members(INTERNET_ADDRESS_GROUP(a)));
      continue;
    }
    auto* mailbox = INTERNET_ADDRESS_MAILBOX(a);
    const std::string addr = internet_address_mailbox_get_addr(mailbox);
    const std::string ascii = internet_address_mailbox_get_idn_addr(mailbox);
    if (ascii == addr) continue;
    if (auto at = text.find(ascii); at != std::string::npos) text.replace(at, ascii.size(), addr);
  }
}

void setAddresses(store::Properties& p, TextView name, InternetAddressList* list) {
  if (!list || internet_address_list_length(list) == 0) return;
  GText formatted(internet_address_list_to_string(list, nullptr, FALSE));
  if (!formatted) return;
  std::string text = formatted.get();
  keepInternationalDomains(text, list);
  setText(p, name, text.c_str());
}

// A text part's content in UTF-8, converted from its charset as
// g_mime_text_part_get_text does, but every byte of it: that one ends at
// the first NUL.
std::string textOf(GMimeTextPart* part) {
  GMimeDataWrapper* content = g_mime_part_get_content(GMIME_PART(part));
  if (!content) return {};
  GRef<GMimeStream> memory(g_mime_stream_mem_new());
  const char* charset = g_mime_object_get_content_type_parameter(GMIME_OBJECT(part), "charset");
  GRef<GMimeFilter> convert(charset ? g_mime_filter_charset_new(charset, "utf-8") : nullptr);
  if (convert) {
    GRef<GMimeStream> filtered(g_mime_stream_filter_new(memory.get()));
    g_mime_stream_filter_add(GMIME_STREAM_FILTER(filtered.get()), convert.get());
    g_mime_data_wrapper_write_to_stream(content, filtered.get());
    g_mime_stream_flush(filtered.get());
  } else {
    g_mime_data_wrapper_write_to_stream(content, memory.get());
  }
  GByteArray* bytes = g_mime_stream_mem_get_byte_array(GMIME_STREAM_MEM(memory.get()));
  return bytes ? std::string(reinterpret_cast<const char*>(bytes->data), bytes->len) : std::string();
}

void setDate(store::Properties& p, GMimeMessage* message) {
  GDateTime* date = g_mime_message_get_date(message);
  if (!date) return;
  std::unique_ptr<GDateTime, void (*)(GDateTime*)> utc(g_date_time_to_utc(date), g_date_time_unref);
  if (!utc) return;
  GText text(g_date_time_format(utc.get(), "%Y-%m-%dT%H:%M:%SZ"));
  setText(p, store::prop::date, text.get());
}

// The first text/plain part that is not an attachment is the body; failing
// that, the first other text part (an HTML-only message).
struct Parts {
  std::string plain, other;
  bool plainFound = false, otherFound = false;
  std::string attachmentNames;
  bool hasAttachment = false;
};

void visit(GMimeObject*, GMimeObject* object, gpointer data) {
  auto& parts = *static_cast<Parts*>(data);
  if (!GMIME_IS_PART(object)) return;
  GMimePart* part = GMIME_PART(object);
  const char* filename = g_mime_part_get_filename(part);
  if (g_mime_part_is_attachment(part) || (filename && *filename)) {
    parts.hasAttachment = true;
    if (filename && *filename) {
      if (!parts.attachmentNames.empty()) parts.attachmentNames += '\n';
      parts.attachmentNames += filename;
    }
    return;
  }
  if (!GMIME_IS_TEXT_PART(object)) return;
  const bool plain = g_mime_content_type_is_type(g_mime_object_get_content_type(object), "text", "plain");
  if (plain ? parts.plainFound : parts.otherFound) return;
  (plain ? parts.plain : parts.other) = textOf(GMIME_TEXT_PART(object));
  (plain ? parts.plainFound : parts.otherFound) = true;
}

void readMessage(store::Properties& p, std::string_view raw) {
  initGMime();
  GRef<GMimeMessage> message = parse(raw);
  if (!message) return;
  setText(p, store::prop::subject, g_mime_message_get_subject(message.get()));
  setAddresses(p, store::prop::from, g_mime_message_get_from(message.get()));
  setAddresses(p, store::prop::to, g_mime_message_get_to(message.get()));
  setAddresses(p, store::prop::cc, g_mime_message_get_cc(message.get()));
  setDate(p, message.get());
  setText(p, store::prop::messageId, g_mime_message_get_message_id(message.get()));
  Parts parts;
  g_mime_message_foreach(message.get(), visit, &parts);
  if (parts.plainFound || parts.otherFound)
    p.set(store::prop::textBody, Variant(fromUtf8(parts.plainFound ? parts.plain : parts.other)));
  p.set(store::prop::hasAttachment, Variant(parts.hasAttachment));
  setText(p, store::prop::attachmentNames, parts.attachmentNames.c_str());
}

} // namespace

store::Properties itemProperties(std::string_view message, std::string_view envelopeSender, TextView messageClass) {
  store::Properties p;
  p.set(store::prop::messageClass, Variant(messageClass));
  p.set(store::prop::contentClass, Variant(store::contentclass::message));
  readMessage(p, message);
  if (!envelopeSender.empty()) p.set(store::prop::envelopeSender, Variant(fromUtf8(envelopeSender)));
  p.set(store::prop::rawMessage, Variant(rawText(message)));
  return p;
}

Text rawText(std::string_view octets) {
  Text text;
  text.reserve(octets.size());
  for (char c : octets) text += static_cast<char16_t>(static_cast<unsigned char>(c));
  return text;
}

std::string rawOctets(TextView text) {
  std::string octets;
  octets.reserve(text.size());
  for (char16_t c : text) octets += static_cast<char>(c & 0xFF);
  return octets;
}

} // namespace korvane::mail
