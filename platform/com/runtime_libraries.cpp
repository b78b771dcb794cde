#include "platform/com/runtime_libraries.h"

#include <dlfcn.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/com/runtime.h"

namespace korvane::libraries {

namespace fs = std::filesystem;

namespace {

struct Library {
  std::string path;  // canonical
  void* handle;
};

// A path a library was reached by, and the file it named then: while it
// still names that file, the library is found without walking the path.
struct Reached {
  dev_t device;
  ino_t inode;
  void* handle;
};

struct Loaded {
  // Recursive: a library's DllCanUnloadNow may itself ask the runtime.
  std::recursive_mutex lock;
  std::vector<Library> list;
  std::map<std::string, Reached> reached;
};

Loaded& state() {
  static Loaded s;
  return s;
}

Text where(TextView registeredPath, TextView forClass) {
  Text out = u"The library " + Text(registeredPath);
  if (!forClass.empty()) out += u" of class " + Text(forClass);
  return out;
}

// Whether only root and this process's user can change what `status`
// describes. A group may write when it is this process's own group or
// root's; a directory with the sticky bit (/tmp) may be writable by all,
// since no one can replace another's file in it.
std::optional<std::string> changeableByOthers(const struct stat& status) {
  const bool sticky = S_ISDIR(status.st_mode) && (status.st_mode & S_ISVTX);
  if (status.st_uid != 0 && status.st_uid != ::geteuid()) return fmt::format("it belongs to user {}", status.st_uid);
  if ((status.st_mode & S_IWOTH) && !sticky) return "every user may write it";
  if ((status.st_mode & S_IWGRP) && !sticky && status.st_gid != 0 && status.st_gid != ::getegid())
    return fmt::format("group {} may write it", status.st_gid);
  return std::nullopt;
}

// Code that another user could change must not run here: the process may
// be a service of root's, delivering for everyone. Checks the library and
// every directory above it.
void requireUnchangeableByOthers(const std::string& canonical, TextView registeredPath, TextView forClass) {
  for (fs::path p = canonical;; p = p.parent_path()) {
    struct stat status {};
    if (::stat(p.c_str(), &status) != 0) return;  // dlopen says what is missing
    if (auto why = changeableByOthers(status))
      throw ComError(E_ACCESSDENIED,
                     where(registeredPath, forClass) + u" was not loaded: " + fromUtf8(p.string()) + u" may be changed by " +
                         u"other users (" + fromUtf8(*why) + u"). Only libraries that root or this program's user " +
                         u"alone can change are loaded; fix the owner or permissions (chown, chmod go-w) or move " +
                         u"the library to a directory of its own.");
    if (p == p.root_path() || p.parent_path() == p) return;
  }
}

// Under the lock: the library at the file's canonical path, loaded once.
void* loadCanonical(const std::string& file, TextView registeredPath, TextView forClass) {
  std::error_code ec;
  std::string canonical = fs::weakly_canonical(file, ec).string();
  if (ec) canonical = file;
  auto& s = state();
  for (const Library& lib : s.list)
    if (lib.path == canonical) return lib.handle;
  requireUnchangeableByOthers(canonical, registeredPath, forClass);
  void* handle = ::dlopen(canonical.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    throw ComError(CO_E_ERRORINDLL, where(registeredPath, forClass) + u" could not be loaded: " +
                                        fromUtf8(why ? why : "unknown reason") + u".");
  }
  s.list.push_back({canonical, handle});
  return handle;
}

} // namespace

std::string resolvePath(TextView registeredPath) {
  fs::path p(toUtf8(replaceAll(registeredPath, u"\\", u"/")));
  std::error_code ec;
  fs::path absolute = fs::absolute(p, ec);
  return (ec ? p : absolute).lexically_normal().string();
}

void* load(TextView registeredPath, TextView forClass) {
  if (registeredPath.empty())
    throw ComError(CO_E_DLLNOTFOUND, where(u"(no path)", forClass) + u" was not found: the registered path is empty.");
  std::string file = resolvePath(registeredPath);
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0)
    throw ComError(CO_E_DLLNOTFOUND, where(registeredPath, forClass) + u" was not found.");
  if (!S_ISREG(status.st_mode))
    throw ComError(CO_E_ERRORINDLL, where(registeredPath, forClass) + u" is not a library file.");
  // Written in place, a loaded library changes the code that runs: a file
  // that became changeable by others is refused even when loaded before.
  if (auto why = changeableByOthers(status))
    throw ComError(E_ACCESSDENIED, where(registeredPath, forClass) + u" was not used: it may be changed by other users (" +
                                       fromUtf8(*why) + u"); fix its owner or permissions (chown, chmod go-w).");

  auto& s = state();
  std::lock_guard guard(s.lock);
  auto& reached = s.reached[file];
  if (reached.handle && reached.device == status.st_dev && reached.inode == status.st_ino) return reached.handle;
  reached = {status.st_dev, status.st_ino, loadCanonical(file, registeredPath, forClass)};
  return reached.handle;
}

void* symbol(void* handle, const char* name) { return handle ? ::dlsym(handle, name) : nullptr; }

void unloadUnused() {
  auto& s = state();
  std::lock_guard guard(s.lock);
  for (auto it = s.list.begin(); it != s.list.end();) {
    auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(::dlsym(it->handle, "DllCanUnloadNow"));
    if (canUnload && canUnload() == S_OK) {
      std::erase_if(s.reached, [&](const auto& r) { return r.second.handle == it->handle; });
      ::dlclose(it->handle);
      it = s.list.erase(it);
    } else {
      ++it;
    }
  }
}

std::vector<std::string> loaded() {
  auto& s = state();
  std::lock_guard guard(s.lock);
  std::vector<std::string> out;
  for (const Library& lib : s.list) out.push_back(lib.path);
  return out;
}

} // namespace korvane::libraries
