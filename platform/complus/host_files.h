// Where a server application's host is found: the "hosts" directory of the
// server, a socket and a lock file per application, and socket addresses
// for paths longer than a socket address holds.
#pragma once

#include <filesystem>
#include <fcntl.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/com/channel.h"
#include "platform/db/database.h"

namespace korvane::complus::host::files {

// The listen queue of a host's socket.
inline constexpr int kBacklog = 64;

inline std::filesystem::path directory() { return db::serverDirectory() / "hosts"; }

// The application's ID without its braces names its files.
inline std::string baseName(TextView applicationId) {
  std::string id = toUtf8(applicationId);
  std::string out;
  for (char c : id)
    if (c != '{' && c != '}') out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}
inline std::filesystem::path socketFile(TextView id) { return directory() / (baseName(id) + ".sock"); }
inline std::filesystem::path lockFile(TextView id) { return directory() / (baseName(id) + ".lock"); }

// Calls `use` with the address of `path`; a path too long for the address
// goes through the directory's descriptor (/proc/self/fd/N/name).
template <typename F>
int withAddress(const std::filesystem::path& path, F use) {
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::string text = path.string();
  int dir = -1;
  if (text.size() >= sizeof a.sun_path) {
    dir = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return -1;
    text = "/proc/self/fd/" + std::to_string(dir) + "/" + path.filename().string();
  }
  text.copy(a.sun_path, sizeof a.sun_path - 1);
  int r = use(a);
  if (dir >= 0) ::close(dir);
  return r;
}

} // namespace korvane::complus::host::files
