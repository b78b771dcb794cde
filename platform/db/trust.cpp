#include "platform/db/trust.h"

#include <cerrno>
#include <cstring>
#include <fmt/format.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/db/database.h"

namespace korvane::db {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void refuse(const std::string& text) { throw ComError(E_DATABASE, fromUtf8(text)); }

std::string userName(uid_t uid) {
  if (const passwd* pw = ::getpwuid(uid)) return pw->pw_name;
  return std::to_string(uid);
}

const char* kindOf(const struct stat& st) { return S_ISDIR(st.st_mode) ? "server directory" : "server database"; }

// What others may do, in words: "read and written", "read", "written", "entered".
std::string openTo(mode_t mode) {
  const bool read = mode & 044, write = mode & 022;
  if (read && write) return "read and written";
  if (read) return "read";
  if (write) return "written";
  return "entered";
}

} // namespace

namespace {

void makeMissing(const fs::path& dir) {
  std::error_code ec;
  if (!dir.has_parent_path() || dir == dir.root_path() || fs::exists(dir, ec)) return;
  makeMissing(dir.parent_path());
  if (::mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST)
    refuse(fmt::format("Cannot create the server directory {}: {}.", dir.string(), std::strerror(errno)));
  ::chmod(dir.c_str(), 0700);  // mkdir's mode passes through the umask
}

} // namespace

void makePrivateDirectory(const fs::path& dir) {
  makeMissing(dir);
  // An empty directory of the user's own (made for the server) is tightened;
  // anything else is left for the check to judge.
  struct stat st{};
  std::error_code ec;
  if (::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && !(st.st_mode & S_ISVTX) && st.st_uid == ::geteuid() &&
      (st.st_mode & 077) != 0 && fs::is_empty(dir, ec))
    ::chmod(dir.c_str(), 0700);
}

void checkPrivate(const fs::path& path) {
  struct stat st{};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) return;
    refuse(fmt::format("The server at {} cannot be reached ({}); a server is used only by its owner. Check who owns "
                       "it and the directories above it, or use a server of your own (--server DIR or "
                       "KORVANE_SERVER).",
                       path.string(), std::strerror(errno)));
  }
  if (S_ISDIR(st.st_mode) && (st.st_mode & S_ISVTX))
    refuse(fmt::format("{} is a directory shared by all users; give the server a directory of its own, such as "
                       "{}, with --server DIR or KORVANE_SERVER.",
                       path.string(), (path / "korvane-server").string()));
  const uid_t me = ::geteuid();
  if (st.st_uid != me)
    refuse(fmt::format("The {} {} belongs to the user {}, not to you ({}); a server is used only by its owner, "
                       "since it names the libraries that every delivery loads. If it is yours, run "
                       "'chown -R {} {}'; otherwise use a server of your own (--server DIR or KORVANE_SERVER).",
                       kindOf(st), path.string(), userName(st.st_uid), userName(me), userName(me),
                       S_ISDIR(st.st_mode) ? path.string() : path.parent_path().string()));
  if ((st.st_mode & 077) != 0)
    refuse(fmt::format("The {} {} can be {} by other users (mode {:04o}); a server is kept private, since it "
                       "names the libraries that every delivery loads and holds the run-as password. Run "
                       "'chmod {} {}' and try again.",
                       kindOf(st), path.string(), openTo(st.st_mode), st.st_mode & 07777,
                       S_ISDIR(st.st_mode) ? "700" : "600", path.string()));
}

} // namespace korvane::db
