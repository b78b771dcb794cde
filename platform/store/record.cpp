#include "platform/store/record.h"

#include "platform/store/binding.h"
#include "platform/store/connection.h"
#include "platform/store/names.h"
#include "platform/store/rows.h"
#include "platform/store/save.h"

namespace korvane::store {

namespace {

using events::Change;
using events::Method;
using events::Phase;

// What a folder allows for a node: its own level, or its folder's for an item.
Access accessOf(const Node& n) {
  if (n.folder || !n.parent) return n.access;
  auto folder = tree::node(*n.parent);
  return folder ? folder->access : Access::None;
}

void checkAccess(const Node& n, bool write, const Text& url) {
  Access a = accessOf(n);
  if (a == Access::None) throw ComError(E_ACCESSDENIED, u"Access to \"" + url + u"\" is denied.");
  if (write && a == Access::ReadOnly)
    throw ComError(E_ACCESSDENIED, u"\"" + url + u"\" is read-only; it cannot be opened for writing.");
}

[[noreturn]] void throwMissing(const tree::Target& t, TextView url) {
  if (!t.parent && t.segments.size() > 1)
    throw ComError(ado::adErrResourceNotFound,
                   u"The URL \"" + Text(url) + u"\" names nothing: its folder does not exist.");
  throw ComError(ado::adErrResourceNotFound, u"The URL \"" + Text(url) + u"\" names no item or folder.");
}

// The properties of an item that is not written yet.
Properties unsavedItem(const Node& folder, TextView name, const Text& url) {
  Properties p;
  p.set(prop::href, url);
  p.set(prop::displayName, Text(name));
  p.set(prop::parentName, tree::urlOf(folder));
  p.set(prop::isFolder, false);
  p.set(prop::isCollection, false);
  p.set(prop::hasSubs, false);
  p.set(prop::childCount, 0);
  p.set(prop::isHidden, false);
  p.set(prop::contentClass, contentclass::message);
  return p;
}

struct Pending {
  std::int64_t parent = 0;
  Text name;
  bool replace = false;
};

// Everything a record knows; its Fields objects share it.
class RecordState final : public FieldSource {
public:
  bool open = false;
  bool writable = false;
  bool deleted = false;
  Text url;
  std::optional<Node> node;
  std::optional<Pending> pending;
  ComPtr<ado::IConnection> connection;
  std::shared_ptr<Change> change;  // set for an event record
  Properties changes;              // set since the last update

  // What the fields show, read from the store on first use: a record is
  // often opened only to prove that an item or folder exists.
  Properties& values() {
    if (valuesDue) {
      auto now = tree::node(node->id);
      if (!now) throw ComError(ado::adErrResourceNotFound, u"The item " + url + u" has been deleted.");
      values_ = tree::full(*now);
      valuesDue = false;
    }
    return values_;
  }
  void showStored() { valuesDue = true; }
  void show(Properties p) {
    valuesDue = false;
    values_ = std::move(p);
  }

  void requireOpen() const {
    if (!open) throw ComError(ado::adErrObjectClosed, u"Operation is not allowed when the object is closed.");
  }

  void openUrl(const Variant& source, const Variant& activeConnection, std::int32_t mode, std::int32_t create) {
    if (open) throw ComError(ado::adErrObjectOpen, u"Operation is not allowed when the object is open.");
    if (!source.isText() || source.textValue().empty())
      throw ComError(E_INVALIDARG, u"Record.Open needs the URL of an item or folder as its source.");
    const Text& src = source.textValue();
    auto conn = storeConnectionFor(activeConnection, src);
    bool write = (mode & 2) != 0;
    tree::Target t = tree::resolve(src);
    bool creating = create != ado::adFailIfNotExists && !((create & adOpenIfExists) && t.node);
    if (creating)
      prepareCreate(t, src, write, create);
    else
      prepareOpen(t, src, write);
    connection = std::move(conn);
    writable = write;
    open = true;
  }

  void close() {
    requireOpen();
    *this = RecordState();
  }

