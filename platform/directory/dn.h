// Distinguished names as the directory and the management objects write
// them: "CN=value,CN=value,...", with the reserved characters of a value
// escaped by a backslash.
#pragma once

#include <optional>
#include <vector>

#include "platform/com/text.h"

namespace korvane::directory {

// Escapes , + " \ < > ; = anywhere, "#" and a blank at the start and a blank
// at the end.
Text escapeRdnValue(TextView value);

struct Rdn {
  Text type;   // as written, blanks around it removed
  Text value;  // escapes removed
};

// Splits a DN into its RDNs, first (most specific) first; nullopt when an RDN
// has no "=" or an empty type, or the text ends inside an escape. An empty
// text gives no RDNs.
std::optional<std::vector<Rdn>> splitDn(TextView dn);

} // namespace korvane::directory
