#include "platform/store/properties.h"

namespace korvane::store {

Properties::Properties(std::initializer_list<Entry> entries) {
  for (const auto& [name, value] : entries) set(name, value);
}

std::optional<std::size_t> Properties::indexOf(TextView name) const {
  Text f = foldCase(name);
  for (std::size_t i = 0; i < folded_.size(); ++i)
    if (folded_[i] == f) return i;
  return std::nullopt;
}

void Properties::set(TextView name, Variant value) {
  if (auto i = indexOf(name)) {
    entries_[*i].second = std::move(value);
    return;
  }
  entries_.emplace_back(Text(name), std::move(value));
  folded_.push_back(foldCase(name));
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
