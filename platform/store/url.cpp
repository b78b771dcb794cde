#include "platform/store/url.h"

namespace korvane::store {

namespace {

bool isPublicTree(TextView vdir) {
  return equalsIgnoreCase(vdir, u"public") || equalsIgnoreCase(vdir, u"public folders") ||
         equalsIgnoreCase(vdir, u"public%20folders");
}

// The names of a path; nullopt when one of them is empty.
std::optional<std::vector<Text>> names(TextView path) {
  std::vector<Text> out;
  if (path.empty()) return out;
  for (Text& name : split(path, u'/')) {
    if (name.empty()) return std::nullopt;
    out.push_back(std::move(name));
  }
  return out;
}

} // namespace

std::optional<StoreUrl> parseStoreUrl(TextView url) {
  constexpr TextView scheme = u"http://";
  if (url.size() < scheme.size() || !equalsIgnoreCase(url.substr(0, scheme.size()), scheme))
    return std::nullopt;
  TextView rest = url.substr(scheme.size());
  std::size_t slash = rest.find(u'/');
  if (slash == 0 || slash == TextView::npos) return std::nullopt;
  StoreUrl out{Text(rest.substr(0, slash)), {}};
  rest = rest.substr(slash + 1);
  if (!rest.empty() && rest.back() == u'/') rest.remove_suffix(1);

  std::size_t end = rest.find(u'/');
  TextView vdir = rest.substr(0, end);
  if (!isPublicTree(vdir)) return std::nullopt;
  if (end == TextView::npos) return out;
  auto segments = names(rest.substr(end + 1));
  if (!segments || segments->empty()) return std::nullopt;
  out.segments = std::move(*segments);
  return out;
}

Text composeStoreUrl(TextView host, const std::vector<Text>& segments) {
  Text url = u"http://" + Text(host) + u"/Public";
  for (const Text& s : segments) url += u"/" + s;
  return url;
}

std::optional<std::vector<Text>> splitFolderPath(TextView path) {
  if (!path.empty() && path.front() == u'/') path.remove_prefix(1);
  if (!path.empty() && path.back() == u'/') path.remove_suffix(1);
  return names(path);
}

Text joinFolderPath(const std::vector<Text>& segments) {
  Text out;
  for (const Text& s : segments) out += (out.empty() ? u"" : u"/") + s;
  return out;
}

} // namespace korvane::store
