// A fresh emulated server for one sink test: a new database in its own
// temporary directory, made the process's current server, removed afterwards.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/db/database.h"

namespace korvane::sink::testing {

inline std::filesystem::path freshDirectory() {
  static std::atomic<int> counter{0};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "sink";
  for (char& c : name)
    if (c == '/') c = '_';
  auto dir = std::filesystem::temp_directory_path() /
             ("korvane-sink-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + name);
  std::filesystem::remove_all(dir);
  return dir;
}

class TempServer {
public:
  TempServer() : dir_(freshDirectory()) {
    db::Database::create(dir_);
    db::setServerDirectory(dir_);
  }
  ~TempServer() {
    db::Database::closeCurrent();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TempServer(const TempServer&) = delete;
  TempServer& operator=(const TempServer&) = delete;

  const std::filesystem::path& dir() const { return dir_; }

private:
  std::filesystem::path dir_;
};

} // namespace korvane::sink::testing
