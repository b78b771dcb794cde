#include "platform/exchange/objects.h"

#include <functional>
#include <utility>

#include "platform/com/runtime.h"
#include "platform/exchange/exchange.h"
#include "platform/store/ado.h"

namespace korvane::exchange {

namespace {

// ---- Lists -------------------------------------------------------------------

class VariantList final : public ComObject<IVariantList> {
public:
  explicit VariantList(std::vector<Variant> items) : items_(std::move(items)) {}

  HRESULT get_Count(std::int32_t* count) noexcept override {
    if (!count) return E_POINTER;
    *count = static_cast<std::int32_t>(items_.size());
    return S_OK;
  }
  HRESULT get_Item(std::int32_t index, Variant* value) noexcept override {
    if (!value) return E_POINTER;
    if (index < 0 || static_cast<std::size_t>(index) >= items_.size())
      return fail(E_INVALIDARG, u"The list has no entry " + fromUtf8(std::to_string(index)) + u": it holds " +
                                    fromUtf8(std::to_string(items_.size())) + u", counted from 0.");
    *value = items_[static_cast<std::size_t>(index)];
    return S_OK;
  }

  HRESULT GetProperty(TextView name, Variant* value) noexcept override {
    if (!equalsIgnoreCase(name, u"Count")) return unknownName(name);
    if (!value) return E_POINTER;
    *value = Variant(static_cast<std::int64_t>(items_.size()));
    return S_OK;
  }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override { return unknownName(name); }
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    if (!method.empty() && !equalsIgnoreCase(method, u"Item")) return unknownName(method);
    return guarded([&] {
      if (args.size() != 1) return fail(DISP_E_BADPARAMCOUNT, u"Item takes one index.");
      Variant v;
      HRESULT h = get_Item(static_cast<std::int32_t>(args[0].toInt()), &v);
      if (succeeded(h) && result) *result = std::move(v);
      return h;
    });
  }

private:
  std::vector<Variant> items_;
};

Variant listOf(const std::vector<Text>& texts) {
  std::vector<Variant> items(texts.begin(), texts.end());
  return Variant(ComPtr<IUnknown>(makeVariantList(std::move(items))));
}

// ---- Management objects --------------------------------------------------------

using Snapshot = std::vector<std::pair<Text, Variant>>;

// What one class of management object reads: its property names, and the
// binder that reads the object a name or URL names (throwing E_NO_SUCH_OBJECT).
struct ObjectClass {
  std::vector<Text> properties;
  std::function<Snapshot(TextView source)> bind;
};

template <typename DataSource>
class ManagementObject final : public ComObject<DataSource> {
public:
  explicit ManagementObject(const ObjectClass& cls) : class_(cls) {}

  HRESULT Open(TextView source, IUnknown*, std::int32_t, std::int32_t createOptions, std::int32_t,
               TextView, TextView) noexcept override {
    return guarded([&] {
      if (createOptions != ado::adFailIfNotExists && createOptions != 0)
        return fail(E_INVALIDARG, u"Management objects open what exists: use create options -1.");
      snapshot_ = class_.bind(source);
      open_ = true;
      return S_OK;
    });
  }

  HRESULT GetProperty(TextView name, Variant* value) noexcept override {
    if (!value) return E_POINTER;
    return guarded([&] {
      if (equalsIgnoreCase(name, u"DataSource")) return self(value);
      if (!known(name)) return unknownName(name);
      if (!open_)
        return fail(ado::adErrObjectClosed, u"The object is not open: call its data source's Open with a "
                                            u"name or URL before reading " + Text(name) + u".");
      for (const auto& [key, v] : snapshot_)
        if (equalsIgnoreCase(key, name)) {
          *value = v;
          return S_OK;
        }
      return unknownName(name);
    });
  }

  HRESULT PutProperty(TextView name, const Variant&) noexcept override {
    if (equalsIgnoreCase(name, u"DataSource") || known(name))
      return fail(E_ACCESSDENIED, u"The property " + Text(name) + u" of a management object is read-only here.");
    return unknownName(name);
  }

  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    return guarded([&] {
      if (equalsIgnoreCase(method, u"GetInterface")) {
        if (args.size() != 1 || !equalsIgnoreCase(args[0].toText(), u"IDataSource"))
          return fail(E_NOINTERFACE, u"GetInterface offers \"IDataSource\" only.");
        Variant me;
        HRESULT h = self(&me);
        if (result) *result = std::move(me);
        return h;
      }
      if (equalsIgnoreCase(method, u"Open")) return openLateBound(args);
      return unknownName(method);
    });
  }

private:
  // Open(source, activeConnection, mode, createOptions, options, user, password)
  HRESULT openLateBound(std::span<const Variant> args) {
    if (args.empty() || args.size() > 7) return fail(DISP_E_BADPARAMCOUNT, u"Open takes one to seven arguments.");
    auto intAt = [&](std::size_t i, std::int32_t fallback) {
      return i < args.size() && !args[i].isEmpty() ? static_cast<std::int32_t>(args[i].toInt()) : fallback;
    };
    auto textAt = [&](std::size_t i) { return i < args.size() ? args[i].toText() : Text(); };
    return Open(args[0].toText(), nullptr, intAt(2, 0), intAt(3, ado::adFailIfNotExists), intAt(4, 0), textAt(5),
                textAt(6));
  }

