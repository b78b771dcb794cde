#include "platform/directory/rootdse.h"

#include <utility>
#include <vector>

#include "platform/directory/directory.h"

namespace korvane::directory {

namespace {

using Attributes = std::vector<std::pair<Text, Text>>;

class RootDse final : public ComObject<IDispatch> {
public:
  explicit RootDse(Attributes attributes) : attributes_(std::move(attributes)) {}

  HRESULT GetProperty(TextView name, Variant* value) noexcept override {
    return guarded([&] {
      if (!value) return E_POINTER;
      *value = attribute(name);
      return S_OK;
    });
  }

  HRESULT PutProperty(TextView name, const Variant&) noexcept override {
    return fail(E_ACCESSDENIED, u"The attribute '" + Text(name) + u"' of the RootDSE is read-only.");
  }

  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    return guarded([&] {
      if (equalsIgnoreCase(method, u"Get")) {
        if (args.size() != 1) return fail(DISP_E_BADPARAMCOUNT, u"Get takes one attribute name.");
        Variant v = attribute(args[0].toText());
        if (result) *result = std::move(v);
        return S_OK;
      }
      if (equalsIgnoreCase(method, u"GetInfo")) return S_OK;  // the values are read at bind time
      return unknownName(method);
    });
  }

private:
  Variant attribute(TextView name) const {
    for (const auto& [key, value] : attributes_)
      if (equalsIgnoreCase(key, name)) return Variant(value);
    throw ComError(E_ADS_PROPERTY_NOT_FOUND, u"The directory property cannot be found in the cache: "
                                             u"the RootDSE has no attribute '" + Text(name) + u"'.");
  }

  Attributes attributes_;
};

// "GC://RootDSE" or "GC://<catalog host>/RootDSE"; LDAP:// alike.
bool namesRootDse(TextView path, TextView catalog) {
  std::size_t sep = path.find(u"://");
  if (sep == TextView::npos) return false;
  Text scheme = toUpperSimple(path.substr(0, sep));
  if (scheme != u"GC" && scheme != u"LDAP") return false;
  TextView rest = path.substr(sep + 3);
  std::size_t slash = rest.find(u'/');
  if (slash != TextView::npos) {
    if (!equalsIgnoreCase(rest.substr(0, slash), catalog)) return false;
    rest = rest.substr(slash + 1);
  }
  return equalsIgnoreCase(rest, u"RootDSE");
}

Attributes rootAttributes(const Text& host) {
  std::size_t dot = host.find(u'.');
  Text domain = domainDn(dot == Text::npos ? Text() : host.substr(dot + 1));
  Text configuration = u"CN=Configuration," + domain;
  return {{u"dnsHostName", host},
          {u"defaultNamingContext", domain},
          {u"rootDomainNamingContext", domain},
          {u"configurationNamingContext", configuration},
          {u"schemaNamingContext", u"CN=Schema," + configuration},
          {u"isGlobalCatalogReady", u"TRUE"}};
}

} // namespace

HRESULT ADsGetObject(TextView path, const Guid& iid, void** out) noexcept {
  return guarded([&] {
    if (!out) return E_POINTER;
    *out = nullptr;
    std::optional<Text> gc = globalCatalogHost();
    if (!gc)
      return fail(E_ADS_NO_SUCH_DOMAIN,
                  u"The specified domain either does not exist or could not be contacted: no "
                  u"global catalog is configured for this server.");
    if (!namesRootDse(path, *gc))
      return fail(E_ADS_BAD_PATHNAME, u"An invalid directory pathname was passed: '" + Text(path) +
                                          u"' (this directory serves GC://RootDSE).");
    auto root = makeCom<RootDse>(rootAttributes(*gc));
    return root->QueryInterface(iid, out);
  });
}

ComPtr<IDispatch> adsGetObject(TextView path) {
  ComPtr<IDispatch> out;
  check(ADsGetObject(path, IDispatch::iid, out.putVoid()));
  return out;
}

} // namespace korvane::directory
