// The text rules of the save processing: whether a message-class pattern
// (with at most one wildcard "*") matches a class, which new class a pair
// maps a class to, and reading a tagged value out of a folder description.
// Pure functions; positions are full width, so texts of any length work.
#pragma once

#include <optional>

#include "platform/com/text.h"

namespace korvane::sink {

inline constexpr char16_t kOriginalClassTag[] = u"<origmsgcl>";
inline constexpr char16_t kTargetClassTag[] = u"<targetmsgcl>";
inline constexpr char16_t kDeleteMarker[] = u"NULL";

// Without "*": the trimmed pattern equals `current`. With "*": the text
// before the first "*" equals the start of `current` and the text after it
// equals the end of `current` (the two may overlap); a part longer than
// `current` is compared with all of it. Comparisons ignore letter case.
bool matchesPattern(TextView pattern, TextView current);

// The new class that one pair (a comma list of patterns and a comma list of
// new classes) gives `current`: the class at the index of the first pattern
// that matches, or the last class when the list of classes is shorter.
// Empty when no pattern matches.
std::optional<Text> mappedClass(TextView patternEntry, TextView newClassEntry, TextView current);

// A new class "NULL" (any letter case, not trimmed) stands for deleting the item.
bool meansDelete(TextView newClass);

// The value between the first `tag` and the first closing tag ("<" replaced
// by "</"), found ignoring letter case and taken from `text` itself, trimmed
// of blanks. Empty when a tag is missing or the closing tag does not follow
// the opening one.
Text getTagValue(TextView text, TextView tag);

} // namespace korvane::sink