  // --- FieldSource ---------------------------------------------------------
  std::size_t count() override {
    requireOpen();
    return values().size();
  }
  Text name(std::size_t index) override {
    requireOpen();
    return values().entries().at(index).first;
  }
  std::optional<std::size_t> find(TextView name) override {
    requireOpen();
    if (auto i = values().indexOf(name)) return i;
    if (!writable || tree::isComputed(name)) return std::nullopt;
    values().set(name, Variant());
    return values().size() - 1;
  }
  Variant value(std::size_t index) override {
    requireOpen();
    return values().entries().at(index).second;
  }
  void setValue(std::size_t index, const Variant& v) override {
    requireWritable();
    const Text name = values().entries().at(index).first;
    if (tree::isComputed(name))
      throw ComError(ado::adErrPermissionDenied, u"The property " + name + u" is computed by the store and cannot be set.");
    if (v.isObject())
      throw ComError(DISP_E_TYPEMISMATCH, u"A property holds text, a number, a Boolean or null, not an object.");
    values().set(name, v);
    changes.set(name, v);
  }
  void update() override {
    requireWritable();
    if (change) return updateInSave();
    if (!pending && changes.empty()) return;
    SaveRequest r;
    if (pending) {
      r.parent = pending->parent;
      r.name = pending->name;
      r.ifTaken = pending->replace ? IfTaken::Replace : IfTaken::Fail;
    } else {
      r.existing = node->id;
    }
    r.values = changes;
    SaveResult res = saveNode(r);
    if (res.aborted)
      throw ComError(E_STORE_ABORTED, u"The save of " + res.url + u" was aborted by the event sink \"" + res.abortedBy +
                                          u"\"; nothing was written.");
    pending.reset();
    node = res.node;
    url = res.url;
    changes = Properties();
    deleted = res.deleted;
    if (!deleted) refresh(res.after);
  }

  void deleteRecord(TextView source) {
    requireWritable();
    // The item being saved is not in the tables yet: it is named by its URL.
    if (change && (source.empty() || equalsIgnoreCase(source, url))) return deleteInSave();
    Node target = source.empty() ? ownNode() : namedNode(source);
    DeleteResult r = deleteNode(target);
    if (r.aborted)
      throw ComError(E_STORE_ABORTED, u"The delete of " + tree::urlOf(target) + u" was aborted by the event sink \"" +
                                          r.abortedBy + u"\"; nothing was deleted.");
    if (node && node->id == target.id) deleted = true;
  }

private:
  bool valuesDue = false;
  Properties values_;

  void prepareOpen(const tree::Target& t, const Text& src, bool write) {
    if (!t.node) throwMissing(t, src);
    url = tree::urlOf(*t.node);
    checkAccess(*t.node, write, url);
    node = t.node;
    showStored();
  }

  void prepareCreate(const tree::Target& t, const Text& src, bool write, std::int32_t create) {
    if (!write)
      throw ComError(ado::adErrPermissionDenied, u"Creating \"" + src + u"\" needs the record opened for writing (mode 3).");
    if (t.segments.empty()) throw ComError(ado::adErrResourceExists, u"The public root exists already.");
    if (!t.parent) throwMissing(t, src);
    Text folderUrl = tree::urlOf(*t.parent);
    if (t.parent->access != Access::Full)
      throw ComError(E_ACCESSDENIED, u"The folder \"" + folderUrl + u"\" does not allow creating items in it.");
    bool replace = (create & ado::adCreateOverwrite) != 0;
    if (t.node && (!replace || t.node->folder || (create & adCreateCollection)))
      throw ComError(ado::adErrResourceExists,
                     t.node->folder && replace ? u"The folder \"" + tree::urlOf(*t.node) + u"\" exists; a folder is not replaced, delete it first."
                                               : u"\"" + tree::urlOf(*t.node) + u"\" exists already.");
    if (create & adCreateCollection)
      return createFolderNow(*t.parent, t.name, (create & adOpenIfExists) ? IfTaken::Open : IfTaken::Fail);
    pending = Pending{t.parent->id, t.name, replace};
    url = folderUrl + u"/" + t.name;
    show(unsavedItem(*t.parent, t.name, url));
  }

  void createFolderNow(const Node& parent, const Text& name, IfTaken ifTaken) {
    SaveRequest r;
    r.parent = parent.id;
    r.name = name;
    r.ifTaken = ifTaken;
    r.folder = true;
    SaveResult res = saveNode(r);
    if (res.aborted)
      throw ComError(E_STORE_ABORTED, u"The creation of " + res.url + u" was aborted by the event sink \"" +
                                          res.abortedBy + u"\".");
    node = res.node;
    url = res.url;
    deleted = res.deleted;
    show(res.deleted ? tree::full(res.node) : res.after);
  }

  void requireWritable() {
    requireOpen();
    if (!writable)
      throw ComError(ado::adErrPermissionDenied, u"The record " + url + u" was opened for reading only; open it with mode 3 to change it.");
    if (deleted) throw ComError(ado::adErrResourceNotFound, u"The item " + url + u" has been deleted.");
  }

  // The event record's changes become part of the save in progress: they
  // go to the item the save holds, and are written with it.
  void updateInSave() {
    if (change->phase != Phase::Begin || change->method != Method::Save || change->deleted)
      throw ComError(ado::adErrPermissionDenied, u"The save of " + url + u" has ended; its record can no longer change it.");
    tree::apply(change->item, changes);
    tree::setDefaults(change->item, change->node.folder);
    for (const auto& [name, value] : changes) change->changes.set(name, value);
    changes = Properties();
    refresh(change->item);
  }

