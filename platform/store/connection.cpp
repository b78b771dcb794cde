#include "platform/store/connection.h"

#include <memory>
#include <vector>

#include "platform/store/binding.h"
#include "platform/store/eventlog.h"
#include "platform/store/names.h"
#include "platform/store/save.h"
#include "platform/store/tree.h"
#include "platform/store/url.h"

namespace korvane::store {

namespace {

// --- transactions of all connections -----------------------------------------

constexpr int kOrphan = -1;

struct OpenTransaction {
  int owner;
  int saveDepth;  // saves running when it began; it can end only at the same depth
  std::unique_ptr<db::Transaction> tx;
};

std::vector<OpenTransaction>& openTransactions() {
  static std::vector<OpenTransaction> list;
  return list;
}

// Rolls back transactions of released connections once nothing newer is open.
void collectOrphans() {
  auto& list = openTransactions();
  while (!list.empty() && list.back().owner == kOrphan && list.back().saveDepth == saveDepth()) {
    list.back().tx->rollback();
    list.pop_back();
  }
  if (list.empty()) flushEvents();
}

int countOf(int owner) {
  int n = 0;
  for (const auto& t : openTransactions()) n += t.owner == owner;
  return n;
}

int begin(int owner) {
  collectOrphans();
  openTransactions().push_back({owner, saveDepth(), std::make_unique<db::Transaction>(tree::database())});
  return countOf(owner);
}

void requireEndable(const OpenTransaction& t) {
  if (t.saveDepth != saveDepth())
    throw ComError(E_FAIL, u"This transaction was begun before the save that is running now; it can be ended "
                           u"only after that save.");
}

void commit(int owner) {
  collectOrphans();
  auto& list = openTransactions();
  if (countOf(owner) == 0) throw ComError(E_NO_TRANSACTION, u"No transaction is open on this connection.");
  if (list.back().owner != owner)
    throw ComError(E_FAIL, u"A transaction begun later on another connection is still open; commit or roll "
                           u"back that one first.");
  requireEndable(list.back());
  list.back().tx->commit();
  list.pop_back();
  collectOrphans();
}

// Rolls back the owner's newest transaction and everything begun after it.
void rollback(int owner) {
  collectOrphans();
  auto& list = openTransactions();
  std::size_t i = list.size();
  while (i > 0 && list[i - 1].owner != owner) --i;
  if (i == 0) throw ComError(E_NO_TRANSACTION, u"No transaction is open on this connection.");
  requireEndable(list[i - 1]);
  while (list.size() >= i) {
    list.back().tx->rollback();
    list.pop_back();
  }
  collectOrphans();
}

void releaseAll(int owner) noexcept {
  try {
    while (countOf(owner) > 0) {
      auto& list = openTransactions();
      std::size_t i = list.size();
      while (list[i - 1].owner != owner) --i;
      if (list[i - 1].saveDepth != saveDepth()) {
        for (auto& t : list)
          if (t.owner == owner) t.owner = kOrphan;
        break;
      }
      rollback(owner);
    }
    collectOrphans();
  } catch (...) {
  }
}

// --- the connection object ---------------------------------------------------

enum class Kind { Closed, Store, Directory };

Text withoutUrlKeyword(TextView text) {
  Text t = trimBlanks(text);
  if (t.size() > 4 && equalsIgnoreCase(TextView(t).substr(0, 4), u"URL=")) return trimBlanks(TextView(t).substr(4));
  return t;
}

class ConnectionObject final : public ComObject<ado::IConnection> {
public:
  ConnectionObject() {
    static int next = 0;
    id_ = ++next;
  }
  ~ConnectionObject() override { releaseAll(id_); }

  HRESULT get_Provider(Text* provider) noexcept override {
    if (!provider) return E_POINTER;
    *provider = provider_;
    return S_OK;
  }
  HRESULT put_Provider(TextView provider) noexcept override {
    if (kind_ != Kind::Closed)
      return fail(ado::adErrObjectOpen, u"The provider cannot be changed while the connection is open.");
    provider_ = Text(provider);
    return S_OK;
  }
  HRESULT get_ConnectionString(Text* text) noexcept override {
    if (!text) return E_POINTER;
    *text = connectionString_;
    return S_OK;
  }
  HRESULT put_ConnectionString(TextView text) noexcept override {
    if (kind_ != Kind::Closed)
      return fail(ado::adErrObjectOpen, u"The connection string cannot be changed while the connection is open.");
    connectionString_ = Text(text);
    return S_OK;
  }

