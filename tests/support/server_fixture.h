// A complete emulated server for one test: provisioned in its own temporary
// directory, made the process's current server, and removed afterwards.
// The working directory is moved into it, with a copy of Korvane.dll, since
// the setup installs the library from its current directory.
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform/com/runtime.h"
#include "platform/db/database.h"
#include "platform/server/provision.h"

namespace korvane::testing {

inline std::filesystem::path freshTestDirectory(const char* prefix) {
  static std::atomic<int> counter{0};
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "test";
  for (char& c : name)
    if (c == '/') c = '_';
  auto dir = std::filesystem::temp_directory_path() /
             (std::string(prefix) + std::to_string(::getpid()) + "-" + std::to_string(counter++) + "-" + name);
  std::filesystem::remove_all(dir);
  return dir;
}

class ServerFixture : public ::testing::Test {
protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    dir_ = freshTestDirectory("korvane-");
    server::createServer(dir_ / "server", setup());
    workDir_ = dir_ / "work";
    std::filesystem::create_directories(workDir_);
    std::filesystem::copy_file(KORVANE_SINK_PATH, workDir_ / "Korvane.dll");
    std::filesystem::current_path(workDir_);
  }
  void TearDown() override {
    std::filesystem::current_path(previous_);
    db::Database::closeCurrent();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  virtual server::ServerSetup setup() const { return {}; }

  const std::filesystem::path& workDir() const { return workDir_; }
  std::filesystem::path serverDir() const { return dir_ / "server"; }

private:
  std::filesystem::path previous_, dir_, workDir_;
};

} // namespace korvane::testing
