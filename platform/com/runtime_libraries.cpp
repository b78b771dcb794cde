#include "platform/com/runtime_libraries.h"

#include <dlfcn.h>
#include <filesystem>
#include <mutex>

#include "platform/com/runtime.h"

namespace korvane::libraries {

namespace fs = std::filesystem;

namespace {

struct Library {
  std::string path;  // canonical
  void* handle;
};

struct Loaded {
  // Recursive: a library's DllCanUnloadNow may itself ask the runtime.
  std::recursive_mutex lock;
  std::vector<Library> list;
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
  std::error_code ec;
  auto status = fs::status(file, ec);
  if (ec || !fs::exists(status))
    throw ComError(CO_E_DLLNOTFOUND, where(registeredPath, forClass) + u" was not found.");
  if (!fs::is_regular_file(status))
    throw ComError(CO_E_ERRORINDLL, where(registeredPath, forClass) + u" is not a library file.");
  std::string canonical = fs::weakly_canonical(file, ec).string();
  if (ec) canonical = file;

  auto& s = state();
  std::lock_guard guard(s.lock);
  for (const Library& lib : s.list)
    if (lib.path == canonical) return lib.handle;
  void* handle = ::dlopen(canonical.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = ::dlerror();
    throw ComError(CO_E_ERRORINDLL, where(registeredPath, forClass) + u" could not be loaded: " +
                                        fromUtf8(why ? why : "unknown reason") + u".");
  }
  s.list.push_back({canonical, handle});
  return handle;
}

void* symbol(void* handle, const char* name) { return handle ? ::dlsym(handle, name) : nullptr; }

void unloadUnused() {
  auto& s = state();
  std::lock_guard guard(s.lock);
  for (auto it = s.list.begin(); it != s.list.end();) {
    auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(::dlsym(it->handle, "DllCanUnloadNow"));
    if (canUnload && canUnload() == S_OK) {
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
