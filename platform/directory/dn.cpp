#include "platform/directory/dn.h"

namespace korvane::directory {

Text escapeRdnValue(TextView value) {
  Text out;
  for (size_t i = 0; i < value.size(); ++i) {
    char16_t c = value[i];
    bool reserved = TextView(u",+\"\\<>;=").find(c) != TextView::npos ||
                    (i == 0 && (c == u'#' || c == u' ')) || (i + 1 == value.size() && c == u' ');
    if (reserved) out += u'\\';
    out += c;
  }
  return out;
}

std::optional<std::vector<Rdn>> splitDn(TextView dn) {
  std::vector<Rdn> out;
  if (trimBlanks(dn).empty()) return out;
  size_t i = 0;
  for (;;) {
    size_t eq = dn.find(u'=', i);
    if (eq == TextView::npos) return std::nullopt;
    Rdn rdn{trimBlanks(dn.substr(i, eq - i)), Text()};
    if (rdn.type.empty() || rdn.type.find_first_of(u",\\") != Text::npos) return std::nullopt;
    i = eq + 1;
    while (i < dn.size() && dn[i] == u' ') ++i;
    size_t keep = 0;  // value length up to its last escaped character
    for (; i < dn.size() && dn[i] != u','; ++i) {
      if (dn[i] == u'\\') {
        if (++i == dn.size()) return std::nullopt;
        rdn.value += dn[i];
        keep = rdn.value.size();
        continue;
      }
      rdn.value += dn[i];
    }
    // Unescaped blanks before the separator belong to the layout, not the value.
    while (rdn.value.size() > keep && rdn.value.back() == u' ') rdn.value.pop_back();
    out.push_back(std::move(rdn));
    if (i == dn.size()) return out;
    ++i;  // the comma
  }
}

} // namespace korvane::directory
