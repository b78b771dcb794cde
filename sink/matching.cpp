#include "sink/matching.h"

#include <algorithm>

namespace korvane::sink {

namespace {

constexpr char16_t kWildcard = u'*';
constexpr char16_t kListSeparator = u',';

// The first `n` characters of `text`, or all of it when it is shorter.
TextView leftPart(TextView text, std::size_t n) { return text.substr(0, std::min(n, text.size())); }

// The last `n` characters of `text`, or all of it when it is shorter.
TextView rightPart(TextView text, std::size_t n) {
  return text.substr(text.size() - std::min(n, text.size()));
}

} // namespace

bool matchesPattern(TextView pattern, TextView current) {
  std::size_t star = pattern.find(kWildcard);
  if (star == TextView::npos) return equalsIgnoreCase(trimBlanks(pattern), current);

  TextView prefix = pattern.substr(0, star);
  TextView suffix = pattern.substr(star + 1);
  return equalsIgnoreCase(prefix, leftPart(current, prefix.size())) &&
         equalsIgnoreCase(suffix, rightPart(current, suffix.size()));
}

std::optional<Text> mappedClass(TextView patternEntry, TextView newClassEntry, TextView current) {
  const std::vector<Text> patterns = split(patternEntry, kListSeparator);
  const std::vector<Text> classes = split(newClassEntry, kListSeparator);
  if (classes.empty()) return std::nullopt;
  for (std::size_t j = 0; j < patterns.size(); ++j) {
    if (matchesPattern(patterns[j], current)) return classes[std::min(j, classes.size() - 1)];
  }
  return std::nullopt;
}

bool meansDelete(TextView newClass) { return equalsIgnoreCase(newClass, kDeleteMarker); }

Text getTagValue(TextView text, TextView tag) {
  const Text lowerTag = toLowerSimple(tag);
  const Text lowerText = toLowerSimple(text);  // for searching only
  const Text closing = replaceAll(lowerTag, u"<", u"</");

  std::size_t open = lowerText.find(lowerTag);
  std::size_t close = lowerText.find(closing);
  if (open == Text::npos || close == Text::npos) return Text();

  std::size_t valueStart = open + lowerTag.size();
  if (close <= valueStart) return Text();
  return trimBlanks(text.substr(valueStart, close - valueStart));
}

} // namespace korvane::sink
