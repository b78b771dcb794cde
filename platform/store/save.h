// One store save or delete: the begin phase of the event sinks that apply,
// the write in one database transaction (or nothing, when a sink aborted or
// the caller only tries), and the commit or abort phase after it. Every
// writer of the store goes through here: the Record object, folder creation
// and the C++ API.
//
// A sink may take long (it may run in a host process of its own), so it
// never runs while this process holds the server's write lock:
// 1. Plan, under the write lock: find the node, the name of a new one and
//    the registrations that apply. A save that calls no sink writes and
//    commits right there, in that one transaction. A new node in a folder
//    that registrations watch plans in a read transaction instead: it will
//    let go of the lock for its sinks anyway, and should none apply after
//    all, it plans again under the lock.
// 2. Begin phase, with no transaction open: the item being saved is held in
//    memory (events::Change), and the event record reads and changes that
//    copy, never the tables. Everything else a sink reads or writes (its
//    folder object, items it saves itself) goes through the store as any
//    other caller's would, and is committed on its own.
// 3. Write, under the write lock again: check what the plan relied on. A new
//    item's name is settled now (a delivery takes the next free number when
//    another save took its name meanwhile). An existing item must be as it
//    was planned; when another save changed or replaced it meanwhile, the
//    sinks get the abort phase and the save starts over from step 1, a few
//    times, then fails with E_STORE_CHANGED and writes nothing. The item and
//    all the sinks' changes are then written and committed together.
// 4. The commit phase (or the abort phase) after the commit (or the veto).
// What the event service logs about the sinks of a save names the item by
// the URL it was written under, so it is written once that is settled.
// A caller that holds a transaction of its own (Connection.BeginTrans)
// holds the lock throughout: the save then runs inside it as a savepoint.
// The sinks of a save are those registered when it was planned.
#pragma once

#include <optional>

#include "platform/store/tree.h"

namespace korvane::store {

// What a save of a new node does when its folder holds that name already.
enum class IfTaken {
  Fail,     // fails with adErrResourceExists
  Replace,  // replaces the item (never a folder) in place
  Number,   // takes the next free numbered name ("Report-2.EML")
  Open,     // a folder: the existing one is the result, nothing is saved
  Change,   // changes the existing node's properties instead
};

struct SaveRequest {
  std::optional<std::int64_t> existing;  // change this node
  std::int64_t parent = 0;               // else create `name` in this folder
  Text name;
  IfTaken ifTaken = IfTaken::Fail;
  bool folder = false;
  Access access = Access::Full;  // of a new folder
  Properties values;             // an empty value removes a property
  bool delivered = false;
  bool dryRun = false;  // run the begin phase, then write nothing
};

struct SaveResult {
  Node node;
  Text url;
  bool created = false;
  bool aborted = false;  // a sink vetoed the save: nothing was written
  Text abortedBy;        // the sink class that vetoed it
  bool deleted = false;  // a sink deleted the item in the begin phase
  Properties after;      // the item as the begin phase left it
};

// Throws ComError for a save that cannot be made (names, access, a refused
// registration item, E_STORE_CHANGED); a veto is reported in the result.
SaveResult saveNode(const SaveRequest& request);

struct DeleteResult {
  bool aborted = false;
  Text abortedBy;
};
// Deletes the node with everything below it; the same steps as a save.
DeleteResult deleteNode(const Node& node);

// How many saves and deletes are running in this process right now (a sink
// saving from its begin phase nests one in another).
int saveDepth();

// Folders the store needs and that cannot be deleted: the root,
// non_ipm_subtree, StoreEvents{GUID} and GlobalEvents.
bool isSystemFolder(const Node& node);

} // namespace korvane::store
