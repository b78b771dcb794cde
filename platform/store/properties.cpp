#include "platform/store/properties.h"

namespace korvane::store {

Properties::Properties(std::initializer_list<Entry> entries) {
  for (const auto& [name, value] : entries) set(name, value);
}

namespace {

// Names are mostly asked for as they were set; folded names are unique, so
// an exact match is the only match.
std::optional<std::size_t> exactly(const std::vector<Properties::Entry>& entries, TextView name) {
  for (std::size_t i = 0; i < entries.size(); ++i)
    if (entries[i].first == name) return i;
  return std::nullopt;
}

std::optional<std::size_t> position(const std::vector<Text>& folded, const Text& f) {
  for (std::size_t i = 0; i < folded.size(); ++i)
    if (folded[i] == f) return i;
  return std::nullopt;
}

} // namespace

std::optional<std::size_t> Properties::indexOf(TextView name) const {
  if (auto i = exactly(entries_, name)) return i;
  return position(folded_, foldCase(name));
}

void Properties::set(TextView name, Variant value) {
  auto i = exactly(entries_, name);
  Text f;  // folded only when the exact name is new
  if (!i) i = position(folded_, f = foldCase(name));
  if (i) {
    entries_[*i].second = std::move(value);
    return;
  }
  entries_.emplace_back(Text(name), std::move(value));
  folded_.push_back(std::move(f));
}

const Variant* Properties::find(TextView name) const {
  auto i = indexOf(name);
  return i ? &entries_[*i].second : nullptr;
}

std::optional<Variant> Properties::get(TextView name) const {
  if (const Variant* v = find(name)) return *v;
  return std::nullopt;
}

Text Properties::text(TextView name) const {
  const Variant* v = find(name);
  if (!v || v->isNull() || v->isEmpty() || v->isObject()) return {};
  return v->toText();
}

bool Properties::erase(TextView name) {
  auto i = indexOf(name);
  if (!i) return false;
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(*i));
  folded_.erase(folded_.begin() + static_cast<std::ptrdiff_t>(*i));
  return true;
}

} // namespace korvane::store
