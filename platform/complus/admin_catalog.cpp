// The catalog object "COMAdmin.COMAdminCatalog", registered as a built-in
// class of the platform together with the catalog's activator.
#include "platform/com/runtime.h"
#include "platform/complus/admin.h"
#include "platform/complus/collection.h"
#include "platform/complus/install.h"

namespace korvane::complus {

namespace {

class AdminCatalog final : public ComObject<ICOMAdminCatalog> {
public:
  HRESULT GetCollection(TextView name, IDispatch** collection) noexcept override {
    return guarded([&]() -> HRESULT {
      if (!collection) return E_POINTER;
      *collection = nullptr;
      if (!equalsIgnoreCase(name, u"Applications"))
        return fail(COMADMIN_E_COLLECTIONUNKNOWN,
                    u"The COM+ catalog has no collection \"" + Text(name) + u"\"; it offers \"Applications\".");
      *collection = detail::makeCollection(detail::applications(), std::nullopt).detach();
      return S_OK;
    });
  }

  HRESULT InstallComponent(TextView applicationIdOrName, TextView libraryPath, TextView, TextView) noexcept override {
    return guarded([&] {
      detail::installComponent(applicationIdOrName, libraryPath);
      return S_OK;
    });
  }

  HRESULT RefreshComponents() noexcept override {
    return guarded([&] {
      detail::refreshComponents();
      return S_OK;
    });
  }

  HRESULT GetProperty(TextView name, Variant*) noexcept override { return unknownName(name); }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override { return unknownName(name); }

  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    return guarded([&]() -> HRESULT {
      Variant out;
      if (equalsIgnoreCase(method, u"GetCollection")) {
        if (args.size() != 1) return fail(DISP_E_BADPARAMCOUNT, u"GetCollection takes a collection name.");
        ComPtr<IDispatch> collection;
        check(GetCollection(args[0].toText(), collection.put()));
        out = Variant(ComPtr<IUnknown>(collection.get()));
      } else if (equalsIgnoreCase(method, u"InstallComponent")) {
        if (args.size() < 2 || args.size() > 4)
          return fail(DISP_E_BADPARAMCOUNT,
                      u"InstallComponent takes the application, the library path, and optionally the type library "
                      u"and proxy-stub paths.");
        check(InstallComponent(args[0].toText(), args[1].toText(), {}, {}));
      } else if (equalsIgnoreCase(method, u"RefreshComponents")) {
        check(RefreshComponents());
      } else {
        return unknownName(method);
      }
      if (result) *result = std::move(out);
      return S_OK;
    });
  }
};

// Registers the catalog when the platform library loads.
struct Registrar {
  Registrar() {
    registerBuiltinClass(CLSID_COMAdminCatalog, kCatalogProgId,
                         [](const Guid& iid, void** out) { return makeCom<AdminCatalog>()->QueryInterface(iid, out); });
    installActivator();
  }
} const registrar;

} // namespace

} // namespace korvane::complus
