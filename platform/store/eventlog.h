// The server's event log: what the store's services report that no caller
// is told about (an event sink that could not be created, a registration
// whose criteria do not parse). Entries written while a store transaction is
// open wait in memory and are written after it ends, so that a rolled-back
// save does not take its log entries with it. The log keeps the newest
// kEventLogSize entries.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/com/text.h"

namespace korvane::store {

inline constexpr int kEventLogSize = 10000;

enum class EventLevel { Information, Warning, Error };

struct EventEntry {
  std::int64_t id = 0;
  Text time;  // UTC, "YYYY-MM-DDTHH:MM:SSZ"
  Text source;
  EventLevel level = EventLevel::Information;
  Text text;
};

void writeEvent(TextView source, EventLevel level, TextView text);
// Oldest first; entries still waiting for a transaction are not listed.
std::vector<EventEntry> listEvents();
void clearEvents();
// Writes waiting entries when no transaction is open any more.
void flushEvents();

Text levelName(EventLevel level);

} // namespace korvane::store
