// The COM+ catalog for programs of the platform (the lab tool): list,
// install and remove applications in a few calls, done through the same
// catalog collections every other caller uses.
#pragma once

#include <optional>
#include <vector>

#include "platform/complus/catalog.h"

namespace korvane::complus {

struct ComponentInfo {
  Text clsid;
  Text progId;
  Text dll;
  bool constructionEnabled = false;
  std::optional<Text> constructorString;
};

// What the catalog shows of an application; the password is never part of it.
struct ApplicationInfo {
  Text id;
  Text name;
  Text identity;
  bool accessChecksEnabled = true;
  bool serverApplication = true;  // "Activation": a host process, else in the caller
  std::vector<ComponentInfo> components;
};

class Catalog {
public:
  // Creates the catalog object through the COM runtime.
  Catalog();

  // Every application in catalog order, with its components.
  std::vector<ApplicationInfo> listApplications();

  // Creates the application (access checks off; identity and password when
  // both are given), installs the library into it and, when a constructor
  // string is given, enables construction with it on every component it
  // installed. All in one transaction: when a step fails, or the process
  // dies, nothing of it is left (not even the library's registry entries).
  ApplicationInfo installApplication(TextView name, TextView libraryPath, TextView identity, TextView password,
                                     const std::optional<Text>& constructorString);

  // The application with that ID, else the first of that name (ignoring case).
  std::optional<ApplicationInfo> findApplication(TextView nameOrId);

  // Makes the application a server application (its own host process) or a
  // library application (loaded into each caller).
  void setServerApplication(TextView id, bool server);

  // Removes the first application of that name (ignoring case); false when
  // there is none.
  bool removeApplication(TextView name);

private:
  ComPtr<ICOMAdminCatalog> catalog_;
};

// Makes the COM runtime activate installed classes through the catalog.
// The platform does this when it loads; call it again after replacing the
// runtime's activator.
void installActivator();

} // namespace korvane::complus
