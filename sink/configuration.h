// The sink's configuration: the mapping pairs that arrive as the COM+
// constructor string (new classes, CR, original patterns, CR, priority),
// split into two parallel lists that the save processing walks.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/com/text.h"

namespace korvane::sink {

struct Configuration {
  std::vector<Text> newClasses;        // line 1 split on TAB
  std::vector<Text> originalPatterns;  // line 2 split on TAB
  // The configured pairs are the indexes lowerBound..upperBound inclusive;
  // upperBound < lowerBound means there is none. Full width, so that lists
  // of any length work.
  std::ptrdiff_t pairLowerBound = 0;
  std::ptrdiff_t pairUpperBound = -1;

  std::size_t pairCount() const {
    return pairUpperBound < pairLowerBound ? 0
                                           : static_cast<std::size_t>(pairUpperBound - pairLowerBound + 1);
  }
};

// Splits a constructor string into the pairs. Never fails: a string without
// usable lines gives a configuration without pairs.
Configuration parseConstructorString(TextView text);

} // namespace korvane::sink
