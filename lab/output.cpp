#include "lab/output.h"

#include <algorithm>
#include <cstdio>
#include <fmt/format.h>
#include <unicode/uchar.h>
#include <unicode/utf16.h>

namespace korvane::lab {

std::string utf8(TextView t) { return toUtf8(t); }
Text text(const std::string& s) { return fromUtf8(s); }

namespace {
// Display width in terminal columns, counting code points.
std::size_t width(const std::string& s) {
  return static_cast<std::size_t>(std::count_if(s.begin(), s.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}
} // namespace

void printTable(const std::vector<std::string>& header, const std::vector<std::vector<std::string>>& cells) {
  // What a sender controls (subjects, names, classes) must not forge rows.
  std::vector<std::vector<std::string>> rows;
  for (const auto& row : cells) {
    rows.emplace_back();
    for (const auto& cell : row) rows.back().push_back(escapeControls(text(cell)));
  }
  std::vector<std::size_t> widths(header.size());
  for (std::size_t i = 0; i < header.size(); ++i) widths[i] = width(header[i]);
  for (const auto& row : rows)
    for (std::size_t i = 0; i < row.size() && i < widths.size(); ++i) widths[i] = std::max(widths[i], width(row[i]));
  auto line = [&](const std::vector<std::string>& cells) {
    std::string out;
    for (std::size_t i = 0; i < cells.size(); ++i) {
      out += cells[i];
      if (i + 1 < cells.size()) out += std::string(widths[i] - width(cells[i]) + 2, ' ');
    }
    std::puts(out.c_str());
  };
  line(header);
  std::vector<std::string> rule;
  for (auto w : widths) rule.emplace_back(w, '-');
  line(rule);
  for (const auto& row : rows) line(row);
}

void printJson(const Json& value) { std::puts(value.dump(2).c_str()); }

Json toJson(const Variant& v) {
  switch (v.kind()) {
    case Variant::Kind::Empty:
    case Variant::Kind::Null: return nullptr;
    case Variant::Kind::Bool: return v.boolValue();
    case Variant::Kind::Int: return v.intValue();
    case Variant::Kind::Double: return v.doubleValue();
    case Variant::Kind::Text: return utf8(v.textValue());
    case Variant::Kind::Object: return "(object)";
  }
  return nullptr;
}

std::string display(const Variant& v) {
  switch (v.kind()) {
    case Variant::Kind::Empty: return "";
    case Variant::Kind::Null: return "(null)";
    case Variant::Kind::Object: return "(object)";
    default: return escapeControls(v.toText());
  }
}

Text unescape(const std::string& argument) {
  std::string out;
  for (std::size_t i = 0; i < argument.size(); ++i) {
    if (argument[i] == '\\' && i + 1 < argument.size()) {
      char next = argument[i + 1];
      if (next == 'r' || next == 't' || next == 'n' || next == '\\') {
        out += next == 'r' ? '\r' : next == 't' ? '\t' : next == 'n' ? '\n' : '\\';
        ++i;
        continue;
      }
    }
    out += argument[i];
  }
  return text(out);
}

namespace {

// What could move the cursor, end a line, reorder or hide text on a terminal:
// controls (C0, DEL, C1), format characters (bidirectional overrides and
// isolates, zero-width characters), line and paragraph separators, and
// halves of broken surrogate pairs.
bool mustEscape(UChar32 c) {
  switch (u_charType(c)) {
    case U_CONTROL_CHAR:
    case U_FORMAT_CHAR:
    case U_LINE_SEPARATOR:
    case U_PARAGRAPH_SEPARATOR:
    case U_SURROGATE: return true;
    default: return false;
  }
}

} // namespace

std::string escapeControls(TextView t) {
  std::string out;
  for (std::size_t i = 0; i < t.size();) {
    UChar32 c;
    U16_NEXT(t.data(), i, t.size(), c);
    if (c == u'\r') out += "\\r";
    else if (c == u'\t') out += "\\t";
    else if (c == u'\n') out += "\\n";
    else if (c < 0x100 && mustEscape(c)) out += fmt::format("\\x{:02x}", c);
    else if (mustEscape(c)) out += fmt::format("\\u{:04x}", c);
    else {
      char16_t unit[2];
      std::size_t n = 0;
      U16_APPEND_UNSAFE(unit, n, c);
      out += utf8(TextView(unit, n));
    }
  }
  return out;
}

} // namespace korvane::lab
