#include "platform/directory/command.h"

#include <functional>
#include <memory>
#include <vector>

#include <fmt/format.h>

#include "platform/com/runtime.h"
#include "platform/directory/search.h"
#include "platform/store/rows.h"

namespace korvane::directory {

namespace {

// ---- Provider properties ---------------------------------------------------

struct Setting {
  Text name;
  Variant value;
  // Turns an assigned value into the stored one, or throws.
  std::function<Variant(const Variant&)> accept;
};

using Settings = std::vector<Setting>;

[[noreturn]] void notFound(const Variant& index) {
  Text what = index.isText() ? u"\"" + index.textValue() + u"\"" : index.toText();
  throw ComError(ado::adErrItemNotFound,
                 u"Item cannot be found in the collection corresponding to the requested name or "
                 u"ordinal: " + what + u".");
}

Variant acceptScope(const Variant& v) {
  std::int64_t scope = v.toInt();
  if (scope < ADS_SCOPE_BASE || scope > ADS_SCOPE_SUBTREE)
    throw ComError(E_INVALIDARG, fromUtf8(fmt::format("The search scope {} is not valid: use 0 (base), "
                                                      "1 (one level) or 2 (subtree).", scope)));
  return Variant(scope);
}

Variant acceptReferrals(const Variant& v) {
  std::int64_t chase = v.toInt();
  if (chase != 0 && chase != 0x20 && chase != 0x40 && chase != 0x60)
    throw ComError(E_INVALIDARG,
                   fromUtf8(fmt::format("The referral setting {} is not valid: use 0 (never), 32 "
                                        "(subordinate), 64 (external) or 96 (always).", chase)));
  return Variant(chase);
}

Variant acceptBool(const Variant& v) { return Variant(v.toBool()); }

Settings directorySettings() {
  return {{u"searchscope", Variant(std::int64_t{ADS_SCOPE_SUBTREE}), acceptScope},
          {u"cache results", Variant(true), acceptBool},
          {u"Chase Referrals", Variant(std::int64_t{0x40}), acceptReferrals}};
}

class PropertyObject final : public ComObject<ado::IProperty> {
public:
  PropertyObject(std::shared_ptr<Settings> settings, std::size_t index)
      : settings_(std::move(settings)), index_(index) {}

  HRESULT get_Name(Text* name) noexcept override {
    if (!name) return E_POINTER;
    return guarded([&] {
      *name = setting().name;
      return S_OK;
    });
  }
  HRESULT get_Value(Variant* value) noexcept override {
    if (!value) return E_POINTER;
    return guarded([&] {
      *value = setting().value;
      return S_OK;
    });
  }
  HRESULT put_Value(const Variant& value) noexcept override {
    return guarded([&] {
      Setting& s = setting();
      s.value = s.accept(value);
      return S_OK;
    });
  }

  HRESULT GetProperty(TextView name, Variant* value) noexcept override {
    if (equalsIgnoreCase(name, u"Value")) return get_Value(value);
    if (equalsIgnoreCase(name, u"Name")) {
      if (!value) return E_POINTER;
      Text t;
      HRESULT h = get_Name(&t);
      if (succeeded(h)) *value = Variant(std::move(t));
      return h;
    }
    return unknownName(name);
  }
  HRESULT PutProperty(TextView name, const Variant& value) noexcept override {
    if (equalsIgnoreCase(name, u"Value")) return put_Value(value);
    return unknownName(name);
  }
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    if (method.empty() && args.empty()) return get_Value(result);  // the default member
    return unknownName(method);
  }

private:
  Setting& setting() { return (*settings_)[index_]; }
  std::shared_ptr<Settings> settings_;
  std::size_t index_;
};

class PropertiesObject final : public ComObject<ado::IProperties> {
public:
  explicit PropertiesObject(std::shared_ptr<Settings> settings) : settings_(std::move(settings)) {}

  HRESULT get_Count(std::int32_t* count) noexcept override {
    if (!count) return E_POINTER;
    *count = static_cast<std::int32_t>(settings_->size());
    return S_OK;
  }

  HRESULT get_Item(const Variant& index, ado::IProperty** property) noexcept override {
    if (!property) return E_POINTER;
    *property = nullptr;
    return guarded([&] {
      auto p = makeCom<PropertyObject>(settings_, position(index));
      *property = p.detach();
      return S_OK;
    });
  }

  HRESULT GetProperty(TextView name, Variant* value) noexcept override {
    if (!equalsIgnoreCase(name, u"Count")) return unknownName(name);
    if (!value) return E_POINTER;
    std::int32_t n = 0;
    get_Count(&n);
    *value = Variant(n);
    return S_OK;
  }
  HRESULT PutProperty(TextView name, const Variant&) noexcept override { return unknownName(name); }
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    if (!method.empty() && !equalsIgnoreCase(method, u"Item")) return unknownName(method);
    if (args.size() != 1) return fail(DISP_E_BADPARAMCOUNT, u"Item takes one name or index.");
    ComPtr<ado::IProperty> p;
    HRESULT h = get_Item(args[0], p.put());
    if (succeeded(h) && result) *result = Variant(ComPtr<IUnknown>(p));
    return h;
  }

private:
  std::size_t position(const Variant& index) const {
    if (index.isText()) {
      for (std::size_t i = 0; i < settings_->size(); ++i)
        if (equalsIgnoreCase((*settings_)[i].name, index.textValue())) return i;
      notFound(index);
    }
    if (index.kind() == Variant::Kind::Int || index.kind() == Variant::Kind::Double) {
      std::int64_t i = index.toInt();
      if (i >= 0 && static_cast<std::size_t>(i) < settings_->size()) return static_cast<std::size_t>(i);
    }
    notFound(index);
  }

