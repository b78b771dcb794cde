// One store save or delete: a database transaction around the write, the
// begin phase of the event sinks that apply, the commit (or the rollback
// when a sink aborted or the caller only tries), and the commit or abort
// phase after it. Every writer of the store goes through here: the Record
// object, folder creation and the C++ API.
#pragma once

#include <optional>

#include "platform/store/tree.h"

namespace korvane::store {

struct SaveRequest {
  std::optional<std::int64_t> existing;  // change this node
  std::int64_t parent = 0;               // else create `name` in this folder
  Text name;
  bool replace = false;  // an existing item of that name is replaced
  bool folder = false;
  Access access = Access::Full;  // of a new folder
  Properties values;             // an empty value removes a property
  bool delivered = false;
  bool dryRun = false;  // run the begin phase, then roll back
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
// registration item); a veto is reported in the result.
SaveResult saveNode(const SaveRequest& request);

struct DeleteResult {
  bool aborted = false;
  Text abortedBy;
};
DeleteResult deleteNode(const Node& node);

// How many saves and deletes are running in this process right now (a sink
// saving from its begin phase nests one in another).
int saveDepth();

// Folders the store needs and that cannot be deleted: the root,
// non_ipm_subtree, StoreEvents{GUID} and GlobalEvents.
bool isSystemFolder(const Node& node);

} // namespace korvane::store
