#include "platform/complus/collection.h"

#include <fmt/format.h>
#include <random>

#include "platform/complus/host.h"
#include "platform/complus/install.h"
#include "platform/db/fault.h"

namespace korvane::complus::detail {

namespace {

// A random (version 4) GUID as braced upper-case text.
Text newObjectId() {
  static thread_local std::mt19937_64 random{std::random_device{}()};
  std::uint64_t high = random(), low = random();
  Guid g;
  g.data1 = static_cast<std::uint32_t>(high >> 32);
  g.data2 = static_cast<std::uint16_t>(high >> 16);
  g.data3 = static_cast<std::uint16_t>((high & 0x0FFF) | 0x4000);
  for (int i = 0; i < 8; ++i) g.data4[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(low >> (56 - 8 * i));
  g.data4[0] = static_cast<std::uint8_t>((g.data4[0] & 0x3F) | 0x80);
  return g.toText();
}

Variant objectVariant(IDispatch* object) { return Variant(ComPtr<IUnknown>(static_cast<IUnknown*>(object))); }

std::int32_t indexArgument(std::span<const Variant> args, TextView method) {
  if (args.size() != 1) throw ComError(DISP_E_BADPARAMCOUNT, Text(method) + u" takes one index.");
  return static_cast<std::int32_t>(args[0].toInt());
}

} // namespace

CatalogCollection::CatalogCollection(const Kind& kind, std::optional<Text> parentId)
    : kind_(kind), parentId_(std::move(parentId)) {}

ComPtr<IDispatch> makeCollection(const Kind& kind, std::optional<Text> parentId) {
  return ComPtr<IDispatch>(makeCom<CatalogCollection>(kind, std::move(parentId)).get());
}

HRESULT CatalogCollection::Populate() noexcept {
  return guarded([&]() -> HRESULT {
    std::vector<ComPtr<CatalogObject>> items;
    for (Values& values : loadObjects(kind_, parentId_ ? std::optional<TextView>(*parentId_) : std::nullopt))
      items.push_back(makeCom<CatalogObject>(kind_, std::move(values), false));
    items_ = std::move(items);
    removed_.clear();
    return S_OK;
  });
}

HRESULT CatalogCollection::get_Count(std::int32_t* count) noexcept {
  if (!count) return E_POINTER;
  *count = static_cast<std::int32_t>(items_.size());
  return S_OK;
}

std::size_t CatalogCollection::checkedIndex(std::int32_t index) const {
  if (index < 0 || static_cast<std::size_t>(index) >= items_.size())
    throw ComError(E_INVALIDARG, fromUtf8(fmt::format("There is no object at index {} of the collection \"{}\": it holds "
                                                      "{} (indexes 0 to Count - 1; Populate it first).",
                                                      index, toUtf8(kind_.name), items_.size())));
  return static_cast<std::size_t>(index);
}

HRESULT CatalogCollection::get_Item(std::int32_t index, IDispatch** object) noexcept {
  return guarded([&]() -> HRESULT {
    if (!object) return E_POINTER;
    *object = nullptr;
    ComPtr<IDispatch> item(items_[checkedIndex(index)].get());
    *object = item.detach();
    return S_OK;
  });
}

HRESULT CatalogCollection::Add(IDispatch** object) noexcept {
  return guarded([&]() -> HRESULT {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!kind_.canAdd)
      return fail(COMADMIN_E_CANNOTADD, u"Objects cannot be added to the collection \"" + kind_.name +
                                            u"\": install a library with InstallComponent instead.");
    Values values;
    for (const Property& p : kind_.properties) values.push_back(p.initial);
    values[kind_.key] = Variant(newObjectId());
    auto item = makeCom<CatalogObject>(kind_, std::move(values), true);
    items_.push_back(item);
    ComPtr<IDispatch> out(item.get());
    *object = out.detach();
    return S_OK;
  });
}

HRESULT CatalogCollection::Remove(std::int32_t index) noexcept {
  return guarded([&]() -> HRESULT {
    std::size_t i = checkedIndex(index);
    if (!items_[i]->isNew()) removed_.push_back(items_[i]->key());
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
    return S_OK;
  });
}

void CatalogCollection::validate() const {
  if (&kind_ != &applications()) return;
  for (const auto& item : items_)
    if (item->isChanged() && trimBlanks(item->values()[kind_.display].textValue()).empty())
      throw ComError(COMADMIN_E_OBJECTERRORS,
                     u"An application needs a name: write its \"Name\" before SaveChanges. Nothing was saved.");
}

// A removed or changed application's host goes; the next activation starts
// one as the catalog now says. Ended before the change is committed too, so
// that a program killed between the two leaves no host of a removed
// application behind (one started in that moment is ended after it).
void CatalogCollection::endHostsOfChangedApplications() {
  if (&kind_ != &applications()) return;
  for (const Text& key : removed_) host::shutdown(key);
  for (const auto& item : items_)
    if (!item->isNew() && item->isChanged()) host::shutdown(item->key());
}

std::int32_t CatalogCollection::save() {
  validate();
  endHostsOfChangedApplications();
  auto& d = catalogDatabase();
  db::Transaction t(d);
  std::int32_t changes = 0;
  for (const Text& key : removed_) {
    // A component's key is its CLSID; an application takes its components with it.
    auto classes = &kind_ == &applications() ? installedClasses(key) : std::vector<Text>{key};
    if (!deleteObject(d, kind_, key)) continue;
    for (const Text& clsid : classes) unregisterClass(clsid);
    ++changes;
  }
  for (const auto& item : items_) {
    if (item->isNew()) {
      insertObject(d, kind_, item->values());
      ++changes;
    } else if (item->isChanged()) {
      if (!updateObject(d, kind_, item->values(), item->dirty()))
        throw ComError(COMADMIN_E_OBJECTERRORS,
                       u"\"" + item->name() + u"\" was removed from the catalog by another program after this "
                       u"collection was populated. Populate it again and repeat the change. Nothing was saved.");
      ++changes;
    }
  }
  t.commit();
  db::faultPoint("complus.saved-before-hosts-end");
  endHostsOfChangedApplications();
  for (const auto& item : items_) item->markSaved();
  removed_.clear();
  return changes;
}

HRESULT CatalogCollection::SaveChanges(std::int32_t* changes) noexcept {
  return guarded([&]() -> HRESULT {
    std::int32_t n = save();
    if (changes) *changes = n;
    return S_OK;
  });
}

HRESULT CatalogCollection::GetCollection(TextView name, const Variant& key, IDispatch** collection) noexcept {
  return guarded([&]() -> HRESULT {
    if (!collection) return E_POINTER;
    *collection = nullptr;
    if (&kind_ != &applications() || !equalsIgnoreCase(name, u"Components"))
      return fail(COMADMIN_E_COLLECTIONUNKNOWN, u"The collection \"" + kind_.name + u"\" has no related collection \"" +
                                                    Text(name) + u"\"; applications have \"Components\".");
    Text id = key.isEmpty() || key.isNull() ? Text() : key.toText();
    auto application = applicationById(id);
    if (!application)
      return fail(COMADMIN_E_KEYMISSING, u"No COM+ application has the ID \"" + id +
                                             u"\". A new application must be saved (SaveChanges) before its "
                                             u"components can be read.");
    *collection = makeCollection(components(), application->id).detach();
    return S_OK;
  });
}

HRESULT CatalogCollection::get_Name(Variant* name) noexcept {
  if (!name) return E_POINTER;
  *name = Variant(kind_.name);
  return S_OK;
}

HRESULT CatalogCollection::GetProperty(TextView name, Variant* value) noexcept {
  if (equalsIgnoreCase(name, u"Count")) {
    std::int32_t n = 0;
    HRESULT h = get_Count(&n);
    if (succeeded(h) && value) *value = Variant(n);
    return h;
  }
  if (equalsIgnoreCase(name, u"Name")) return get_Name(value);
  return unknownName(name);
}

HRESULT CatalogCollection::PutProperty(TextView name, const Variant&) noexcept { return unknownName(name); }

HRESULT CatalogCollection::Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept {
  return guarded([&]() -> HRESULT {
    Variant out;
    auto object = [&](auto call) {
      ComPtr<IDispatch> o;
      check(call(o.put()));
      out = objectVariant(o.get());
    };
    if (equalsIgnoreCase(method, u"Populate")) {
      check(Populate());
    } else if (equalsIgnoreCase(method, u"Count") || equalsIgnoreCase(method, u"Name")) {
      check(GetProperty(method, &out));
    } else if (equalsIgnoreCase(method, u"Item")) {
      std::int32_t i = indexArgument(args, method);
      object([&](IDispatch** o) { return get_Item(i, o); });
    } else if (equalsIgnoreCase(method, u"Add")) {
      object([&](IDispatch** o) { return Add(o); });
    } else if (equalsIgnoreCase(method, u"Remove")) {
      check(Remove(indexArgument(args, method)));
    } else if (equalsIgnoreCase(method, u"SaveChanges")) {
      std::int32_t n = 0;
      check(SaveChanges(&n));
      out = Variant(n);
    } else if (equalsIgnoreCase(method, u"GetCollection")) {
      if (args.size() != 2) return fail(DISP_E_BADPARAMCOUNT, u"GetCollection takes a collection name and a key.");
      object([&](IDispatch** o) { return GetCollection(args[0].toText(), args[1], o); });
    } else {
      return unknownName(method);
    }
    if (result) *result = std::move(out);
    return S_OK;
  });
}

} // namespace korvane::complus::detail
