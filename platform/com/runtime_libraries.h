// The in-process server libraries the COM runtime has loaded: loading by a
// registered path (with "\" read as "/"), the cache by canonical path (a path
// reached before is not walked again while it names the same file), and
// unloading of the libraries whose DllCanUnloadNow agrees.
#pragma once

#include <string>
#include <vector>

#include "platform/com/hresult.h"

namespace korvane::libraries {

// The file a registered library path names: "\" taken as "/", made absolute
// against the current directory.
std::string resolvePath(TextView registeredPath);

// Loads the library (or finds it loaded) and returns its handle. Throws
// ComError CO_E_DLLNOTFOUND when the file is missing, CO_E_ERRORINDLL when
// it cannot be loaded, and E_ACCESSDENIED when a user other than root and
// this process's could change it or a directory above it. `forClass`
// ("{CLSID}" or empty) only shapes messages.
void* load(TextView registeredPath, TextView forClass);
// An export of a loaded library, or null.
void* symbol(void* handle, const char* name);

// Calls DllCanUnloadNow of every loaded library and closes those that answer
// S_OK; libraries without that export stay loaded.
void unloadUnused();

// The canonical paths of the libraries loaded now, in load order.
std::vector<std::string> loaded();

} // namespace korvane::libraries
