// Reads the log that robustness_deliver writes, and checks a server against
// it: every delivered item is there exactly once with its delivered or its
// mapped class, unless the mapping deleted it, and nothing else is there.
#pragma once

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace korvane::robustness {

// The property that holds each delivered item's own key ("W-I"): subjects
// repeat, keys do not.
inline constexpr char16_t kKeyProperty[] = u"urn:schemas:mailheader:message-id";

struct Delivery {
  std::string key, folder, messageClass, subject;
  bool done = false;      // the helper saw the delivery return
  bool deleted = false;   // the sink deleted it (done only)
  std::string resultClass, url;
};

// In log order of their start lines.
struct DeliveryLog {
  std::vector<Delivery> deliveries;
  std::vector<std::string> problems;  // malformed lines
};

DeliveryLog readDeliveryLog(const std::filesystem::path& file);

// The pieces of TEXT between SEPARATORs: a log line's fields, an option's list.
inline std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> out;
  for (std::size_t start = 0;;) {
    std::size_t end = text.find(separator, start);
    out.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return out;
    start = end + 1;
  }
}

// What the mapping may make of a delivered class: nullopt means "deleted".
using Mapping = std::optional<std::string> (*)(const std::string& deliveredClass);

struct CheckOptions {
  std::vector<std::string> folders;  // folder paths to look in
  Mapping mapping = nullptr;
  // Subjects that were in flight when their process was killed: may be
  // missing or present (once) with either class.
  bool inFlightMayExist = true;
  // Items stored before the logged runs, by key (their subject when they
  // have none): not checked.
  std::vector<std::string> preexisting;
};

// Compares the current server's folders with the logs; returns one line per
// problem found (empty: all is well).
std::string checkDeliveries(const std::vector<DeliveryLog>& logs, const CheckOptions& options);

} // namespace korvane::robustness