  HRESULT Open(TextView connectionString, TextView, TextView, std::int32_t) noexcept override {
    return guarded([&] {
      if (kind_ != Kind::Closed)
        return fail(ado::adErrObjectOpen, u"Operation is not allowed when the object is open.");
      if (!connectionString.empty()) connectionString_ = Text(connectionString);
      if (equalsIgnoreCase(trimBlanks(provider_), kStoreProvider)) {
        openStore(withoutUrlKeyword(connectionString_));
        kind_ = Kind::Store;
      } else if (equalsIgnoreCase(trimBlanks(provider_), kDirectoryProvider)) {
        openDirectory(trimBlanks(connectionString_));
        kind_ = Kind::Directory;
      } else {
        return fail(ado::adErrProviderNotFound,
                    provider_.empty()
                        ? Text(u"Provider cannot be found: no provider was set. Set Provider to \"ExOLEDB.DataSource\" "
                               u"for the public store or \"adsDSOobject\" for the directory.")
                        : u"Provider cannot be found. It may not be properly installed: \"" + provider_ + u"\".");
      }
      return S_OK;
    });
  }
  HRESULT Close() noexcept override {
    if (kind_ == Kind::Closed) return fail(ado::adErrObjectClosed, u"Operation is not allowed when the object is closed.");
    releaseAll(id_);
    kind_ = Kind::Closed;
    return S_OK;
  }
  HRESULT get_State(std::int32_t* state) noexcept override {
    if (!state) return E_POINTER;
    *state = kind_ == Kind::Closed ? ado::adStateClosed : ado::adStateOpen;
    return S_OK;
  }
  HRESULT BeginTrans(std::int32_t* level) noexcept override {
    return guarded([&] {
      requireStore();
      std::int32_t n = begin(id_);
      if (level) *level = n;
      return S_OK;
    });
  }
  HRESULT CommitTrans() noexcept override {
    return guarded([&] {
      requireStore();
      commit(id_);
      return S_OK;
    });
  }
  HRESULT RollbackTrans() noexcept override {
    return guarded([&] {
      requireStore();
      rollback(id_);
      return S_OK;
    });
  }

  HRESULT GetProperty(TextView name, Variant* value) noexcept override {
    if (binding::is(name, u"Provider")) return binding::put(value, provider_);
    if (binding::is(name, u"ConnectionString")) return binding::put(value, connectionString_);
    if (binding::is(name, u"State")) return binding::put(value, Variant(kind_ == Kind::Closed ? 0 : 1));
    return unknownName(name);
  }
  HRESULT PutProperty(TextView name, const Variant& value) noexcept override {
    return guarded([&] {
      if (binding::is(name, u"Provider")) return put_Provider(value.toText());
      if (binding::is(name, u"ConnectionString")) return put_ConnectionString(value.toText());
      return unknownName(name);
    });
  }
  HRESULT Invoke(TextView method, std::span<const Variant> args, Variant* result) noexcept override {
    return guarded([&] {
      if (binding::is(method, u"Open"))
        return Open(binding::textArg(args, 0), binding::textArg(args, 1), binding::textArg(args, 2),
                    binding::intArg(args, 3, -1));
      if (binding::is(method, u"Close")) return Close();
      if (binding::is(method, u"BeginTrans")) {
        std::int32_t level = 0;
        check(BeginTrans(&level));
        return binding::put(result, Variant(level));
      }
      if (binding::is(method, u"CommitTrans")) return CommitTrans();
      if (binding::is(method, u"RollbackTrans")) return RollbackTrans();
      return unknownName(method);
    });
  }

private:
  static void openStore(const Text& url) {
    if (url.empty())
      throw ComError(ado::adErrInvalidConnection,
                     u"The connection string is empty; give the URL of a folder of the public store.");
    tree::Target t = tree::resolve(url);
    if (!t.node)
      throw ComError(ado::adErrResourceNotFound, u"The URL \"" + url + u"\" names no folder of the public store.");
    if (!t.node->folder)
      throw ComError(E_NOT_A_FOLDER, u"The URL \"" + url + u"\" names an item; a connection opens on a folder.");
    if (t.node->access == Access::None)
      throw ComError(E_ACCESSDENIED, u"Access to the folder \"" + url + u"\" is denied.");
  }
  static void openDirectory(const Text& source) {
    if (!equalsIgnoreCase(source, u"Active Directory Provider"))
      throw ComError(ado::adErrInvalidConnection, u"The directory provider opens on \"Active Directory Provider\", not \"" +
                                                      source + u"\".");
    db::Database::current();  // fails with a clear text when the server does not exist
  }
  void requireStore() const {
    if (kind_ == Kind::Closed) throw ComError(ado::adErrObjectClosed, u"Operation is not allowed when the object is closed.");
    if (kind_ != Kind::Store)
      throw ComError(E_NOTIMPL, u"Transactions are available on connections to the public store only.");
  }

  int id_ = 0;
  Text provider_;
  Text connectionString_;
  Kind kind_ = Kind::Closed;
};

} // namespace

ComPtr<ado::IConnection> makeConnection() { return makeCom<ConnectionObject>(); }

ComPtr<ado::IConnection> storeConnectionFor(const Variant& activeConnection, TextView) {
  if (activeConnection.isObject()) {
    auto c = binding::objectAs<ado::IConnection>(activeConnection);
    if (!c) throw ComError(ado::adErrInvalidConnection, u"The active connection is not a connection object.");
    Text provider;
    std::int32_t state = 0;
    check(c->get_Provider(&provider));
    check(c->get_State(&state));
    if (state == ado::adStateClosed)
      throw ComError(ado::adErrInvalidConnection, u"The connection is closed; open it before using it.");
    if (!equalsIgnoreCase(trimBlanks(provider), kStoreProvider))
      throw ComError(ado::adErrInvalidConnection, u"The connection uses the provider \"" + provider +
                                                      u"\"; the public store needs \"ExOLEDB.DataSource\".");
    return c;
  }
  Text target;
  if (activeConnection.isText() && !activeConnection.textValue().empty())
    target = activeConnection.textValue();
  else if (activeConnection.isEmpty() || activeConnection.isNull() || activeConnection.isText())
    target = composeStoreUrl(tree::server().host, {});  // the item's own URL is checked when it is opened
  else
    throw ComError(ado::adErrInvalidConnection, u"The active connection must be a connection object or a URL.");
  auto c = makeConnection();
  check(c->put_Provider(kStoreProvider));
  check(c->Open(target, u"", u"", -1));
  return c;
}

} // namespace korvane::store
