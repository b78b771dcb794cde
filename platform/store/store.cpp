#include "platform/store/store.h"

#include <random>

#include "platform/com/guid.h"
#include "platform/db/stamp.h"
#include "platform/store/ado.h"
#include "platform/store/save.h"
#include "platform/store/url.h"

namespace korvane::store {

namespace {

constexpr char16_t kNonIpm[] = u"non_ipm_subtree";
constexpr char16_t kGlobalEvents[] = u"GlobalEvents";

Text newGuidText() {
  std::random_device rd;
  Guid g;
  g.data1 = rd();
  g.data2 = static_cast<std::uint16_t>(rd());
  g.data3 = static_cast<std::uint16_t>((rd() & 0x0FFF) | 0x4000);
  for (auto& b : g.data4) b = static_cast<std::uint8_t>(rd());
  g.data4[0] = static_cast<std::uint8_t>((g.data4[0] & 0x3F) | 0x80);
  return g.toText();
}

void checkHost(TextView host) {
  if (host.empty()) throw ComError(E_INVALIDARG, u"The server needs a host name, such as \"exch01\".");
  for (char16_t c : host)
    if (c == u'/' || c == u' ' || c == u':' || c < 0x20)
      throw ComError(E_INVALIDARG, u"The host name \"" + Text(host) + u"\" may not hold \"/\", \":\" or blanks.");
}

std::vector<Text> pathOrThrow(TextView path) {
  auto p = splitFolderPath(path);
  if (!p) throw ComError(E_BAD_NAME, u"The path \"" + Text(path) + u"\" has an empty name between two \"/\".");
  return *p;
}

Node folderAt(TextView path) {
  auto n = tree::findPath(pathOrThrow(path));
  if (!n) throw ComError(ado::adErrResourceNotFound, u"The folder \"" + Text(path) + u"\" does not exist.");
  if (!n->folder) throw ComError(E_NOT_A_FOLDER, u"\"" + Text(path) + u"\" is an item, not a folder.");
  return *n;
}

bool startsWithHttp(TextView s) { return s.size() > 7 && equalsIgnoreCase(s.substr(0, 7), u"http://"); }

std::optional<Node> nodeAt(TextView pathOrUrl) {
  if (startsWithHttp(pathOrUrl)) return tree::resolve(pathOrUrl).node;
  auto p = splitFolderPath(pathOrUrl);
  return p ? tree::findPath(*p) : std::nullopt;
}

bool hiddenIn(const Properties& p) {
  const Variant* v = p.find(prop::isHidden);
  try {
    return v && !v->isNull() && !v->isEmpty() && v->toBool();
  } catch (const ComError&) {
    return false;
  }
}

FolderInfo infoOf(const Node& n) {
  Properties p = tree::full(n);
  FolderInfo f;
  f.path = joinFolderPath(tree::pathOf(n));
  f.url = p.text(prop::href);
  f.name = n.name;
  f.mailAddress = p.text(prop::mailAddress);
  f.contentClass = p.text(prop::contentClass);
  f.description = p.text(prop::description);
  f.hidden = hiddenIn(p);
  f.system = isSystemFolder(n);
  f.access = n.access;
  f.childCount = p.find(prop::childCount)->toInt();
  return f;
}

ItemInfo itemInfoOf(const Node& n) {
  ItemInfo i;
  i.url = tree::urlOf(n);
  i.name = n.name;
  i.folder = n.folder;
  std::vector<Text> path = tree::pathOf(n);
  path.pop_back();
  i.folderPath = joinFolderPath(path);
  i.properties = tree::stored(n.id);
  return i;
}

SaveOutcome outcomeOf(const SaveResult& r) {
  SaveOutcome o;
  o.url = r.url;
  o.deleted = r.deleted;
  o.aborted = r.aborted;
  o.abortedBy = r.abortedBy;
  if (!r.deleted) {
    o.messageClass = r.after.text(prop::messageClass);
    for (const auto& [name, value] : r.after)
      if (!tree::isComputed(name)) o.properties.set(name, value);
  }
  return o;
}

// "<subject>.EML"; the save numbers it ("-2", "-3", ...) when the folder
// holds that name when the item is written.
Text deliveryName(const Properties& props) {
  Text base;
  for (char16_t c : props.text(prop::subject)) base += (c == u'/' || c < 0x20) ? u'_' : c;
  base = trimBlanks(base);
  if (base.size() > 200) base.resize(200);
  if (base.empty()) base = u"Message";
  return base + u".EML";
}

Node createFolderNode(const Node& parent, const Text& name, const FolderSpec& spec, IfTaken ifTaken) {
  SaveRequest r;
  r.parent = parent.id;
  r.name = name;
  r.ifTaken = ifTaken;
  r.folder = true;
  r.access = spec.access;
  r.values.set(prop::contentClass, spec.contentClass.empty() ? Text(contentclass::folder) : spec.contentClass);
  if (!spec.mailAddress.empty()) r.values.set(prop::mailAddress, spec.mailAddress);
  if (!spec.description.empty()) r.values.set(prop::description, spec.description);
  if (spec.hidden) r.values.set(prop::isHidden, true);
  SaveResult res = saveNode(r);
  if (res.aborted)
    throw ComError(E_STORE_ABORTED, u"The creation of the folder " + res.url + u" was aborted by the event sink \"" +
                                        res.abortedBy + u"\".");
  return res.node;
}

} // namespace

void createServer(const std::filesystem::path& dir, const ServerInfo& info) {
  checkHost(info.host);
  Text guid = info.storeGuid.empty() ? newGuidText() : Text();
  if (guid.empty()) {
    auto g = Guid::parse(TextView(info.storeGuid));
    if (!g) throw ComError(E_INVALIDARG, u"The store GUID \"" + info.storeGuid + u"\" is not a GUID such as "
                                          u"{12345678-1234-1234-1234-123456789ABC}.");
    guid = g->toText();
  }
  db::Database::create(dir);
  db::setServerDirectory(dir);
  db::Database& db = tree::database();
  db::Transaction tx(db);
  db.exec("INSERT INTO store_node(parent, name, folded, folder) VALUES (NULL, '', '', 1)");
  Node root{db.lastInsertId(), std::nullopt, u"", true, Access::Full};
  tree::Server sv{info.host, info.domain, guid, root.id, 0, 0};
  tree::writeServer(sv);  // the tree's URLs need the host from here on
  Node nonIpm = tree::insert(root.id, kNonIpm, true, Access::Full);
  Node storeEvents = tree::insert(nonIpm.id, u"StoreEvents" + guid, true, Access::Full);
  Node global = tree::insert(storeEvents.id, kGlobalEvents, true, Access::Full);
  sv.nonIpm = nonIpm.id;
  sv.globalEvents = global.id;
  tree::writeServer(sv);
  tx.commit();
}

ServerInfo serverInfo() {
  tree::Server sv = tree::server();
  return ServerInfo{sv.host, sv.domain, sv.storeGuid};
}

Text publicRootUrl() { return composeStoreUrl(tree::server().host, {}); }

std::vector<Text> globalEventsPath() {
  return {kNonIpm, u"StoreEvents" + tree::server().storeGuid, kGlobalEvents};
}

Text globalEventsUrl() { return composeStoreUrl(tree::server().host, globalEventsPath()); }

FolderInfo createFolder(const FolderSpec& spec) {
  std::vector<Text> path = pathOrThrow(spec.path);
  if (path.empty()) throw ComError(E_BAD_NAME, u"A folder path is needed, such as \"Sales/Orders\".");
  Node at = *tree::node(tree::server().root);
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    auto next = tree::child(at.id, path[i]);
    // Another program may create the same parent meanwhile: then it is used.
    if (!next && spec.createParents) next = createFolderNode(at, path[i], FolderSpec{}, IfTaken::Open);
    if (!next)
      throw ComError(ado::adErrResourceNotFound, u"The folder \"" + joinFolderPath({path.begin(), path.begin() + static_cast<std::ptrdiff_t>(i) + 1}) +
                                                     u"\" does not exist; create it first.");
    if (!next->folder) throw ComError(E_NOT_A_FOLDER, u"\"" + path[i] + u"\" is an item, not a folder.");
    at = *next;
  }
  return infoOf(createFolderNode(at, path.back(), spec, IfTaken::Fail));
}

