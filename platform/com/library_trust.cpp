#include "platform/com/library_trust.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fmt/format.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <vector>

#include "platform/com/search_path.h"

namespace korvane::libraries {

namespace {

namespace fs = std::filesystem;

// The group of a user of its own (Debian's user private groups): named as
// the user and with no other members.
bool isOwnPrivateGroup(gid_t gid) {
  std::vector<char> buffer(16384);
  group g{};
  group* found = nullptr;
  if (::getgrgid_r(gid, &g, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
  if (found->gr_mem && found->gr_mem[0]) return false;
  const std::string name = found->gr_name;
  passwd p{};
  passwd* user = nullptr;
  if (::getpwuid_r(::geteuid(), &p, buffer.data(), buffer.size(), &user) != 0 || !user) return false;
  return name == user->pw_name;
}

bool trustedUser(uid_t uid) { return uid == 0 || uid == ::geteuid(); }
bool trustedGroup(gid_t gid) { return gid == 0 || (gid == ::getegid() && isOwnPrivateGroup(gid)); }

// Linux's form of an access ACL: a version, then entries of a tag, the
// permissions and a user or group id, little-endian.
constexpr std::uint32_t kAclVersion = 2;
constexpr std::uint16_t kAclUser = 0x02, kAclGroup = 0x08, kAclMask = 0x10;
constexpr std::uint16_t kWrite = 0x02;

std::uint32_t little(const unsigned char* p, int bytes) {
  std::uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// A user or group that the access control list lets write, beyond what the
// mode bits say.
std::optional<std::string> aclWriter(const std::string& path) {
  unsigned char acl[4096];
  const ssize_t n = ::getxattr(path.c_str(), "system.posix_acl_access", acl, sizeof acl);
  if (n < 0) {
    if (errno == ENODATA || errno == ENOTSUP) return std::nullopt;
    return fmt::format("its access control list cannot be read: {}", std::strerror(errno));
  }
  if (n < 4 || (n - 4) % 8 != 0 || little(acl, 4) != kAclVersion) return "it carries an access control list of an unknown form";
  std::uint16_t mask = 0x07;
  for (ssize_t at = 4; at < n; at += 8)
    if (little(acl + at, 2) == kAclMask) mask = static_cast<std::uint16_t>(little(acl + at + 2, 2));
  for (ssize_t at = 4; at < n; at += 8) {
    const auto tag = little(acl + at, 2), perm = little(acl + at + 2, 2), id = little(acl + at + 4, 4);
    if (!(perm & mask & kWrite)) continue;
    if (tag == kAclUser && !trustedUser(id)) return fmt::format("its access control list lets user {} write it", id);
    if (tag == kAclGroup && !trustedGroup(id)) return fmt::format("its access control list lets group {} write it", id);
  }
  return std::nullopt;
}

// A directory with the sticky bit (/tmp) may be writable by all: no one
// can replace another's file in it.
std::optional<std::string> whyChangeable(const std::string& path, const struct stat& status) {
  if (!trustedUser(status.st_uid)) return fmt::format("it belongs to user {}", status.st_uid);
  if (S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX)) return std::nullopt;
  if (status.st_mode & S_IWOTH) return "every user may write it";
  if ((status.st_mode & S_IWGRP) && !trustedGroup(status.st_gid)) return fmt::format("group {} may write it", status.st_gid);
  return aclWriter(path);
}

} // namespace

std::optional<Changeable> changeableByOthers(const std::string& path, const struct stat& status) {
  if (auto why = whyChangeable(path, status)) return Changeable{path, *why};
  return std::nullopt;
}

namespace {

// `dir` or a directory above it that others could change.
std::optional<Changeable> chainChangeableByOthers(const fs::path& dir) {
  for (fs::path p = dir;; p = p.parent_path()) {
    struct stat status {};
    if (::stat(p.c_str(), &status) != 0)
      return Changeable{p.string(), fmt::format("it cannot be checked: {}", std::strerror(errno))};
    if (auto c = changeableByOthers(p.string(), status)) return c;
    if (p == p.root_path() || p.parent_path() == p) return std::nullopt;
  }
}

// The entry with "$ORIGIN" (or "${ORIGIN}") read as the library's directory,
// in one pass; nothing when it holds another token, which cannot be checked.
std::optional<std::string> expandOrigin(const std::string& entry, const std::string& origin) {
  std::string out;
  for (std::size_t i = 0; i < entry.size();) {
    if (entry.compare(i, 9, "${ORIGIN}") == 0) {
      out += origin;
      i += 9;
    } else if (entry.compare(i, 7, "$ORIGIN") == 0) {
      out += origin;
      i += 7;
    } else if (entry[i] == '$') {
      return std::nullopt;
    } else {
      out += entry[i++];
    }
  }
  return out;
}

} // namespace

std::optional<Changeable> directoryChangeableByOthers(const std::string& canonical) {
  return chainChangeableByOthers(fs::path(canonical).parent_path());
}

std::optional<Changeable> searchPathChangeableByOthers(const std::string& canonical) {
  const std::string origin = fs::path(canonical).parent_path().string();
  for (const std::string& entry : searchPathOf(canonical)) {
    const std::string named = "the library's search path names " + (entry.empty() ? "the current directory" : entry);
    auto dir = expandOrigin(entry.empty() ? "." : entry, origin);  // an empty entry is the current directory
    if (!dir) return Changeable{entry, "it cannot be checked: " + named};
    // A directory not there yet is as safe as the nearest one above it.
    std::error_code ec;
    fs::path p = fs::weakly_canonical(fs::absolute(*dir, ec), ec);
    while (!fs::exists(p, ec) && p.has_relative_path()) p = p.parent_path();
    if (auto c = chainChangeableByOthers(p)) {
      c->why += "; " + named;
      return c;
    }
  }
  return std::nullopt;
}

} // namespace korvane::libraries
