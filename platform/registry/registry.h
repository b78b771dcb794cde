// The emulated machine's registry: keys and values kept in the server
// database, so every process of one server sees the same registry. Offers a
// C++ API (throwing ComError) and the few Win32-style calls programs make.
#pragma once

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "platform/com/variant.h"

namespace korvane::registry {

// HKEY_CLASSES_ROOT is HKEY_LOCAL_MACHINE\SOFTWARE\Classes, as on a machine
// without per-user classes.
enum class Root { LocalMachine, ClassesRoot };

// Key paths use "\" between the names of the keys; a path may not begin with
// "\" nor hold an empty name ("A\\B"), and "" is the root itself. Names
// compare ignoring letter case (Unicode case folding) and keep the spelling
// they were created with.
//
// Values are named ("" is the key's default value) and hold a text or a
// 32-bit integer; setValue accepts a Variant of kind Text or Int (in the
// range of a signed or unsigned 32-bit number) and getValue gives back Text
// or Int (as stored, so 0xFFFFFFFF reads back as 4294967295).

// Creates the key and every missing key above it; true when it was new.
bool createKey(Root root, TextView path);
bool keyExists(Root root, TextView path);
// Deletes the key with all its subkeys and values; false when there was none.
// The roots themselves cannot be deleted.
bool deleteKey(Root root, TextView path);
// The names of the key's direct subkeys in creation order; empty when the
// key does not exist.
std::vector<Text> subKeys(Root root, TextView path);

// Writes a value, creating the key when needed.
void setValue(Root root, TextView path, TextView name, const Variant& value);
// The value, or nothing when the key or the value does not exist.
std::optional<Variant> getValue(Root root, TextView path, TextView name);
// A text value; nothing when it is missing or not a text.
std::optional<Text> getText(Root root, TextView path, TextView name);

// "HKEY_LOCAL_MACHINE\..." / "HKEY_CLASSES_ROOT\...", for messages.
Text keyName(Root root, TextView path);

} // namespace korvane::registry

// The Win32-style calls. Subkey names are UTF-8 (the "A" calls take the
// program's narrow text). Handles are per process; close what you open.
namespace korvane {

// A key handle: one of the two roots or a key opened by RegOpenKeyA.
enum class HKEY : std::uintptr_t {};

inline constexpr HKEY HKEY_CLASSES_ROOT = HKEY{0x80000000};
inline constexpr HKEY HKEY_LOCAL_MACHINE = HKEY{0x80000002};

inline constexpr std::int32_t ERROR_SUCCESS = 0;
inline constexpr std::int32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr std::int32_t ERROR_INVALID_HANDLE = 6;
inline constexpr std::int32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::int32_t ERROR_REGISTRY_IO_FAILED = 1016;

extern "C" {
// Opens an existing key below `key` (a root or an open handle); a null or
// empty subkey opens `key` itself. 2 when the key does not exist.
std::int32_t RegOpenKeyA(HKEY key, const char* subKey, HKEY* result);
std::int32_t RegCloseKey(HKEY key);
}

} // namespace korvane
