// Counts the setup's store operations during a benchmark: the program is
// linked with --wrap for the setup's helpers that open a connection, a
// record and a recordset (one recordset open is one store query), and the
// wrappers count and forward.
#pragma once

#include <cstdint>

namespace korvane::bench {

struct SetupCallCounts {
  std::uint64_t connectionOpens = 0;
  std::uint64_t recordOpens = 0;
  std::uint64_t recordsetOpens = 0;  // store queries
};

SetupCallCounts& setupCallCounts();

} // namespace korvane::bench
