#include "platform/store/tree.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <set>
#include <tuple>

#include "platform/db/stamp.h"
#include "platform/store/ado.h"
#include "platform/store/names.h"
#include "platform/store/url.h"

namespace korvane::store::tree {

namespace {

constexpr std::string_view kSchema = R"sql(
CREATE TABLE IF NOT EXISTS store_server(
  id INTEGER PRIMARY KEY CHECK (id = 1),
  host TEXT NOT NULL, domain TEXT NOT NULL, store_guid TEXT NOT NULL,
  root INTEGER NOT NULL, non_ipm INTEGER NOT NULL, global_events INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS store_node(
  id INTEGER PRIMARY KEY,
  parent INTEGER REFERENCES store_node(id) ON DELETE CASCADE,
  name TEXT NOT NULL, folded TEXT NOT NULL,
  folder INTEGER NOT NULL, access INTEGER NOT NULL DEFAULT 0,
  registration INTEGER NOT NULL DEFAULT 0);
CREATE UNIQUE INDEX IF NOT EXISTS store_node_name ON store_node(parent, folded);
CREATE INDEX IF NOT EXISTS store_node_registration ON store_node(parent) WHERE registration = 1;
CREATE INDEX IF NOT EXISTS store_node_kind ON store_node(parent, folder);
CREATE TABLE IF NOT EXISTS store_prop(
  node INTEGER NOT NULL REFERENCES store_node(id) ON DELETE CASCADE,
  folded TEXT NOT NULL, name TEXT NOT NULL, value, kind INTEGER NOT NULL,
  PRIMARY KEY(node, folded));
)sql";

constexpr std::string_view kNodeColumns = "id, parent, name, folder, access";

Node readNode(const db::Statement& s) {
  Node n;
  n.id = s.integer(0);
  if (!s.isNull(1)) n.parent = s.integer(1);
  n.name = s.text(2);
  n.folder = s.integer(3) != 0;
  n.access = static_cast<Access>(s.integer(4));
  return n;
}

std::vector<Node> readNodes(db::Statement& s) {
  std::vector<Node> out;
  while (s.step()) out.push_back(readNode(s));
  return out;
}

std::string nodeQuery(std::string_view where) {
  return "SELECT " + std::string(kNodeColumns) + " FROM store_node WHERE " + std::string(where);
}

void raiseShape() { db::raiseStamp(database(), kShapeStamp); }

// A change of the tree and its raise of the shape counter commit together,
// also for a caller that holds no transaction.
class Atomic {
public:
  Atomic() {
    if (!database().inTransaction()) tx_.emplace(database());
  }
  void commit() {
    if (tx_) tx_->commit();
  }

private:
  std::optional<db::Transaction> tx_;
};

// The stored properties that a statement selects as (name, value, kind).
Properties readProperties(db::Statement& s) {
  Properties out;
  while (s.step()) out.set(s.text(0), s.variant(1, 2));
  return out;
}

// Called after every change of a node's properties. Its content class alone
// says whether it is a registration, so only that is read back: a received
// message's other values are kilobytes.
void settleProperties(const Node& node) {
  auto s = database().prepare("SELECT name, value, kind FROM store_prop WHERE node = ? AND folded = ?");
  s.bind(1, node.id).bind(2, TextView(foldCase(prop::contentClass)));
  const bool reg = isRegistration(readProperties(s), node.folder);
  database()
      .prepare("UPDATE store_node SET registration = ?1 WHERE id = ?2 AND registration != ?1")
      .bind(1, reg ? 1 : 0)
      .bind(2, node.id)
      .run();
  if (node.folder || reg || database().changes() > 0) raiseShape();
}

} // namespace

void checkName(TextView name) {
  if (name.empty()) throw ComError(E_BAD_NAME, u"A folder or item name cannot be empty.");
  if (name.find(u'/') != TextView::npos)
    throw ComError(E_BAD_NAME, u"The name \"" + Text(name) + u"\" holds a \"/\", which separates names in URLs.");
  // Any URL resolver reads these as the folder itself and the one above it.
  if (name == u"." || name == u"..")
    throw ComError(E_BAD_NAME, u"The name \"" + Text(name) + u"\" would stand for another folder in a URL.");
  if (name.size() > 255)
    throw ComError(E_BAD_NAME, u"The name \"" + Text(name.substr(0, 40)) +
                                   u"...\" is longer than 255 characters.");
  for (char16_t c : name)
    if (c < 0x20)
      throw ComError(E_BAD_NAME, u"The name \"" + Text(name) + u"\" holds a control character.");
}

db::Database& database() {
  db::Database& db = db::Database::current();
  db.ensureSchema("store.tree", kSchema);
  return db;
}

namespace {

// The server row is written only while the server is created, in that
// process's own transaction, so it is kept for the connection; a rollback
// or a new write drops it.
struct ServerCache {
  std::uint64_t connection = 0;
  std::int64_t rollbacks = -1;
  std::optional<Server> value;
};

ServerCache& serverCache() {
  static ServerCache cache;
  return cache;
}

} // namespace

Server server() {
  db::Database& db = database();
  ServerCache& cache = serverCache();
  if (cache.value && cache.connection == db.serial() && cache.rollbacks == db.rollbacks()) return *cache.value;
  auto s = db.prepare(
      "SELECT host, domain, store_guid, root, non_ipm, global_events FROM store_server WHERE id = 1");
  if (!s.step())
    throw ComError(E_NOT_THIS_SERVER,
                   u"The server database holds no public store. Create the server with "
                   u"'korvane-lab init' first.");
  Server sv{s.text(0), s.text(1), s.text(2), s.integer(3), s.integer(4), s.integer(5)};
  cache = ServerCache{db.serial(), db.rollbacks(), sv};
  return sv;
}

void writeServer(const Server& sv) {
  serverCache().value.reset();
  Atomic change;
  database()
      .prepare("INSERT OR REPLACE INTO store_server(id, host, domain, store_guid, root, non_ipm, global_events) "
               "VALUES (1, ?, ?, ?, ?, ?, ?)")
      .bind(1, TextView(sv.host))
      .bind(2, TextView(sv.domain))
      .bind(3, TextView(sv.storeGuid))
      .bind(4, sv.root)
      .bind(5, sv.nonIpm)
      .bind(6, sv.globalEvents)
      .run();
  raiseShape();
  change.commit();
}

std::optional<Node> node(std::int64_t id) {
  auto s = database().prepare(nodeQuery("id = ?"));
  s.bind(1, id);
  if (!s.step()) return std::nullopt;
  return readNode(s);
}

std::optional<Node> child(std::int64_t parent, TextView name) {
  auto s = database().prepare(nodeQuery("parent = ? AND folded = ?"));
  s.bind(1, parent).bind(2, TextView(foldCase(name)));
  if (!s.step()) return std::nullopt;
  return readNode(s);
}

std::vector<Node> children(std::int64_t parent) {
  auto s = database().prepare(nodeQuery("parent = ? ORDER BY id"));
  s.bind(1, parent);
  return readNodes(s);
}

std::vector<Node> descendants(std::int64_t parent) {
  std::vector<Node> out;
  for (Node& c : children(parent)) {
    bool folder = c.folder;
    std::int64_t id = c.id;
    out.push_back(std::move(c));
    if (folder)
      for (Node& d : descendants(id)) out.push_back(std::move(d));
  }
  return out;
}

std::vector<Node> ancestors(const Node& n) {
  std::vector<Node> out;
  std::optional<std::int64_t> up = n.parent;
  while (up) {
    auto p = node(*up);
    if (!p) break;
    up = p->parent;
    out.push_back(std::move(*p));
  }
  return out;
}

namespace {

// A folder's names below the root, by its id. A node never changes its name
// or its parent, and a folder's removal raises the store's shape, so they
// are kept while that stands: every save of an item asks for its folder's.
std::vector<Text> folderNames(std::int64_t folder) {
  static db::StampedCache<std::int64_t, std::vector<Text>> cache(kShapeStamp, 20000);
  if (folder == server().root) return {};
  auto lookup = cache.open(database());
  return lookup.get(
      folder,
      [&] {
        // The ancestors' names in one statement, the root (no parent) left out.
        auto s = database().prepare(
            "WITH RECURSIVE up(id, parent, name, depth) AS ("
            " SELECT id, parent, name, 0 FROM store_node WHERE id = ?"
            " UNION ALL SELECT n.id, n.parent, n.name, up.depth + 1 FROM store_node n JOIN up ON n.id = up.parent"
            " WHERE up.depth < 100000)"
            " SELECT name FROM up WHERE parent IS NOT NULL ORDER BY depth DESC");
        s.bind(1, folder);
        std::vector<Text> names;
        while (s.step()) names.push_back(s.text(0));
        return names;
      },
      [](const std::vector<Text>& names) { return !names.empty(); });  // a folder not there (yet)
}

} // namespace

std::vector<Text> pathOf(const Node& n) {
  if (!n.parent) return {};
  std::vector<Text> path = folderNames(*n.parent);
  path.push_back(n.name);
  return path;
}

Text urlOf(const Node& n) { return composeStoreUrl(server().host, pathOf(n)); }

namespace {

// Folders found before, by their case-folded path segments joined with "/"
// (the root is ""). Kept while no folder is removed or changes its access
// (a new folder changes no path found before); items and paths that lead
// nowhere are looked up each time, as any save may change them.
using PathCache = db::StampedCache<Text, std::optional<Node>>;

PathCache& folderPaths() {
  static PathCache cache(kShapeStamp, 20000);
  return cache;
}

bool isFolder(const std::optional<Node>& n) { return n && n->folder; }

// The node at the first `count` segments, or none.
std::optional<Node> findPrefix(PathCache::Lookup& folders, const std::vector<Text>& segments, std::size_t count) {
  Text key;
  std::optional<Node> at = folders.get(key, [] { return node(server().root); }, isFolder);
  for (std::size_t i = 0; i < count && at; ++i) {
    if (!at->folder) return std::nullopt;
    key += u'/';
    key += foldCase(segments[i]);
    const std::int64_t parent = at->id;
    at = folders.get(key, [&] { return child(parent, segments[i]); }, isFolder);
  }
  return at;
}

} // namespace

std::optional<Node> findPath(const std::vector<Text>& segments) {
  auto folders = folderPaths().open(database());
  return findPrefix(folders, segments, segments.size());
}

Target resolve(TextView url) {
  auto parsed = parseStoreUrl(url);
  Server sv = server();
  if (!parsed)
    throw ComError(E_NOT_THIS_SERVER, u"The URL \"" + Text(url) + u"\" is not a URL of the public folders (http://" +
                                          sv.host + u"/Public/...).");
  if (!equalsIgnoreCase(parsed->host, sv.host))
    throw ComError(E_NOT_THIS_SERVER, u"The URL \"" + Text(url) + u"\" names the server \"" + parsed->host +
                                          u"\", but this is the server \"" + sv.host + u"\".");
  Target t;
  t.segments = parsed->segments;
  auto folders = folderPaths().open(database());
  if (t.segments.empty()) {
    t.node = findPrefix(folders, t.segments, 0);
    return t;
  }
  t.name = t.segments.back();
  t.parent = findPrefix(folders, t.segments, t.segments.size() - 1);
  if (t.parent && !t.parent->folder) t.parent.reset();
  if (t.parent) t.node = findPrefix(folders, t.segments, t.segments.size());
  return t;
}

Node insert(std::int64_t parent, TextView name, bool folder, Access access) {
  checkName(name);
  auto p = node(parent);
  if (!p) throw ComError(ado::adErrResourceNotFound, u"The parent folder no longer exists.");
  if (!p->folder)
    throw ComError(E_NOT_A_FOLDER, u"\"" + urlOf(*p) + u"\" is an item; only folders hold other items.");
  if (child(parent, name))
    throw ComError(ado::adErrResourceExists, u"An item or folder named \"" + Text(name) + u"\" exists already in \"" +
                                                 urlOf(*p) + u"\".");
  return add(parent, name, folder, access);
}

Node add(std::int64_t parent, TextView name, bool folder, Access access) {
  database()
      .prepare("INSERT INTO store_node(parent, name, folded, folder, access) VALUES (?, ?, ?, ?, ?)")
      .bind(1, parent)
      .bind(2, name)
      .bind(3, TextView(foldCase(name)))
      .bind(4, folder ? 1 : 0)
      .bind(5, static_cast<int>(access))
      .run();
  return Node{database().lastInsertId(), parent, Text(name), folder, access};
}

void setAccess(std::int64_t id, Access access) {
  Atomic change;
  database().prepare("UPDATE store_node SET access = ? WHERE id = ?").bind(1, static_cast<int>(access)).bind(2, id).run();
  raiseShape();
  change.commit();
}

void remove(std::int64_t id) {
  Atomic change;
  auto s = database().prepare("DELETE FROM store_node WHERE id = ? RETURNING folder, registration");
  s.bind(1, id);
  const bool shape = s.step() && (s.integer(0) != 0 || s.integer(1) != 0);
  s.run();
  if (shape) raiseShape();
  change.commit();
}

std::optional<StoredFolder> storedFolder(std::int64_t id) {
  static db::StampedCache<std::int64_t, std::optional<StoredFolder>> cache(kShapeStamp, 1000);
  auto folders = cache.open(database());
  return folders.get(
      id,
      [&]() -> std::optional<StoredFolder> {
        auto n = node(id);
        if (!n || !n->folder) return std::nullopt;
        return StoredFolder{*n, stored(id)};
      },
      [](const std::optional<StoredFolder>& f) { return f.has_value(); });
}

bool isComputed(TextView name) {
  for (TextView c : {TextView(prop::href), TextView(prop::displayName), TextView(prop::parentName),
                     TextView(prop::isFolder), TextView(prop::isCollection), TextView(prop::hasSubs),
                     TextView(prop::childCount)})
    if (equalsIgnoreCase(name, c)) return true;
  return false;
}

Properties stored(std::int64_t id) {
  auto s = database().prepare("SELECT name, value, kind FROM store_prop WHERE node = ? ORDER BY rowid");
  s.bind(1, id);
  return readProperties(s);
}

Properties full(const Node& n) { return full(n, stored(n.id)); }

Properties full(const Node& n, const Properties& storedValues) {
  Properties p;
  // The parent's path is this path without its last name.
  std::vector<Text> path = pathOf(n);
  const Text host = server().host;
  p.set(prop::href, composeStoreUrl(host, path));
  p.set(prop::displayName, n.name);
  if (n.parent) {
    path.pop_back();
    p.set(prop::parentName, composeStoreUrl(host, path));
  } else
    p.set(prop::parentName, Variant::null());
  p.set(prop::isFolder, n.folder);
  p.set(prop::isCollection, n.folder);
  std::int64_t children = 0, folders = 0;
  if (n.id != 0) {
    auto counts = database().prepare("SELECT count(*), coalesce(sum(folder), 0) FROM store_node WHERE parent = ?");
    counts.bind(1, n.id);
    counts.step();
    children = counts.integer(0);
    folders = counts.integer(1);
  }
  p.set(prop::hasSubs, folders > 0);
  p.set(prop::childCount, children);
  setDefaults(p, n.folder);
  for (const auto& [name, value] : storedValues) p.set(name, value);
  return p;
}

void setDefaults(Properties& p, bool folder) {
  if (!p.contains(prop::isHidden)) p.set(prop::isHidden, false);
  if (!p.contains(prop::contentClass)) p.set(prop::contentClass, folder ? contentclass::folder : contentclass::message);
}

void apply(Properties& props, const Properties& changes) {
  for (const auto& [name, value] : changes) {
    if (value.isEmpty())
      props.erase(name);
    else
      props.set(name, value);
  }
}

// A changed row keeps its place and spelling, a new one comes last, as
// apply() does; then the rare value that the database keeps otherwise.
Properties afterWrite(Properties before, const Properties& changes) {
  apply(before, changes);
  for (const auto& [name, value] : changes)
    if (auto kept = db::storedDifferently(value)) before.set(name, *kept);
  return before;
}

namespace {

// The last number this process gave a stem in a folder. A long-running
// deliverer (the mail service) names thousands of items "Message-N.EML";
// reading every name of the stem for each would make a delivery cost more
// the more came before it. A hint is trusted only while the name it gave
// still exists, so a rolled-back save, a deleted item or another folder
// that reuses the id sends the next save back to the full look.
class NumberHints {
public:
  std::optional<std::int64_t> get(const std::string& server, std::int64_t parent, const Text& foldedStem) {
    std::lock_guard guard(lock_);
    auto it = hints_.find({server, parent, foldedStem});
    if (it == hints_.end()) return std::nullopt;
    return it->second;
  }
  void put(const std::string& server, std::int64_t parent, const Text& foldedStem, std::int64_t n) {
    std::lock_guard guard(lock_);
    if (hints_.size() >= kMaxHints) hints_.clear();
    hints_[{server, parent, foldedStem}] = n;
  }

private:
  static constexpr std::size_t kMaxHints = 4096;
  std::mutex lock_;
  std::map<std::tuple<std::string, std::int64_t, Text>, std::int64_t> hints_;
};

NumberHints& numberHints() {
  static NumberHints hints;
  return hints;
}

// The first free number, reading every numbered name of the stem.
std::int64_t firstFreeNumber(std::int64_t parent, const Text& prefix, const Text& foldedExt) {
  // Every name that starts with the prefix, through the (parent, folded)
  // index: the cost grows with the names of that stem only.
  Text after = prefix;
  after.back() = u'.';
  auto s = database().prepare("SELECT folded FROM store_node WHERE parent = ? AND folded >= ? AND folded < ?");
  s.bind(1, parent).bind(2, TextView(prefix)).bind(3, TextView(after));
  std::set<std::int64_t> taken;
  while (s.step()) {
    const Text folded = s.text(0);
    if (folded.size() <= prefix.size() + foldedExt.size() || !folded.ends_with(foldedExt)) continue;
    const Text digits = folded.substr(prefix.size(), folded.size() - prefix.size() - foldedExt.size());
    if (digits.size() > 12 || digits.front() == u'0' ||
        !std::all_of(digits.begin(), digits.end(), [](char16_t c) { return c >= u'0' && c <= u'9'; }))
      continue;
    taken.insert(std::stoll(toUtf8(digits)));
  }
  std::int64_t n = 2;
  while (taken.contains(n)) ++n;
  return n;
}

} // namespace

Text freeName(std::int64_t parent, TextView name) {
  if (!child(parent, name)) return Text(name);
  // "<stem>-<n><ext>", numbered before the extension like "Report-2.EML".
  const std::size_t dot = name.rfind(u'.');
  const TextView stem = dot == TextView::npos || dot == 0 ? name : name.substr(0, dot);
  const TextView ext = name.substr(stem.size());
  auto numbered = [&](std::int64_t n) { return Text(stem) + u"-" + fromUtf8(std::to_string(n)) + Text(ext); };
  const Text prefix = foldCase(Text(stem) + u"-");
  const std::string server = db::serverDirectory().string();

  // After a number this process gave, the next free one is usually the next.
  constexpr int kProbes = 16;
  std::optional<std::int64_t> found;
  if (auto last = numberHints().get(server, parent, prefix); last && child(parent, numbered(*last)))
    for (std::int64_t n = *last + 1; n <= *last + kProbes && !found; ++n)
      if (!child(parent, numbered(n))) found = n;
  if (!found) found = firstFreeNumber(parent, prefix, foldCase(ext));
  // A save that plans in a read transaction asks again under the write
  // lock, before its item exists: had the plan kept its number, the hint
  // would name a missing item then, and every such save would read every
  // name of the stem while it holds the lock.
  if (!database().reading()) numberHints().put(server, parent, prefix, *found);
  return numbered(*found);
}

void write(const Node& n, const Properties& changes) {
  db::Database& db = database();
  Atomic change;
  for (const auto& [name, value] : changes) {
    if (value.isEmpty()) {
      db.prepare("DELETE FROM store_prop WHERE node = ? AND folded = ?").bind(1, n.id).bind(2, TextView(foldCase(name))).run();
      continue;
    }
    db.prepare("INSERT INTO store_prop(node, folded, name, value, kind) VALUES (?, ?, ?, ?, ?) "
               "ON CONFLICT(node, folded) DO UPDATE SET value = excluded.value, kind = excluded.kind")
        .bind(1, n.id)
        .bind(2, TextView(foldCase(name)))
        .bind(3, TextView(name))
        .bind(4, value)
        .bind(5, db::kindCode(value))
        .run();
  }
  settleProperties(n);
  change.commit();
}

void clear(const Node& n) {
  Atomic change;
  database().prepare("DELETE FROM store_prop WHERE node = ?").bind(1, n.id).run();
  settleProperties(n);
  change.commit();
}

std::vector<Node> registrationsIn(std::int64_t folder) {
  auto s = database().prepare(nodeQuery("parent = ? AND registration = 1 ORDER BY id"));
  s.bind(1, folder);
  return readNodes(s);
}

std::vector<Node> allRegistrations() {
  auto s = database().prepare(nodeQuery("registration = 1 ORDER BY id"));
  return readNodes(s);
}

bool isRegistration(const Properties& props, bool folder) {
  return !folder && equalsIgnoreCase(props.text(prop::contentClass), contentclass::registration);
}

} // namespace korvane::store::tree