  std::shared_ptr<Settings> settings_;
};

// ---- The command -----------------------------------------------------------

// Commands run against the directory only.
void requireDirectory(ado::IConnection* connection) {
  Text name;
  check(connection->get_Provider(&name));
  // Read as the connection's own Open reads it, so what opened runs commands.
  name = trimBlanks(name);
  if (equalsIgnoreCase(name, u"adsDSOobject")) return;
  throw ComError(ado::adErrProviderNotFound,
                 u"The provider '" + name + u"' of the connection cannot run commands.");
}

void requireOpen(ado::IConnection* connection) {
  std::int32_t state = ado::adStateClosed;
  check(connection->get_State(&state));
  if (state == ado::adStateClosed)
    throw ComError(ado::adErrInvalidConnection,
                   u"The connection cannot be used to perform this operation. It is either closed "
                   u"or invalid in this context: open it before it becomes the active connection.");
}

class CommandObject final : public ComObject<ado::ICommand> {
public:
  HRESULT putref_ActiveConnection(ado::IConnection* connection) noexcept override {
    return guarded([&] {
      if (!connection) {
        connection_.reset();
        settings_ = std::make_shared<Settings>();
        return S_OK;
      }
      requireOpen(connection);
      requireDirectory(connection);
      connection_ = ComPtr<ado::IConnection>(connection);
      settings_ = std::make_shared<Settings>(directorySettings());
      return S_OK;
    });
  }

  HRESULT put_CommandText(TextView text) noexcept override {
    return guarded([&] {
      text_ = Text(text);
      return S_OK;
    });
  }

  HRESULT get_Properties(ado::IProperties** properties) noexcept override {
    if (!properties) return E_POINTER;
    *properties = nullptr;
    return guarded([&] {
      *properties = makeCom<PropertiesObject>(settings_).detach();
      return S_OK;
    });
  }

  HRESULT Execute(std::int32_t, ado::IRecordset** result) noexcept override {
    if (!result) return E_POINTER;
    *result = nullptr;
    return guarded([&] {
      *result = execute().detach();
      return S_OK;
    });
  }

  HRESULT GetProperty(TextView name, Variant* value) noexcept override {
    if (!value) return E_POINTER;
    return guarded([&] {
      if (equalsIgnoreCase(name, u"CommandText")) {
        *value = Variant(text_);
      } else if (equalsIgnoreCase(name, u"ActiveConnection")) {
        *value = connection_ ? Variant(ComPtr<IUnknown>(connection_)) : Variant::null();
      } else if (equalsIgnoreCase(name, u"Properties")) {
        ComPtr<ado::IProperties> p;
        check(get_Properties(p.put()));
        *value = Variant(ComPtr<IUnknown>(p));
      } else {
        return unknownName(name);
      }
      return S_OK;
    });
  }

  HRESULT PutProperty(TextView name, const Variant& value) noexcept override {
    return guarded([&] {
      if (equalsIgnoreCase(name, u"CommandText")) return put_CommandText(value.toText());
      if (equalsIgnoreCase(name, u"ActiveConnection")) {
        if (value.isNull() || value.isEmpty() || (value.isObject() && !value.objectValue()))
          return putref_ActiveConnection(nullptr);
        ComPtr<ado::IConnection> c = value.isObject() ? value.objectValue().as<ado::IConnection>() : nullptr;
        if (!c)
          return fail(ado::adErrInvalidConnection,
                      u"The active connection of a command must be an open connection object.");
        return putref_ActiveConnection(c.get());
      }
      return unknownName(name);
    });
  }

  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    if (!equalsIgnoreCase(method, u"Execute")) return unknownName(method);
    return guarded([&] {
      // Execute(RecordsAffected, Parameters, Options): options are not needed here.
      if (args.size() > 3) return fail(DISP_E_BADPARAMCOUNT, u"Execute takes at most three arguments.");
      ComPtr<ado::IRecordset> rs = execute();
      if (result) *result = Variant(ComPtr<IUnknown>(rs));
      return S_OK;
    });
  }

private:
  ComPtr<ado::IRecordset> execute() {
    if (!connection_)
      throw ComError(ado::adErrInvalidConnection,
                     u"The command has no active connection: set ActiveConnection to an open "
                     u"connection before Execute.");
    requireOpen(connection_.get());
    if (trimBlanks(text_).empty())
      throw ComError(DB_E_NOCOMMAND, u"Command text was not set for the command object.");
    SearchOptions options;
    options.scope = static_cast<std::int32_t>(setting(u"searchscope").intValue());
    return store::makeRecordset(search(text_, options));
  }

  const Variant& setting(TextView name) const {
    for (const Setting& s : *settings_)
      if (equalsIgnoreCase(s.name, name)) return s.value;
    notFound(Variant(name));
  }

  ComPtr<ado::IConnection> connection_;
  std::shared_ptr<Settings> settings_ = std::make_shared<Settings>();
  Text text_;
};

[[maybe_unused]] const bool registered = [] {
  registerBuiltinClass(CLSID_Command, u"ADODB.Command", [](const Guid& iid, void** out) {
    return guarded([&] { return makeCom<CommandObject>()->QueryInterface(iid, out); });
  });
  return true;
}();

} // namespace

ComPtr<ado::ICommand> makeCommand() { return makeCom<CommandObject>(); }

} // namespace korvane::directory
