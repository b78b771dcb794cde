// Linked into test programs only: installs the fault hook at start-up, which
// kills the process (SIGKILL) at the point KORVANE_FAULT names, after letting
// KORVANE_FAULT_SKIP passes (default 0) of that point go by, so that a
// process can be killed in the middle of a run.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "platform/db/fault.h"

namespace {

long passesToSkip() {
  const char* skip = std::getenv("KORVANE_FAULT_SKIP");
  return skip && *skip ? std::strtol(skip, nullptr, 10) : 0;
}

void killAtNamedPoint(const char* name) {
  const char* want = std::getenv("KORVANE_FAULT");
  if (!want || std::strcmp(want, name) != 0) return;
  // Counted per process: only the named point passes here.
  static long passed = 0;
  if (passed++ < passesToSkip()) return;
  ::kill(::getpid(), SIGKILL);
}

struct Installer {
  Installer() { korvane::db::setFaultHook(killAtNamedPoint); }
} const installer;

} // namespace
