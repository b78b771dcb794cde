// A fresh, complete emulated server for one benchmark run: provisioned in
// its own temporary directory, made the process's current server, and
// removed with everything in it when the run ends.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <sys/resource.h>

#include "platform/com/runtime.h"
#include "platform/db/database.h"
#include "platform/server/provision.h"

namespace korvane::bench {

class BenchServer {
public:
  BenchServer() : dir_(freshDirectory()) { server::createServer(dir_); }
  ~BenchServer() {
    shutdownRuntime();
    db::Database::closeCurrent();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  BenchServer(const BenchServer&) = delete;
  BenchServer& operator=(const BenchServer&) = delete;

  const std::filesystem::path& dir() const { return dir_; }

private:
  static std::filesystem::path freshDirectory() {
    static int counter = 0;
    auto dir = std::filesystem::temp_directory_path() /
               ("korvane-bench-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(dir);
    return dir;
  }
  std::filesystem::path dir_;
};

// The process's peak resident set so far, in KiB.
inline long peakRssKiB() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

} // namespace korvane::bench
