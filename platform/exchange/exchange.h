// The Exchange configuration of the emulated organisation, kept in the server
// database: servers, their storage groups (in order), the public stores of
// each group (in order, mounted or not, each with its folder tree and GUID),
// and the folder trees (type and root folder URL). The lab tool and the tests
// manage it here; programs read it through the management objects
// (objects.h) and the store GUID service (storeguid.h).
//
// Objects are named by URLs that the management objects hand out and open:
//   storage group  LDAP://CN=<group>,CN=InformationStore,CN=<server>,CN=Servers
//   public store   LDAP://CN=<store>,CN=<group>,CN=InformationStore,CN=<server>,CN=Servers
//   folder tree    LDAP://CN=<tree>,CN=Folder Hierarchies
// with the names escaped as DN values. Names compare ignoring letter case and
// are unique among their siblings (trees: in the organisation).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/com/hresult.h"
#include "platform/com/text.h"

namespace korvane::exchange {

// "There is no such object on the server."
inline constexpr HRESULT E_NO_SUCH_OBJECT = hr(0x80072030);
// "The object already exists."
inline constexpr HRESULT E_OBJECT_EXISTS = hr(0x80071392);

inline constexpr std::int32_t kTreeGeneralPurpose = 0;
inline constexpr std::int32_t kTreeMapi = 1;  // the MAPI public folder tree
inline constexpr std::int32_t kTreeNntpOnly = 2;

inline constexpr std::int32_t kStoreOnline = 0;  // mounted
inline constexpr std::int32_t kStoreOffline = 1;

struct FolderTreeInfo {
  Text name;
  std::int32_t treeType = kTreeMapi;
  Text rootFolderUrl;  // e.g. http://exch01/public or http://exch01/public%20folders
  Text url;
};

struct PublicStoreInfo {
  Text name;
  bool mounted = true;
  std::optional<Text> folderTree;  // the tree's name
  Text guid;                       // braced upper-case GUID text
  Text url;
};

struct StorageGroupInfo {
  Text name;
  Text url;
  std::vector<PublicStoreInfo> publicStores;
};

struct NewPublicStore {
  Text name;
  std::optional<Text> folderTree;  // must exist
  bool mounted = true;
  std::optional<Text> guid;        // a new random GUID when not given
};

// Every call throws ComError: E_INVALIDARG for an empty name or a malformed
// GUID or tree type, E_OBJECT_EXISTS for a name taken, E_NO_SUCH_OBJECT for a
// server, group, store or tree that does not exist. Nothing changes on failure.
void addServer(TextView name);
std::vector<Text> listServers();
// The server's name as stored, when there is a server of that name.
std::optional<Text> findServer(TextView name);

void addStorageGroup(TextView server, TextView group);  // appended after the others
std::vector<StorageGroupInfo> storageGroups(TextView server);

void addFolderTree(TextView name, std::int32_t treeType, TextView rootFolderUrl);
std::vector<FolderTreeInfo> folderTrees();

void addPublicStore(TextView server, TextView group, const NewPublicStore& store);
void mountPublicStore(TextView server, TextView group, TextView store);
void dismountPublicStore(TextView server, TextView group, TextView store);

// The URLs of the objects (whether they exist or not).
Text storageGroupUrl(TextView server, TextView group);
Text publicStoreUrl(TextView server, TextView group, TextView store);
Text folderTreeUrl(TextView tree);

// Look-ups by URL (ignoring letter case) for the management objects.
struct ServerRecord {
  Text name;
  std::vector<Text> storageGroupUrls;
};
struct StorageGroupRecord {
  Text name;
  std::vector<Text> publicStoreUrls;
};
struct PublicStoreRecord {
  Text name;
  std::int32_t status = kStoreOnline;
  Text folderTreeUrl;  // empty when the store has no tree
  Text guid;
};
std::optional<ServerRecord> serverRecord(TextView name);
std::optional<StorageGroupRecord> storageGroupRecord(TextView url);
std::optional<PublicStoreRecord> publicStoreRecord(TextView url);
std::optional<FolderTreeInfo> folderTreeRecord(TextView url);

// The public store that holds a folder tree, preferring a mounted one, in the
// order of servers, groups and stores; nullopt when no store holds it.
std::optional<PublicStoreInfo> storeOfTree(TextView tree);

} // namespace korvane::exchange
