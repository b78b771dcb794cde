#include "platform/db/fault.h"

#ifdef KORVANE_TEST_HOOKS
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace korvane::db {

namespace {

long passesToSkip() {
  const char* skip = std::getenv("KORVANE_FAULT_SKIP");
  return skip && *skip ? std::strtol(skip, nullptr, 10) : 0;
}

} // namespace

void faultPoint(const char* name) {
  const char* want = std::getenv("KORVANE_FAULT");
  if (!want || std::strcmp(want, name) != 0) return;
  // Counted per process: only the named point passes here.
  static long passed = 0;
  if (passed++ < passesToSkip()) return;
  ::kill(::getpid(), SIGKILL);
}

} // namespace korvane::db
#endif
