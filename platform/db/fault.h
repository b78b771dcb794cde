// Fault injection for the crash tests. The platform calls faultPoint where a
// crash matters; that does nothing unless the program installed a hook.
// Only test programs do (tests/support/fault_hook.cpp, linked into them and
// into the test copy of korvane-lab): the programs people run ignore
// KORVANE_FAULT.
#pragma once

namespace korvane::db {

using FaultHook = void (*)(const char* point);
void setFaultHook(FaultHook hook);

void faultPoint(const char* name);

} // namespace korvane::db
