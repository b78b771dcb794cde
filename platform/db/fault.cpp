#include "platform/db/fault.h"

namespace korvane::db {

namespace {
FaultHook& installedHook() {
  static FaultHook hook = nullptr;
  return hook;
}
} // namespace

void setFaultHook(FaultHook hook) { installedHook() = hook; }

void faultPoint(const char* name) {
  if (FaultHook hook = installedHook()) hook(name);
}

} // namespace korvane::db
