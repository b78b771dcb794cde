#include "platform/registry/registry.h"

#include <limits>

#include "platform/db/database.h"
#include "platform/db/stamp.h"

namespace korvane::registry {

namespace {

// Keys are stored by their full path below HKEY_LOCAL_MACHINE, case-folded,
// so that a look-up is one indexed query and a recursive delete is a range:
// every descendant of P sorts between P + "\" and P + "]" ("]" follows "\").
constexpr std::string_view kSchema = R"sql(
CREATE TABLE IF NOT EXISTS registry_keys(
  folded TEXT PRIMARY KEY,
  name   TEXT NOT NULL,
  parent TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS registry_keys_by_parent ON registry_keys(parent);
CREATE TABLE IF NOT EXISTS registry_values(
  key    TEXT NOT NULL,
  folded TEXT NOT NULL,
  name   TEXT NOT NULL,
  kind   INTEGER NOT NULL,
  value,
  PRIMARY KEY(key, folded));
INSERT OR IGNORE INTO registry_keys(folded, name, parent) VALUES
  ('software', 'SOFTWARE', ''),
  ('software\classes', 'Classes', 'software');
)sql";

// Stored kinds, numbered as the registry's own value types.
constexpr int kKindText = 1;
constexpr int kKindInt = 4;

constexpr TextView kClassesPath = u"SOFTWARE\\Classes";

// Raised with every change, so that values read on every activation (a
// class's ProgID, its library) are kept between changes.
constexpr std::string_view kStamp = "registry";

db::Database& database() {
  auto& d = db::Database::current();
  d.ensureSchema("registry", kSchema);
  return d;
}

// A key path made absolute (below HKEY_LOCAL_MACHINE) and checked.
struct KeyPath {
  std::vector<Text> names;  // as spelled by the caller
  Text folded;              // the whole path, case-folded

