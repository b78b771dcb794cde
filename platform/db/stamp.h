// Counters of data that changes rarely but is read on every delivery: the
// store's folders and event registrations, the registry, the COM+ catalog.
// A writer raises a counter in the transaction that makes the change; a
// cache of that data keeps the value it was filled at and starts afresh
// when the value moved, whichever process moved it. So those caches outlive
// the commits of everything else, and every delivery commits.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace korvane::db {

class Database;

// Where a counter stood for one connection. The rollbacks count too: a value
// raised by a transaction that rolled back may be raised again by another
// one, for other data.
struct StampValue {
  std::uint64_t connection = 0;
  std::int64_t rollbacks = 0;
  std::int64_t value = 0;
  bool operator==(const StampValue&) const = default;
};

// Raises the counter in the transaction the caller holds (it fails outside
// one: a change and its raise must commit together or not at all).
void raiseStamp(Database& db, std::string_view name);
// The counter as the connection sees it now; none on a server whose file
// has no counters yet (a reader never creates them), and then nothing may
// be cached. Read it before the data it guards.
std::optional<StampValue> readStamp(Database& db, std::string_view name);

// Within a hold, counters once read outside a transaction are taken as they
// stand for the rest of it: one operation (a save, a request to a COM+ host)
// then reads them once, not once per cache it consults, and sees the cached
// data as of that reading or later, as if its reads were made at that
// moment. A transaction still reads them afresh, and the operation's own
// raises and rollbacks still count. Holds nest.
class StampHold {
public:
  StampHold();
  ~StampHold();
  StampHold(const StampHold&) = delete;
  StampHold& operator=(const StampHold&) = delete;
};

// The counters as this process read them in the current hold, outside any
// transaction: what a COM+ host serving this save may take for its own.
// None when they were not read so.
using StampValues = std::map<std::string, std::int64_t, std::less<>>;
std::optional<StampValues> heldStamps(Database& db);
// In a COM+ host, within a hold: its caller's reading. When it is what this
// process last read on this connection, that reading holds for this hold
// too, without a read of its own: nothing guarded changed between the two
// readings, and the caller's came later. Otherwise the counters are read
// as usual.
void adoptStamps(Database& db, const StampValues& callers);

// Values by key, kept while the counter `stamp` stays where it was. Open a
// lookup (which reads the counter once), then ask it for values.
template <typename Key, typename Value>
class StampedCache {
public:
  StampedCache(std::string_view stamp, std::size_t limit) : stamp_(stamp), limit_(limit) {}

  class Lookup {
  public:
    // The kept value for `key`, else what fill() returns, kept when
    // keep(value) says it is worth keeping.
    template <typename Fill, typename Keep>
    Value get(const Key& key, Fill fill, Keep keep) {
      if (usable_)
        if (auto it = cache_.values_.find(key); it != cache_.values_.end()) return it->second;
      Value value = fill();
      if (usable_ && keep(value)) cache_.values_.emplace(key, value);
      return value;
    }
    // The same, keeping whatever fill() returns.
    template <typename Fill>
    Value get(const Key& key, Fill fill) {
      return get(key, fill, [](const Value&) { return true; });
    }

  private:
    friend class StampedCache;
    Lookup(StampedCache& cache, bool usable) : cache_(cache), usable_(usable) {}
    StampedCache& cache_;
    bool usable_;
  };

  Lookup open(Database& db) {
    std::optional<StampValue> now = readStamp(db, stamp_);
    if (!now || !(at_ == *now) || values_.size() >= limit_) {
      values_.clear();
      at_ = now.value_or(StampValue{});
    }
    return Lookup(*this, now.has_value());
  }

private:
  std::string_view stamp_;
  std::size_t limit_;
  StampValue at_;
  std::map<Key, Value, std::less<>> values_;
};

} // namespace korvane::db
