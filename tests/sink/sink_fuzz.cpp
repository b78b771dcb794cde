// Fuzzes what the sink reads from outside: the constructor string and the
// folder description with its tags and patterns. Checks the rules' own
// invariants besides the absence of crashes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/com/text.h"
#include "sink/configuration.h"
#include "sink/matching.h"

namespace {

using namespace korvane;
using namespace korvane::sink;

void require(bool condition) {
  if (!condition) std::abort();
}

void checkConfiguration(TextView text) {
  Configuration config = parseConstructorString(text);
  require(config.pairLowerBound == 0);
  require(config.pairCount() == std::min(config.newClasses.size(), config.originalPatterns.size()));
  for (const Text& entry : config.newClasses) require(entry.find(u'\t') == Text::npos && entry.find(u'\r') == Text::npos);
  for (const Text& entry : config.originalPatterns) require(entry.find(u'\t') == Text::npos);
}

void checkTagValue(TextView text, TextView tag) {
  Text value = getTagValue(text, tag);
  if (value.empty()) return;
  require(text.find(value) != TextView::npos);
  require(value.front() != u' ' && value.back() != u' ');
}

// Every pattern matches the class made of its own two parts.
void checkPatterns(TextView entry) {
  for (const Text& pattern : split(entry, u',')) {
    std::size_t star = pattern.find(u'*');
    Text own = star == Text::npos ? trimBlanks(pattern) : pattern.substr(0, star) + pattern.substr(star + 1);
    if (!own.empty()) require(matchesPattern(pattern, own));
    (void)mappedClass(entry, entry, own);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Text text = fromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  checkConfiguration(text);
  checkTagValue(text, kOriginalClassTag);
  checkTagValue(text, kTargetClassTag);
  checkPatterns(getTagValue(text, kOriginalClassTag));
  checkPatterns(text.substr(0, std::min<std::size_t>(text.size(), 256)));
  return 0;
}
