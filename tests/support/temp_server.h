// Test helpers shared by the tests: a fresh emulated server in a
// temporary directory for each test, and scoped environment variables.
#pragma once

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/db/database.h"

namespace korvane::testing {

// A new, empty path under the temporary directory, named after the running
// test so that a failed test's files are easy to find.
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

class TempServer {
public:
  // Without a database, for tests that create the server themselves (in
  // serverPath()).
  explicit TempServer(bool createDatabase = true) : dir_(freshTestDirectory("korvane-")) {
    std::filesystem::create_directory(dir_);
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all);  // as the server's own directories
    if (!createDatabase) return;
    db::Database::create(serverPath());
    db::setServerDirectory(serverPath());
  }
  ~TempServer() {
    db::Database::closeCurrent();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  TempServer(const TempServer&) = delete;
  TempServer& operator=(const TempServer&) = delete;

  // A scratch directory beside the server, removed with it.
  const std::filesystem::path& dir() const { return dir_; }
  std::filesystem::path serverPath() const { return dir_ / "server"; }

private:
  std::filesystem::path dir_;
};

// Sets (or, with nullopt, unsets) a variable for the scope; restores it after.
class ScopedEnv {
public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    apply(value);
  }
  ~ScopedEnv() { apply(old_); }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
  void apply(const std::optional<std::string>& v) {
    if (v)
      ::setenv(name_.c_str(), v->c_str(), 1);
    else
      ::unsetenv(name_.c_str());
  }
  std::string name_;
  std::optional<std::string> old_;
};

} // namespace korvane::testing
