#include "platform/com/runtime_libraries.h"

#include <cerrno>
#include <dlfcn.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/com/library_trust.h"
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

// Code that another user could change must not run here.
[[noreturn]] void refuseChangeable(const Changeable& c, TextView registeredPath, TextView forClass) {
  throw ComError(E_ACCESSDENIED, where(registeredPath, forClass) + u" was not loaded: " + fromUtf8(c.path) +
                                     u" may be changed by other users (" + fromUtf8(c.why) + u"). Only libraries that root " +
                                     u"or this program's user alone can change are loaded; fix the owner or permissions " +
                                     u"(chown, chmod go-w, setfacl -b) or move the library to a directory of its own.");
}

// Under the lock: the library at the file's canonical path, loaded once.
void* loadCanonical(const std::string& file, TextView registeredPath, TextView forClass) {
  std::error_code ec;
  std::string canonical = fs::weakly_canonical(file, ec).string();
  if (ec) canonical = file;
  auto& s = state();
  for (const Library& lib : s.list)
    if (lib.path == canonical) return lib.handle;
  // The file itself was checked by load(), through the path it was reached by.
  if (auto c = directoryChangeableByOthers(canonical)) refuseChangeable(*c, registeredPath, forClass);
  if (auto c = searchPathChangeableByOthers(canonical)) refuseChangeable(*c, registeredPath, forClass);
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
  if (::stat(file.c_str(), &status) != 0) {
    // A host running as the application's account may not reach a library
    // that root can: say so, rather than that it is missing.
    if (errno == EACCES)
      throw ComError(E_ACCESSDENIED, where(registeredPath, forClass) + u" cannot be reached by the account this " +
                                         u"process runs as (user " + fromUtf8(std::to_string(::geteuid())) +
                                         u"): give it read access to the file and search access to every " +
                                         u"directory above it, or install the library where it has them.");
    throw ComError(CO_E_DLLNOTFOUND, where(registeredPath, forClass) + u" was not found.");
  }
  if (!S_ISREG(status.st_mode))
    throw ComError(CO_E_ERRORINDLL, where(registeredPath, forClass) + u" is not a library file.");
  // Written in place, a loaded library changes the code that runs: a file
  // that became changeable by others is refused even when loaded before.
  if (auto c = changeableByOthers(file, status)) refuseChangeable(*c, registeredPath, forClass);

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
