// The emulated Windows machine that the server runs on: its computer name,
// the logged-on user and what the workstation service reports as its domain
// (or the error it fails with). Kept in the server database so that every
// process of one emulated server sees the same machine.
#pragma once

#include <cstdint>

#include "platform/com/text.h"

namespace korvane::win32 {

// Network error codes the workstation calls answer with.
inline constexpr std::uint32_t NERR_Success = 0;
inline constexpr std::uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr std::uint32_t ERROR_BAD_NETPATH = 53;
inline constexpr std::uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr std::uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr std::uint32_t ERROR_INVALID_LEVEL = 124;
inline constexpr std::uint32_t NERR_WkstaNotStarted = 2138;
inline constexpr std::uint32_t NERR_DCNotFound = 2453;

struct MachineInfo {
  Text computerName = u"EXCH01";
  Text userName = u"Administrator";
  // The domain or workgroup that the workstation service reports.
  Text workstationDomain = u"CORP";
  // Non-zero: the workstation service fails every query with this code.
  std::uint32_t workstationError = 0;
};

// The machine as stored; the defaults above when nothing was stored yet.
// Throws ComError when the server database cannot be opened.
MachineInfo machineInfo();

// Stores the machine. Rejects (ComError E_INVALIDARG, nothing stored) an
// empty or malformed computer name or user name.
void setMachineInfo(const MachineInfo& info);

// The user this process runs as: $KORVANE_LOGON_USER when set and not empty
// (a process started "as" another user), else the machine's logged-on user.
Text logonUser();

} // namespace korvane::win32
