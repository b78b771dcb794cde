#include "platform/exchange/exchange.h"

#include <random>

#include "platform/com/guid.h"
#include "platform/db/database.h"
#include "platform/directory/dn.h"

namespace korvane::exchange {

namespace {

db::Database& exchangeDb() {
  auto& db = db::Database::current();
  db.ensureSchema("exchange", R"sql(
    CREATE TABLE IF NOT EXISTS ex_server(
      id INTEGER PRIMARY KEY,
      name TEXT NOT NULL,
      folded TEXT NOT NULL UNIQUE);
    CREATE TABLE IF NOT EXISTS ex_group(
      id INTEGER PRIMARY KEY,
      server INTEGER NOT NULL REFERENCES ex_server(id) ON DELETE CASCADE,
      name TEXT NOT NULL,
      folded TEXT NOT NULL,
      UNIQUE(server, folded));
    CREATE TABLE IF NOT EXISTS ex_tree(
      id INTEGER PRIMARY KEY,
      name TEXT NOT NULL,
      folded TEXT NOT NULL UNIQUE,
      tree_type INTEGER NOT NULL,
      root_url TEXT NOT NULL);
    CREATE TABLE IF NOT EXISTS ex_store(
      id INTEGER PRIMARY KEY,
      grp INTEGER NOT NULL REFERENCES ex_group(id) ON DELETE CASCADE,
      name TEXT NOT NULL,
      folded TEXT NOT NULL,
      mounted INTEGER NOT NULL,
      tree INTEGER REFERENCES ex_tree(id) ON DELETE SET NULL,
      guid TEXT NOT NULL,
      UNIQUE(grp, folded));
  )sql");
  return db;
}

// ---- Validation ------------------------------------------------------------

void requireName(TextView name, TextView what) {
  bool ok = !trimBlanks(name).empty() && name.size() <= 64;
  for (char16_t c : name)
    if (c < 0x20) ok = false;
  if (!ok)
    throw ComError(E_INVALIDARG, u"The " + Text(what) + u" name '" + Text(name) +
                                     u"' is not valid: use 1 to 64 characters, not only blanks, "
                                     u"without control characters.");
}

void requireServerName(TextView name) {
  bool ok = !name.empty() && name.size() <= 63;
  for (char16_t c : name)
    ok = ok && ((c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
                c == u'-' || c == u'_');
  if (!ok)
    throw ComError(E_INVALIDARG, u"The server name '" + Text(name) +
                                     u"' is not valid: use 1 to 63 letters, digits, '-' or '_'.");
}

void requireRootUrl(TextView url) {
  Text lower = toLowerSimple(url);
  size_t start = lower.starts_with(u"http://") ? 7 : lower.starts_with(u"https://") ? 8 : 0;
  size_t slash = start ? lower.find(u'/', start) : Text::npos;
  if (!start || slash == start || slash == Text::npos || slash + 1 == lower.size())
    throw ComError(E_INVALIDARG, u"The root folder URL '" + Text(url) +
                                     u"' is not valid: write it as http://<host>/<virtual "
                                     u"directory>, such as http://exch01/public.");
}

Text normalGuid(const std::optional<Text>& text) {
  if (!text) {
    std::random_device rd;
    std::mt19937_64 gen((std::uint64_t{rd()} << 32) ^ rd());
    Guid g;
    std::uint64_t a = gen(), b = gen();
    g.data1 = static_cast<std::uint32_t>(a >> 32);
    g.data2 = static_cast<std::uint16_t>(a >> 16);
    g.data3 = static_cast<std::uint16_t>((a & 0x0FFF) | 0x4000);  // version 4
    for (int i = 0; i < 8; ++i) g.data4[static_cast<size_t>(i)] = static_cast<std::uint8_t>(b >> (8 * i));
    g.data4[0] = static_cast<std::uint8_t>((g.data4[0] & 0x3F) | 0x80);
    return g.toText();
  }
  auto g = Guid::parse(*text);
  if (!g)
    throw ComError(E_INVALIDARG, u"'" + *text + u"' is not a GUID: write it as "
                                                u"{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.");
  return g->toText();
}

[[noreturn]] void noSuch(TextView what) {
  throw ComError(E_NO_SUCH_OBJECT, u"There is no such object on the server: " + Text(what) + u".");
}

[[noreturn]] void exists(TextView what) {
  throw ComError(E_OBJECT_EXISTS, u"The object already exists: " + Text(what) + u".");
}

// ---- Look-ups by name --------------------------------------------------------

std::optional<std::int64_t> serverId(TextView server) {
  auto s = exchangeDb().prepare("SELECT id FROM ex_server WHERE folded = ?");
  s.bind(1, TextView(foldCase(server)));
  if (!s.step()) return std::nullopt;
  return s.integer(0);
}

std::optional<std::int64_t> groupId(TextView server, TextView group) {
  auto s = exchangeDb().prepare(
      "SELECT g.id FROM ex_group g JOIN ex_server s ON s.id = g.server WHERE s.folded = ? AND g.folded = ?");
  s.bind(1, TextView(foldCase(server))).bind(2, TextView(foldCase(group)));
  if (!s.step()) return std::nullopt;
  return s.integer(0);
}

std::optional<std::int64_t> treeId(TextView tree) {
  auto s = exchangeDb().prepare("SELECT id FROM ex_tree WHERE folded = ?");
  s.bind(1, TextView(foldCase(tree)));
  if (!s.step()) return std::nullopt;
  return s.integer(0);
}

std::int64_t requireServer(TextView server) {
  auto id = serverId(server);
  if (!id) noSuch(u"no Exchange server named '" + Text(server) + u"'");
  return *id;
}

std::int64_t requireGroup(TextView server, TextView group) {
  requireServer(server);
  auto id = groupId(server, group);
  if (!id) noSuch(u"the server '" + Text(server) + u"' has no storage group named '" + Text(group) + u"'");
  return *id;
}

std::int64_t requireStore(TextView server, TextView group, TextView store) {
  std::int64_t g = requireGroup(server, group);
  auto s = exchangeDb().prepare("SELECT id FROM ex_store WHERE grp = ? AND folded = ?");
  s.bind(1, g).bind(2, TextView(foldCase(store)));
  if (!s.step())
    noSuch(u"the storage group '" + Text(group) + u"' has no public store named '" + Text(store) + u"'");
  return s.integer(0);
}

void setMounted(TextView server, TextView group, TextView store, bool mounted) {
  std::int64_t id = requireStore(server, group, store);
  exchangeDb().prepare("UPDATE ex_store SET mounted = ? WHERE id = ?").bind(1, mounted ? 1 : 0).bind(2, id).run();
}

// ---- URLs --------------------------------------------------------------------

Text cn(TextView value) { return u"CN=" + directory::escapeRdnValue(value); }

// The RDN values of an LDAP:// URL whose RDNs are all CN=; nullopt otherwise.
std::optional<std::vector<Text>> cnValues(TextView url) {
  if (url.size() < 7 || !equalsIgnoreCase(url.substr(0, 7), u"LDAP://")) return std::nullopt;
  auto rdns = directory::splitDn(url.substr(7));
  if (!rdns) return std::nullopt;
  std::vector<Text> values;
  for (const auto& rdn : *rdns) {
    if (!equalsIgnoreCase(rdn.type, u"CN")) return std::nullopt;
    values.push_back(rdn.value);
  }
  return values;
}

// Checks the fixed parts of a URL: `shape` holds the expected values, with
// empty entries where a name goes; returns the names.
std::optional<std::vector<Text>> namesIn(TextView url, const std::vector<TextView>& shape) {
  auto values = cnValues(url);
  if (!values || values->size() != shape.size()) return std::nullopt;
  std::vector<Text> names;
  for (size_t i = 0; i < shape.size(); ++i) {
    if (shape[i].empty())
      names.push_back((*values)[i]);
    else if (!equalsIgnoreCase((*values)[i], shape[i]))
      return std::nullopt;
  }
  return names;
}

// ---- Reading -----------------------------------------------------------------

std::vector<PublicStoreInfo> storesOf(std::int64_t group, TextView server, TextView groupName) {
  auto s = exchangeDb().prepare(
      "SELECT st.name, st.mounted, t.name, st.guid FROM ex_store st LEFT JOIN ex_tree t ON t.id = st.tree "
      "WHERE st.grp = ? ORDER BY st.id");
  s.bind(1, group);
  std::vector<PublicStoreInfo> out;
  while (s.step()) {
    PublicStoreInfo p;
    p.name = s.text(0);
    p.mounted = s.integer(1) != 0;
    if (!s.isNull(2)) p.folderTree = s.text(2);
    p.guid = s.text(3);
    p.url = publicStoreUrl(server, groupName, p.name);
    out.push_back(std::move(p));
  }
  return out;
}

} // namespace

void addServer(TextView name) {
  requireServerName(name);
  auto& db = exchangeDb();
  db::Transaction tx(db);
  if (serverId(name)) exists(u"an Exchange server named '" + Text(name) + u"'");
  db.prepare("INSERT INTO ex_server(name, folded) VALUES (?, ?)").bind(1, name).bind(2, TextView(foldCase(name))).run();
  tx.commit();
}

std::vector<Text> listServers() {
  auto s = exchangeDb().prepare("SELECT name FROM ex_server ORDER BY id");
  std::vector<Text> out;
  while (s.step()) out.push_back(s.text(0));
  return out;
}

std::optional<Text> findServer(TextView name) {
  auto s = exchangeDb().prepare("SELECT name FROM ex_server WHERE folded = ?");
  s.bind(1, TextView(foldCase(name)));
  if (!s.step()) return std::nullopt;
  return s.text(0);
}

void addStorageGroup(TextView server, TextView group) {
  requireName(group, u"storage group");
  auto& db = exchangeDb();
  db::Transaction tx(db);
  std::int64_t sv = requireServer(server);
  if (groupId(server, group)) exists(u"the storage group '" + Text(group) + u"' of '" + Text(server) + u"'");
  db.prepare("INSERT INTO ex_group(server, name, folded) VALUES (?, ?, ?)")
      .bind(1, sv)
      .bind(2, group)
      .bind(3, TextView(foldCase(group)))
      .run();
  tx.commit();
}

std::vector<StorageGroupInfo> storageGroups(TextView server) {
  std::int64_t sv = requireServer(server);
  Text serverName = *findServer(server);
  auto s = exchangeDb().prepare("SELECT id, name FROM ex_group WHERE server = ? ORDER BY id");
  s.bind(1, sv);
  std::vector<std::pair<std::int64_t, Text>> groups;
  while (s.step()) groups.emplace_back(s.integer(0), s.text(1));
  std::vector<StorageGroupInfo> out;
  for (const auto& [id, name] : groups)
    out.push_back({name, storageGroupUrl(serverName, name), storesOf(id, serverName, name)});
  return out;
}

void addFolderTree(TextView name, std::int32_t treeType, TextView rootFolderUrl) {
  requireName(name, u"folder tree");
  if (treeType < kTreeGeneralPurpose || treeType > kTreeNntpOnly)
    throw ComError(E_INVALIDARG, u"The tree type must be 0 (general purpose), 1 (MAPI public folders) "
                                 u"or 2 (NNTP only).");
  requireRootUrl(rootFolderUrl);
  auto& db = exchangeDb();
  db::Transaction tx(db);
  if (treeId(name)) exists(u"a folder tree named '" + Text(name) + u"'");
  db.prepare("INSERT INTO ex_tree(name, folded, tree_type, root_url) VALUES (?, ?, ?, ?)")
      .bind(1, name)
      .bind(2, TextView(foldCase(name)))
      .bind(3, treeType)
      .bind(4, rootFolderUrl)
      .run();
  tx.commit();
}

std::vector<FolderTreeInfo> folderTrees() {
  auto s = exchangeDb().prepare("SELECT name, tree_type, root_url FROM ex_tree ORDER BY id");
  std::vector<FolderTreeInfo> out;
  while (s.step()) {
    Text name = s.text(0);
    out.push_back({name, static_cast<std::int32_t>(s.integer(1)), s.text(2), folderTreeUrl(name)});
  }
  return out;
}

void addPublicStore(TextView server, TextView group, const NewPublicStore& store) {
  requireName(store.name, u"public store");
  Text guid = normalGuid(store.guid);
  auto& db = exchangeDb();
  db::Transaction tx(db);
  std::int64_t g = requireGroup(server, group);
  std::optional<std::int64_t> tree;
  if (store.folderTree) {
    tree = treeId(*store.folderTree);
    if (!tree) noSuch(u"no folder tree named '" + *store.folderTree + u"'");
  }
  auto taken = db.prepare("SELECT 1 FROM ex_store WHERE grp = ? AND folded = ?");
  taken.bind(1, g).bind(2, TextView(foldCase(store.name)));
  if (taken.step()) exists(u"the public store '" + store.name + u"' of the group '" + Text(group) + u"'");
  auto insert = db.prepare("INSERT INTO ex_store(grp, name, folded, mounted, tree, guid) VALUES (?, ?, ?, ?, ?, ?)");
  insert.bind(1, g).bind(2, TextView(store.name)).bind(3, TextView(foldCase(store.name))).bind(4, store.mounted ? 1 : 0);
  if (tree)
    insert.bind(5, *tree);
  else
    insert.bindNull(5);
  insert.bind(6, TextView(guid)).run();
  tx.commit();
}

void mountPublicStore(TextView server, TextView group, TextView store) { setMounted(server, group, store, true); }
void dismountPublicStore(TextView server, TextView group, TextView store) {
  setMounted(server, group, store, false);
}

Text storageGroupUrl(TextView server, TextView group) {
  return u"LDAP://" + cn(group) + u",CN=InformationStore," + cn(server) + u",CN=Servers";
}

Text publicStoreUrl(TextView server, TextView group, TextView store) {
  return u"LDAP://" + cn(store) + u"," + storageGroupUrl(server, group).substr(7);
}

Text folderTreeUrl(TextView tree) { return u"LDAP://" + cn(tree) + u",CN=Folder Hierarchies"; }

std::optional<ServerRecord> serverRecord(TextView name) {
  auto stored = findServer(name);
  if (!stored) return std::nullopt;
  ServerRecord r{*stored, {}};
  for (const auto& g : storageGroups(*stored)) r.storageGroupUrls.push_back(g.url);
  return r;
}

std::optional<StorageGroupRecord> storageGroupRecord(TextView url) {
  auto names = namesIn(url, {u"", u"InformationStore", u"", u"Servers"});
  if (!names) return std::nullopt;
  const Text& group = (*names)[0];
  const Text& server = (*names)[1];
  auto g = groupId(server, group);
  if (!g) return std::nullopt;
  auto s = exchangeDb().prepare("SELECT name FROM ex_group WHERE id = ?");
  s.bind(1, *g);
  s.step();
  StorageGroupRecord r{s.text(0), {}};
  Text serverName = *findServer(server);
  for (const auto& p : storesOf(*g, serverName, r.name)) r.publicStoreUrls.push_back(p.url);
  return r;
}

std::optional<PublicStoreRecord> publicStoreRecord(TextView url) {
  auto names = namesIn(url, {u"", u"", u"InformationStore", u"", u"Servers"});
  if (!names) return std::nullopt;
  auto g = groupId((*names)[2], (*names)[1]);
  if (!g) return std::nullopt;
  auto s = exchangeDb().prepare(
      "SELECT st.name, st.mounted, t.name, st.guid FROM ex_store st LEFT JOIN ex_tree t ON t.id = st.tree "
      "WHERE st.grp = ? AND st.folded = ?");
  s.bind(1, *g).bind(2, TextView(foldCase((*names)[0])));
  if (!s.step()) return std::nullopt;
  PublicStoreRecord r;
  r.name = s.text(0);
  r.status = s.integer(1) != 0 ? kStoreOnline : kStoreOffline;
  if (!s.isNull(2)) r.folderTreeUrl = folderTreeUrl(s.text(2));
  r.guid = s.text(3);
  return r;
}

std::optional<FolderTreeInfo> folderTreeRecord(TextView url) {
  auto names = namesIn(url, {u"", u"Folder Hierarchies"});
  if (!names) return std::nullopt;
  auto s = exchangeDb().prepare("SELECT name, tree_type, root_url FROM ex_tree WHERE folded = ?");
  s.bind(1, TextView(foldCase((*names)[0])));
  if (!s.step()) return std::nullopt;
  Text name = s.text(0);
  return FolderTreeInfo{name, static_cast<std::int32_t>(s.integer(1)), s.text(2), folderTreeUrl(name)};
}

std::optional<PublicStoreInfo> storeOfTree(TextView tree) {
  auto s = exchangeDb().prepare(
      "SELECT sv.name, g.name, st.name FROM ex_store st JOIN ex_tree t ON t.id = st.tree "
      "JOIN ex_group g ON g.id = st.grp JOIN ex_server sv ON sv.id = g.server "
      "WHERE t.folded = ? ORDER BY st.mounted DESC, sv.id, g.id, st.id LIMIT 1");
  s.bind(1, TextView(foldCase(tree)));
  if (!s.step()) return std::nullopt;
  Text server = s.text(0), group = s.text(1), store = s.text(2);
  for (auto& p : storesOf(*groupId(server, group), server, group))
    if (equalsIgnoreCase(p.name, store)) return p;
  return std::nullopt;
}

} // namespace korvane::exchange
