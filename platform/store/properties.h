// A property bag: named, typed values in the order they were first set, with
// names found ignoring letter case (Unicode folding), as the store keeps an
// item's properties.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "platform/com/variant.h"

namespace korvane::store {

class Properties {
public:
  using Entry = std::pair<Text, Variant>;

  Properties() = default;
  Properties(std::initializer_list<Entry> entries);

  // Sets or replaces a value; a replaced entry keeps its place and spelling.
  void set(TextView name, Variant value);
  const Variant* find(TextView name) const;
  // The value, or nullopt when the bag has no such name.
  std::optional<Variant> get(TextView name) const;
  // The value as text; empty when missing or null.
  Text text(TextView name) const;
  bool erase(TextView name);
  bool contains(TextView name) const { return find(name) != nullptr; }

  std::size_t size() const { return entries_.size(); }
  bool empty() const { return entries_.empty(); }
  const std::vector<Entry>& entries() const { return entries_; }
  auto begin() const { return entries_.begin(); }
  auto end() const { return entries_.end(); }
  // Position of a name in entries(), ignoring letter case.
  std::optional<std::size_t> indexOf(TextView name) const;

private:
  std::vector<Entry> entries_;
  std::vector<Text> folded_;
};

} // namespace korvane::store
