// Whom a server trusts: its directory and database belong to the user of the
// process and no one else may read or write them, since the database names
// the libraries that every delivery loads and holds the run-as password.
// Made so whatever the umask, and checked before anything is read.
#pragma once

#include <filesystem>

namespace korvane::db {

// Creates the directory and its missing parents owner-only (0700); an
// existing server directory of the user's own is made owner-only too.
void makePrivateDirectory(const std::filesystem::path& dir);
// Raises the database failure, naming the path and the chown or chmod that
// fixes it, when another user owns it or others may read or write it. A
// missing path passes: the caller says what is missing.
void checkPrivate(const std::filesystem::path& path);

} // namespace korvane::db