std::optional<FolderInfo> findFolder(TextView path) {
  auto p = splitFolderPath(path);
  if (!p) return std::nullopt;
  auto n = tree::findPath(*p);
  if (!n || !n->folder) return std::nullopt;
  return infoOf(*n);
}

std::vector<FolderInfo> listFolders() {
  std::vector<FolderInfo> out;
  for (const Node& n : tree::descendants(tree::server().root))
    if (n.folder) out.push_back(infoOf(n));
  return out;
}

void setFolderAccess(TextView path, Access access) {
  Node n = folderAt(path);
  tree::setAccess(n.id, access);
}

FolderInfo setFolderProperties(TextView path, const Properties& values) {
  Node n = folderAt(path);
  SaveRequest r;
  r.existing = n.id;
  r.values = values;
  SaveResult res = saveNode(r);
  if (res.aborted)
    throw ComError(E_STORE_ABORTED, u"The save of " + res.url + u" was aborted by the event sink \"" + res.abortedBy + u"\".");
  return infoOf(n);
}

SaveOutcome deliver(TextView folderPath, const Properties& properties, bool dryRun) {
  db::StampHold steady;
  Node folder = folderAt(folderPath);
  SaveRequest r;
  r.parent = folder.id;
  r.name = deliveryName(properties);
  r.ifTaken = IfTaken::Number;
  r.values = properties;
  if (!r.values.contains(prop::contentClass)) r.values.set(prop::contentClass, contentclass::message);
  r.delivered = true;
  r.dryRun = dryRun;
  return outcomeOf(saveNode(r));
}

