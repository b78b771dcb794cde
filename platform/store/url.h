// Store URLs: http://<host>/<virtual directory>/<path>. The scheme, the host
// and the virtual directory ("Public", "public folders" and
// "public%20folders" name the same tree) compare ignoring letter case; the
// path is literal: names are taken as written, with no percent decoding, and
// may hold blanks, quotes, percent signs and any other character but "/".
#pragma once

#include <optional>
#include <vector>

#include "platform/com/text.h"

namespace korvane::store {

struct StoreUrl {
  Text host;                  // as written
  std::vector<Text> segments; // names below the public root; empty for the root
};

// Splits a URL of the public folder tree; nullopt when it is not one (another
// scheme, another virtual directory, an empty name between two "/"). One
// trailing "/" is accepted.
std::optional<StoreUrl> parseStoreUrl(TextView url);

// The canonical URL: "http://<host>/Public" followed by "/" and each name;
// no trailing "/".
Text composeStoreUrl(TextView host, const std::vector<Text>& segments);

// Splits a folder path such as "Sales/Orders" (relative to the public root;
// leading and trailing "/" ignored); nullopt when a name is empty.
std::optional<std::vector<Text>> splitFolderPath(TextView path);
Text joinFolderPath(const std::vector<Text>& segments);

} // namespace korvane::store
