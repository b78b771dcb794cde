// Activation through the catalog: a class installed in an application is
// created from its in-process server and, with construction enabled, given
// its constructor string before the caller sees it; in the caller for a
// library application, in the application's host for a server application.
#include "platform/complus/activation.h"

#include <filesystem>

#include "platform/com/runtime.h"
#include "platform/complus/admin.h"
#include "platform/complus/construct.h"
#include "platform/complus/host.h"
#include "platform/store/remote_events.h"

namespace korvane::complus {

namespace {

// The object Construct receives: it hands out the stored string.
class ConstructString final : public ComObject<IObjectConstructString> {
public:
  explicit ConstructString(Text text) : text_(std::move(text)) {}

  HRESULT get_ConstructString(Text* text) noexcept override {
    if (!text) return E_POINTER;
    return guarded([&] {
      *text = text_;
      return S_OK;
    });
  }
  HRESULT GetProperty(TextView name, Variant* value) noexcept override {
    if (!equalsIgnoreCase(name, u"ConstructString")) return unknownName(name);
    if (!value) return E_POINTER;
    *value = Variant(text_);
    return S_OK;
  }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override { return unknownName(name); }
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    if (!args.empty()) return unknownName(method);
    return GetProperty(method, result);
  }

private:
  Text text_;
};

// Without a server database there is no catalog, and nothing to activate.
// An open connection proves it without asking the file system.
bool serverExists() {
  if (db::Database::currentIsOpen()) return true;
  std::error_code ec;
  return std::filesystem::exists(db::databaseFile(db::serverDirectory()), ec);
}

void construct(IUnknown* object, const Guid& clsid, const detail::Activation& how) {
  ComPtr<IObjectConstruct> target;
  if (failed(object->QueryInterface(IObjectConstruct::iid, target.putVoid())))
    throw ComError(E_NOINTERFACE, u"The class " + clsid.toText() + u" of the COM+ application \"" +
                                      how.applicationName + u"\" has object construction enabled but takes no "
                                      u"constructor string (it lacks IObjectConstruct). Disable construction for it.");
  auto ctor = makeCom<ConstructString>(how.constructorString.value_or(Text()));
  takeErrorInfo();
  HRESULT h = target->Construct(ctor.get());
  if (failed(h)) {
    Text why = takeErrorInfo();
    throw ComError(h, u"The object of class " + clsid.toText() + u" of the COM+ application \"" + how.applicationName +
                          u"\" refused its constructor string: " + (why.empty() ? describe(h) : why));
  }
}

Text& hostedApplication() {
  static Text id;
  return id;
}

HRESULT activate(const Guid& clsid, const Guid& iid, void** out) {
  return guarded([&]() -> HRESULT {
    if (!serverExists()) return S_FALSE;
    auto how = detail::activationOf(clsid);
    if (!how) return S_FALSE;
    ComPtr<IUnknown> object;
    if (how->server && !equalsIgnoreCase(how->applicationId, hostedApplication()))
      object = store::remote::makeProxy(
          host::create({how->applicationId, how->applicationName, how->library}, clsid, detail::constructionOf(*how)));
    else
      object = createLocal(clsid, *how);
    return object->QueryInterface(iid, out);
  });
}

} // namespace

ComPtr<IUnknown> createLocal(const Guid& clsid, const detail::Activation& how) {
  ComPtr<IUnknown> object;
  check(createFromInprocServer(clsid, IUnknown::iid, object.putVoid()));
  if (how.constructionEnabled) construct(object.get(), clsid, how);
  return object;
}

void setHostedApplication(Text applicationId) { hostedApplication() = std::move(applicationId); }

void installActivator() { setActivator(activate); }

} // namespace korvane::complus