  bool isRoot() const { return names.empty(); }
  Text parentFolded() const {
    auto cut = folded.rfind(u'\\');
    return cut == Text::npos ? Text() : folded.substr(0, cut);
  }
};

[[noreturn]] void invalidName(Root root, TextView path, std::string_view why) {
  throw ComError(E_INVALIDARG, u"The registry key name \"" + keyName(root, path) +
                                   u"\" is not valid: " + fromUtf8(why) + u".");
}

KeyPath resolve(Root root, TextView path) {
  KeyPath k;
  if (root == Root::ClassesRoot) k.names = split(kClassesPath, u'\\');
  for (Text& name : split(path, u'\\')) {
    if (name.empty()) invalidName(root, path, "a key name between two \"\\\" is empty");
    k.names.push_back(std::move(name));
  }
  for (const Text& name : k.names) k.folded += (k.folded.empty() ? u"" : u"\\") + foldCase(name);
  return k;
}

Text descendantsEnd(const Text& folded) { return folded + u"]"; }
Text descendantsBegin(const Text& folded) { return folded + u"\\"; }

bool exists(db::Database& d, const KeyPath& k) {
  if (k.isRoot()) return true;
  auto s = d.prepare("SELECT 1 FROM registry_keys WHERE folded = ?");
  s.bind(1, TextView(k.folded));
  return s.step();
}

// Inserts the key and its missing ancestors; true when the key itself was new.
bool insertKey(db::Database& d, const KeyPath& k) {
  bool inserted = false;
  Text prefix;
  for (const Text& name : k.names) {
    Text parent = prefix;
    prefix += (prefix.empty() ? u"" : u"\\") + foldCase(name);
    auto s = d.prepare("INSERT OR IGNORE INTO registry_keys(folded, name, parent) VALUES(?, ?, ?)");
    s.bind(1, TextView(prefix)).bind(2, TextView(name)).bind(3, TextView(parent)).run();
    inserted = d.changes() > 0;
  }
  return inserted;
}

std::int64_t checkedInteger(const Variant& value) {
  std::int64_t v = value.intValue();
  if (v < std::numeric_limits<std::int32_t>::min() || v > std::numeric_limits<std::uint32_t>::max())
    throw ComError(E_INVALIDARG, u"A registry number must fit in 32 bits.");
  return v < 0 ? v + (std::int64_t{1} << 32) : v;
}

} // namespace

Text keyName(Root root, TextView path) {
  Text out = root == Root::LocalMachine ? u"HKEY_LOCAL_MACHINE" : u"HKEY_CLASSES_ROOT";
  if (!path.empty()) out += u"\\" + Text(path);
  return out;
}

bool createKey(Root root, TextView path) {
  KeyPath k = resolve(root, path);
  auto& d = database();
  db::Transaction t(d);
  bool inserted = insertKey(d, k);
  if (inserted) db::raiseStamp(d, kStamp);
  t.commit();
  return inserted;
}

bool keyExists(Root root, TextView path) {
  KeyPath k = resolve(root, path);
  return exists(database(), k);
}

bool deleteKey(Root root, TextView path) {
  KeyPath k = resolve(root, path);
  if (k.isRoot() || (root == Root::ClassesRoot && path.empty()))
    throw ComError(E_ACCESSDENIED, u"The registry root " + keyName(root, u"") + u" cannot be deleted.");
  auto& d = database();
  db::Transaction t(d);
  if (!exists(d, k)) return false;
  Text begin = descendantsBegin(k.folded), end = descendantsEnd(k.folded);
  auto values = d.prepare("DELETE FROM registry_values WHERE key = ?1 OR (key > ?2 AND key < ?3)");
  values.bind(1, TextView(k.folded)).bind(2, TextView(begin)).bind(3, TextView(end)).run();
  auto keys = d.prepare("DELETE FROM registry_keys WHERE folded = ?1 OR (folded > ?2 AND folded < ?3)");
  keys.bind(1, TextView(k.folded)).bind(2, TextView(begin)).bind(3, TextView(end)).run();
  db::raiseStamp(d, kStamp);
  t.commit();
  return true;
}

std::vector<Text> subKeys(Root root, TextView path) {
  KeyPath k = resolve(root, path);
  auto& d = database();
  std::vector<Text> out;
  if (!exists(d, k)) return out;
  auto s = d.prepare("SELECT name FROM registry_keys WHERE parent = ? ORDER BY rowid");
  s.bind(1, TextView(k.folded));
  while (s.step()) out.push_back(s.text(0));
  return out;
}

void setValue(Root root, TextView path, TextView name, const Variant& value) {
  KeyPath k = resolve(root, path);
  int kind = 0;
  if (value.kind() == Variant::Kind::Text)
    kind = kKindText;
  else if (value.kind() == Variant::Kind::Int)
    kind = kKindInt;
  else
    throw ComError(DISP_E_TYPEMISMATCH, u"A registry value holds a text or a 32-bit number; the value for \"" +
                                            Text(name) + u"\" in " + keyName(root, path) + u" is neither.");
  if (k.isRoot())
    throw ComError(E_ACCESSDENIED, u"Values cannot be written at the root " + keyName(root, u"") + u".");
  auto& d = database();
  db::Transaction t(d);
  insertKey(d, k);
  auto s = d.prepare(
      "INSERT INTO registry_values(key, folded, name, kind, value) VALUES(?, ?, ?, ?, ?) "
      "ON CONFLICT(key, folded) DO UPDATE SET kind = excluded.kind, value = excluded.value");
  s.bind(1, TextView(k.folded)).bind(2, TextView(foldCase(name))).bind(3, name).bind(4, kind);
  if (kind == kKindText)
    s.bind(5, TextView(value.textValue()));
  else
    s.bind(5, checkedInteger(value));
  s.run();
  db::raiseStamp(d, kStamp);
  t.commit();
}

std::optional<Variant> getValue(Root root, TextView path, TextView name) {
  KeyPath k = resolve(root, path);
  const Text folded = foldCase(name);
  static db::StampedCache<Text, std::optional<Variant>> cache(kStamp, 2000);
  auto& d = database();
  auto lookup = cache.open(d);
  return lookup.get(k.folded + u'\n' + folded, [&]() -> std::optional<Variant> {
    auto s = d.prepare("SELECT kind, value FROM registry_values WHERE key = ? AND folded = ?");
    s.bind(1, TextView(k.folded)).bind(2, TextView(folded));
    if (!s.step()) return std::nullopt;
    if (s.integer(0) == kKindInt) return Variant(s.integer(1));
    return Variant(s.text(1));
  });
}

std::optional<Text> getText(Root root, TextView path, TextView name) {
  auto v = getValue(root, path, name);
  if (!v || !v->isText()) return std::nullopt;
  return v->textValue();
}

} // namespace korvane::registry
