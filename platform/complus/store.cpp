#include "platform/complus/store.h"

#include <fmt/format.h>

#include "platform/complus/catalog.h"
#include "platform/complus/host.h"
#include "platform/db/stamp.h"

namespace korvane::complus::detail {

namespace {

constexpr std::string_view kSchema = R"sql(
CREATE TABLE IF NOT EXISTS complus_applications(
  seq           INTEGER PRIMARY KEY AUTOINCREMENT,
  id            TEXT NOT NULL UNIQUE COLLATE NOCASE,
  name          TEXT NOT NULL,
  description   TEXT NOT NULL DEFAULT '',
  identity      TEXT NOT NULL DEFAULT 'Interactive User',
  password      TEXT NOT NULL DEFAULT '',
  access_checks INTEGER NOT NULL DEFAULT 1,
  activation    INTEGER NOT NULL DEFAULT 1);
CREATE TABLE IF NOT EXISTS complus_components(
  seq                  INTEGER PRIMARY KEY AUTOINCREMENT,
  application          TEXT NOT NULL REFERENCES complus_applications(id) ON DELETE CASCADE,
  clsid                TEXT NOT NULL UNIQUE COLLATE NOCASE,
  progid               TEXT NOT NULL DEFAULT '',
  dll                  TEXT NOT NULL DEFAULT '',
  threading_model      TEXT NOT NULL DEFAULT '',
  description          TEXT NOT NULL DEFAULT '',
  construction_enabled INTEGER NOT NULL DEFAULT 0,
  constructor_string   TEXT);
CREATE INDEX IF NOT EXISTS complus_components_by_application ON complus_components(application, seq);
)sql";

// Raised with every change of the catalog, so that what an activation
// reads is kept between changes.
constexpr std::string_view kStamp = "complus.catalog";

void raiseCatalog(db::Database& d) { db::raiseStamp(d, kStamp); }

std::string columnList(const Kind& kind) {
  std::string out;
  for (const auto& p : kind.properties) out += (out.empty() ? "" : ", ") + p.column;
  return out;
}

Variant readColumn(const db::Statement& s, int column, Type type) {
  if (s.isNull(column)) return Variant::null();
  switch (type) {
    case Type::Bool: return Variant(s.integer(column) != 0);
    case Type::Int: return Variant(s.integer(column));
    default: return Variant(s.text(column));
  }
}

const Text& keyOf(const Kind& kind, const Values& values) { return values[kind.key].textValue(); }

std::optional<ApplicationRef> firstApplication(std::string_view where, TextView argument) {
  auto s = catalogDatabase().prepare(fmt::format("SELECT id, name FROM complus_applications WHERE {} ORDER BY seq LIMIT 1", where));
  s.bind(1, argument);
  if (!s.step()) return std::nullopt;
  return ApplicationRef{s.text(0), s.text(1)};
}

} // namespace

db::Database& catalogDatabase() {
  auto& d = db::Database::current();
  d.ensureSchema("complus", kSchema);
  return d;
}

std::vector<Values> loadObjects(const Kind& kind, std::optional<TextView> parentId) {
  std::string sql = fmt::format("SELECT {} FROM {}", columnList(kind), kind.table);
  if (parentId) sql += fmt::format(" WHERE {} = ?", kind.properties[*kind.parent].column);
  sql += " ORDER BY seq";
  auto s = catalogDatabase().prepare(sql);
  if (parentId) s.bind(1, *parentId);
  std::vector<Values> out;
  while (s.step()) {
    Values row;
    for (std::size_t i = 0; i < kind.properties.size(); ++i)
      row.push_back(readColumn(s, static_cast<int>(i), kind.properties[i].type));
    out.push_back(std::move(row));
  }
  return out;
}

void insertObject(db::Database& d, const Kind& kind, const Values& values) {
  std::string marks;
  for (std::size_t i = 0; i < values.size(); ++i) marks += i ? ", ?" : "?";
  auto s = d.prepare(fmt::format("INSERT INTO {}({}) VALUES({})", kind.table, columnList(kind), marks));
  for (std::size_t i = 0; i < values.size(); ++i) s.bind(static_cast<int>(i + 1), values[i]);
  s.run();
  raiseCatalog(d);
}

bool updateObject(db::Database& d, const Kind& kind, const Values& values, const std::vector<bool>& dirty) {
  std::string sets;
  for (std::size_t i = 0; i < values.size(); ++i)
    if (dirty[i]) sets += fmt::format("{}{} = ?", sets.empty() ? "" : ", ", kind.properties[i].column);
  if (sets.empty()) return true;
  auto s = d.prepare(fmt::format("UPDATE {} SET {} WHERE {} = ?", kind.table, sets, kind.properties[kind.key].column));
  int n = 0;
  for (std::size_t i = 0; i < values.size(); ++i)
    if (dirty[i]) s.bind(++n, values[i]);
  s.bind(++n, TextView(keyOf(kind, values)));
  s.run();
  if (d.changes() == 0) return false;
  raiseCatalog(d);
  return true;
}

