// The store's data layer: the server's identity, the tree of folders and
// items with their typed properties, and URL resolution, all in the server
// database. Callers hold the transaction; nothing here fires events.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/db/database.h"
#include "platform/store/properties.h"

namespace korvane::store {

// What a folder lets its users do; items follow their folder.
enum class Access { Full = 0, ReadOnly = 1, None = 2 };

struct Node {
  std::int64_t id = 0;
  std::optional<std::int64_t> parent;  // none for the public root
  Text name;
  bool folder = false;
  Access access = Access::Full;
};

namespace tree {

// The counter (db/stamp.h) raised with every change to the store's shape:
// a folder's properties, access or removal, an event registration written or
// removed, the server's identity. Caches of folders and registrations keep
// its value; a delivered item changes none of it.
inline constexpr std::string_view kShapeStamp = "store.shape";

struct Server {
  Text host;
  Text domain;
  Text storeGuid;
  std::int64_t root = 0;
  std::int64_t nonIpm = 0;
  std::int64_t globalEvents = 0;
};

// The current server's database with the store's tables in place.
db::Database& database();
// The server's identity; fails when the database holds no store yet.
Server server();
void writeServer(const Server& server);

std::optional<Node> node(std::int64_t id);
std::optional<Node> child(std::int64_t parent, TextView name);
std::vector<Node> children(std::int64_t parent);
// Every node below `parent`, depth-first, each level in creation order.
std::vector<Node> descendants(std::int64_t parent);
// From the parent up to the root.
std::vector<Node> ancestors(const Node& node);
std::vector<Text> pathOf(const Node& node);
Text urlOf(const Node& node);

// Where a URL points: the node when it exists, else its would-be parent and
// name. Throws E_NOT_THIS_SERVER for a URL of another host or tree.
struct Target {
  std::vector<Text> segments;
  std::optional<Node> node;
  std::optional<Node> parent;  // set when the URL names something below the root
  Text name;
};
Target resolve(TextView url);
// The node a folder path ("Sales/Orders", "" for the root) names, if any.
std::optional<Node> findPath(const std::vector<Text>& segments);

// Throws E_BAD_NAME for a name that no item or folder may have.
void checkName(TextView name);
// Inserts a node; throws ado::adErrResourceExists when the folder has one of
// that name (ignoring letter case) and E_BAD_NAME for an unusable name.
Node insert(std::int64_t parent, TextView name, bool folder, Access access);
// The same without the checks, for a caller that made them under the same
// write lock.
Node add(std::int64_t parent, TextView name, bool folder, Access access);
void setAccess(std::int64_t id, Access access);
// A folder's node and stored properties, or none when no such folder exists.
struct StoredFolder {
  Node node;
  Properties props;
};
std::optional<StoredFolder> storedFolder(std::int64_t id);
// Removes a node with everything below it.
void remove(std::int64_t id);

bool isComputed(TextView name);
Properties stored(std::int64_t id);
// Stored properties with the computed ones and the defaults, computed first.
Properties full(const Node& node);
// The same for a node whose stored properties are `stored` (id 0: a node
// that is not written yet, which has no children).
Properties full(const Node& node, const Properties& stored);
// The defaults of properties that were never written.
void setDefaults(Properties& props, bool folder);
// Applies changes to a property bag as write() does to a node: an empty
// value removes the property.
void apply(Properties& props, const Properties& changes);
// What write(node, changes) leaves stored on a node that held `before`, as
// stored() would read it back, without reading it.
Properties afterWrite(Properties before, const Properties& changes);
// `name` when the folder holds nothing of that name, else a free numbered
// name: "Report.EML", "Report-2.EML", "Report-3.EML", ... The first free
// number, except that a process goes on after the number it gave last.
Text freeName(std::int64_t parent, TextView name);
// Writes the values; an empty value removes the property.
void write(const Node& node, const Properties& changes);
void clear(const Node& node);

// Registration items directly in a folder, and in the whole store.
std::vector<Node> registrationsIn(std::int64_t folder);
std::vector<Node> allRegistrations();
bool isRegistration(const Properties& props, bool folder);

} // namespace tree
} // namespace korvane::store
