#include "platform/store/binding.h"
#include "platform/store/classes.h"
#include "platform/store/connection.h"
#include "platform/store/names.h"
#include "platform/store/tree.h"

namespace korvane::store {

namespace {

class FolderObject final : public ComObject<cdo::IDataSource> {
public:
  HRESULT Open(TextView source, IUnknown* activeConnection, std::int32_t mode, std::int32_t createOptions,
               std::int32_t, TextView, TextView) noexcept override {
    return guarded([&] {
      if (activeConnection) storeConnectionFor(Variant(ComPtr<IUnknown>(activeConnection)), source);
      if (createOptions != ado::adFailIfNotExists)
        return fail(E_INVALIDARG, u"The folder object opens existing folders only (create options -1).");
      tree::Target t = tree::resolve(source);
      if (!t.node) return fail(ado::adErrResourceNotFound, u"The folder \"" + Text(source) + u"\" does not exist.");
      if (!t.node->folder)
        return fail(E_NOT_A_FOLDER, u"\"" + Text(source) + u"\" names an item, not a folder.");
      if (t.node->access == Access::None)
        return fail(E_ACCESSDENIED, u"Access to the folder \"" + tree::urlOf(*t.node) + u"\" is denied.");
      if ((mode & 2) && t.node->access == Access::ReadOnly)
        return fail(E_ACCESSDENIED, u"The folder \"" + tree::urlOf(*t.node) +
                                        u"\" is read-only; it cannot be opened for writing.");
      // Its properties are read when first asked for: the folder is often
      // opened only to prove that it can be.
      node_ = *t.node;
      props_.reset();
      return S_OK;
    });
  }

  HRESULT GetProperty(TextView name, Variant* value) noexcept override {
    if (binding::is(name, u"DataSource")) return binding::put(value, binding::object(ComPtr<cdo::IDataSource>(this)));
    if (binding::is(name, u"Description")) return boundText(prop::description, value);
    if (binding::is(name, u"DisplayName")) return boundText(prop::displayName, value);
    return unknownName(name);
  }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override {
    if (binding::is(name, u"Description") || binding::is(name, u"DisplayName"))
      return fail(ado::adErrPermissionDenied, u"The folder object shows its properties; it does not save them.");
    return unknownName(name);
  }
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    return guarded([&] {
      if (binding::is(method, u"GetInterface")) {
        Text which = binding::textArg(args, 0);
        if (!binding::is(which, u"IDataSource"))
          return fail(E_NOINTERFACE, u"The folder object has no interface named \"" + which + u"\".");
        return binding::put(result, binding::object(ComPtr<cdo::IDataSource>(this)));
      }
      if (binding::is(method, u"Open")) {
        auto connection = args.size() > 1 && args[1].isObject() ? args[1].objectValue() : ComPtr<IUnknown>();
        return Open(binding::textArg(args, 0), connection.get(), binding::intArg(args, 2, 0),
                    binding::intArg(args, 3, ado::adFailIfNotExists), binding::intArg(args, 4, 0),
                    binding::textArg(args, 5), binding::textArg(args, 6));
      }
      return unknownName(method);
    });
  }

private:
  HRESULT boundText(TextView name, Variant* value) {
    return guarded([&] {
      if (!node_)
        return fail(E_UNEXPECTED, u"The folder object is not bound to a folder; open it through its IDataSource first.");
      if (!props_) {
        auto now = tree::storedFolder(node_->id);
        if (!now) return fail(ado::adErrResourceNotFound, u"The folder \"" + node_->name + u"\" has been deleted.");
        // Only the name and stored properties are shown: no path, no
        // child counts, which grow with the folder.
        Properties shown;
        shown.set(prop::displayName, now->node.name);
        for (const auto& [key, v] : now->props) shown.set(key, v);
        props_ = std::move(shown);
      }
      return binding::put(value, props_->text(name));
    });
  }

  std::optional<Node> node_;
  std::optional<Properties> props_;
};

} // namespace

ComPtr<cdo::IDataSource> makeFolderObject() { return makeCom<FolderObject>(); }

} // namespace korvane::store
