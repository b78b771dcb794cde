#include "bench/sqlite_counter.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <sqlite3.h>
#include <string>
#include <vector>

namespace korvane::bench {

SqliteCounts& sqliteCounts() {
  static SqliteCounts counts;
  return counts;
}

bool sqliteCounterActive() { return sqliteCounts().steps > 0; }

namespace {

bool histogramWanted() {
  static const bool wanted = [] {
    const char* v = std::getenv("KORVANE_BENCH_SQL");
    return v && *v && std::string(v) != "0";
  }();
  return wanted;
}

std::map<std::string, std::uint64_t>& histogram() {
  static std::map<std::string, std::uint64_t> runs;
  return runs;
}

} // namespace

void resetSqlHistogram() { histogram().clear(); }

void printSqlHistogram(double units, const char* unitName, int top) {
  if (!histogramWanted() || units <= 0) return;
  std::vector<std::pair<std::uint64_t, std::string>> rows;
  for (const auto& [sql, n] : histogram()) rows.emplace_back(n, sql);
  std::sort(rows.rbegin(), rows.rend());
  std::fprintf(stderr, "SQL statements run per %s (over %.0f):\n", unitName, units);
  for (int i = 0; i < top && i < static_cast<int>(rows.size()); ++i)
    std::fprintf(stderr, "  %8.2f  %.150s\n", static_cast<double>(rows[i].first) / units, rows[i].second.c_str());
}

namespace {

// SQLite's own definition of `name`, the next one after this program's.
template <typename Fn>
Fn realFunction(const char* name) {
  void* fn = dlsym(RTLD_NEXT, name);
  if (!fn) {
    std::fprintf(stderr, "sqlite_counter: SQLite's %s is not loaded: %s\n", name, dlerror());
    std::abort();
  }
  return reinterpret_cast<Fn>(fn);
}

} // namespace
} // namespace korvane::bench

using korvane::bench::realFunction;
using korvane::bench::sqliteCounts;

extern "C" {

int sqlite3_prepare_v2(sqlite3* db, const char* sql, int bytes, sqlite3_stmt** stmt, const char** tail) {
  static auto real = realFunction<decltype(&sqlite3_prepare_v2)>("sqlite3_prepare_v2");
  ++sqliteCounts().prepares;
  return real(db, sql, bytes, stmt, tail);
}

int sqlite3_prepare_v3(sqlite3* db, const char* sql, int bytes, unsigned int flags, sqlite3_stmt** stmt,
                       const char** tail) {
  static auto real = realFunction<decltype(&sqlite3_prepare_v3)>("sqlite3_prepare_v3");
  ++sqliteCounts().prepares;
  return real(db, sql, bytes, flags, stmt, tail);
}

int sqlite3_step(sqlite3_stmt* stmt) {
  static auto real = realFunction<decltype(&sqlite3_step)>("sqlite3_step");
  ++sqliteCounts().steps;
  return real(stmt);
}

int sqlite3_reset(sqlite3_stmt* stmt) {
  static auto real = realFunction<decltype(&sqlite3_reset)>("sqlite3_reset");
  ++sqliteCounts().runs;
  if (korvane::bench::histogramWanted() && stmt)
    if (const char* sql = sqlite3_sql(stmt)) ++korvane::bench::histogram()[sql];
  return real(stmt);
}

} // extern "C"
