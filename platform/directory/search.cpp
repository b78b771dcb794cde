#include "platform/directory/search.h"

#include <algorithm>

#include <fmt/format.h>

#include "platform/com/hresult.h"
#include "platform/directory/directory.h"
#include "platform/directory/query.h"

namespace korvane::directory {

namespace {

constexpr const char16_t* kAttributes[] = {u"sAMAccountName", u"cn", u"name", u"objectCategory",
                                           u"msExchHomeServerName", u"distinguishedName", u"ADsPath"};

void requireKnown(const Token& attribute) {
  for (const char16_t* known : kAttributes)
    if (equalsIgnoreCase(attribute.text, known)) return;
  throw ComError(E_ADS_PROPERTY_NOT_FOUND,
                 fromUtf8(fmt::format("The directory has no attribute '{}' (position {}): persons "
                                      "have sAMAccountName, cn, name, objectCategory, "
                                      "msExchHomeServerName, distinguishedName and ADsPath.",
                                      toUtf8(attribute.text), attribute.position)));
}

void requireKnown(const ExpressionPtr& e) {
  if (!e) return;
  if (e->kind == Expression::Kind::Compare) requireKnown(e->attribute);
  for (const auto& op : e->operands) requireKnown(op);
}

void requireKnownAttributes(const DirectoryQuery& q) {
  if (!(q.attributes.size() == 1 && q.attributes.front().text == u"*"))
    for (const Token& a : q.attributes) requireKnown(a);
  requireKnown(q.where);
  for (const SortKey& k : q.orderBy) requireKnown(k.attribute);
}

// The global catalog the source must name.
Text requireThisCatalog(const SearchSource& source) {
  std::optional<Text> gc = globalCatalogHost();
  if (!gc)
    throw ComError(E_ADS_NO_SUCH_DOMAIN,
                   u"The specified domain either does not exist or could not be contacted: no "
                   u"global catalog is configured for this server.");
  if (!equalsIgnoreCase(source.host, *gc))
    throw ComError(E_ADS_SERVER_DOWN, u"The server is not operational: '" + source.host +
                                          u"' is not a directory server of this forest (its "
                                          u"global catalog is '" + *gc + u"').");
  return *gc;
}

// Case-folded, without blanks around the separators, for comparing DNs.
Text normalizeDn(TextView dn) {
  Text out;
  Text folded = foldCase(trimBlanks(dn));
  for (std::size_t i = 0; i < folded.size(); ++i) {
    char16_t c = folded[i];
    if (c == u' ') {
      std::size_t j = folded.find_first_not_of(u' ', i);
      bool nearSeparator = (!out.empty() && (out.back() == u',' || out.back() == u'=')) ||
                           (j != Text::npos && (folded[j] == u',' || folded[j] == u'='));
      if (nearSeparator) continue;
    }
    out += c;
  }
  return out;
}

// The DN without its first RDN ("" for a single RDN); escaped commas skipped.
Text parentDn(TextView dn) {
  for (std::size_t i = 0; i < dn.size(); ++i) {
    if (dn[i] == u'\\') {
      ++i;
    } else if (dn[i] == u',') {
      return Text(dn.substr(i + 1));
    }
  }
  return Text();
}

bool inScope(TextView dn, TextView baseDn, std::int32_t scope) {
  Text object = normalizeDn(dn);
  Text base = normalizeDn(baseDn);
  switch (scope) {
    case ADS_SCOPE_BASE: return !base.empty() && object == base;
    case ADS_SCOPE_ONELEVEL: return !base.empty() && parentDn(object) == base;
    default:
      return base.empty() || object == base ||
             (object.size() > base.size() && object.ends_with(base) &&
              object[object.size() - base.size() - 1] == u',');
  }
}

struct Candidate {
  Person person;
  Text dn;
  Text adsPath;

  std::optional<Text> attribute(TextView name) const {
    if (equalsIgnoreCase(name, u"sAMAccountName")) return person.samAccountName;
    if (equalsIgnoreCase(name, u"cn") || equalsIgnoreCase(name, u"name")) return person.cn;
    if (equalsIgnoreCase(name, u"objectCategory")) return person.objectCategory;
    if (equalsIgnoreCase(name, u"msExchHomeServerName")) return person.homeServer;
    if (equalsIgnoreCase(name, u"distinguishedName")) return dn;
    if (equalsIgnoreCase(name, u"ADsPath")) return adsPath;
    return std::nullopt;
  }
};

void sortCandidates(std::vector<Candidate>& rows, const std::vector<SortKey>& keys) {
  if (keys.empty()) return;
  std::stable_sort(rows.begin(), rows.end(), [&](const Candidate& a, const Candidate& b) {
    for (const SortKey& k : keys) {
      int c = compareValues(a.attribute(k.attribute.text), b.attribute(k.attribute.text));
      if (c != 0) return k.descending ? c > 0 : c < 0;
    }
    return false;
  });
}

store::RowTable project(const std::vector<Candidate>& rows, const DirectoryQuery& q) {
  std::vector<Text> columns;
  bool star = q.attributes.size() == 1 && q.attributes.front().text == u"*";
  if (star)
    columns.push_back(u"ADsPath");
  else
    for (const Token& a : q.attributes) columns.push_back(a.text);
  std::vector<std::vector<Variant>> values;
  for (const Candidate& c : rows) {
    std::vector<Variant> row;
    for (const Text& column : columns) {
      std::optional<Text> v = c.attribute(column);
      row.push_back(v ? Variant(*v) : Variant::null());
    }
    values.push_back(std::move(row));
  }
  return store::RowTable(std::move(columns), std::move(values));
}

} // namespace

store::RowTable search(TextView queryText, const SearchOptions& options) {
  if (options.scope < ADS_SCOPE_BASE || options.scope > ADS_SCOPE_SUBTREE)
    throw ComError(E_INVALIDARG, fromUtf8(fmt::format("The search scope {} is not valid: use 0 "
                                                      "(base), 1 (one level) or 2 (subtree).",
                                                      options.scope)));
  DirectoryQuery q = parseQuery(queryText);
  SearchSource source = parseSource(q.source);
  requireKnownAttributes(q);
  Text gc = requireThisCatalog(source);

  std::vector<Candidate> rows;
  for (Person& p : listPersons()) {
    Candidate c{std::move(p), {}, {}};
    c.dn = distinguishedName(c.person);
    c.adsPath = source.scheme + u"://" + gc + u"/" + c.dn;
    if (!inScope(c.dn, source.baseDn, options.scope)) continue;
    if (!matches(q.where, [&](TextView name) { return c.attribute(name); })) continue;
    rows.push_back(std::move(c));
  }
  sortCandidates(rows, q.orderBy);
  return project(rows, q);
}

} // namespace korvane::directory
