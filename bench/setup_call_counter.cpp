#include "bench/setup_call_counter.h"

#include "setup/registration/store_access.h"

namespace korvane::bench {

SetupCallCounts& setupCallCounts() {
  static SetupCallCounts counts;
  return counts;
}

} // namespace korvane::bench

// The linker sends the setup's calls of these helpers here (--wrap with
// their mangled names, listed in bench/CMakeLists.txt); the __real_ names
// reach the helpers themselves. They are weak so that a changed signature
// leaves the counts at 0 (the benchmark says so) instead of breaking the link.
using korvane::TextView;
using korvane::ado::IConnection;
using korvane::ado::IRecord;
using korvane::ado::IRecordset;
using korvane::bench::setupCallCounts;

// korvane::setup::store::open(IConnection*, TextView)
#define KORVANE_OPEN _ZN7korvane5setup5store4openEPNS_3ado11IConnectionESt17basic_string_viewIDsSt11char_traitsIDsEE
// korvane::setup::store::openRecord(IRecord*, TextView, IConnection*, int, int, int)
#define KORVANE_OPEN_RECORD \
  _ZN7korvane5setup5store10openRecordEPNS_3ado7IRecordESt17basic_string_viewIDsSt11char_traitsIDsEEPNS2_11IConnectionEiii
// korvane::setup::store::openRecordset(IRecordset*, TextView, IConnection*)
#define KORVANE_OPEN_RECORDSET \
  _ZN7korvane5setup5store13openRecordsetEPNS_3ado10IRecordsetESt17basic_string_viewIDsSt11char_traitsIDsEEPNS2_11IConnectionE

#define KORVANE_JOIN2(a, b) a##b
#define KORVANE_JOIN(a, b) KORVANE_JOIN2(a, b)
#define KORVANE_REAL(name) KORVANE_JOIN(__real_, name)
#define KORVANE_WRAP(name) KORVANE_JOIN(__wrap_, name)

extern "C" {

[[gnu::weak]] void KORVANE_REAL(KORVANE_OPEN)(IConnection*, TextView);
void KORVANE_WRAP(KORVANE_OPEN)(IConnection* connection, TextView text) {
  ++setupCallCounts().connectionOpens;
  KORVANE_REAL(KORVANE_OPEN)(connection, text);
}

[[gnu::weak]] void KORVANE_REAL(KORVANE_OPEN_RECORD)(IRecord*, TextView, IConnection*, std::int32_t, std::int32_t, std::int32_t);
void KORVANE_WRAP(KORVANE_OPEN_RECORD)(IRecord* record, TextView url, IConnection* connection, std::int32_t mode,
                                       std::int32_t createOptions, std::int32_t options) {
  ++setupCallCounts().recordOpens;
  KORVANE_REAL(KORVANE_OPEN_RECORD)(record, url, connection, mode, createOptions, options);
}

[[gnu::weak]] void KORVANE_REAL(KORVANE_OPEN_RECORDSET)(IRecordset*, TextView, IConnection*);
void KORVANE_WRAP(KORVANE_OPEN_RECORDSET)(IRecordset* recordset, TextView query, IConnection* connection) {
  ++setupCallCounts().recordsetOpens;
  KORVANE_REAL(KORVANE_OPEN_RECORDSET)(recordset, query, connection);
}

} // extern "C"
