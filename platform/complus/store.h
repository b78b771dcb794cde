// Where the COM+ catalog keeps its state: the applications and components
// tables of the server database, read and written by the property
// descriptions of properties.h, plus the look-ups installation and
// activation need.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/complus/properties.h"
#include "platform/db/database.h"

namespace korvane::complus::detail {

// The connection, with the catalog's tables in place.
db::Database& catalogDatabase();

// One stored object: its values in the order of Kind::properties.
using Values = std::vector<Variant>;

// The objects of a collection in catalog (creation) order; for components,
// those of one application.
std::vector<Values> loadObjects(const Kind& kind, std::optional<TextView> parentId);

void insertObject(db::Database& d, const Kind& kind, const Values& values);
// Writes the flagged properties; false when the object is no longer stored.
bool updateObject(db::Database& d, const Kind& kind, const Values& values, const std::vector<bool>& dirty);
// False when there was no such object.
bool deleteObject(db::Database& d, const Kind& kind, TextView key);

struct ApplicationRef {
  Text id;
  Text name;
};

// The stored application with this ID (ignoring case).
std::optional<ApplicationRef> applicationById(TextView id);
// By ID, else the first in catalog order whose Name matches ignoring case.
std::optional<ApplicationRef> applicationByIdOrName(TextView idOrName);

// The application's "Identity", or nothing when there is no such application.
std::optional<Text> identityOf(TextView applicationId);

struct ComponentRecord {
  Text clsid;
  Text progId;
  Text dll;
  Text threadingModel;
};

// Records the classes as components of the application, in one transaction.
// A class already in this application is updated; one in another
// application is refused (COMADMIN_E_ALREADYINSTALLED) and nothing is written.
void recordComponents(const ApplicationRef& application, const std::vector<ComponentRecord>& classes);

// Every installed component's CLSID; with an application, its components'.
std::vector<Text> installedClasses(std::optional<TextView> applicationId = std::nullopt);
// Sets what the registry now says about an installed class.
void refreshComponent(const ComponentRecord& record);

// The application's "Activation" property: a library application loads its
// classes into the caller, a server application (the default) runs them in
// a host process of its own.
inline constexpr std::int64_t kActivationLibrary = 0;
inline constexpr std::int64_t kActivationServer = 1;

struct Activation {
  Text applicationName;
  bool constructionEnabled;
  std::optional<Text> constructorString;
  Text applicationId;
  bool server = true;
  Text library;  // the component's library, as installed
};

// What an object of the class is made from (library, construction, string):
// an object kept for reuse serves only while this stays the same.
Text constructionOf(const Activation& how);

// How to activate the class, or nothing when no application holds it. Never
// creates tables (it runs for every object creation, possibly inside a
// caller's transaction).
std::optional<Activation> activationOf(const Guid& clsid);

} // namespace korvane::complus::detail
