// What the setup's fuzz targets share: a check whose failure is a finding,
// and one emulated server for the whole run (in memory-backed storage when
// there is some), removed when the run ends.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include <unistd.h>

#include "platform/com/runtime.h"
#include "platform/db/database.h"
#include "platform/server/provision.h"

namespace korvane::fuzzing {

inline void require(bool condition) {
  if (!condition) std::abort();
}

// The run's directory, with a new server provisioned in its "server".
inline std::filesystem::path makeServer(const char* name) {
  namespace fs = std::filesystem;
  fs::path dir = (fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path()) /
                 ("korvane-fuzz-" + std::string(name) + "-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  server::createServer(dir / "server");
  return dir;
}

// Made static at the end of the set-up, so that it is undone before what the
// set-up made: ends the runtime (when asked), closes the server, removes the
// directory.
struct RunDirectory {
  std::filesystem::path path;
  bool endRuntime = false;
  ~RunDirectory() {
    if (endRuntime) shutdownRuntime();
    db::Database::closeCurrent();
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
  }
};

} // namespace korvane::fuzzing
