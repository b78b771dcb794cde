// A complete emulated server in one call: the store, the machine it runs
// on, the directory with its global catalog and the logged-on user, and the
// Exchange configuration (server, storage group, mounted public store on the
// MAPI folder tree), consistent with each other so that discovery finds the
// public store. The sample adds a realistic public folder tree and users.
#pragma once

#include <filesystem>

#include "platform/com/text.h"

namespace korvane::server {

struct ServerSetup {
  Text host = u"exch01";              // the store's host; the computer name is its upper case
  Text domain = u"corp.example.com";  // DNS domain; the NetBIOS name is its first label, upper case
  Text user = u"Administrator";       // the logged-on user, with a mailbox on this server
  Text organisation = u"First Organization";
};

// Creates the server in `dir` (which must not hold one) and makes it the
// process's current server.
void createServer(const std::filesystem::path& dir, const ServerSetup& setup = {});

// What `korvane-lab init` does: builds the whole server (with the sample
// content when asked) in a private directory beside `dir` and moves it into
// place in one rename, so that a killed init leaves a complete server or
// none. Fails when `dir` holds a server or anything else already. Then
// makes it the process's current server.
void initServer(const std::filesystem::path& dir, const ServerSetup& setup, bool sample);

// Adds the sample folders (mail-enabled and not, calendar and contact
// folders, a hidden folder, a read-only one, names with an apostrophe) and
// a few users.
void addSampleContent();

// The msExchHomeServerName value of a mailbox on `server`.
Text homeServerValue(TextView organisation, TextView server);

} // namespace korvane::server