SaveOutcome save(TextView folderPath, TextView name, const Properties& properties) {
  Node folder = folderAt(folderPath);
  SaveRequest r;
  r.parent = folder.id;
  r.name = Text(name);
  r.ifTaken = IfTaken::Change;
  r.values = properties;
  return outcomeOf(saveNode(r));
}

std::vector<ItemInfo> listItems(TextView folderPath) {
  std::vector<ItemInfo> out;
  for (const Node& n : tree::children(folderAt(folderPath).id))
    if (!n.folder) out.push_back(itemInfoOf(n));
  return out;
}

std::optional<ItemInfo> findItem(TextView pathOrUrl) {
  auto n = nodeAt(pathOrUrl);
  if (!n || !n->parent) return std::nullopt;
  return itemInfoOf(*n);
}

DeleteOutcome deleteItem(TextView pathOrUrl) {
  auto n = nodeAt(pathOrUrl);
  if (!n || !n->parent)
    throw ComError(ado::adErrResourceNotFound, u"\"" + Text(pathOrUrl) + u"\" names no item or folder of the store.");
  DeleteResult r = deleteNode(*n);
  return DeleteOutcome{r.aborted, r.abortedBy};
}

std::vector<ItemInfo> registrations() {
  std::vector<ItemInfo> out;
  for (const Node& n : tree::allRegistrations()) out.push_back(itemInfoOf(n));
  return out;
}

Text accessName(Access access) {
  switch (access) {
    case Access::Full: return u"full";
    case Access::ReadOnly: return u"read-only";
    case Access::None: return u"none";
  }
  return u"full";
}

std::optional<Access> parseAccess(TextView text) {
  for (Access a : {Access::Full, Access::ReadOnly, Access::None})
    if (equalsIgnoreCase(text, accessName(a))) return a;
  if (equalsIgnoreCase(text, u"readonly")) return Access::ReadOnly;
  return std::nullopt;
}

} // namespace korvane::store
