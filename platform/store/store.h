// The public store's C++ interface for the lab tool and the tests: create
// the emulated server's store, shape its folder tree, deliver and save items
// through the event service, and list folders, items, registration items
// and the event log. Paths are folder paths below the public root
// ("Sales/Orders"; "" is the root); item arguments also take full URLs.
// Failures throw ComError with a text that says what to do.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "platform/store/eventlog.h"
#include "platform/store/names.h"
#include "platform/store/properties.h"
#include "platform/store/tree.h"

namespace korvane::store {

struct ServerInfo {
  Text host;       // e.g. "exch01"
  Text domain;     // e.g. "corp.example.com"
  Text storeGuid;  // braced GUID text of the public store; empty: a new one
};

// Creates the server database in `dir` (which must not hold one), makes it
// the process's current server, and writes the store: the public root and
// the hidden system tree non_ipm_subtree/StoreEvents{GUID}/GlobalEvents.
void createServer(const std::filesystem::path& dir, const ServerInfo& info);
ServerInfo serverInfo();
Text publicRootUrl();                          // "http://<host>/Public"
std::vector<Text> globalEventsPath();          // non_ipm_subtree, StoreEvents{GUID}, GlobalEvents
Text globalEventsUrl();

struct FolderSpec {
  Text path;
  Text mailAddress;  // empty: not mail-enabled
  Text contentClass = u"urn:content-classes:folder";
  Text description;  // stored as prop::description, shown by the folder object as "Description"
  bool hidden = false;
  Access access = Access::Full;
  bool createParents = false;  // create missing folders on the way (with defaults)
};

struct FolderInfo {
  Text path;
  Text url;
  Text name;
  Text mailAddress;
  Text contentClass;
  Text description;  // stored as prop::description, shown by the folder object as "Description"
  bool hidden = false;
  bool system = false;  // a folder of the store itself (cannot be deleted)
  Access access = Access::Full;
  std::int64_t childCount = 0;
};

// One store save of a new folder; fails when it exists or its parent is missing.
FolderInfo createFolder(const FolderSpec& spec);
std::optional<FolderInfo> findFolder(TextView path);
// Every folder below the root, depth-first, each level in creation order.
std::vector<FolderInfo> listFolders();
void setFolderAccess(TextView path, Access access);
// A plain save of the folder's properties (an empty value removes one).
FolderInfo setFolderProperties(TextView path, const Properties& values);

struct SaveOutcome {
  Text url;
  Text messageClass;     // after the save; empty when the item has none or was deleted
  bool deleted = false;  // a sink deleted the item in the begin phase
  bool aborted = false;  // a sink vetoed the save: nothing was written
  Text abortedBy;
  Properties properties;  // the item's stored properties after the begin phase
};

// Delivers a new item into a folder as mail delivery does (the delivered
// flag set). Its name comes from the subject ("<subject>.EML", numbered
// when taken). With dryRun the begin phase runs and is rolled back.
SaveOutcome deliver(TextView folderPath, const Properties& properties, bool dryRun = false);
// A plain save (no delivered flag) of the item `name` in the folder: created
// when missing, else its given properties are changed.
SaveOutcome save(TextView folderPath, TextView name, const Properties& properties);

struct ItemInfo {
  Text url;
  Text name;
  Text folderPath;
  bool folder = false;    // findItem also finds folders
  Properties properties;  // stored properties
};

// The items (not folders) of a folder in creation order, hidden ones included.
std::vector<ItemInfo> listItems(TextView folderPath);
std::optional<ItemInfo> findItem(TextView pathOrUrl);

struct DeleteOutcome {
  bool aborted = false;
  Text abortedBy;
};
// Deletes an item or folder ("Sales/Order 1.EML" or its URL), firing the delete events.
DeleteOutcome deleteItem(TextView pathOrUrl);

// Every event registration item of the store with its properties.
std::vector<ItemInfo> registrations();

Text accessName(Access access);  // "full", "read-only", "none"
std::optional<Access> parseAccess(TextView text);

} // namespace korvane::store
