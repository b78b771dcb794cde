// Feeds arbitrary bytes (read as UTF-8) to the query and criteria parsers;
// what parses is evaluated and ordered on a few fixed items, and its
// canonical text must read back to itself.
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "platform/com/hresult.h"
#include "platform/store/ado.h"
#include "item.h"

using namespace korvane;
using namespace korvane::store::query;
using testing::Item;
using testing::lookupIn;

namespace {

const Item& item(int which) {
  static const Item items[] = {
      {{u"DAV:displayname", Variant(u"Korvane.reg")}, {u"DAV:ishidden", Variant(true)},
       {u"DAV:isfolder", Variant(false)}, {u"a", Variant(1)}, {u"b", Variant(2.5)}, {u"n", Variant::null()},
       {u"\u00e9", Variant(u"\u00c9t\u00e9")}},
      {{u"DAV:displayname", Variant(u"korvane.REG")}, {u"DAV:ishidden", Variant(u"false")}, {u"a", Variant(u"1")},
       {u"b", Variant(-7)}},
      {{u"a", Variant(std::numeric_limits<double>::quiet_NaN())}, {u"b", Variant(u"")}, {u"DAV:isfolder", Variant(std::int64_t{1} << 60)}},
      {}};
  return items[which];
}

void expect(bool ok) {
  if (!ok) std::abort();
}

int sign(int x) { return (x > 0) - (x < 0); }

void exercise(const ConditionPtr& where) {
  for (int k = 0; k < 4; ++k) {
    const bool matched = evaluate(where, lookupIn(item(k)));
    // NOT of the same condition gives the opposite answer.
    if (where) {
      try {
        expect(evaluate(parseCriteria(u"WHERE NOT (" + toText(where) + u")"), lookupIn(item(k))) == !matched);
      } catch (const ComError&) {
        // one level too deep after wrapping: fine
      }
    }
  }
}

void checkOrder(const std::vector<OrderKey>& keys) {
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      expect(sign(compareForOrder(keys, lookupIn(item(i)), lookupIn(item(j)))) ==
             -sign(compareForOrder(keys, lookupIn(item(j)), lookupIn(item(i)))));
}

template <typename Parse>
void tryParse(Parse parse) {
  try {
    parse();
  } catch (const ComError& e) {
    expect(e.code() == ado::adErrQuerySyntax);
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Text text = fromUtf8(std::string_view(reinterpret_cast<const char*>(data), size));
  tryParse([&] {
    const Query q = parse(text);
    expect(!q.select.empty() && !q.scopes.empty());
    const Text canonical = toText(q);
    expect(toText(parse(canonical)) == canonical);
    exercise(q.where);
    std::vector<OrderKey> keys = q.orderBy;
    for (const Text& name : q.select) keys.push_back(OrderKey{name, false});
    checkOrder(keys);
  });
  tryParse([&] {
    const ConditionPtr c = parseCriteria(text);
    const Text canonical = toText(c);
    expect(toText(parseCriteria(canonical.empty() ? Text() : u"WHERE " + canonical)) == canonical);
    exercise(c);
  });
  return 0;
}
