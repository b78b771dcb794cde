#include "sink/configuration.h"

namespace korvane::sink {

namespace {

constexpr char16_t kLineBreak = u'\r';
constexpr char16_t kEntrySeparator = u'\t';

// Upper bound of a split list as the pair bounds count it: -1 when empty.
std::ptrdiff_t upperBound(const std::vector<Text>& list) {
  return static_cast<std::ptrdiff_t>(list.size()) - 1;
}

} // namespace

Configuration parseConstructorString(TextView text) {
  Text line1;
  Text line2;

  // Only a CR after at least one character separates line 1 from the rest;
  // a string that begins with CR has no line 1 and so no pairs.
  std::size_t p = text.find(kLineBreak);
  if (p != TextView::npos && p > 0) {
    line1 = trimBlanks(text.substr(0, p));
    line2 = trimBlanks(text.substr(p + 1));
  }

  // Cut off line 3 (the priority), but only when line 2 itself is not
  // empty: a CR at the very start of the remainder stays in line 2.
  std::size_t p2 = line2.find(kLineBreak);
  if (p2 != Text::npos && p2 > 0) line2 = trimBlanks(TextView(line2).substr(0, p2));

  Configuration config;
  config.newClasses = split(line1, kEntrySeparator);
  config.pairLowerBound = 0;
  config.pairUpperBound = upperBound(config.newClasses);
  config.originalPatterns = split(line2, kEntrySeparator);
  if (config.pairUpperBound > upperBound(config.originalPatterns))
    config.pairUpperBound = upperBound(config.originalPatterns);
  return config;
}

} // namespace korvane::sink
