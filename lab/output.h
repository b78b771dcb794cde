// How korvane-lab prints: aligned plain-text tables for people, JSON for
// scripts, and the escapes by which a shell argument carries CR and TAB.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/com/variant.h"

namespace korvane::lab {

using Json = nlohmann::ordered_json;

// Prints rows under a header, each column as wide as its widest cell, with
// every control character of a cell escaped (escapeControls).
void printTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& rows);
void printJson(const Json& value);

std::string utf8(TextView text);
Text text(const std::string& utf8);
Json toJson(const Variant& value);
std::string display(const Variant& value);

// "\r" -> CR, "\t" -> TAB, "\n" -> LF, "\\" -> "\"; anything else stays.
Text unescape(const std::string& argument);
// For showing texts on a terminal: CR, TAB and LF as "\r", "\t", "\n", other
// controls as "\x1b", format characters (bidirectional overrides, zero-width
// characters) and line separators as "\u202e". JSON output is never escaped.
std::string escapeControls(TextView text);

} // namespace korvane::lab