  void deleteInSave() {
    if (change->phase != Phase::Begin || change->method != Method::Save || change->deleted)
      throw ComError(ado::adErrPermissionDenied, u"The item " + url + u" cannot be deleted from this phase of the event.");
    change->deleted = true;
    deleted = true;
  }

  Node ownNode() const {
    if (!node) throw ComError(ado::adErrResourceNotFound, u"The item " + url + u" has not been saved yet, so it cannot be deleted.");
    return *node;
  }

  Node namedNode(TextView source) const {
    tree::Target t = tree::resolve(source);
    if (!t.node) throwMissing(t, source);
    checkAccess(*t.node, true, tree::urlOf(*t.node));
    return *t.node;
  }

  // New values from the store; fields keep their places.
  void refresh(const Properties& now) {
    if (valuesDue) return show(now);
    Properties next;
    for (const auto& [name, v] : values()) {
      auto fresh = now.get(name);
      next.set(name, fresh ? *fresh : Variant::null());
    }
    for (const auto& [name, v] : now) next.set(name, v);
    show(std::move(next));
  }
};

class RecordObject final : public LateBoundRecord {
public:
  explicit RecordObject(std::shared_ptr<RecordState> state) : state_(std::move(state)) {}

  HRESULT Open(const Variant& source, const Variant& activeConnection, std::int32_t mode, std::int32_t createOptions,
               std::int32_t, TextView, TextView) noexcept override {
    return guarded([&] {
      if (state_->open) return fail(ado::adErrObjectOpen, u"Operation is not allowed when the object is open.");
      RecordState fresh;
      fresh.openUrl(source, activeConnection, mode, createOptions);
      *state_ = std::move(fresh);
      return S_OK;
    });
  }
  HRESULT Close() noexcept override {
    return guarded([&] {
      state_->close();
      return S_OK;
    });
  }
  HRESULT get_State(std::int32_t* state) noexcept override {
    if (!state) return E_POINTER;
    *state = state_->open ? ado::adStateOpen : ado::adStateClosed;
    return S_OK;
  }
  HRESULT get_Fields(ado::IFields** fields) noexcept override {
    return guarded([&] {
      if (!fields) return E_POINTER;
      state_->requireOpen();
      *fields = makeFields(state_).detach();
      return S_OK;
    });
  }
  HRESULT DeleteRecord(TextView source, bool) noexcept override {
    return guarded([&] {
      state_->deleteRecord(source);
      return S_OK;
    });
  }


private:
  std::shared_ptr<RecordState> state_;
};

} // namespace

HRESULT recordGetProperty(ado::IRecord* self, TextView name, Variant* value) noexcept {
  return guarded([&] {
    if (binding::is(name, u"State")) {
      std::int32_t state = ado::adStateClosed;
      check(self->get_State(&state));
      return binding::put(value, Variant(state));
    }
    if (binding::is(name, u"Fields")) {
      ComPtr<ado::IFields> f;
      check(self->get_Fields(f.put()));
      return binding::put(value, binding::object(f));
    }
    return unknownName(name);
  });
}

HRESULT recordInvoke(ado::IRecord* self, TextView method, std::span<const Variant> args, Variant* result) noexcept {
  return guarded([&] {
    if (binding::is(method, u"Open")) {
      Variant source = args.size() > 0 ? args[0] : Variant();
      Variant connection = args.size() > 1 ? args[1] : Variant();
      return self->Open(source, connection, binding::intArg(args, 2, ado::adModeRead),
                        binding::intArg(args, 3, ado::adFailIfNotExists), binding::intArg(args, 4, -1),
                        binding::textArg(args, 5), binding::textArg(args, 6));
    }
    if (binding::is(method, u"Close")) return self->Close();
    if (binding::is(method, u"DeleteRecord"))
      return self->DeleteRecord(binding::textArg(args, 0), args.size() > 1 && args[1].toBool());
    if (binding::is(method, u"Fields")) {
      ComPtr<ado::IFields> f;
      check(self->get_Fields(f.put()));
      if (args.empty()) return binding::put(result, binding::object(f));
      ComPtr<ado::IField> field;
      check(f->get_Item(args[0], field.put()));
      return binding::put(result, binding::object(field));
    }
    return unknownName(method);
  });
}

ComPtr<ado::IRecord> makeRecord() { return makeCom<RecordObject>(std::make_shared<RecordState>()); }

ComPtr<ado::IRecord> makeEventRecord(std::shared_ptr<Change> change) {
  auto state = std::make_shared<RecordState>();
  state->open = true;
  state->writable = change->method == Method::Save && change->phase == Phase::Begin && !change->deleted;
  state->node = change->node;
  state->url = change->url;
  if (change->phase == Phase::Begin)
    state->show(change->item);
  else
    state->showStored();  // sinks in the commit phase often only take the record and let it go
  state->change = std::move(change);
  return makeCom<RecordObject>(std::move(state));
}

} // namespace korvane::store
