// What a received message becomes in a public folder: the item's properties
// read from the message with GMime (subject with its encoded words decoded,
// addresses, date, message id, the text body, attachment names) and the
// message itself, kept octet for octet.
#pragma once

#include <string>
#include <string_view>

#include "platform/store/properties.h"

namespace korvane::mail {

// The properties of the item for `message` (as the client sent it, after
// the transfer's dot doubling is undone). Anything GMime cannot read is
// simply missing; the raw message is always there.
store::Properties itemProperties(std::string_view message, std::string_view envelopeSender, TextView messageClass);

// The raw-message property's form and back: one code unit per octet.
Text rawText(std::string_view octets);
std::string rawOctets(TextView text);

} // namespace korvane::mail
