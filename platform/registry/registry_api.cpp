// The Win32-style registry calls over the C++ registry API: handles are
// entries of a per-process table that remember the key's root and path.
#include <mutex>
#include <unordered_map>

#include "platform/registry/registry.h"

namespace korvane {

namespace {

struct OpenKey {
  registry::Root root;
  Text path;
};

struct HandleTable {
  std::mutex lock;
  std::unordered_map<std::uintptr_t, OpenKey> keys;
  std::uintptr_t next = 1;
};

HandleTable& table() {
  static HandleTable t;
  return t;
}

std::optional<OpenKey> lookUp(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE) return OpenKey{registry::Root::LocalMachine, {}};
  if (key == HKEY_CLASSES_ROOT) return OpenKey{registry::Root::ClassesRoot, {}};
  auto& t = table();
  std::lock_guard guard(t.lock);
  auto it = t.keys.find(static_cast<std::uintptr_t>(key));
  if (it == t.keys.end()) return std::nullopt;
  return it->second;
}

HKEY addHandle(OpenKey key) {
  auto& t = table();
  std::lock_guard guard(t.lock);
  std::uintptr_t h = t.next++;
  t.keys.emplace(h, std::move(key));
  return HKEY{h};
}

Text join(const Text& path, const char* subKey) {
  Text sub = subKey ? fromUtf8(subKey) : Text();
  if (sub.empty()) return path;
  return path.empty() ? sub : path + u"\\" + sub;
}

} // namespace

extern "C" std::int32_t RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) {
  if (!result) return ERROR_INVALID_PARAMETER;
  *result = HKEY{0};
  auto base = lookUp(key);
  if (!base) return ERROR_INVALID_HANDLE;
  OpenKey target{base->root, join(base->path, subKey)};
  try {
    if (!registry::keyExists(target.root, target.path)) return ERROR_FILE_NOT_FOUND;
  } catch (const ComError& e) {
    return e.code() == E_INVALIDARG ? ERROR_INVALID_PARAMETER : ERROR_REGISTRY_IO_FAILED;
  } catch (...) {
    return ERROR_REGISTRY_IO_FAILED;
  }
  *result = addHandle(std::move(target));
  return ERROR_SUCCESS;
}

extern "C" std::int32_t RegCloseKey(HKEY key) {
  if (key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT) return ERROR_SUCCESS;
  auto& t = table();
  std::lock_guard guard(t.lock);
  return t.keys.erase(static_cast<std::uintptr_t>(key)) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

} // namespace korvane
