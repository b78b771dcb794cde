#include "platform/exchange/storeguid.h"

#include <optional>

#include "platform/com/runtime.h"
#include "platform/exchange/exchange.h"
#include "platform/store/store.h"

namespace korvane::exchange {

namespace {

// Scheme, host and virtual directory of a URL, folded for comparison.
struct TreeKey {
  Text scheme;
  Text host;
  Text vdir;
  friend bool operator==(const TreeKey&, const TreeKey&) = default;
};

std::optional<TreeKey> treeKey(TextView url) {
  std::size_t sep = url.find(u"://");
  if (sep == TextView::npos) return std::nullopt;
  TreeKey k{foldCase(url.substr(0, sep)), {}, {}};
  if (k.scheme != u"http" && k.scheme != u"https") return std::nullopt;
  TextView rest = url.substr(sep + 3);
  std::size_t slash = rest.find(u'/');
  if (slash == TextView::npos || slash == 0) return std::nullopt;
  k.host = foldCase(rest.substr(0, slash));
  TextView vdir = rest.substr(slash + 1);
  vdir = vdir.substr(0, vdir.find(u'/'));
  k.vdir = foldCase(replaceAll(vdir, u"%20", u" "));
  if (k.vdir.empty()) return std::nullopt;
  if (k.vdir == u"public folders") k.vdir = u"public";
  return k;
}

// The emulated server's own public store, when the URL is in its tree.
std::optional<Text> ownStoreGuid(const TreeKey& key) {
  std::optional<store::ServerInfo> info;
  try {
    info = store::serverInfo();
  } catch (const ComError&) {
    return std::nullopt;  // this server database holds no public store
  }
  if (key.vdir != u"public" || key.host != foldCase(info->host)) return std::nullopt;
  return info->storeGuid;
}

std::optional<Text> managedStoreGuid(const TreeKey& key) {
  for (const FolderTreeInfo& tree : folderTrees()) {
    if (treeKey(tree.rootFolderUrl) != key) continue;
    if (auto store = storeOfTree(tree.name)) return store->guid;
  }
  return std::nullopt;
}

class StoreGuidService final : public ComObject<IStoreGuidFromUrl> {
public:
  HRESULT StoreGuidFromUrl(TextView url, Text* guid) noexcept override {
    if (!guid) return E_POINTER;
    return guarded([&] {
      *guid = storeGuidFromUrl(url);
      return S_OK;
    });
  }

  HRESULT GetProperty(TextView name, Variant*) noexcept override { return unknownName(name); }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override { return unknownName(name); }
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    if (!equalsIgnoreCase(method, u"StoreGuidFromUrl")) return unknownName(method);
    return guarded([&] {
      if (args.size() != 1) return fail(DISP_E_BADPARAMCOUNT, u"StoreGuidFromUrl takes one URL.");
      Text guid = storeGuidFromUrl(args[0].toText());
      if (result) *result = Variant(std::move(guid));
      return S_OK;
    });
  }
};

[[maybe_unused]] const bool registered = [] {
  registerBuiltinClass(CLSID_StoreGuidFromUrl, u"Exoledb.StoreGuidFromUrl", [](const Guid& iid, void** out) {
    return guarded([&] { return makeCom<StoreGuidService>()->QueryInterface(iid, out); });
  });
  return true;
}();

} // namespace

Text storeGuidFromUrl(TextView url) {
  auto key = treeKey(url);
  if (!key)
    throw ComError(E_INVALIDARG, u"'" + Text(url) + u"' is not a folder URL: write it as "
                                                    u"http://<host>/<virtual directory>[/<folders>].");
  if (auto guid = ownStoreGuid(*key)) return *guid;
  if (auto guid = managedStoreGuid(*key)) return *guid;
  throw ComError(E_NO_SUCH_OBJECT, u"No store of this organisation holds '" + Text(url) +
                                       u"': no folder tree has that host and virtual directory.");
}

} // namespace korvane::exchange
