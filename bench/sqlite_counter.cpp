#include "bench/sqlite_counter.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <sqlite3.h>

namespace korvane::bench {

SqliteCounts& sqliteCounts() {
  static SqliteCounts counts;
  return counts;
}

bool sqliteCounterActive() { return sqliteCounts().steps > 0; }

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
  return real(stmt);
}

} // extern "C"
