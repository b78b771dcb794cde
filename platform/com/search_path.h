// Where the dynamic loader looks for a shared library's own dependencies
// before the system's directories: the RUNPATH (else RPATH) of its dynamic
// section, read from the file as the loader reads it, through its segments.
#pragma once

#include <string>
#include <vector>

namespace korvane::libraries {

// The entries in order (":" separated, "$ORIGIN" not expanded; an empty
// entry means the current directory). None when the file names no search
// path or is not a 64-bit ELF file of this machine's byte order: the loader
// then refuses it itself.
std::vector<std::string> searchPathOf(const std::string& file);

} // namespace korvane::libraries
