// Where the setup runs: cluster node or not, a global catalog, the directory
// connection, the Exchange virtual server's name on a cluster, and the public
// store (public root URL and store GUID); and the proposed run-as identity.
// These procedures do not catch errors: a failure ends the caller.
#pragma once

#include "platform/registry/registry.h"
#include "setup/window/form_state.h"

namespace korvane::setup {

// Start-up steps 1 to 6, in order.
void runDiscovery(InstallForm& form);

bool RegKeyExists(HKEY rootKey, TextView subKey, TextView valueName);
bool IsClusterNode();
Text GetCurrentUserName();
Text GetWorkstationDomain();

// The directory query: select clause, FROM the global catalog, WHERE the
// logged-on user's account (its apostrophes doubled, so that O'Brien works).
Text directoryQuery(const InstallForm& form, TextView selectClause, TextView userName);

void FillIdentityField(InstallForm& form);
void GetClusterName(InstallForm& form);
void GetCommonPath(InstallForm& form);

} // namespace korvane::setup