  HRESULT self(Variant* value) {
    *value = Variant(ComPtr<IUnknown>(this->unknown()));
    return S_OK;
  }

  bool known(TextView name) const {
    for (const Text& p : class_.properties)
      if (equalsIgnoreCase(p, name)) return true;
    return false;
  }

  const ObjectClass& class_;
  Snapshot snapshot_;
  bool open_ = false;
};

[[noreturn]] void noSuch(TextView what, TextView source) {
  throw ComError(E_NO_SUCH_OBJECT,
                 u"There is no such object on the server: no " + Text(what) + u" '" + Text(source) + u"'.");
}

Snapshot bindServer(TextView name) {
  auto r = serverRecord(name);
  if (!r) {
    Text known;
    for (const Text& s : listServers()) known += (known.empty() ? u"" : u", ") + s;
    throw ComError(E_NO_SUCH_OBJECT, u"There is no such object on the server: no Exchange server named '" +
                                         Text(name) + u"' (known servers: " +
                                         (known.empty() ? Text(u"none") : known) + u").");
  }
  return {{u"Name", Variant(r->name)}, {u"StorageGroups", listOf(r->storageGroupUrls)}};
}

Snapshot bindStorageGroup(TextView url) {
  auto r = storageGroupRecord(url);
  if (!r) noSuch(u"storage group", url);
  return {{u"Name", Variant(r->name)}, {u"PublicStoreDBs", listOf(r->publicStoreUrls)},
          {u"MailboxStoreDBs", listOf({})}};
}

Snapshot bindPublicStore(TextView url) {
  auto r = publicStoreRecord(url);
  if (!r) noSuch(u"public store", url);
  return {{u"Name", Variant(r->name)},
          {u"Status", Variant(std::int64_t{r->status})},
          {u"FolderTree", Variant(r->folderTreeUrl)},
          {u"Guid", Variant(r->guid)}};
}

Snapshot bindFolderTree(TextView url) {
  auto r = folderTreeRecord(url);
  if (!r) noSuch(u"folder tree", url);
  return {{u"Name", Variant(r->name)},
          {u"TreeType", Variant(std::int64_t{r->treeType})},
          {u"RootFolderURL", Variant(r->rootFolderUrl)}};
}

const ObjectClass kServer{{u"Name", u"StorageGroups"}, bindServer};
const ObjectClass kStorageGroup{{u"Name", u"PublicStoreDBs", u"MailboxStoreDBs"}, bindStorageGroup};
const ObjectClass kPublicStore{{u"Name", u"Status", u"FolderTree", u"Guid"}, bindPublicStore};
const ObjectClass kFolderTree{{u"Name", u"TreeType", u"RootFolderURL"}, bindFolderTree};

template <typename DataSource>
void registerClass(const Guid& clsid, TextView progId, const ObjectClass& cls) {
  registerBuiltinClass(clsid, progId, [&cls](const Guid& iid, void** out) {
    return guarded([&] { return makeCom<ManagementObject<DataSource>>(cls)->QueryInterface(iid, out); });
  });
}

[[maybe_unused]] const bool registered = [] {
  registerClass<IServerDataSource>(CLSID_Server, u"CDOEXM.ExchangeServer", kServer);
  registerClass<cdo::IDataSource>(CLSID_StorageGroup, u"CDOEXM.StorageGroup", kStorageGroup);
  registerClass<cdo::IDataSource>(CLSID_PublicStoreDB, u"CDOEXM.PublicStoreDB", kPublicStore);
  registerClass<cdo::IDataSource>(CLSID_FolderTree, u"CDOEXM.FolderTree", kFolderTree);
  return true;
}();

} // namespace

ComPtr<IVariantList> makeVariantList(std::vector<Variant> items) { return makeCom<VariantList>(std::move(items)); }

std::vector<Text> listTexts(const Variant& list) {
  ComPtr<IVariantList> l = list.isObject() && list.objectValue() ? list.objectValue().as<IVariantList>() : nullptr;
  if (!l) throw ComError(DISP_E_TYPEMISMATCH, u"Type mismatch: the value is not a list.");
  std::int32_t n = 0;
  check(l->get_Count(&n));
  std::vector<Text> out;
  for (std::int32_t i = 0; i < n; ++i) {
    Variant v;
    check(l->get_Item(i, &v));
    out.push_back(v.toText());
  }
  return out;
}

} // namespace korvane::exchange