bool deleteObject(db::Database& d, const Kind& kind, TextView key) {
  auto s = d.prepare(fmt::format("DELETE FROM {} WHERE {} = ?", kind.table, kind.properties[kind.key].column));
  s.bind(1, key).run();
  if (d.changes() == 0) return false;
  raiseCatalog(d);
  return true;
}

std::optional<Text> identityOf(TextView applicationId) {
  auto s = catalogDatabase().prepare("SELECT identity FROM complus_applications WHERE id = ?");
  s.bind(1, applicationId);
  if (!s.step()) return std::nullopt;
  return s.text(0);
}

std::optional<ApplicationRef> applicationById(TextView id) { return firstApplication("id = ?", id); }

std::optional<ApplicationRef> applicationByIdOrName(TextView idOrName) {
  if (auto byId = applicationById(idOrName)) return byId;
  // Names compare by Unicode case folding, which SQLite cannot do.
  auto s = catalogDatabase().prepare("SELECT id, name FROM complus_applications ORDER BY seq");
  while (s.step())
    if (equalsIgnoreCase(s.text(1), idOrName)) return ApplicationRef{s.text(0), s.text(1)};
  return std::nullopt;
}

void recordComponents(const ApplicationRef& application, const std::vector<ComponentRecord>& classes) {
  auto& d = catalogDatabase();
  db::Transaction t(d);
  for (const auto& c : classes) {
    auto owner = d.prepare(
        "SELECT a.id, a.name FROM complus_components c JOIN complus_applications a ON a.id = c.application "
        "WHERE c.clsid = ?");
    owner.bind(1, TextView(c.clsid));
    if (owner.step() && owner.text(0) != application.id)
      throw ComError(COMADMIN_E_ALREADYINSTALLED,
                     u"The class " + c.clsid + (c.progId.empty() ? u"" : u" (" + c.progId + u")") +
                         u" is already installed in the COM+ application \"" + owner.text(1) +
                         u"\". Remove it from there first; a class belongs to one application.");
    auto s = d.prepare(
        "INSERT INTO complus_components(application, clsid, progid, dll, threading_model) VALUES(?, ?, ?, ?, ?) "
        "ON CONFLICT(clsid) DO UPDATE SET progid = excluded.progid, dll = excluded.dll, "
        "threading_model = excluded.threading_model");
    s.bind(1, TextView(application.id)).bind(2, TextView(c.clsid)).bind(3, TextView(c.progId));
    s.bind(4, TextView(c.dll)).bind(5, TextView(c.threadingModel)).run();
  }
  raiseCatalog(d);
  t.commit();
  // A host that loaded the old library goes with it.
  host::shutdown(application.id);
}

std::vector<Text> installedClasses(std::optional<TextView> applicationId) {
  auto s = catalogDatabase().prepare(applicationId ? "SELECT clsid FROM complus_components WHERE application = ? ORDER BY seq"
                                                   : "SELECT clsid FROM complus_components ORDER BY seq");
  if (applicationId) s.bind(1, *applicationId);
  std::vector<Text> out;
  while (s.step()) out.push_back(s.text(0));
  return out;
}

void refreshComponent(const ComponentRecord& record) {
  auto& d = catalogDatabase();
  auto s = d.prepare("UPDATE complus_components SET progid = ?, dll = ?, threading_model = ? WHERE clsid = ?");
  s.bind(1, TextView(record.progId)).bind(2, TextView(record.dll)).bind(3, TextView(record.threadingModel));
  s.bind(4, TextView(record.clsid)).run();
  raiseCatalog(d);
}

Text constructionOf(const Activation& how) {
  Text out = how.applicationId + u'\n' + how.library + u'\n' + (how.constructionEnabled ? u"1" : u"0");
  if (how.constructorString) out += u"\n" + *how.constructorString;
  return out;
}

std::optional<Activation> activationOf(const Guid& clsid) {
  static db::StampedCache<Text, std::optional<Activation>> cache(kStamp, 1000);
  auto& d = db::Database::current();
  auto lookup = cache.open(d);
  const Text id = clsid.toText();
  return lookup.get(
      id,
      [&]() -> std::optional<Activation> {
        // Creating an object must not create the catalog's tables; once
        // they are known to be there the look-up for them goes.
        if (!d.hasSchema("complus")) {
          if (!d.hasTable("complus_components")) return std::nullopt;
          catalogDatabase();
        }
        auto s = d.prepare(
            "SELECT a.name, c.construction_enabled, c.constructor_string, a.id, a.activation, c.dll "
            "FROM complus_components c JOIN complus_applications a ON a.id = c.application WHERE c.clsid = ?");
        s.bind(1, TextView(id));
        if (!s.step()) return std::nullopt;
        Activation out{s.text(0), s.integer(1) != 0, std::nullopt, s.text(3), s.integer(4) != kActivationLibrary,
                       s.text(5)};
        if (!s.isNull(2)) out.constructorString = s.text(2);
        return out;
      });
}

} // namespace korvane::complus::detail
