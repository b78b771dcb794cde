// A complete emulated server for one test: provisioned in its own temporary
// directory, made the process's current server, and removed afterwards.
// The working directory is moved into it, with a copy of Korvane.dll, since
// the setup installs the library from its current directory.
#pragma once

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/com/runtime.h"
#include "platform/db/database.h"
#include "platform/server/provision.h"
#include "platform/store/store.h"
#include "support/temp_server.h"

namespace korvane::testing {

// A mail-enabled folder with everything else at its defaults.
inline store::FolderSpec mailFolder(TextView path, TextView mail, store::Access access = store::Access::Full) {
  store::FolderSpec spec;
  spec.path = Text(path);
  spec.mailAddress = Text(mail);
  spec.access = access;
  return spec;
}

class ServerFixture : public ::testing::Test {
protected:
  void SetUp() override {
    previous_ = std::filesystem::current_path();
    server::createServer(serverDir(), {});
    std::filesystem::create_directories(workDir());
    std::filesystem::copy_file(KORVANE_SINK_PATH, workDir() / "Korvane.dll");
    std::filesystem::current_path(workDir());
  }
  // The scratch directory goes with the fixture, after the working directory is back.
  void TearDown() override { std::filesystem::current_path(previous_); }

  std::filesystem::path workDir() const { return scratch_.dir() / "work"; }
  std::filesystem::path serverDir() const { return scratch_.serverPath(); }

private:
  std::filesystem::path previous_;
  TempServer scratch_{false};
};

} // namespace korvane::testing
