#include "platform/store/save.h"

#include "platform/db/fault.h"
#include "platform/db/stamp.h"
#include "platform/store/ado.h"
#include "platform/store/eventlog.h"
#include "platform/store/events.h"
#include "platform/store/exoledb.h"
#include "platform/store/names.h"

namespace korvane::store {

namespace {

using events::Change;
using events::Method;

// How often a save starts over when other saves keep changing its item
// while its sinks run.
constexpr int kAttempts = 5;

// Sinks may save other items from their begin phase; a chain of sinks that
// keep doing so must end.
class NestingGuard {
public:
  NestingGuard() {
    if (++depth() > 16) {
      --depth();
      throw ComError(E_FAIL, u"Event sinks saved items from their begin phase more than 16 levels deep; the "
                             u"innermost save was refused.");
    }
  }
  ~NestingGuard() { --depth(); }
  NestingGuard(const NestingGuard&) = delete;
  NestingGuard& operator=(const NestingGuard&) = delete;

  static int& depth() {
    static int d = 0;
    return d;
  }
};

// Writes waiting event-log entries once the outermost transaction is over.
struct FlushAtEnd {
  ~FlushAtEnd() {
    try {
      flushEvents();
    } catch (...) {
    }
  }
};

// Writes what the sinks of one attempt had to say once the attempt is over,
// naming the item as it was written (or as planned, when it was not).
struct LogAtEnd {
  std::shared_ptr<Change> change;
  ~LogAtEnd() { events::writeLog(*change); }
};

// The write transaction of one save or delete. Let go while sinks run,
// unless the caller holds a transaction of its own (then it is a savepoint
// in that one, and the lock stays the caller's). A save that expects to
// call sinks plans in a read transaction instead (`planOnly`): it would let
// go of the lock for them anyway, and taking it twice would make other
// savers wait for it twice.
class WriteLock {
public:
  WriteLock(db::Database& db, bool planOnly) : db_(db), callerHolds_(db.inTransaction()) {
    if (planOnly && !callerHolds_) reading_.emplace(db_);
    else take();
  }
  explicit WriteLock(db::Database& db) : WriteLock(db, false) {}
  // Planned without the lock: nothing may be written on this plan.
  bool planOnly() const { return reading_.has_value(); }
  void take() {
    reading_.reset();
    if (tx_) return;
    // A transaction still open here was begun by a sink and never ended:
    // this save would commit into it, and be lost with it.
    if (!callerHolds_ && db_.inTransaction())
      throw ComError(E_FAIL, u"An event sink left a database transaction open; the change was not written. "
                             u"Fix the sink so that it commits or rolls back what it begins.");
    tx_.emplace(db_);
  }
  // Ends a transaction that wrote nothing. A commit, not a rollback: a
  // rollback makes this connection's caches of the tree start afresh.
  void releaseForSinks() {
    if (!callerHolds_) commit();
  }
  void release() { commit(); }
  void rollback() {
    reading_.reset();
    tx_.reset();
  }
  void commit() {
    if (reading_) reading_->end();
    reading_.reset();
    if (tx_) tx_->commit();
    tx_.reset();
  }

private:
  db::Database& db_;
  bool callerHolds_;
  std::optional<db::ReadTransaction> reading_;
  std::optional<db::Transaction> tx_;
};

// Whether a save will likely call sinks: a new node in a watched folder.
bool expectsSinks(const SaveRequest& r) {
  return !r.existing && events::watched(Node{0, r.parent, r.name, r.folder, r.access}, Method::Save);
}

bool sameStored(const Properties& a, const Properties& b) { return a.entries() == b.entries(); }

[[noreturn]] void throwChanged(const Text& url, TextView what) {
  throw ComError(E_STORE_CHANGED, u"The " + Text(what) + u" of " + url + u" was not made: another program changed "
                                      u"the item while its event sinks ran, " + fromUtf8(std::to_string(kAttempts)) +
                                      u" times in a row. Nothing was written; try again.");
}

// --- saves --------------------------------------------------------------------

// What a save found under the write lock.
struct Plan {
  Node node;                  // id 0: a new node, not written yet
  bool created = false;       // a new node, or an item it replaces
  bool opened = false;        // IfTaken::Open found the folder: nothing to save
  Properties stored;          // a changed node's stored properties when planned
  std::vector<events::Registration> registrations;
  bool registration = false;  // a registration item: its sink's Register is asked instead
};

Node folderFor(std::int64_t parent) {
  auto p = tree::node(parent);
  if (!p) throw ComError(ado::adErrResourceNotFound, u"The folder to save into no longer exists.");
  if (!p->folder) throw ComError(E_NOT_A_FOLDER, u"\"" + tree::urlOf(*p) + u"\" is an item; only folders hold other items.");
  return *p;
}

// Where a new node goes, by what its folder holds now.
void placeNew(const SaveRequest& r, Plan& plan) {
  Node folder = folderFor(r.parent);
  Text name = r.name;
  tree::checkName(name);
  if (auto old = tree::child(folder.id, name)) {
    switch (r.ifTaken) {
      case IfTaken::Fail: break;
      case IfTaken::Number: name = tree::freeName(folder.id, name); old.reset(); break;
      case IfTaken::Replace:
        if (old->folder || r.folder)
          throw ComError(ado::adErrResourceExists, u"The folder \"" + tree::urlOf(*old) +
                                                       u"\" exists; a folder is not replaced, delete it first.");
        plan.node = *old;
        plan.created = true;
        return;
      case IfTaken::Open:
        plan.opened = old->folder && r.folder;
        break;
      case IfTaken::Change:
        plan.node = *old;
        plan.created = false;
        return;
    }
    if (plan.opened) {
      plan.node = *old;
      return;
    }
    if (old)
      throw ComError(ado::adErrResourceExists, u"An item or folder named \"" + name + u"\" exists already in \"" +
                                                   tree::urlOf(folder) + u"\".");
  }
  plan.node = Node{0, folder.id, name, r.folder, r.access};
  plan.created = true;
}

Plan planSave(const SaveRequest& r, Change& change) {
  Plan plan;
  if (r.existing) {
    auto n = tree::node(*r.existing);
    if (!n) throw ComError(ado::adErrResourceNotFound, u"The item to save no longer exists.");
    plan.node = *n;
  } else {
    placeNew(r, plan);
    if (plan.opened) return plan;
  }
  if (!plan.created) plan.stored = tree::stored(plan.node.id);
  change.node = plan.node;
  change.method = Method::Save;
  change.item = tree::full(plan.node, plan.stored);
  change.url = change.item.text(prop::href);
  change.changes = r.values;
  tree::apply(change.item, r.values);
  tree::setDefaults(change.item, plan.node.folder);
  plan.registration = tree::isRegistration(change.item, plan.node.folder);
  if (!plan.registration) plan.registrations = events::applicable(plan.node, change.item, Method::Save);
  return plan;
}

// Under the write lock again, after the begin phase: whether what the plan
// relied on still holds. A new node's place is settled here.
bool settle(const SaveRequest& r, Plan& plan) {
  if (plan.created) {
    Plan now;
    placeNew(r, now);
    if (!now.created && !now.opened) return false;  // IfTaken::Change found a node: change it instead
    plan.node = now.node;
    plan.opened = now.opened;
    return true;
  }
  auto now = tree::node(plan.node.id);
  if (!now) throw ComError(ado::adErrResourceNotFound, u"The item " + tree::urlOf(plan.node) +
                                                           u" was deleted while its event sinks ran; nothing was written.");
  return now->name == plan.node.name && now->parent == plan.node.parent && sameStored(tree::stored(now->id), plan.stored);
}

// Writes the item with every change of the save; returns its node.
Node writeItem(const Plan& plan, const Change& change) {
  Node node = plan.node;
  if (change.deleted) {
    if (node.id) tree::remove(node.id);
    return node;
  }
  if (node.id == 0)
    node = tree::add(*node.parent, node.name, node.folder, node.access);  // placed under this lock
  else if (plan.created)
    tree::clear(node);
  tree::write(node, change.changes);
  return node;
}

std::int32_t flagsOf(const SaveRequest& r, const Node& node, bool created) {
  std::int32_t f = 0;
  if (created) f |= exoledb::EVT_NEW_ITEM;
  if (r.delivered) f |= exoledb::EVT_IS_DELIVERED;
  if (node.folder) f |= exoledb::EVT_IS_COLLECTION;
  return f;
}

SaveResult resultOf(const Plan& plan, const Change& change) {
  SaveResult r;
  r.node = plan.node;
  r.url = change.url;
  r.created = plan.created;
  r.aborted = change.aborted;
  r.abortedBy = change.abortedBy;
  r.deleted = change.deleted;
  if (!change.deleted) r.after = change.item;
  return r;
}

SaveResult openedFolder(const Node& folder) {
  SaveResult r;
  r.node = folder;
  r.url = tree::urlOf(folder);
  r.after = tree::full(folder);
  return r;
}

// Writes under the lock; the result shows the item as written.
SaveResult written(WriteLock& lock, const Plan& plan, Change& change) {
  Node node = writeItem(plan, change);
  SaveResult r = resultOf(plan, change);
  r.node = node;
  if (!change.deleted) {
    // Not read back: a received message is kilobytes, and this runs in the writers' turn.
    r.after = tree::full(node, tree::afterWrite(plan.stored, change.changes));
    r.url = r.after.text(prop::href);
  }
  db::faultPoint("store.before-commit");
  lock.commit();
  db::faultPoint("store.after-save-before-commit-phase");
  change.node = node;
  change.url = r.url;
  events::writeLog(change);  // kept as surely as the item, before the commit phase runs
  return r;
}

// Calls the begin phase; a sink that throws ends the change with the abort phase.
std::size_t runBeginPhase(const std::vector<events::Sink>& sinks, const std::shared_ptr<Change>& change,
                          std::int32_t flags) {
  db::faultPoint("store.begin-phase");
  std::size_t called = 0;
  try {
    called = events::beginPhase(sinks, change, exoledb::EVT_SYNC_BEGIN | flags);
  } catch (...) {
    events::afterPhase(sinks, called, change, exoledb::EVT_SYNC_ABORTED | flags);
    throw;
  }
  return called;
}

} // namespace

int saveDepth() { return NestingGuard::depth(); }

bool isSystemFolder(const Node& node) {
  tree::Server sv = tree::server();
  if (node.id == sv.root || node.id == sv.nonIpm || node.id == sv.globalEvents) return true;
  auto events = tree::node(sv.globalEvents);
  return events && events->parent && node.id == *events->parent;
}

SaveResult saveNode(const SaveRequest& request) {
  FlushAtEnd flush;
  NestingGuard guard;
  db::StampHold steady;  // the caches it and its sinks consult, read once
  bool planOnly = expectsSinks(request);
  for (int attempt = 1;; ++attempt) {
    WriteLock lock(tree::database(), planOnly);
    auto change = std::make_shared<Change>();
    LogAtEnd writesLog{change};
    Plan plan = planSave(request, *change);
    if (plan.opened) {
      lock.release();
      return openedFolder(plan.node);
    }
    const std::int32_t flags = flagsOf(request, plan.node, plan.created);
    if (!plan.registration && plan.registrations.empty()) {
      if (lock.planOnly() && !request.dryRun) {  // no sink after all: plan again under the lock
        lock.release();
        planOnly = false;
        --attempt;
        continue;
      }
      db::faultPoint("store.begin-phase");  // where the sinks would run
      if (request.dryRun) {
        lock.release();
        return resultOf(plan, *change);
      }
      return written(lock, plan, *change);  // nothing to call: all in this one transaction
    }

    lock.releaseForSinks();
    std::vector<events::Sink> sinks;
    if (plan.registration)
      events::confirmRegistration(change, change->item, exoledb::EVT_SYNC_BEGIN | flags);
    else
      sinks = events::createSinks(plan.registrations, *change);
    const std::size_t called = runBeginPhase(sinks, change, flags);
    auto abortPhase = [&] { events::afterPhase(sinks, called, change, exoledb::EVT_SYNC_ABORTED | flags); };
    if (change->aborted || request.dryRun) {
      abortPhase();
      return resultOf(plan, *change);
    }

    std::optional<SaveResult> result;
    try {
      lock.take();
      if (settle(request, plan) && !plan.opened) result = written(lock, plan, *change);
    } catch (...) {
      lock.rollback();
      abortPhase();
      throw;
    }
    if (result) {
      events::afterPhase(sinks, called, change, exoledb::EVT_SYNC_COMMITTED | flags);
      return *result;
    }
    lock.release();
    abortPhase();
    if (plan.opened) return openedFolder(plan.node);
    if (attempt == kAttempts) throwChanged(change->url, u"save");
  }
}

DeleteResult deleteNode(const Node& target) {
  if (isSystemFolder(target))
    throw ComError(E_ACCESSDENIED, u"The folder \"" + tree::urlOf(target) + u"\" belongs to the store and cannot be deleted.");
  FlushAtEnd flush;
  NestingGuard guard;
  db::StampHold steady;  // the caches it and its sinks consult, read once
  for (int attempt = 1;; ++attempt) {
    WriteLock lock(tree::database());
    auto node = tree::node(target.id);
    if (!node) {  // gone already
      lock.release();
      return {};
    }
    const Properties stored = tree::stored(node->id);
    auto change = std::make_shared<Change>();
    LogAtEnd writesLog{change};
    change->node = *node;
    change->url = tree::urlOf(*node);
    change->method = Method::Delete;
    change->item = tree::full(*node, stored);
    const std::int32_t flags = node->folder ? exoledb::EVT_IS_COLLECTION : 0;
    std::vector<events::Registration> registrations;
    if (!tree::isRegistration(change->item, node->folder))
      registrations = events::applicable(*node, change->item, Method::Delete);
    auto removeAndCommit = [&] {
      tree::remove(node->id);
      lock.commit();
      db::faultPoint("store.after-delete-before-commit-phase");
    };
    if (registrations.empty()) {
      removeAndCommit();
      return {};
    }

    lock.releaseForSinks();
    std::vector<events::Sink> sinks = events::createSinks(registrations, *change);
    const std::size_t called = runBeginPhase(sinks, change, flags);
    auto abortPhase = [&] { events::afterPhase(sinks, called, change, exoledb::EVT_SYNC_ABORTED | flags); };
    if (change->aborted) {
      abortPhase();
      return DeleteResult{true, change->abortedBy};
    }
    std::optional<Node> now;
    bool removed = false;
    try {
      lock.take();
      now = tree::node(node->id);
      if (now && now->name == node->name && now->parent == node->parent && sameStored(tree::stored(now->id), stored)) {
        removeAndCommit();
        removed = true;
      }
    } catch (...) {
      lock.rollback();
      abortPhase();
      throw;
    }
    if (removed) {
      events::afterPhase(sinks, called, change, exoledb::EVT_SYNC_COMMITTED | flags);
      return {};
    }
    lock.release();
    abortPhase();
    if (!now) return {};  // another program deleted it meanwhile
    if (attempt == kAttempts) throwChanged(change->url, u"delete");
  }
}

} // namespace korvane::store
