#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "item.h"

namespace korvane::store::query {
namespace {

using testing::Item;
using testing::lookupIn;

struct Row {
  int id;
  Item item;
};

// Ids of the rows after a stable sort by the keys, so ties keep their order.
std::vector<int> sorted(std::vector<Row> rows, const std::vector<OrderKey>& keys) {
  std::stable_sort(rows.begin(), rows.end(), [&](const Row& a, const Row& b) {
    return compareForOrder(keys, lookupIn(a.item), lookupIn(b.item)) < 0;
  });
  std::vector<int> ids;
  for (const Row& r : rows) ids.push_back(r.id);
  return ids;
}

const std::vector<Row> names = {
    {1, {{u"DAV:displayname", u"banana"}}}, {2, {{u"DAV:displayname", u"Apple"}}},
    {3, {{u"DAV:displayname", Variant::null()}}}, {4, {{u"DAV:displayname", u"cherry"}}},
    {5, {}}, {6, {{u"DAV:displayname", u"apple"}}}, {7, {{u"DAV:displayname", u"APPLE pie"}}}};

TEST(Order, TextsIgnoreCaseNullsFirstTiesKeptAndDescendingReversesNullsToo) {
  EXPECT_EQ(sorted(names, {{u"DAV:displayname", false}}), (std::vector<int>{3, 5, 2, 6, 7, 1, 4}));
  EXPECT_EQ(sorted(names, {{u"DAV:displayname", true}}), (std::vector<int>{4, 1, 7, 2, 6, 3, 5}));
}

TEST(Order, LaterKeysBreakTies) {
  const std::vector<Row> rows = {{1, {{u"k", u"b"}, {u"n", 1}}}, {2, {{u"k", u"A"}, {u"n", 1}}},
                                 {3, {{u"k", u"a"}, {u"n", 3}}}, {4, {{u"k", u"b"}, {u"n", 2}}},
                                 {5, {{u"k", u"a"}}}};
  EXPECT_EQ(sorted(rows, {{u"k", false}, {u"n", true}}), (std::vector<int>{3, 2, 5, 4, 1}));
  EXPECT_EQ(compareForOrder({}, lookupIn(rows[0].item), lookupIn(rows[1].item)), 0);
}

TEST(Order, NumbersNumericallyThenTexts) {
  const std::vector<Row> rows = {{1, {{u"v", 10}}},   {2, {{u"v", u"4"}}}, {3, {{u"v", 2.5}}},
                                 {4, {{u"v", -1}}},   {5, {{u"v", true}}}, {6, {{u"v", 9}}},
                                 {7, {{u"v", false}}}};
  EXPECT_EQ(sorted(rows, {{u"v", false}}), (std::vector<int>{4, 7, 5, 3, 6, 1, 2}));
}

TEST(Order, FoldedTextsCompareByCodePoint) {
  const std::vector<Row> rows = {{1, {{u"n", u"\u00c9cole"}}}, {2, {{u"n", u"eva"}}}, {3, {{u"n", u"Zoe"}}},
                                 {4, {{u"n", u"\u00e9COLE"}}}, {5, {{u"n", u"\uFF21"}}},
                                 {6, {{u"n", u"\U0001F4E7"}}}};
  // U+FF41 (the fold of U+FF21) sorts before a character beyond the basic plane.
  EXPECT_EQ(sorted(rows, {{u"n", false}}), (std::vector<int>{2, 3, 1, 4, 5, 6}));
}

// Every pair and triple of a mixed set: the order must be a strict weak
// order, or sorting is undefined.
TEST(Order, IsAStrictWeakOrderOverMixedValues) {
  const std::vector<std::optional<Variant>> values = {
      std::nullopt, Variant::null(), Variant(), Variant(false), Variant(true), Variant(0), Variant(1),
      Variant(-1.5), Variant(std::numeric_limits<double>::quiet_NaN()), Variant(9007199254740992.0),
      Variant(std::int64_t{9007199254740992}), Variant(std::int64_t{9007199254740993}), Variant(1e300),
      Variant(std::int64_t{INT64_MIN}), Variant(u""), Variant(u"a"), Variant(u"A"), Variant(u"\u00df"),
      Variant(u"ss"), Variant(u"b"), Variant(u"10")};
  std::vector<Item> items;
  for (const auto& v : values) items.push_back(v ? Item{{u"v", *v}} : Item{});
  auto cmp = [&](std::size_t i, std::size_t j) {
    return compareForOrder({{u"v", false}}, lookupIn(items[i]), lookupIn(items[j]));
  };
  const std::size_t n = items.size();
  for (std::size_t i = 0; i < n; ++i) {
    EXPECT_EQ(cmp(i, i), 0) << i;
    for (std::size_t j = 0; j < n; ++j) {
      EXPECT_EQ(cmp(i, j) < 0, cmp(j, i) > 0) << i << " " << j;
      for (std::size_t k = 0; k < n; ++k) {
        if (cmp(i, j) < 0 && cmp(j, k) < 0) {
          EXPECT_LT(cmp(i, k), 0) << i << " " << j << " " << k;
        }
        if (cmp(i, j) == 0 && cmp(j, k) == 0) {
          EXPECT_EQ(cmp(i, k), 0) << i << " " << j << " " << k;
        }
      }
    }
  }
}

} // namespace
} // namespace korvane::store::query
