#include "platform/store/save.h"

#include "platform/db/fault.h"
#include "platform/store/ado.h"
#include "platform/store/eventlog.h"
#include "platform/store/events.h"
#include "platform/store/exoledb.h"
#include "platform/store/names.h"

namespace korvane::store {

namespace {

using events::Change;
using events::Method;

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

// The node the request writes, created or cleared as it asks.
Node prepareNode(const SaveRequest& r, bool& created) {
  if (r.existing) {
    auto n = tree::node(*r.existing);
    if (!n) throw ComError(ado::adErrResourceNotFound, u"The item to save no longer exists.");
    created = false;
    return *n;
  }
  if (auto old = tree::child(r.parent, r.name)) {
    if (!r.replace)
      throw ComError(ado::adErrResourceExists, u"An item or folder named \"" + r.name + u"\" exists already in \"" +
                                                   tree::urlOf(*tree::node(r.parent)) + u"\".");
    if (old->folder || r.folder)
      throw ComError(ado::adErrResourceExists, u"The folder \"" + tree::urlOf(*old) +
                                                   u"\" exists; a folder is not replaced, delete it first.");
    tree::clear(*old);
    created = true;
    return *old;
  }
  created = true;
  return tree::insert(r.parent, r.name, r.folder, r.access);
}

std::int32_t flagsOf(const SaveRequest& r, const Node& node, bool created) {
  std::int32_t f = 0;
  if (created) f |= exoledb::EVT_NEW_ITEM;
  if (r.delivered) f |= exoledb::EVT_IS_DELIVERED;
  if (node.folder) f |= exoledb::EVT_IS_COLLECTION;
  return f;
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
  db::Database& db = tree::database();
  db::Transaction tx(db);

  SaveResult result;
  result.node = prepareNode(request, result.created);
  tree::write(result.node, request.values);
  result.url = tree::urlOf(result.node);
  Properties props = tree::full(result.node);

  auto change = std::make_shared<Change>();
  change->node = result.node;
  change->url = result.url;
  change->method = Method::Save;
  std::int32_t flags = flagsOf(request, result.node, result.created);

  std::vector<events::Sink> sinks;
  if (tree::isRegistration(props, result.node.folder))
    events::confirmRegistration(change, props, exoledb::EVT_SYNC_BEGIN | flags);
  else
    sinks = events::createSinks(events::applicable(result.node, props, Method::Save), result.url);

  db::faultPoint("store.begin-phase");
  std::size_t called = 0;
  try {
    called = events::beginPhase(sinks, change, exoledb::EVT_SYNC_BEGIN | flags);
    result.deleted = change->deleted;
    if (!change->deleted) result.after = tree::full(result.node);
  } catch (...) {
    tx.rollback();
    events::afterPhase(sinks, called, change, exoledb::EVT_SYNC_ABORTED | flags);
    throw;
  }

  result.aborted = change->aborted;
  result.abortedBy = change->abortedBy;
  if (result.aborted || request.dryRun) {
    tx.rollback();
    events::afterPhase(sinks, called, change, exoledb::EVT_SYNC_ABORTED | flags);
    return result;
  }
  db::faultPoint("store.before-commit");
  tx.commit();
  db::faultPoint("store.after-save-before-commit-phase");
  events::afterPhase(sinks, called, change, exoledb::EVT_SYNC_COMMITTED | flags);
  return result;
}

DeleteResult deleteNode(const Node& node) {
  if (isSystemFolder(node))
    throw ComError(E_ACCESSDENIED, u"The folder \"" + tree::urlOf(node) + u"\" belongs to the store and cannot be deleted.");
  FlushAtEnd flush;
  NestingGuard guard;
  db::Database& db = tree::database();
  db::Transaction tx(db);

  Properties props = tree::full(node);
  auto change = std::make_shared<Change>();
  change->node = node;
  change->url = tree::urlOf(node);
  change->method = Method::Delete;
  std::int32_t flags = node.folder ? exoledb::EVT_IS_COLLECTION : 0;

  std::vector<events::Sink> sinks;
  if (!tree::isRegistration(props, node.folder))
    sinks = events::createSinks(events::applicable(node, props, Method::Delete), change->url);
  std::size_t called = 0;
  try {
    called = events::beginPhase(sinks, change, exoledb::EVT_SYNC_BEGIN | flags);
  } catch (...) {
    tx.rollback();
    events::afterPhase(sinks, called, change, exoledb::EVT_SYNC_ABORTED | flags);
    throw;
  }
  DeleteResult result{change->aborted, change->abortedBy};
  if (result.aborted) {
    tx.rollback();
    events::afterPhase(sinks, called, change, exoledb::EVT_SYNC_ABORTED | flags);
    return result;
  }
  tree::remove(node.id);
  tx.commit();
  db::faultPoint("store.after-delete-before-commit-phase");
  events::afterPhase(sinks, called, change, exoledb::EVT_SYNC_COMMITTED | flags);
  return result;
}

} // namespace korvane::store
