// Process services as the Windows run-time offers them: environment
// variables (with the machine's variables filled in from the emulated
// machine), the current directory, file existence with "\" as a separator,
// and the general date-and-time text of the user's locale.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "platform/com/text.h"

namespace korvane::win32 {

// The value of an environment variable, empty when it is not set. The
// variables a Windows machine always has, COMPUTERNAME, USERNAME and
// USERDOMAIN (names ignoring case), come from the emulated machine when the
// process lacks them (USERDOMAIN: the workstation domain, or the computer
// name when the workstation service fails). Never fails: a machine that
// cannot be read leaves them empty.
Text getEnvironment(TextView name);

// The process's current directory (this system's own separators).
Text currentDirectory();

// True when the path names an existing file (not a directory); "\" counts as
// a separator like "/". An empty path gives false.
bool fileExists(TextView path);

// The locale id of the user, from LC_ALL, LC_TIME or LANG (the first one set),
// without encoding and modifier ("de_DE.UTF-8" gives "de_DE"); "en_US" when
// none is set or it is "C" or "POSIX".
std::string userLocale();

// The general date and time text: the locale's short date with a four-digit
// year, a blank, and its medium time ("12/7/2026 3:04:05 AM" for en_US),
// with plain blanks where the locale has non-breaking ones. The first form
// uses the user's locale and the local time zone.
Text generalDateTime(std::chrono::system_clock::time_point time);
Text generalDateTime(std::chrono::system_clock::time_point time, std::string_view locale,
                     std::string_view timeZone);

} // namespace korvane::win32
