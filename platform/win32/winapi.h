// The Windows calls of the setup's discovery, over the emulated machine:
// the logged-on user's name, the workstation's domain, and the memory helpers
// with which a caller reads the texts that the workstation call returns.
//
// Layout of the workstation information (levels 100, 101, 102): the buffer
// starts with 32-bit fields, exactly as the 32-bit structures lay them out
// (platform id, computer name, LAN group, major version, minor version, LAN
// root, logged-on users; level 100 ends after the minor version, 101 after
// the LAN root). A pointer does not fit a 32-bit field on this machine, so
// each text field holds a non-zero 32-bit handle instead; rtlText(handle)
// gives the zero-terminated UTF-16 text, which lives inside the same buffer.
// The handles stay valid until the buffer is given to NetApiBufferFree; after
// that rtlText answers nullptr for them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win32/machine.h"

namespace korvane::win32 {

inline constexpr std::uint32_t PLATFORM_ID_NT = 500;

// The error code of the last failed call on this thread.
std::uint32_t GetLastError();
void SetLastError(std::uint32_t code);

// Copies the logged-on user's name (UTF-8, this platform's ANSI code page)
// and a terminating zero into buffer; *size is the buffer's size on entry and
// the number of bytes written, zero included, on success. Returns non-zero on
// success; zero when the buffer is too small (with *size set to the size
// needed and ERROR_INSUFFICIENT_BUFFER) or when the machine cannot be read.
int GetUserNameA(char* buffer, std::uint32_t* size);

// The workstation information of the machine: serverName null, empty, or
// "\\" followed by the computer name (ignoring case); else ERROR_BAD_NETPATH.
// On success returns NERR_Success and a buffer to free with NetApiBufferFree.
// Fails with the machine's configured workstation error, with
// ERROR_INVALID_LEVEL for another level than 100 to 102, and with
// ERROR_INVALID_PARAMETER for a null buffer pointer. *buffer is null after
// every failure.
std::uint32_t NetWkstaGetInfo(const char16_t* serverName, std::uint32_t level,
                              std::uint8_t** buffer);

// Frees a buffer from NetWkstaGetInfo; null is accepted. A pointer that is not
// such a buffer (or was freed already) is refused with ERROR_INVALID_PARAMETER
// and left alone.
std::uint32_t NetApiBufferFree(void* buffer);

// The text behind a handle of a workstation buffer; nullptr for 0, an unknown
// handle or one of a freed buffer.
const char16_t* rtlText(std::uint32_t handle);

// Byte copy (overlapping ranges allowed) and the length of a zero-terminated
// UTF-16 text (0 for nullptr), as the kernel's helpers.
void RtlMoveMemory(void* destination, const void* source, std::size_t length);
int lstrlenW(const char16_t* text);

} // namespace korvane::win32
