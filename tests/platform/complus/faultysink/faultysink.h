// A store event sink that misbehaves on purpose, for the tests of server
// applications: in its begin phase it rewrites the message class to
// "IPM.Rewritten" (through the event record) and then does what
// KORVANE_FAULTY_SINK says: "crash", "abort", "kill", "exit" or "hang"; "factory"
// and "construct" crash in the class factory and in Construct instead.
// "@FILE" reads the fault from FILE at each call, so that a test can change
// it for a host that runs. When hanging it writes its process id to
// KORVANE_FAULTY_SINK_PIDFILE.
// Other uses of the item: "veto" aborts the change, "delete" deletes the
// item, "computed" then writes DAV:href (refused), "late" rewrites in the
// commit phase only (refused).
//
// Given a directory DIR as its COM+ constructor string it is instead the sink
// that the slow-sink tests hold up from outside: the begin phase of a save
// that renames DIR/block to DIR/entered (one call wins) waits until
// DIR/release (then it writes the class "IPM.Note") or DIR/abort (then it
// aborts the change) exists, two minutes at most; every other call returns at
// once; every construction and save appends "<pid> <event> <phase> <url>" to
// DIR/calls.log.
#pragma once

#include "platform/com/guid.h"

namespace korvane::faultysink {

inline constexpr Guid CLSID_FaultySink = "{6B0E4C1A-52D7-4E1B-8F3A-2C9D7E4B1F60}"_guid;
inline constexpr const char16_t* kProgId = u"KorvaneFaulty.Sink";
inline constexpr const char* kFaultVariable = "KORVANE_FAULTY_SINK";
inline constexpr const char* kPidFileVariable = "KORVANE_FAULTY_SINK_PIDFILE";
inline constexpr const char16_t* kRewritten = u"IPM.Rewritten";

} // namespace korvane::faultysink
