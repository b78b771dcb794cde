#include <algorithm>
#include <map>
#include <memory>
#include <set>

#include "platform/store/classes.h"
#include "platform/store/connection.h"
#include "platform/store/names.h"
#include "platform/store/query/condition.h"
#include "platform/store/rows.h"
#include "platform/store/tree.h"

namespace korvane::store {

namespace {

// Parsed queries by text: programs send the same few texts again and again.
std::shared_ptr<const query::Query> parsed(const Text& text) {
  static std::map<Text, std::shared_ptr<const query::Query>> cache;
  if (auto it = cache.find(text); it != cache.end()) return it->second;
  auto q = std::make_shared<const query::Query>(query::parse(text));
  if (cache.size() > 500) cache.clear();
  cache.emplace(text, q);
  return q;
}

// True when the condition tests the property anywhere.
bool mentions(const query::ConditionPtr& c, TextView property) {
  if (!c) return false;
  auto names = [&](const query::Operand& o) { return o.isProperty && equalsIgnoreCase(o.property, property); };
  if (names(c->left) || names(c->right)) return true;
  return std::any_of(c->children.begin(), c->children.end(),
                     [&](const query::ConditionPtr& child) { return mentions(child, property); });
}

bool isHidden(const Properties& props) {
  const Variant* v = props.find(prop::isHidden);
  if (!v || v->isNull() || v->isEmpty()) return false;
  try {
    return v->toBool();
  } catch (const ComError&) {
    return false;
  }
}

query::PropertyLookup lookupIn(const Properties& props) {
  return [&props](TextView name) { return props.get(name); };
}

struct Found {
  Node node;
  Properties props;
};

std::vector<Node> scopeNodes(const query::Scope& scope) {
  tree::Target t = tree::resolve(scope.url);
  if (!t.node) throw ComError(ado::adErrResourceNotFound, u"The scope URL \"" + scope.url + u"\" names no folder.");
  if (!t.node->folder)
    throw ComError(E_NOT_A_FOLDER, u"The scope URL \"" + scope.url + u"\" names an item, not a folder.");
  if (t.node->access == Access::None)
    throw ComError(E_ACCESSDENIED, u"Access to the folder \"" + scope.url + u"\" is denied.");
  // The system tree under the root is reached by its own URL, not by walking the root.
  std::int64_t hiddenTree = t.node->id == tree::server().root ? tree::server().nonIpm : 0;
  std::vector<Node> out;
  for (Node& child : tree::children(t.node->id)) {
    if (child.id == hiddenTree) continue;
    bool below = scope.depth == query::Depth::Deep && child.folder;
    std::int64_t id = child.id;
    out.push_back(std::move(child));
    if (below)
      for (Node& d : tree::descendants(id)) out.push_back(std::move(d));
  }
  return out;
}

std::vector<Found> select(const query::Query& q) {
  bool hiddenAsked = mentions(q.where, prop::isHidden);
  std::vector<Found> out;
  std::set<std::int64_t> seen;
  for (const query::Scope& scope : q.scopes) {
    for (Node& n : scopeNodes(scope)) {
      if (!seen.insert(n.id).second) continue;
      Properties props = tree::full(n);
      if (!hiddenAsked && isHidden(props)) continue;
      if (!query::evaluate(q.where, lookupIn(props))) continue;
      out.push_back(Found{std::move(n), std::move(props)});
    }
  }
  if (!q.orderBy.empty())
    std::stable_sort(out.begin(), out.end(), [&](const Found& a, const Found& b) {
      return query::compareForOrder(q.orderBy, lookupIn(a.props), lookupIn(b.props)) < 0;
    });
  return out;
}

RowTable tableOf(const query::Query& q, const std::vector<Found>& found) {
  if (q.select.size() == 1 && q.select[0] == u"*") {
    std::vector<Row> rows;
    for (const Found& f : found) rows.emplace_back(f.props.entries());
    return RowTable(rows);
  }
  std::vector<std::vector<Variant>> values;
  for (const Found& f : found) {
    std::vector<Variant> line;
    for (const Text& name : q.select) line.push_back(f.props.get(name).value_or(Variant::null()));
    values.push_back(std::move(line));
  }
  return RowTable(q.select, std::move(values));
}

RowTable runQuery(const Variant& source, const Variant& activeConnection) {
  if (!source.isText() || trimBlanks(source.textValue()).empty())
    throw ComError(E_INVALIDARG, u"Recordset.Open needs the text of a query as its source.");
  auto connection = storeConnectionFor(activeConnection, u"");
  auto q = parsed(source.textValue());
  return tableOf(*q, select(*q));
}

} // namespace

ComPtr<ado::IRecordset> makeStoreRecordset() { return makeRecordset(RowOpener(runQuery)); }

} // namespace korvane::store
