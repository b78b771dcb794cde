#include "platform/directory/directory.h"

#include "platform/db/database.h"
#include "platform/directory/dn.h"

namespace korvane::directory {

namespace {

db::Database& directoryDb() {
  auto& db = db::Database::current();
  db.ensureSchema("directory", R"sql(
    CREATE TABLE IF NOT EXISTS dir_config(
      key TEXT PRIMARY KEY,
      value TEXT NOT NULL);
    CREATE TABLE IF NOT EXISTS dir_person(
      id INTEGER PRIMARY KEY,
      sam_key TEXT NOT NULL UNIQUE,
      sam TEXT NOT NULL,
      cn TEXT NOT NULL,
      object_category TEXT NOT NULL,
      home_server TEXT);
  )sql");
  return db;
}

bool validHostName(TextView host) {
  if (host.empty() || host.size() > 253 || host.front() == u'.' || host.back() == u'.') return false;
  for (char16_t c : host) {
    bool ok = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9') ||
              c == u'-' || c == u'.';
    if (!ok) return false;
  }
  return host.find(u"..") == TextView::npos;
}

// Account names follow the Windows rules: no "/\[]:;|=,+*?<> or control
// characters, not only blanks and periods.
bool validAccountName(TextView name) {
  if (name.empty() || name.size() > 256) return false;
  bool substantive = false;
  for (char16_t c : name) {
    if (c < 0x20 || TextView(u"\"/\\[]:;|=,+*?<>").find(c) != TextView::npos) return false;
    if (c != u' ' && c != u'.') substantive = true;
  }
  return substantive;
}

void validate(const Person& p) {
  if (!validAccountName(p.samAccountName))
    throw ComError(E_INVALIDARG, u"The account name '" + p.samAccountName +
                                     u"' is not valid: use 1 to 256 characters without "
                                     u"\"/\\[]:;|=,+*?<> or control characters.");
  if (p.cn.empty())
    throw ComError(E_INVALIDARG, u"The person '" + p.samAccountName + u"' needs a common name (cn).");
  if (p.objectCategory.empty())
    throw ComError(E_INVALIDARG,
                   u"The person '" + p.samAccountName + u"' needs an object category.");
}

db::Statement& bindPerson(db::Statement& s, const Person& p) {
  s.bind(1, TextView(foldCase(p.samAccountName)))
      .bind(2, TextView(p.samAccountName))
      .bind(3, TextView(p.cn))
      .bind(4, TextView(p.objectCategory));
  if (p.homeServer)
    s.bind(5, TextView(*p.homeServer));
  else
    s.bindNull(5);
  return s;
}

Person readPerson(const db::Statement& s) {
  Person p{s.text(0), s.text(1), s.text(2), std::nullopt};
  if (!s.isNull(3)) p.homeServer = s.text(3);
  return p;
}

// The DC= components that end a DN ("" when it has none).
Text domainPartOf(TextView dn) {
  Text lower = toLowerSimple(dn);
  if (lower.starts_with(u"dc=")) return Text(dn);
  size_t p = lower.find(u",dc=");
  return p == Text::npos ? Text() : Text(dn.substr(p + 1));
}

} // namespace

std::optional<Text> globalCatalogHost() {
  auto s = directoryDb().prepare("SELECT value FROM dir_config WHERE key = 'gc_host'");
  if (!s.step()) return std::nullopt;
  return s.text(0);
}

void setGlobalCatalogHost(TextView dnsHostName) {
  if (!validHostName(dnsHostName))
    throw ComError(E_INVALIDARG, u"'" + Text(dnsHostName) +
                                     u"' is not a DNS host name: use labels of letters, digits "
                                     u"and '-' separated by '.', such as dc01.corp.example.com.");
  directoryDb()
      .prepare("INSERT INTO dir_config(key, value) VALUES ('gc_host', ?) "
               "ON CONFLICT(key) DO UPDATE SET value = excluded.value")
      .bind(1, dnsHostName)
      .run();
}

Text domainDn(TextView dnsDomain) {
  Text out;
  for (const Text& label : split(dnsDomain, u'.')) {
    if (label.empty()) continue;
    if (!out.empty()) out += u',';
    out += u"DC=" + label;
  }
  return out;
}

Text personCategory(TextView dnsDomain) {
  return u"CN=Person,CN=Schema,CN=Configuration," + domainDn(dnsDomain);
}

void addPerson(const Person& person) {
  validate(person);
  auto& db = directoryDb();
  db::Transaction tx(db);
  auto exists = db.prepare("SELECT 1 FROM dir_person WHERE sam_key = ?");
  exists.bind(1, TextView(foldCase(person.samAccountName)));
  if (exists.step())
    throw ComError(E_ADS_OBJECT_EXISTS,
                   u"The directory holds a person named '" + person.samAccountName + u"' already.");
  auto insert = db.prepare(
      "INSERT INTO dir_person(sam_key, sam, cn, object_category, home_server) VALUES (?, ?, ?, ?, ?)");
  bindPerson(insert, person).run();
  tx.commit();
}

bool updatePerson(const Person& person) {
  validate(person);
  auto& db = directoryDb();
  auto update = db.prepare(
      "UPDATE dir_person SET sam_key = ?1, sam = ?2, cn = ?3, object_category = ?4, home_server = ?5 "
      "WHERE sam_key = ?1");
  bindPerson(update, person).run();
  return db.changes() > 0;
}

bool removePerson(TextView samAccountName) {
  auto& db = directoryDb();
  db.prepare("DELETE FROM dir_person WHERE sam_key = ?").bind(1, TextView(foldCase(samAccountName))).run();
  return db.changes() > 0;
}

std::optional<Person> findPerson(TextView samAccountName) {
  auto s = directoryDb().prepare(
      "SELECT sam, cn, object_category, home_server FROM dir_person WHERE sam_key = ?");
  s.bind(1, TextView(foldCase(samAccountName)));
  if (!s.step()) return std::nullopt;
  return readPerson(s);
}

std::vector<Person> listPersons() {
  auto s = directoryDb().prepare(
      "SELECT sam, cn, object_category, home_server FROM dir_person ORDER BY id");
  std::vector<Person> out;
  while (s.step()) out.push_back(readPerson(s));
  return out;
}

Text distinguishedName(const Person& person) {
  Text dn = u"CN=" + escapeRdnValue(person.cn) + u",CN=Users";
  Text domain = domainPartOf(person.objectCategory);
  if (!domain.empty()) dn += u"," + domain;
  return dn;
}

} // namespace korvane::directory
