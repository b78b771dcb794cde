// A fresh emulated server for one test: a new database in its own temporary
// directory, made the process's current server, removed afterwards.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/db/database.h"

namespace korvane::testing {

class TempServer {
public:
  TempServer() {
    static std::atomic<int> counter{0};
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "server";
    for (char& c : name)
      if (c == '/') c = '_';
    dir_ = std::filesystem::temp_directory_path() /
           ("korvane-" + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + name);
    std::filesystem::remove_all(dir_);
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

} // namespace korvane::testing
