// Whom the COM runtime trusts with the code it loads. A process may be a
// service of root's that delivers for everyone, so a library, and every
// directory above it, must be changeable by root and this process's user
// alone: by owner, mode bits and access control list.
#pragma once

#include <optional>
#include <string>
#include <sys/stat.h>

namespace korvane::libraries {

struct Changeable {
  std::string path;  // the library or the directory that others could change
  std::string why;   // "every user may write it", "it belongs to user 1001", ...
};

// The file at `path` alone, as `stat` found it (`status`).
std::optional<Changeable> changeableByOthers(const std::string& path, const struct stat& status);
// The first of the directories above the library (a canonical path) that
// others could change; also one that cannot be checked.
std::optional<Changeable> directoryChangeableByOthers(const std::string& canonical);
// The same for the directories of the library's search path (RUNPATH or
// RPATH), where the loader looks for its dependencies first.
std::optional<Changeable> searchPathChangeableByOthers(const std::string& canonical);

} // namespace korvane::libraries
