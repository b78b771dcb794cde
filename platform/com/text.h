// The platform's text type and the text rules every component shares:
// UTF-16 strings (positions count UTF-16 code units), blank-only trimming,
// and comparisons that ignore letter case by Unicode case folding.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace korvane {

using Text = std::u16string;
using TextView = std::u16string_view;

// Conversions at the edges (SQLite, terminal). Invalid sequences become U+FFFD.
std::string toUtf8(TextView text);
Text fromUtf8(std::string_view utf8);

// Removes leading and trailing U+0020 only; TAB, CR and LF stay.
Text trimBlanks(TextView text);

// Full Unicode case folding (ICU), so "É" equals "é" and "ß" equals "SS".
bool equalsIgnoreCase(TextView a, TextView b);
Text foldCase(TextView text);

// Simple, per-character mappings: the result has exactly as many UTF-16 code
// units as the input, so positions found in a lowered copy are valid in the
// original text.
Text toLowerSimple(TextView text);
Text toUpperSimple(TextView text);

// Splits on one separator character; empty entries are kept, and an empty
// text gives an empty list.
std::vector<Text> split(TextView text, char16_t separator);

// Replaces every occurrence of `from` (exact comparison).
Text replaceAll(TextView text, TextView from, TextView to);

} // namespace korvane
