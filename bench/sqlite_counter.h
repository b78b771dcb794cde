// Counts the SQL statements the platform runs, without touching it: the
// benchmark program exports its own sqlite3_prepare_v2/v3, sqlite3_step and
// sqlite3_reset, which count and forward to SQLite's. A statement is run
// once per reset (the platform resets every statement after use).
#pragma once

#include <cstdint>

namespace korvane::bench {

struct SqliteCounts {
  std::uint64_t prepares = 0;  // statements compiled (the cache missed)
  std::uint64_t runs = 0;      // statement executions (resets)
  std::uint64_t steps = 0;     // sqlite3_step calls, one per row plus one
};

SqliteCounts& sqliteCounts();

// With KORVANE_BENCH_SQL=1 in the environment the hook also counts runs per
// statement text; printSqlHistogram writes the most frequent ones, as runs
// per `unit` (e.g. per folder enumerated), to stderr.
void printSqlHistogram(double units, const char* unitName, int top = 12);
void resetSqlHistogram();

// True when the hook is in the call path (the platform's calls reach it).
bool sqliteCounterActive();

} // namespace korvane::bench
