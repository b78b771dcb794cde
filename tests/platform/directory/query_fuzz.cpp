// Feeds arbitrary text to the directory query parser and, when it parses, to
// the source splitter and the evaluator: nothing may crash, hang or leak, and
// every refusal must be a ComError.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "platform/com/hresult.h"
#include "platform/directory/query.h"

using namespace korvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Text text = fromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  try {
    directory::DirectoryQuery q = directory::parseQuery(text);
    try {
      directory::parseSource(q.source);
    } catch (const ComError&) {
    }
    auto lookup = [](TextView name) -> std::optional<Text> {
      if (equalsIgnoreCase(name, u"objectCategory")) return Text(u"CN=Person,CN=Schema,DC=corp");
      if (equalsIgnoreCase(name, u"cn")) return Text(u"Pat O'Brien");
      return std::nullopt;
    };
    directory::matches(q.where, lookup);
  } catch (const ComError&) {
  }
  return 0;
}
