#include "platform/db/fault.h"

#ifdef KORVANE_TEST_HOOKS
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace korvane::db {

void faultPoint(const char* name) {
  const char* want = std::getenv("KORVANE_FAULT");
  if (want && std::strcmp(want, name) == 0) ::kill(::getpid(), SIGKILL);
}

} // namespace korvane::db
#endif
