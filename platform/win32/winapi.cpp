#include "platform/win32/winapi.h"

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace korvane::win32 {

namespace {

constexpr std::uint32_t ERROR_NO_SUCH_LOGON_SESSION = 1312;

thread_local std::uint32_t lastError = 0;

// The live workstation buffers and the handles of the texts inside them.
class BufferTable {
public:
  std::vector<std::uint32_t> add(void* buffer, const std::vector<const char16_t*>& texts) {
    std::lock_guard lock(mutex_);
    std::vector<std::uint32_t> handles;
    for (const char16_t* text : texts) {
      std::uint32_t h = freeHandle();
      texts_[h] = text;
      handles.push_back(h);
    }
    buffers_[buffer] = handles;
    return handles;
  }

  bool remove(void* buffer) {
    std::lock_guard lock(mutex_);
    auto it = buffers_.find(buffer);
    if (it == buffers_.end()) return false;
    for (std::uint32_t h : it->second) texts_.erase(h);
    buffers_.erase(it);
    return true;
  }

  const char16_t* text(std::uint32_t handle) {
    std::lock_guard lock(mutex_);
    auto it = texts_.find(handle);
    return it == texts_.end() ? nullptr : it->second;
  }

private:
  // Non-zero and not in use; wraps around after 2^32 texts.
  std::uint32_t freeHandle() {
    do {
      ++next_;
    } while (next_ == 0 || texts_.contains(next_));
    return next_;
  }

  std::mutex mutex_;
  std::unordered_map<void*, std::vector<std::uint32_t>> buffers_;
  std::unordered_map<std::uint32_t, const char16_t*> texts_;
  std::uint32_t next_ = 0x1000;
};

BufferTable& table() {
  static BufferTable t;
  return t;
}

bool namesThisMachine(const char16_t* serverName, const MachineInfo& machine) {
  if (!serverName || !*serverName) return true;
  TextView name(serverName);
  return name.size() > 2 && name.substr(0, 2) == u"\\\\" &&
         equalsIgnoreCase(name.substr(2), machine.computerName);
}

// One block: the 32-bit fields, then the zero-terminated texts they name.
std::uint8_t* buildWorkstationBuffer(std::uint32_t level, const MachineInfo& machine) {
  static const Text emptyLanRoot;
  const Text* texts[] = {&machine.computerName, &machine.workstationDomain, &emptyLanRoot};
  std::size_t fieldCount = level == 100 ? 5 : level == 101 ? 6 : 7;
  std::size_t headerBytes = fieldCount * 4;
  std::size_t total = headerBytes;
  for (const Text* t : texts) total += (t->size() + 1) * sizeof(char16_t);

  auto* block = static_cast<std::uint8_t*>(std::calloc(1, total));
  if (!block) return nullptr;
  std::vector<const char16_t*> placed;
  std::size_t offset = headerBytes;
  for (const Text* t : texts) {
    std::memcpy(block + offset, t->data(), t->size() * sizeof(char16_t));
    placed.push_back(reinterpret_cast<const char16_t*>(block + offset));
    offset += (t->size() + 1) * sizeof(char16_t);
  }
  std::vector<std::uint32_t> h = table().add(block, placed);

  std::uint32_t fields[7] = {PLATFORM_ID_NT, h[0], h[1], 5, 2, h[2], 1};
  std::memcpy(block, fields, headerBytes);
  return block;
}

} // namespace

std::uint32_t GetLastError() { return lastError; }
void SetLastError(std::uint32_t code) { lastError = code; }

int GetUserNameA(char* buffer, std::uint32_t* size) {
  if (!size) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  std::string name;
  try {
    name = toUtf8(logonUser());
  } catch (...) {
    SetLastError(ERROR_NO_SUCH_LOGON_SESSION);
    return 0;
  }
  auto needed = static_cast<std::uint32_t>(name.size() + 1);
  if (!buffer || *size < needed) {
    *size = needed;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return 0;
  }
  std::memcpy(buffer, name.data(), name.size());
  buffer[name.size()] = '\0';
  *size = needed;
  return 1;
}

std::uint32_t NetWkstaGetInfo(const char16_t* serverName, std::uint32_t level,
                              std::uint8_t** buffer) {
  if (!buffer) return ERROR_INVALID_PARAMETER;
  *buffer = nullptr;
  if (level < 100 || level > 102) return ERROR_INVALID_LEVEL;
  MachineInfo machine;
  try {
    machine = machineInfo();
  } catch (...) {
    return NERR_WkstaNotStarted;
  }
  if (!namesThisMachine(serverName, machine)) return ERROR_BAD_NETPATH;
  if (machine.workstationError != NERR_Success) return machine.workstationError;
  *buffer = buildWorkstationBuffer(level, machine);
  return *buffer ? NERR_Success : ERROR_NOT_ENOUGH_MEMORY;
}

std::uint32_t NetApiBufferFree(void* buffer) {
  if (!buffer) return NERR_Success;
  if (!table().remove(buffer)) return ERROR_INVALID_PARAMETER;
  std::free(buffer);
  return NERR_Success;
}

const char16_t* rtlText(std::uint32_t handle) { return handle ? table().text(handle) : nullptr; }

void RtlMoveMemory(void* destination, const void* source, std::size_t length) {
  if (length) std::memmove(destination, source, length);
}

int lstrlenW(const char16_t* text) {
  if (!text) return 0;
  int n = 0;
  while (text[n]) ++n;
  return n;
}

} // namespace korvane::win32
