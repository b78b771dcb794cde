// Fault injection for the crash tests: a build with test hooks kills the
// process (SIGKILL) at the named point when KORVANE_FAULT names it, after
// letting KORVANE_FAULT_SKIP passes (default 0) go by, so that a process can
// be killed in the middle of a run. Release builds compile the call away.
#pragma once

namespace korvane::db {

#ifdef KORVANE_TEST_HOOKS
void faultPoint(const char* name);
#else
inline void faultPoint(const char*) {}
#endif

} // namespace korvane::db
